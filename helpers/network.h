#ifndef ZUV_HELPERS_NETWORK_H
#define ZUV_HELPERS_NETWORK_H

#include <QNetworkRequest>

QT_BEGIN_NAMESPACE
class QNetworkAccessManager;
class QNetworkReply;
class QString;
QT_END_NAMESPACE

namespace Helpers {
namespace Network {

// A transfer that receives no byte for this long is aborted and fails like
// an unreachable server, so the user is never left waiting for ever. The
// manager's RequestQueue may be given another stall time.
constexpr int DefaultStallTimeout = 60000;

// A plain GET of the address text (parsed tolerantly): identity encoding
// only (no compressed replies), redirections not followed, the stall timeout applied. The request
// waits in the manager's RequestQueue until its server has a free
// connection; the stall timeout counts only from when it is sent.
QNetworkReply *get(QNetworkAccessManager *manager, const QString &url);
// The same GET for the body from byte `offset` on ("Range: bytes=offset-"),
// to complete a transfer that broke off. The server answers 206 with those
// bytes, or 200 with the whole body when it does not serve ranges.
QNetworkReply *getFrom(QNetworkAccessManager *manager, const QString &url, qint64 offset);

// Whether a finished reply delivered its whole body: HTTP status 200 (or
// 206 to a getFrom()), no transfer error and, where the server announced a
// length, all of it.
// A body cut short by a reset, a stall or a closed connection keeps the
// status 200 it started with, and Qt does not always flag a reset that
// comes mid-body, so the status alone would take a partial file for a
// complete one.
bool succeeded(QNetworkReply *reply);
int statusCode(QNetworkReply *reply);
// What went wrong with a reply that did not succeed, for the user.
QString failureText(QNetworkReply *reply);
// The same after what failed: "<what> "<address>" failed: " and why: more
// than the body may hold (bodyTooLarge(), or tooLarge where the caller found
// it), an HTTP status other than 200, or failureText().
QString transferFailure(const QString &what, QNetworkReply *reply, bool tooLarge = false);

// Aborts a reply of get() once its body grows beyond maximumSize bytes, or
// its server announces more; bodyTooLarge() tells such a reply afterwards.
void limitBodySize(QNetworkReply *reply, qint64 maximumSize);
bool bodyTooLarge(QNetworkReply *reply);

} // namespace Network
} // namespace Helpers

#endif
