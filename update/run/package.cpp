#include "package_p.h"

#include "update/card/cardpath.h"
#include "update/card/devicewriter.h"
#include "device/deviceinfo.h"
#include "update/release/manifest.h"
#include "update/release/md5.h"
#include "update/release/releaserecord.h"

#include "helpers/dir.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QUrl>

namespace {

// What a file's address carries as it is, besides letters, digits and
// "-._~": the characters a URL path allows. Everything else (a blank, "#",
// "?", "%", controls, anything not ASCII) is escaped, so that a server that
// does not decode escapes still finds "A(1)+B.BIN".
const char UrlPathCharacters[] = "/!$&'()*+,;=:@";
// A manifest line is a digest and a path that a card can hold; a longer one
// is no manifest, and would be read whole into memory.
constexpr qint64 MaximumLineLength = 4096;

} // namespace

// ---------------------------------------------------------------- File

QString UpdatePrivate::File::localPath(const QString &root) const
{
    if (directory.isEmpty())
        return QStringLiteral("%1/%2").arg(root, CardPath::normalized(filePath));
    return QStringLiteral("%1/%2/%3").arg(root, directory, CardPath::normalized(filePath));
}

QString UpdatePrivate::File::relativePath() const
{
    return localPath(QString()).mid(1);
}

// The same place on the card, whatever the letter case (the card's file
// system ignores it) or the spelling of the path.
QString UpdatePrivate::File::placeKey() const
{
    // Joined by hand: this runs for every file of a release, where the
    // argument formatting of localPath() adds up.
    const QString path = directory.isEmpty() ? filePath : directory + QLatin1Char('/') + filePath;
    return CardPath::normalized(path).toLower();
}

// ---------------------------------------------------------------- Package

UpdatePrivate::Package::Package(const QString &url, const QString &devicePath, const QString &directory,
                                const QString &tempDir, const QAtomicInt *stopped)
    : manifest(tempDir + QStringLiteral("/.manifest-XXXXXX"))
    , url(url)
    , devicePath(devicePath)
    , directory(directory)
    , m_stopped(stopped)
{
    // In the run's directory, so that a run that is killed leaves none
    // behind for good (see Helpers::LockedTempDir).
    manifest.open(); // ReadWrite; a failure shows when the manifest is written
}

QString UpdatePrivate::Package::deviceDirectory() const
{
    if (directory.isEmpty())
        return devicePath;
    return QStringLiteral("%1/%2").arg(devicePath, directory);
}

void UpdatePrivate::Package::checkFilesForUpdate()
{
    qDebug() << Q_FUNC_INFO << devicePath << directory << url;
    // An update interrupted earlier is finished or undone first, so that the
    // check never sees a mix of two releases.
    if (!DeviceWriter::repair(devicePath, {QLatin1String(Device::InstallMarkFileName)}, &failure)) {
        failure = Helpers::Dir::nativePathsIn(failure);
        return;
    }
    failure = checkLineLengths();
    if (!failure.isEmpty())
        return;
    manifest.seek(0);
    Manifest::Reader reader(&manifest);
    const QUrl manifestUrl(url, QUrl::TolerantMode);
    const QString directoryUrl = url.left(url.size() - manifestUrl.fileName().size());
    CardPath card(devicePath);
    while (!reader.atEnd() && !isStopped()) {
        FileRecord entry;
        if (!readEntry(reader, directoryUrl, &entry.file)) {
            if (!failure.isEmpty())
                return;
            continue;
        }
        entry.place = entry.file.placeKey();
        listed.append(entry);
        if (isOnDevice(entry.file, card)) {
            qDebug() << Q_FUNC_INFO << "Updated version on device";
            continue;
        }
        qDebug() << Q_FUNC_INFO << manifestUrl.isValid() << manifestUrl.fileName();
        files.append(entry);
    }
    if (!isStopped() && !files.isEmpty())
        failure = Helpers::Dir::nativePathsIn(checkDestinations(card));
}

// False for a blank line, and for a line the run cannot take, with the
// reason in failure.
bool UpdatePrivate::Package::readEntry(Manifest::Reader &reader, const QString &directoryUrl, File *file)
{
    Manifest::Entry entry;
    const Manifest::LineKind kind = reader.next(&entry);
    if (kind == Manifest::LineKind::Blank)
        return false;
    qDebug() << "md5" << entry.md5 << "filePath" << entry.filePath;
    if (!Manifest::namesFile(kind)) {
        failure = QStringLiteral("Manifest \"%1\" line %2: %3")
                      .arg(url, QString::number(reader.lineNumber()), Manifest::problem(kind, entry));
        return false;
    }
    *file = File{directoryUrl + QString::fromLatin1(QUrl::toPercentEncoding(entry.filePath, UrlPathCharacters)),
                 directory, entry.filePath, entry.md5};
    if (!record)
        return true;
    const QString directoryInModel = pathInModel.left(pathInModel.lastIndexOf(QLatin1Char('/')) + 1);
    const ReleaseRecord::Digest *digest = record->digest(directoryInModel + entry.filePath);
    if (!digest) {
        failure = QStringLiteral("Manifest \"%1\" line %2: \"%3\" is not in the signed release record")
                      .arg(url, QString::number(reader.lineNumber()), entry.filePath);
        return false;
    }
    file->sha256 = digest->sha256;
    file->size = digest->size;
    return true;
}

QString UpdatePrivate::Package::checkLineLengths()
{
    manifest.seek(0);
    QByteArray block(64 * 1024, Qt::Uninitialized);
    qint64 lineLength = 0;
    int line = 1;
    for (qint64 n; (n = manifest.read(block.data(), block.size())) > 0;) {
        for (qint64 i = 0; i < n; ++i) {
            if (block.at(int(i)) == '\n') {
                lineLength = 0;
                ++line;
            } else if (++lineLength > MaximumLineLength) {
                return QStringLiteral("Manifest \"%1\" line %2: longer than %3 characters")
                    .arg(url)
                    .arg(line)
                    .arg(MaximumLineLength);
            }
        }
    }
    return QString();
}

// A file reached through a link is not read: it counts as one that
// differs, and the run refuses to write there before any download.
bool UpdatePrivate::Package::isOnDevice(const File &file, CardPath &card)
{
    const QFileInfo target(QDir(deviceDirectory()).absoluteFilePath(file.filePath));
    return target.exists() && card.check(file.relativePath()).isEmpty()
        && checkMd5(target.absoluteFilePath(), file.md5);
}

// Nothing is fetched for a write that a link, a junction or another
// volume below the root would carry somewhere else. Checked here rather
// than on the main thread, where ten thousand files held the window up
// for a tenth of a second.
QString UpdatePrivate::Package::checkDestinations(CardPath &card) const
{
    QStringList destinations;
    for (const FileRecord &entry : files)
        destinations.append(entry.file.relativePath());
    return card.checkWrite(destinations);
}

bool UpdatePrivate::Package::checkMd5(const QString &path, const QString &md5)
{
    qDebug() << Q_FUNC_INFO << "Checking md5 of" << path;
    QByteArray digest;
    const bool matches = Md5::fileMatches(path, md5.toLatin1(), QByteArray(), [this] { return isStopped(); }, &digest);
    if (!digest.isEmpty())
        qDebug() << Q_FUNC_INFO << "md5" << digest;
    return matches;
}

bool UpdatePrivate::Package::isStopped() const
{
    return m_stopped->loadAcquire() != 0;
}
