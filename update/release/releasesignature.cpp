#include "releasesignature.h"

#include <QBuffer>
#include <QDebug>
#include <QIODevice>
#include <QMutex>

// A Windows build may come without libsodium; it then cannot be given
// release keys (the build refuses them), and checks nothing.
#ifdef ZUV_HAVE_SODIUM
#include <sodium.h>
#endif

#ifndef ZUV_RELEASE_KEYS
#define ZUV_RELEASE_KEYS ""
#endif

namespace {

constexpr qint64 ReadBlockSize = 64 * 1024;
const QString NotSigned = QLatin1String(ReleaseSignature::NotSignedText);

bool sodiumReady()
{
#ifdef ZUV_HAVE_SODIUM
    static const bool ready = sodium_init() >= 0;
    return ready;
#else
    return false;
#endif
}

QByteArray fromBase64Line(const QByteArray &text, int size)
{
    const QByteArray::FromBase64Result decoded =
        QByteArray::fromBase64Encoding(text.trimmed(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != size)
        return QByteArray();
    return decoded.decoded;
}

QList<QByteArray> keysFromTexts(const QStringList &texts)
{
    QList<QByteArray> keys;
    for (const QString &text : texts) {
        if (text.trimmed().isEmpty())
            continue;
        const QByteArray key = ReleaseSignature::publicKeyFromText(text.toLatin1());
        if (key.isEmpty())
            qDebug() << Q_FUNC_INFO << "Not a public key, no file will verify under it:" << text;
        // Kept even when unusable: a program built with keys never falls
        // back to reading unsigned releases.
        keys.append(key);
    }
    return keys;
}

struct KeyStore {
    QMutex mutex;
    QList<QByteArray> keys = keysFromTexts(QString::fromLatin1(ZUV_RELEASE_KEYS).split(QLatin1Char(',')));
};

KeyStore &keyStore()
{
    static KeyStore store;
    return store;
}

#ifdef ZUV_HAVE_SODIUM
// Feeds everything readable from `data` to the signing state.
bool hashAll(QIODevice *data, crypto_sign_state *state)
{
    QByteArray block(int(ReadBlockSize), Qt::Uninitialized);
    for (;;) {
        const qint64 n = data->read(block.data(), block.size());
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        crypto_sign_update(state, reinterpret_cast<const unsigned char *>(block.constData()),
                           static_cast<unsigned long long>(n));
    }
}
#endif

} // namespace

namespace ReleaseSignature {

QString signatureName(const QString &name)
{
    return name + QStringLiteral(".sig");
}

QList<QByteArray> releaseKeys()
{
    KeyStore &store = keyStore();
    QMutexLocker lock(&store.mutex);
    return store.keys;
}

bool required()
{
    return !releaseKeys().isEmpty();
}

void setReleaseKeys(const QStringList &keyTexts)
{
    KeyStore &store = keyStore();
    QMutexLocker lock(&store.mutex);
    store.keys = keysFromTexts(keyTexts);
}

QByteArray publicKeyFromText(const QByteArray &text)
{
    return fromBase64Line(text, PublicKeySize);
}

QByteArray secretKeyFromText(const QByteArray &text)
{
    const QByteArray key = fromBase64Line(text, SecretKeySize);
    if (key.isEmpty() || !sodiumReady())
        return QByteArray();
#ifdef ZUV_HAVE_SODIUM
    // The second half is the public key; a key whose halves do not belong
    // together would sign what nobody can verify.
    QByteArray seed(crypto_sign_SEEDBYTES, Qt::Uninitialized);
    QByteArray publicKey(PublicKeySize, Qt::Uninitialized);
    QByteArray rebuilt(SecretKeySize, Qt::Uninitialized);
    crypto_sign_ed25519_sk_to_seed(reinterpret_cast<unsigned char *>(seed.data()),
                                   reinterpret_cast<const unsigned char *>(key.constData()));
    crypto_sign_seed_keypair(reinterpret_cast<unsigned char *>(publicKey.data()),
                             reinterpret_cast<unsigned char *>(rebuilt.data()),
                             reinterpret_cast<const unsigned char *>(seed.constData()));
    sodium_memzero(seed.data(), size_t(seed.size()));
    const bool consistent = rebuilt == key;
    sodium_memzero(rebuilt.data(), size_t(rebuilt.size()));
    return consistent ? key : QByteArray();
#else
    return QByteArray();
#endif
}

QByteArray publicKeyText(const QByteArray &publicKey)
{
    return publicKey.toBase64() + '\n';
}

QByteArray secretKeyText(const QByteArray &secretKey)
{
    return secretKey.toBase64() + '\n';
}

bool generateKeyPair(QByteArray *publicKey, QByteArray *secretKey)
{
    if (!sodiumReady())
        return false;
#ifdef ZUV_HAVE_SODIUM
    publicKey->resize(PublicKeySize);
    secretKey->resize(SecretKeySize);
    crypto_sign_keypair(reinterpret_cast<unsigned char *>(publicKey->data()),
                        reinterpret_cast<unsigned char *>(secretKey->data()));
    return true;
#else
    return false;
#endif
}

QByteArray sign(QIODevice *data, const QByteArray &secretKey)
{
    if (secretKey.size() != SecretKeySize || !sodiumReady())
        return QByteArray();
#ifdef ZUV_HAVE_SODIUM
    crypto_sign_state state;
    crypto_sign_init(&state);
    if (!hashAll(data, &state))
        return QByteArray();
    QByteArray signature(SignatureSize, Qt::Uninitialized);
    crypto_sign_final_create(&state, reinterpret_cast<unsigned char *>(signature.data()), nullptr,
                             reinterpret_cast<const unsigned char *>(secretKey.constData()));
    return signature.toBase64() + '\n';
#else
    return QByteArray();
#endif
}

QByteArray sign(const QByteArray &data, const QByteArray &secretKey)
{
    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    return sign(&buffer, secretKey);
}

QString check(QIODevice *data, const QByteArray &signatureFile, const QList<QByteArray> &keys)
{
    if (!sodiumReady())
        return NotSigned + QStringLiteral(": the signature library cannot start");
    if (signatureFile.trimmed().isEmpty())
        return NotSigned + QStringLiteral(": the signature is empty");
    const QByteArray signature = fromBase64Line(signatureFile, SignatureSize);
    if (signature.isEmpty())
        return NotSigned + QStringLiteral(": the signature is malformed or cut short");
#ifdef ZUV_HAVE_SODIUM
    crypto_sign_state state;
    crypto_sign_init(&state);
    if (!hashAll(data, &state))
        return QStringLiteral("cannot read the signed file: %1").arg(data->errorString());
    for (const QByteArray &key : keys) {
        if (key.size() != PublicKeySize)
            continue;
        // Verifying consumes the state, so each further key gets a copy.
        crypto_sign_state attempt = state;
        if (crypto_sign_final_verify(&attempt, reinterpret_cast<const unsigned char *>(signature.constData()),
                                     reinterpret_cast<const unsigned char *>(key.constData()))
            == 0)
            return QString();
    }
#endif
    return NotSigned;
}

QString check(const QByteArray &data, const QByteArray &signatureFile, const QList<QByteArray> &keys)
{
    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    return check(&buffer, signatureFile, keys);
}

} // namespace ReleaseSignature
