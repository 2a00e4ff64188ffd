#include "publisher.h"

#include "progress.h"
#include "release.h"

#include "device/deviceinfo.h"
#include "update/release/md5.h"
#include "update/release/releaserecord.h"
#include "update/release/releasesignature.h"
#include "update/release/serverlayout.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSaveFile>

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

constexpr qint64 CopyBlockSize = 1024 * 1024;

// Makes the names just placed in a directory of the tree durable, so that
// a crash of the server machine cannot leave a manifest whose files are
// gone. Best effort: where the system has no directory flush (Windows'
// journalled NTFS needs none) nothing is done.
void flushDirectory(const QString &path)
{
#ifndef Q_OS_WIN
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
#else
    Q_UNUSED(path)
#endif
}

// A hidden directory beside `target` that does not exist yet.
QString siblingName(const QString &target, const QString &purpose)
{
    const QFileInfo info(target);
    for (int attempt = 0;; ++attempt) {
        const QString name = QStringLiteral(".%1-%2-%3-%4")
                                 .arg(purpose, info.fileName())
                                 .arg(QCoreApplication::applicationPid())
                                 .arg(attempt);
        const QString path = info.dir().filePath(name);
        if (!QFileInfo::exists(path))
            return path;
    }
}

// Removes a staging directory unless it was renamed into place.
class StagingGuard
{
public:
    explicit StagingGuard(const QString &path) : m_path(path) {}
    ~StagingGuard()
    {
        if (!m_path.isEmpty())
            QDir(m_path).removeRecursively();
    }
    void release() { m_path.clear(); }

private:
    QString m_path;
};

bool writeWholeFile(const QString &path, const QByteArray &content, QString *error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() || !file.commit()) {
        *error = QStringLiteral("%1: cannot write: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

// Copies a file through QSaveFile and returns the MD5 of what was copied.
bool copyWithDigest(const QString &from, const QString &to, QByteArray *md5, QString *error)
{
    QFile in(from);
    if (!in.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1: cannot read: %2").arg(from, in.errorString());
        return false;
    }
    QSaveFile out(to);
    if (!out.open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("%1: cannot write: %2").arg(to, out.errorString());
        return false;
    }
    QCryptographicHash hash(QCryptographicHash::Md5);
    QByteArray buffer(int(CopyBlockSize), Qt::Uninitialized);
    for (;;) {
        const qint64 n = in.read(buffer.data(), buffer.size());
        if (n < 0) {
            *error = QStringLiteral("%1: cannot read: %2").arg(from, in.errorString());
            return false;
        }
        if (n == 0)
            break;
        hash.addData(buffer.constData(), int(n));
        if (out.write(buffer.constData(), n) != n) {
            *error = QStringLiteral("%1: cannot write: %2").arg(to, out.errorString());
            return false;
        }
    }
    if (!out.commit()) {
        *error = QStringLiteral("%1: cannot write: %2").arg(to, out.errorString());
        return false;
    }
    *md5 = hash.result().toHex();
    return true;
}

QByteArray existingManifest(const QString &directory)
{
    QFile file(QDir(directory).filePath(ServerLayout::manifestFileName()));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

// Puts a complete new directory in the place of an old one: the old one is
// moved aside, the new one renamed into place, the old one removed.
bool replaceDirectory(const QString &staging, const QString &target, QString *error)
{
    if (!QFileInfo::exists(target)) {
        if (QDir().rename(staging, target))
            return true;
        *error = QStringLiteral("%1: cannot rename into place from %2").arg(target, staging);
        return false;
    }
    const QString old = siblingName(target, QStringLiteral("replaced"));
    if (!QDir().rename(target, old)) {
        *error = QStringLiteral("%1: cannot move aside to %2").arg(target, old);
        return false;
    }
    if (!QDir().rename(staging, target)) {
        QDir().rename(old, target);
        *error = QStringLiteral("%1: cannot rename into place from %2").arg(target, staging);
        return false;
    }
    QDir(old).removeRecursively();
    return true;
}

} // namespace

Publisher::Publisher(const Release &release, const QString &tree, Progress *progress)
    : m_release(release)
    , m_modelDirectory(ServerLayout::modelDirectory(tree, release.model()))
    , m_progress(progress)
    , m_packages(release.packages())
{
}

void Publisher::setSigningKey(const QByteArray &secretKey)
{
    m_secretKey = secretKey;
}

void Publisher::setRecordTerms(quint64 sequence, const QDateTime &expires)
{
    m_sequence = sequence;
    m_expires = expires;
}

ExitCode Publisher::publish()
{
    m_problems.clear();
    // An unsigned release in a signed tree would be refused by every
    // program built with release keys: its users would get no update.
    const QString infoSignature =
        ReleaseSignature::signatureName(QDir(m_modelDirectory).filePath(ServerLayout::infoFileName()));
    if (m_secretKey.isEmpty() && QFileInfo::exists(infoSignature)) {
        m_problems.append(QStringLiteral("%1: the tree is signed; publish with --sign (or remove its .sig files to "
                                         "stop signing)")
                              .arg(infoSignature));
        return UsageError;
    }
    if (!hashSources())
        return IoError;
    if (!checkDevicePlaces() || !planWrites())
        return UsageError;
    if (!QDir().mkpath(m_modelDirectory)) {
        m_problems.append(QStringLiteral("%1: cannot create the directory").arg(m_modelDirectory));
        return IoError;
    }
    for (int i = 0; i < m_packages.size(); ++i) {
        if (m_actions.at(i) == Keep) {
            m_progress->note(QStringLiteral("%1: already published, unchanged").arg(m_packages.at(i).serverDirectory));
            // Published before, perhaps unsigned: the manifest is the same.
            const QString target = QDir(m_modelDirectory).filePath(m_packages.at(i).serverDirectory);
            if (!writeSignature(QDir(target).filePath(ServerLayout::manifestFileName()), m_packages.at(i).manifest()))
                return IoError;
            continue;
        }
        if (!writePackage(m_packages.at(i)))
            return IoError;
    }
    if (!writeChangelist() || !writeInfoFile())
        return IoError;
    flushDirectory(m_modelDirectory);
    return Success;
}

QString Publisher::summary() const
{
    using namespace ServerLayout;
    return QStringLiteral("Published %1: bootloader %2, primary firmware %3, secondary firmware %4 "
                          "(%5 files written) in %6")
        .arg(m_release.model(), m_release.version(Bootloader), m_release.version(PrimaryFirmware),
             m_release.version(SecondaryFirmware))
        .arg(m_filesWritten)
        .arg(QDir::toNativeSeparators(m_modelDirectory));
}

bool Publisher::hashSources()
{
    int fileCount = 0;
    qint64 byteCount = 0;
    for (const Package &package : qAsConst(m_packages)) {
        fileCount += package.entries.size();
        byteCount += package.totalSize();
    }
    m_progress->begin(QStringLiteral("Reading the release"), fileCount, byteCount);
    for (Package &package : m_packages) {
        for (Package::Entry &entry : package.entries) {
            QFile file(QDir(package.sourceDirectory).filePath(entry.filePath));
            if (!file.open(QIODevice::ReadOnly) || !Md5::hexDigests(&file, &entry.md5, &entry.sha256)) {
                m_problems.append(QStringLiteral("%1: cannot read: %2").arg(file.fileName(), file.errorString()));
                return false;
            }
            m_progress->advance(entry.size);
        }
    }
    m_progress->end();
    return true;
}

// Two files of one release must not claim one place on the card: the
// primary and the secondary firmware share its root, and the card's file
// system does not tell upper from lower case.
bool Publisher::checkDevicePlaces()
{
    struct Claim {
        QString source;
        QString devicePath;
        QByteArray md5;
    };
    QHash<QString, Claim> claims;
    for (const Package &package : qAsConst(m_packages)) {
        const QString sourceName = QFileInfo(package.sourceDirectory).fileName();
        for (const Package::Entry &entry : package.entries) {
            const Claim claim{sourceName + QLatin1Char('/') + entry.filePath, package.devicePath(entry), entry.md5};
            const QString key = claim.devicePath.toLower();
            const auto known = claims.constFind(key);
            if (known == claims.cend()) {
                claims.insert(key, claim);
            } else if (known->devicePath != claim.devicePath || known->md5 != claim.md5) {
                m_problems.append(QStringLiteral("%1 and %2 both go to \"%3\" on the card, with different contents")
                                      .arg(known->source, claim.source, claim.devicePath));
            }
        }
    }
    return m_problems.isEmpty();
}

bool Publisher::planWrites()
{
    m_actions.clear();
    for (const Package &package : qAsConst(m_packages)) {
        const QString target = QDir(m_modelDirectory).filePath(package.serverDirectory);
        if (!QFileInfo::exists(target)) {
            m_actions.append(Write);
        } else if (existingManifest(target) == package.manifest()) {
            m_actions.append(Keep);
        } else if (!package.versioned) {
            m_actions.append(Replace);
        } else {
            m_actions.append(Keep);
            m_problems.append(QStringLiteral("%1: this version is already published with other files; "
                                             "give the release a new version")
                                  .arg(package.serverDirectory));
        }
    }
    return m_problems.isEmpty();
}

bool Publisher::writePackage(const Package &package)
{
    const QString target = QDir(m_modelDirectory).filePath(package.serverDirectory);
    if (!QDir().mkpath(QFileInfo(target).path())) {
        m_problems.append(QStringLiteral("%1: cannot create the directory").arg(QFileInfo(target).path()));
        return false;
    }
    const QString staging = siblingName(target, QStringLiteral("publishing"));
    StagingGuard guard(staging);
    if (!QDir().mkdir(staging)) {
        m_problems.append(QStringLiteral("%1: cannot create the directory").arg(staging));
        return false;
    }
    if (!stageFiles(package, staging))
        return false;
    QString error;
    const QString manifest = QDir(staging).filePath(ServerLayout::manifestFileName());
    if (!writeWholeFile(manifest, package.manifest(), &error)) {
        m_problems.append(error);
        return false;
    }
    // Signed in the staging directory, so that the manifest is never served
    // without its signature.
    if (!writeSignature(manifest, package.manifest()))
        return false;
    if (!replaceDirectory(staging, target, &error)) {
        m_problems.append(error);
        return false;
    }
    guard.release();
    flushDirectory(QFileInfo(target).path());
    return true;
}

bool Publisher::stageFiles(const Package &package, const QString &staging)
{
    m_progress->begin(QStringLiteral("Writing %1").arg(package.serverDirectory), package.entries.size(),
                      package.totalSize());
    for (const Package::Entry &entry : package.entries) {
        const QString from = QDir(package.sourceDirectory).filePath(entry.filePath);
        const QString to = QDir(staging).filePath(entry.filePath);
        QString error;
        QByteArray md5;
        if (!QDir().mkpath(QFileInfo(to).path())) {
            m_problems.append(QStringLiteral("%1: cannot create the directory").arg(QFileInfo(to).path()));
            return false;
        }
        if (!copyWithDigest(from, to, &md5, &error)) {
            m_problems.append(error);
            return false;
        }
        if (md5 != entry.md5) {
            m_problems.append(QStringLiteral("%1: changed while it was being published").arg(from));
            return false;
        }
        ++m_filesWritten;
        m_progress->advance(entry.size);
    }
    m_progress->end();
    return true;
}

bool Publisher::writeChangelist()
{
    QFile source(m_release.changelistPath());
    if (!source.open(QIODevice::ReadOnly)) {
        m_problems.append(QStringLiteral("%1: cannot read: %2").arg(source.fileName(), source.errorString()));
        return false;
    }
    QString error;
    const QString path = QDir(m_modelDirectory).filePath(ServerLayout::changelistFileName());
    const QByteArray content = source.readAll();
    m_changelist = content;
    if (!writeWholeFile(path, content, &error)) {
        m_problems.append(error);
        return false;
    }
    return writeSignature(path, content);
}

// Written last: until it names the new versions, the program goes on
// fetching the old ones, which stay complete.
bool Publisher::writeInfoFile()
{
    using namespace ServerLayout;
    QByteArray content;
    for (int i = 0; i < FirmwareCount; ++i) {
        const auto firmware = Firmware(i);
        content += infoKey(firmware).toLatin1() + '=' + m_release.version(firmware).toLatin1() + '\n';
    }
    const QString path = QDir(m_modelDirectory).filePath(infoFileName());
    if (!m_secretKey.isEmpty())
        content += '\n' + recordText();
    QString error;
    if (!writeWholeFile(path, content, &error)) {
        m_problems.append(error);
        return false;
    }
    if (!writeSignature(path, content))
        return false;
    Device::Info readBack;
    readBack.readUpdateInfo(path);
    if (readBack.bootloaderUpdateVersion != m_release.version(Bootloader)
        || readBack.primaryUpdateVersion != m_release.version(PrimaryFirmware)
        || readBack.secondaryUpdateVersion != m_release.version(SecondaryFirmware)) {
        m_problems.append(QStringLiteral("%1: reads back other versions than were written").arg(path));
        return false;
    }
    return true;
}

// Writes "<path>.sig" when publishing signed. The signature of the same
// bytes is always the same, so an existing one is left untouched.
bool Publisher::writeSignature(const QString &path, const QByteArray &content)
{
    if (m_secretKey.isEmpty())
        return true;
    const QString signaturePath = ReleaseSignature::signatureName(path);
    const QByteArray signature = ReleaseSignature::sign(content, m_secretKey);
    if (signature.isEmpty()) {
        m_problems.append(QStringLiteral("%1: cannot sign").arg(path));
        return false;
    }
    QFile existing(signaturePath);
    if (existing.open(QIODevice::ReadOnly) && existing.read(signature.size() + 1) == signature)
        return true;
    QString error;
    if (!writeWholeFile(signaturePath, signature, &error)) {
        m_problems.append(error);
        return false;
    }
    return true;
}

// What the signed FW.ZUV promises about the release: its model, number and
// expiry, and the SHA-256 and size of the change list, of each manifest and
// of each file, by its path on the server.
QByteArray Publisher::recordText() const
{
    ReleaseRecord record;
    record.model = m_release.model();
    const auto add = [&record](const QString &path, const QByteArray &content) {
        record.setDigest(path, {ReleaseRecord::sha256Hex(content), content.size()});
    };
    add(ServerLayout::changelistFileName(), m_changelist);
    for (const Package &package : m_packages) {
        const QString directory = package.serverDirectory + QLatin1Char('/');
        add(directory + ServerLayout::manifestFileName(), package.manifest());
        for (const Package::Entry &entry : package.entries)
            record.setDigest(directory + entry.filePath, {entry.sha256, entry.size});
    }
    // The record the tree holds already: the same release keeps it, so
    // that publishing it again changes nothing.
    QFile existing(QDir(m_modelDirectory).filePath(ServerLayout::infoFileName()));
    ReleaseRecord previous;
    QString ignored;
    const bool hasPrevious =
        existing.open(QIODevice::ReadOnly) && previous.parse(existing.read(Device::MaximumInfoFileSize), &ignored);
    record.sequence = previous.sequence + 1;
    record.expires = QDateTime::currentDateTimeUtc().addDays(365);
    if (hasPrevious) {
        ReleaseRecord same = record;
        same.sequence = previous.sequence;
        same.expires = previous.expires;
        if (same.text() == previous.text() && previous.expires > QDateTime::currentDateTimeUtc())
            record = previous;
    }
    if (m_sequence > 0)
        record.sequence = m_sequence;
    if (m_expires.isValid())
        record.expires = m_expires;
    return record.text();
}
