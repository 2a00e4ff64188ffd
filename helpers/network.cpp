#include "network.h"

#include "queuedreply_p.h"
#include "requestqueue.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QUrl>

namespace {

// Every reply of get() is a QueuedReply, which counts what it received.
qint64 bytesReceived(QNetworkReply *reply)
{
    const auto *queued = qobject_cast<const Helpers::QueuedReply *>(reply);
    return queued ? queued->bytesReceived() : 0;
}

// True when the server announced a length and fewer bytes arrived. A
// compressed body is counted differently by Qt, so it is left to the error
// code alone.
bool bodyCutShort(QNetworkReply *reply)
{
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    if (!announced.isValid() || reply->hasRawHeader("Content-Encoding"))
        return false;
    return bytesReceived(reply) < announced.toLongLong();
}

} // namespace

namespace Helpers {
namespace Network {

QNetworkReply *get(QNetworkAccessManager *manager, const QString &url)
{
    return getFrom(manager, url, 0);
}

QNetworkReply *getFrom(QNetworkAccessManager *manager, const QString &url, qint64 offset)
{
    QNetworkRequest request(QUrl(url, QUrl::TolerantMode));
    // Asked for by name, so Qt does not ask for gzip itself, and passes a
    // compressed body on as it came instead of inflating all of it in
    // memory before any size limit could see it.
    request.setRawHeader("Accept-Encoding", "identity");
    if (offset > 0)
        request.setRawHeader("Range", "bytes=" + QByteArray::number(offset) + '-');
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    return RequestQueue::of(manager)->get(request);
}

int statusCode(QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

bool succeeded(QNetworkReply *reply)
{
    const int status = statusCode(reply);
    const bool whole = status == 200 || (status == 206 && reply->request().hasRawHeader("Range"));
    return whole && reply->error() == QNetworkReply::NoError && !bodyCutShort(reply);
}

QString failureText(QNetworkReply *reply)
{
    if (reply->error() == QNetworkReply::NoError && bodyCutShort(reply)) {
        return QStringLiteral("Transfer ended after %1 of %2 bytes")
            .arg(bytesReceived(reply))
            .arg(reply->header(QNetworkRequest::ContentLengthHeader).toLongLong());
    }
    return reply->errorString();
}

QString transferFailure(const QString &what, QNetworkReply *reply, bool tooLarge)
{
    const QString failed = QStringLiteral("%1 \"%2\" failed: ").arg(what, reply->url().toString());
    if (tooLarge || bodyTooLarge(reply))
        return failed + QStringLiteral("the server sent more than the file's size");
    const int status = statusCode(reply);
    if (status != 0 && status != 200)
        return failed + QStringLiteral("the server answered HTTP status %1").arg(status);
    return failed + failureText(reply);
}

void limitBodySize(QNetworkReply *reply, qint64 maximumSize)
{
    if (auto *queued = qobject_cast<QueuedReply *>(reply))
        queued->setMaximumBodySize(maximumSize);
}

bool bodyTooLarge(QNetworkReply *reply)
{
    const auto *queued = qobject_cast<const QueuedReply *>(reply);
    return queued && queued->bodyTooLarge();
}

} // namespace Network
} // namespace Helpers
