#include "requestqueue.h"

#include "network.h"
#include "queuedreply_p.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkRequest>
#include <QUrl>

namespace Helpers {

RequestQueue::RequestQueue(QNetworkAccessManager *manager)
    : QObject(manager)
    , m_manager(manager)
    , m_stallTimeout(Network::DefaultStallTimeout)
{
}

RequestQueue *RequestQueue::of(QNetworkAccessManager *manager)
{
    auto *queue = manager->findChild<RequestQueue *>(QString(), Qt::FindDirectChildrenOnly);
    return queue ? queue : new RequestQueue(manager);
}

// Qt shares its connections between requests of one scheme, host and port.
QString RequestQueue::serverKey(const QNetworkRequest &request)
{
    const QUrl url = request.url();
    const int defaultPort = url.scheme() == QLatin1String("https") ? 443 : 80;
    return QStringLiteral("%1://%2:%3").arg(url.scheme(), url.host()).arg(url.port(defaultPort));
}

int RequestQueue::stallTimeout() const
{
    return m_stallTimeout;
}

void RequestQueue::setStallTimeout(int milliseconds)
{
    m_stallTimeout = milliseconds;
}

QueuedReply *RequestQueue::get(const QNetworkRequest &request)
{
    // Qt starts this clock when the request is handed over and restarts it
    // whenever bytes arrive; the queue hands a request over only when Qt
    // sends it at once, so only silence on the wire counts.
    QNetworkRequest timed(request);
    timed.setTransferTimeout(m_stallTimeout);
    const QString server = serverKey(timed);
    auto *reply = new QueuedReply(this, m_manager, timed, server);
    m_waiting[server].append(reply);
    sendWaiting(server);
    return reply;
}

QNetworkAccessManager *RequestQueue::overflowManager()
{
    if (!m_overflow) {
        auto *manager = new QNetworkAccessManager(this);
        manager->setProxy(m_manager->proxy());
        manager->setRedirectPolicy(m_manager->redirectPolicy());
        manager->setStrictTransportSecurityEnabled(m_manager->isStrictTransportSecurityEnabled());
        manager->setTransferTimeout(m_manager->transferTimeout());
        manager->setAutoDeleteReplies(m_manager->autoDeleteReplies());
        m_overflow = manager;
    }
    return m_overflow;
}

void RequestQueue::setOverflowManager(QNetworkAccessManager *manager)
{
    Q_ASSERT(!m_overflow);
    manager->setParent(this);
    m_overflow = manager;
}

void RequestQueue::release(QueuedReply *reply)
{
    if (!reply->m_holdsConnection) {
        m_waiting[reply->m_server].removeAll(reply);
        return;
    }
    reply->m_holdsConnection = false;
    --m_sent[reply->m_server];
    if (reply->m_onFirstManager)
        --m_sentOnFirst[reply->m_server];
    // From the event loop: a reply may be deleted by the manager's own
    // destructor, which must not be handed a new request.
    QMetaObject::invokeMethod(this, [this, server = reply->m_server] { sendWaiting(server); }, Qt::QueuedConnection);
}

void RequestQueue::sendWaiting(const QString &server)
{
    QList<QPointer<QueuedReply>> &waiting = m_waiting[server];
    int &sent = m_sent[server];
    int &sentOnFirst = m_sentOnFirst[server];
    while (sent < RequestsPerServer && !waiting.isEmpty()) {
        QueuedReply *reply = waiting.takeFirst();
        if (!reply)
            continue;
        reply->m_holdsConnection = true;
        ++sent;
        reply->m_onFirstManager = sentOnFirst < ConnectionsPerHost;
        if (reply->m_onFirstManager)
            ++sentOnFirst;
        reply->send(reply->m_onFirstManager ? m_manager : overflowManager());
    }
}

} // namespace Helpers
