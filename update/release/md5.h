#ifndef ZUV_UPDATE_MD5_H
#define ZUV_UPDATE_MD5_H

#include <QByteArray>
#include <QString>

#include <functional>

QT_BEGIN_NAMESPACE
class QIODevice;
QT_END_NAMESPACE

namespace Md5 {

// The MD5 of everything the device still has to deliver, as 32 lower-case
// hexadecimal digits; empty when reading fails or `stopped` says to stop.
QByteArray hexDigest(QIODevice *device, const std::function<bool()> &stopped = {});
// The MD5 and the SHA-256 in the same read, each unless its pointer is
// null, as lower-case hexadecimal digits; false when reading fails or is
// stopped.
bool hexDigests(QIODevice *device, QByteArray *md5, QByteArray *sha256, const std::function<bool()> &stopped = {});
// Whether text is a digest as these functions give it: exactly `digits`
// lower-case hexadecimal digits (32 for MD5, 64 for SHA-256), and so
// nothing that could be a path.
bool isHexDigest(const QByteArray &text, int digits);
// Whether the file at path holds what its digests say: its SHA-256 when
// sha256 is given (a signed record's, which then decides), else its MD5.
// digest, unless null, receives what was computed (empty when the file
// could not be read or the check was stopped).
bool fileMatches(const QString &path, const QByteArray &md5, const QByteArray &sha256 = QByteArray(),
                 const std::function<bool()> &stopped = {}, QByteArray *digest = nullptr);

} // namespace Md5

#endif
