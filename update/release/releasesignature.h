#ifndef ZUV_UPDATE_RELEASESIGNATURE_H
#define ZUV_UPDATE_RELEASESIGNATURE_H

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

QT_BEGIN_NAMESPACE
class QIODevice;
QT_END_NAMESPACE

// Publisher signatures of the files the program reads from the update
// server as text (FW.ZUV, the change list, the manifests). The files a
// manifest lists are trusted through their digests, so these signatures
// cover the whole release.
//
// Signatures are Ed25519 in its prehashed form (Ed25519ph, libsodium's
// multi-part crypto_sign), so that a file is signed and checked block by
// block and never held whole in memory. They are deterministic: signing the
// same bytes with the same key gives the same signature.
//
// Text formats, each one line ending in a line feed:
//   public key  base64 of the 32-byte Ed25519 public key (44 characters)
//   secret key  base64 of libsodium's 64-byte Ed25519 secret key
//   <name>.sig  base64 of the 64-byte signature, beside the file it signs
//
// The program checks signatures only when it was built with release keys
// (ZUV_RELEASE_KEYS, public keys separated by ';'); without any it asks for
// no signature at all.
namespace ReleaseSignature {

constexpr int PublicKeySize = 32;
constexpr int SecretKeySize = 64;
constexpr int SignatureSize = 64;
// A signature file is one short line; anything much longer is not one.
constexpr qint64 MaximumSignatureFileSize = 1024;
// How every reason check() gives for refusing a signature begins.
constexpr char NotSignedText[] = "release not signed by a known key";

// The address or file name of the signature of a file: "<name>.sig".
QString signatureName(const QString &name);

// The public keys a release must be signed with; empty when the program
// checks no signatures.
QList<QByteArray> releaseKeys();
bool required();
// For tests only: use these key texts instead of the built-in ones.
void setReleaseKeys(const QStringList &keyTexts);

// Key texts. Parsing ignores white space around the text and answers an
// empty array when the text is not a key.
QByteArray publicKeyFromText(const QByteArray &text);
QByteArray secretKeyFromText(const QByteArray &text);
QByteArray publicKeyText(const QByteArray &publicKey);
QByteArray secretKeyText(const QByteArray &secretKey);
// A new key pair; false only when the system has no randomness to give.
bool generateKeyPair(QByteArray *publicKey, QByteArray *secretKey);

// The content of the signature file for all bytes that can be read from
// `data`, from its current position; empty when reading failed.
QByteArray sign(QIODevice *data, const QByteArray &secretKey);
QByteArray sign(const QByteArray &data, const QByteArray &secretKey);

// Empty when `signatureFile` is a valid signature of the bytes of `data`
// (read from its current position) under one of `keys`; otherwise why not,
// starting with "release not signed by a known key" or, when the data
// could not be read, saying so.
QString check(QIODevice *data, const QByteArray &signatureFile, const QList<QByteArray> &keys);
QString check(const QByteArray &data, const QByteArray &signatureFile, const QList<QByteArray> &keys);

} // namespace ReleaseSignature

#endif
