#ifndef ZUV_UPDATER_SIGNATUREREPLY_P_H
#define ZUV_UPDATER_SIGNATUREREPLY_P_H

#include <QString>

QT_BEGIN_NAMESPACE
class QByteArray;
class QIODevice;
class QNetworkReply;
QT_END_NAMESPACE

// The signature of a file the program read from the update server, as its
// reply brings it.
namespace SignatureReply {

// Stops a signature reply that grows beyond any signature file.
void limitSize(QNetworkReply *reply);
// Checks the bytes of a signed file against the finished signature reply,
// under the release keys: empty when they are signed, otherwise why not.
QString check(QNetworkReply *signatureReply, QIODevice *data);
QString check(QNetworkReply *signatureReply, const QByteArray &data);

} // namespace SignatureReply

#endif
