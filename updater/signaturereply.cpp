#include "signaturereply_p.h"

#include "helpers/network.h"
#include "update/release/releasesignature.h"

#include <QBuffer>
#include <QDebug>
#include <QNetworkReply>

namespace SignatureReply {

void limitSize(QNetworkReply *reply)
{
    Helpers::Network::limitBodySize(reply, ReleaseSignature::MaximumSignatureFileSize);
}

QString check(QNetworkReply *signatureReply, QIODevice *data)
{
    const QString notSigned = QLatin1String(ReleaseSignature::NotSignedText);
    const QString url = signatureReply->url().toString();
    if (Helpers::Network::bodyTooLarge(signatureReply))
        return notSigned + QStringLiteral(": \"%1\" is larger than any signature").arg(url);
    if (!Helpers::Network::succeeded(signatureReply)) {
        const int status = Helpers::Network::statusCode(signatureReply);
        // The server answered, but has no signature to give.
        if (status != 0 && status != 200)
            return notSigned + QStringLiteral(": no signature \"%1\" (HTTP status %2)").arg(url).arg(status);
        return Helpers::Network::transferFailure(QStringLiteral("signature download"), signatureReply);
    }
    const QByteArray signatureFile = signatureReply->read(ReleaseSignature::MaximumSignatureFileSize + 1);
    if (signatureFile.size() > ReleaseSignature::MaximumSignatureFileSize)
        return notSigned + QStringLiteral(": \"%1\" is larger than any signature").arg(url);
    const QString failure = ReleaseSignature::check(data, signatureFile, ReleaseSignature::releaseKeys());
    qDebug() << Q_FUNC_INFO << url << (failure.isEmpty() ? QStringLiteral("valid") : failure);
    return failure;
}

QString check(QNetworkReply *signatureReply, const QByteArray &data)
{
    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    return check(signatureReply, &buffer);
}

} // namespace SignatureReply
