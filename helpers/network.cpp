#include "network.h"

#include "queuedreply.h"
#include "requestqueue.h"

#include <QAtomicInt>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QUrl>

namespace {

QAtomicInt stallTimeoutMs(Helpers::Network::DefaultStallTimeout);

const char ReceivedProperty[] = "zuvBytesReceived";

void countReceivedBytes(QNetworkReply *reply)
{
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
        reply->setProperty(ReceivedProperty, received);
    });
}

// True when the server announced a length and fewer bytes arrived. A
// compressed body is counted differently by Qt, so it is left to the error
// code alone.
bool bodyCutShort(QNetworkReply *reply)
{
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    if (!announced.isValid() || reply->hasRawHeader("Content-Encoding"))
        return false;
    return reply->property(ReceivedProperty).toLongLong() < announced.toLongLong();
}

} // namespace

namespace Helpers {
namespace Network {

int stallTimeout()
{
    return stallTimeoutMs.loadRelaxed();
}

void setStallTimeout(int milliseconds)
{
    stallTimeoutMs.storeRelaxed(milliseconds);
}

QNetworkReply *get(QNetworkAccessManager *manager, const QString &url)
{
    return getFrom(manager, url, 0);
}

QNetworkReply *getFrom(QNetworkAccessManager *manager, const QString &url, qint64 offset)
{
    QNetworkRequest request(QUrl(url, QUrl::TolerantMode));
    if (offset > 0)
        request.setRawHeader("Range", "bytes=" + QByteArray::number(offset) + '-');
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    // Qt starts this clock when the request is handed over and restarts it
    // whenever bytes arrive; the queue hands a request over only when Qt
    // sends it at once, so only silence on the wire counts.
    request.setTransferTimeout(stallTimeout());
    QNetworkReply *reply = RequestQueue::of(manager)->get(request);
    countReceivedBytes(reply);
    return reply;
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
            .arg(reply->property(ReceivedProperty).toLongLong())
            .arg(reply->header(QNetworkRequest::ContentLengthHeader).toLongLong());
    }
    return reply->errorString();
}

} // namespace Network
} // namespace Helpers
