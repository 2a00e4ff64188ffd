#include "releaserecord.h"

#include "manifest.h"
#include "md5.h"
#include "serverlayout.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QFile>
#include <QList>
#include <QUrl>

namespace {

const char ModelKey[] = "Model";
const char SequenceKey[] = "Sequence";
const char ExpiresKey[] = "Expires";
// What a path keeps unescaped besides letters, digits and "-._~".
const char PathCharacters[] = "/!$&'()*+,;:@";
constexpr qint64 MaximumCardFileSize = 4096;

bool isNumber(const QByteArray &text)
{
    if (text.isEmpty() || text.size() > 19)
        return false;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

// Only the change list and what lies below the firmware directories are
// files a record speaks of.
bool isReleasePath(const QString &path)
{
    if (path == ServerLayout::changelistFileName())
        return true;
    if (!Manifest::isSafeRelativePath(path))
        return false;
    for (int i = 0; i < ServerLayout::FirmwareCount; ++i) {
        if (path.startsWith(ServerLayout::firmwareDirectory(ServerLayout::Firmware(i)) + QLatin1Char('/')))
            return true;
    }
    return false;
}

QString timeText(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODate);
}

} // namespace

QString ReleaseRecord::sectionName()
{
    return QStringLiteral("Release");
}

QString ReleaseRecord::cardFileName()
{
    return QStringLiteral("ZUVREL.TXT");
}

QByteArray ReleaseRecord::sha256Hex(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

bool ReleaseRecord::parse(const QByteArray &infoFile, QString *error)
{
    const QByteArray header = '[' + sectionName().toLatin1() + ']';
    const QList<QByteArray> lines = infoFile.split('\n');
    int first = 0;
    while (first < lines.size() && lines.at(first).trimmed() != header)
        ++first;
    if (first == lines.size()) {
        *error = QStringLiteral("FW.ZUV holds no release record");
        return false;
    }
    for (int i = first + 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        if (line.startsWith('['))
            break; // another section, of no concern here
        if (!line.isEmpty() && !parseLine(line, error)) {
            *error = QStringLiteral("release record line %1: %2").arg(i + 1).arg(*error);
            return false;
        }
    }
    if (model.isEmpty() || !expires.isValid() || sequence == 0) {
        *error = QStringLiteral("release record lacks %1")
                     .arg(QLatin1String(model.isEmpty() ? ModelKey : !expires.isValid() ? ExpiresKey : SequenceKey));
        return false;
    }
    return true;
}

bool ReleaseRecord::parseLine(const QByteArray &line, QString *error)
{
    const int equals = line.indexOf('=');
    if (equals <= 0) {
        *error = QStringLiteral("\"%1\" is not a key and a value").arg(QString::fromLatin1(line.left(80)));
        return false;
    }
    const QByteArray key = line.left(equals).trimmed();
    const QByteArray value = line.mid(equals + 1).trimmed();
    const QString path = QUrl::fromPercentEncoding(key);
    if ((key == ModelKey && !model.isEmpty()) || (key == SequenceKey && sequence != 0)
        || (key == ExpiresKey && expires.isValid()) || m_digests.contains(path)) {
        *error = QStringLiteral("%1 is given twice").arg(QString::fromLatin1(key));
        return false;
    }
    if (key == ModelKey) {
        model = QString::fromLatin1(value);
    } else if (key == SequenceKey) {
        sequence = value.toULongLong();
        if (!isNumber(value) || sequence == 0) {
            *error = QStringLiteral("the sequence \"%1\" is not a number above 0").arg(QString::fromLatin1(value));
            return false;
        }
    } else if (key == ExpiresKey) {
        expires = QDateTime::fromString(QString::fromLatin1(value), Qt::ISODate);
        if (!expires.isValid() || expires.timeSpec() != Qt::UTC) {
            *error = QStringLiteral("the expiry \"%1\" is not a UTC time like 2027-12-01T00:00:00Z")
                         .arg(QString::fromLatin1(value));
            return false;
        }
    } else if (isReleasePath(path)) {
        const QList<QByteArray> parts = value.split(' ');
        if (parts.size() != 2 || !Md5::isHexDigest(parts.at(0), 64) || !isNumber(parts.at(1))) {
            *error = QStringLiteral("%1 has no SHA-256 and size").arg(path);
            return false;
        }
        m_digests.insert(path, Digest{parts.at(0), parts.at(1).toLongLong()});
    } else {
        *error = QStringLiteral("unknown key \"%1\"").arg(QString::fromLatin1(key.left(200)));
        return false;
    }
    return true;
}

QByteArray ReleaseRecord::text() const
{
    QByteArray text = '[' + sectionName().toLatin1() + "]\n";
    text += QByteArray(ModelKey) + '=' + model.toLatin1() + '\n';
    text += QByteArray(SequenceKey) + '=' + QByteArray::number(sequence) + '\n';
    text += QByteArray(ExpiresKey) + '=' + timeText(expires).toLatin1() + '\n';
    QStringList paths = m_digests.keys();
    paths.sort();
    for (const QString &path : qAsConst(paths)) {
        const Digest &digest = m_digests[path];
        text += QUrl::toPercentEncoding(path, PathCharacters) + '=' + digest.sha256 + ' '
            + QByteArray::number(digest.size) + '\n';
    }
    return text;
}

QString ReleaseRecord::problem(const QString &deviceModel, quint64 cardSequence, const QDateTime &now) const
{
    if (model != deviceModel)
        return QStringLiteral("the release is for %1, not for this %2").arg(model, deviceModel);
    if (expires < now)
        return QStringLiteral("the release record expired on %1").arg(timeText(expires));
    if (sequence < cardSequence) {
        return QStringLiteral("the release (number %1) is older than the one installed on this device (number %2)")
            .arg(sequence)
            .arg(cardSequence);
    }
    return QString();
}

const ReleaseRecord::Digest *ReleaseRecord::digest(const QString &pathInModel) const
{
    const auto it = m_digests.constFind(pathInModel);
    return it == m_digests.cend() ? nullptr : &it.value();
}

void ReleaseRecord::setDigest(const QString &pathInModel, const Digest &digest)
{
    m_digests.insert(pathInModel, digest);
}

QByteArray ReleaseRecord::cardFileText() const
{
    return QByteArray(ModelKey) + '=' + model.toLatin1() + '\n' + SequenceKey + '=' + QByteArray::number(sequence)
        + '\n';
}

// The card is not trusted either: a file that cannot be read, or says
// nothing sensible, names no release.
quint64 ReleaseRecord::cardSequence(const QString &cardRoot)
{
    QFile file(cardRoot + QLatin1Char('/') + cardFileName());
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> lines = file.read(MaximumCardFileSize).split('\n');
    for (const QByteArray &line : lines) {
        const QByteArray value = line.mid(int(sizeof SequenceKey)).trimmed();
        if (line.startsWith(QByteArray(SequenceKey) + '=') && isNumber(value))
            return value.toULongLong();
    }
    qDebug() << Q_FUNC_INFO << "No release number in" << file.fileName();
    return 0;
}
