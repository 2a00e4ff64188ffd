#ifndef ZUV_HELPERS_REQUESTQUEUE_H
#define ZUV_HELPERS_REQUESTQUEUE_H

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>

QT_BEGIN_NAMESPACE
class QNetworkAccessManager;
class QNetworkRequest;
QT_END_NAMESPACE

namespace Helpers {

class QueuedReply;

// Hands the network access manager no more requests to one server than it
// puts on the wire at once, and keeps the others waiting here.
//
// Up to ten requests to one server are on the wire at once: six through the
// program's manager and the others through a second manager of the queue,
// made with the same settings, as Qt gives one manager no more than six
// connections to a server. On a link with a long round trip each
// connection waits that round trip for every file, so more of them count.
//
// Qt opens at most six connections to a server and queues every further
// request inside the manager, where nothing tells us whether a request has
// been sent. A stall timeout set on such a request runs while it waits for
// a connection, so a slow but steady transfer ahead of it made it fail
// without ever reaching the server. Waiting here instead, a request gets
// its stall timeout only once Qt sends it.
class RequestQueue : public QObject
{
    Q_OBJECT

public:
    // How many requests Qt 5 sends at once over HTTP to one host and port.
    static constexpr int ConnectionsPerHost = 6;
    // How many requests to one server the queue has on the wire at once.
    static constexpr int RequestsPerServer = 10;

    // The one queue of the manager, created on first use as its child.
    static RequestQueue *of(QNetworkAccessManager *manager);

    // A GET that is sent as soon as its server has a free connection, with
    // the stall timeout of the queue.
    QueuedReply *get(const QNetworkRequest &request);

    // How long a sent request may receive nothing before it fails, in
    // milliseconds; Helpers::Network::DefaultStallTimeout unless set.
    int stallTimeout() const;
    void setStallTimeout(int milliseconds);

    // The manager that sends the requests beyond the first manager's
    // connections; made on first need with the first one's settings unless
    // given here before any request. The queue takes ownership.
    QNetworkAccessManager *overflowManager();
    void setOverflowManager(QNetworkAccessManager *manager);

private:
    friend class QueuedReply;

    explicit RequestQueue(QNetworkAccessManager *manager);
    static QString serverKey(const QNetworkRequest &request);

    // A reply gives its connection back when it finishes, is aborted or is
    // deleted, and leaves the queue if it never got one.
    void release(QueuedReply *reply);
    void sendWaiting(const QString &server);

    QNetworkAccessManager *m_manager;
    QNetworkAccessManager *m_overflow = nullptr;
    int m_stallTimeout;
    QHash<QString, int> m_sent;
    QHash<QString, int> m_sentOnFirst;
    QHash<QString, QList<QPointer<QueuedReply>>> m_waiting;
};

} // namespace Helpers

#endif
