#include "queuedreply_p.h"

#include "requestqueue.h"

#include <QNetworkAccessManager>

namespace Helpers {

namespace {

// What a reply of an HTTP GET carries besides its headers.
const QNetworkRequest::Attribute ReplyAttributes[] = {
    QNetworkRequest::HttpStatusCodeAttribute,  QNetworkRequest::HttpReasonPhraseAttribute,
    QNetworkRequest::RedirectionTargetAttribute, QNetworkRequest::ConnectionEncryptedAttribute,
    QNetworkRequest::SourceIsFromCacheAttribute, QNetworkRequest::HttpPipeliningWasUsedAttribute,
    QNetworkRequest::Http2WasUsedAttribute,     QNetworkRequest::OriginalContentLengthAttribute,
};

} // namespace

QueuedReply::QueuedReply(RequestQueue *queue, QNetworkAccessManager *manager, const QNetworkRequest &request,
                         const QString &server)
    : QNetworkReply(manager)
    , m_queue(queue)
    , m_server(server)
{
    setRequest(request);
    setUrl(request.url());
    setOperation(QNetworkAccessManager::GetOperation);
    // Unbuffered: the bytes stay in the sent reply, which honours the read
    // buffer size, until they are read from here.
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);
}

QueuedReply::~QueuedReply()
{
    // The sent request is aborted first, so that its connection is free for
    // the next one when it is handed over.
    if (m_sent) {
        disconnect(m_sent, nullptr, this, nullptr);
        m_sent->abort();
        m_sent->deleteLater();
    }
    giveBackConnection();
}

void QueuedReply::send(QNetworkAccessManager *manager)
{
    m_state = Sent;
    m_sent = manager->get(request());
    if (readBufferSize() > 0)
        m_sent->setReadBufferSize(readBufferSize());
    connect(m_sent, &QNetworkReply::metaDataChanged, this, [this] {
        copyMetaData();
        emit metaDataChanged();
    });
    connect(m_sent, &QNetworkReply::readyRead, this, &QNetworkReply::readyRead);
    connect(m_sent, &QNetworkReply::downloadProgress, this, &QueuedReply::countProgress);
    connect(m_sent, &QNetworkReply::errorOccurred, this, &QueuedReply::sentFailed);
    connect(m_sent, &QNetworkReply::finished, this, &QueuedReply::sentFinished);
}

void QueuedReply::countProgress(qint64 received, qint64 total)
{
    m_bytesReceived = received;
    emit downloadProgress(received, total);
    if (m_maximumBodySize >= 0 && !m_bodyTooLarge && (received > m_maximumBodySize || total > m_maximumBodySize)) {
        m_bodyTooLarge = true;
        abort();
    }
}

qint64 QueuedReply::bytesReceived() const
{
    return m_bytesReceived;
}

void QueuedReply::setMaximumBodySize(qint64 size)
{
    m_maximumBodySize = size;
}

bool QueuedReply::bodyTooLarge() const
{
    return m_bodyTooLarge;
}

void QueuedReply::copyMetaData()
{
    for (QNetworkRequest::Attribute attribute : ReplyAttributes)
        setAttribute(attribute, m_sent->attribute(attribute));
    const QList<RawHeaderPair> headers = m_sent->rawHeaderPairs();
    for (const RawHeaderPair &header : headers)
        setRawHeader(header.first, header.second);
}

// Nobody but Qt's transfer timeout cancels the sent request: abort()
// disconnects from it first. So a cancelled transfer is a server that fell
// silent, and is named as such.
void QueuedReply::takeSentError()
{
    if (m_sent->error() != OperationCanceledError) {
        setError(m_sent->error(), m_sent->errorString());
        return;
    }
    setError(TimeoutError, QStringLiteral("No answer from the server for %1 s")
                               .arg(request().transferTimeout() / 1000.0));
}

void QueuedReply::sentFailed()
{
    takeSentError();
    emit errorOccurred(error());
}

void QueuedReply::sentFinished()
{
    copyMetaData();
    if (m_sent->error() != NoError)
        takeSentError();
    m_state = Done;
    setFinished(true);
    giveBackConnection();
    emit readChannelFinished();
    emit finished();
}

void QueuedReply::abort()
{
    if (m_state == Done)
        return;
    m_state = Done;
    if (m_sent) {
        disconnect(m_sent, nullptr, this, nullptr);
        m_sent->abort();
    }
    giveBackConnection();
    close();
    setError(OperationCanceledError, tr("Operation canceled"));
    setFinished(true);
    emit errorOccurred(OperationCanceledError);
    emit finished();
}

void QueuedReply::giveBackConnection()
{
    if (m_queue)
        m_queue->release(this);
}

void QueuedReply::setReadBufferSize(qint64 size)
{
    QNetworkReply::setReadBufferSize(size);
    if (m_sent)
        m_sent->setReadBufferSize(size);
}

qint64 QueuedReply::bytesAvailable() const
{
    return QNetworkReply::bytesAvailable() + (m_sent ? m_sent->bytesAvailable() : 0);
}

qint64 QueuedReply::readData(char *data, qint64 maxSize)
{
    const qint64 n = m_sent && m_sent->isOpen() ? m_sent->read(data, maxSize) : 0;
    if (n > 0)
        return n;
    return m_state == Done ? -1 : 0;
}

} // namespace Helpers
