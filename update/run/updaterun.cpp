#include "updaterun_p.h"

#include "update/card/devicewriter.h"
#include "keptfiles_p.h"
#include "package_p.h"
#include "update/release/releaserecord.h"
#include "runtasks_p.h"

#include "helpers/dir.h"
#include "helpers/network.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>
#include <QSet>

UpdateRun::Shared::~Shared()
{
    qDeleteAll(packages);
}

UpdateRun::UpdateRun(const QString &devicePath, const QByteArray &deviceInfoFile, QObject *listener)
    : QObject(listener)
    , devicePath(devicePath)
    , deviceInfoFile(deviceInfoFile)
    , shared(new Shared)
    , m_listener(listener)
{
}

UpdateRun::~UpdateRun()
{
    end();
}

void UpdateRun::end()
{
    if (m_ended)
        return;
    m_ended = true;
    shared->stopped.storeRelease(1);
    for (auto it = manifestReplies.cbegin(); it != manifestReplies.cend(); ++it)
        dropReply(it.key());
    manifestReplies.clear();
    for (auto it = downloadReplies.cbegin(); it != downloadReplies.cend(); ++it) {
        dropReply(it.key());
        delete it.value();
    }
    downloadReplies.clear();
    // The watchers of the run's tasks go with the run; their tasks report
    // to nobody.
    const QObjectList watchers = children();
    for (QObject *watcher : watchers)
        watcher->disconnect(m_listener);
    // The file checks and the check of kept files stop within one block
    // once told to; none may still read a file when the directory goes.
    restoreTask.waitForFinished();
    for (QFuture<bool> &check : fileChecks)
        check.waitForFinished();
    shared.reset();
}

QString UpdateRun::tempPath() const
{
    return shared->tempDir.path();
}

void UpdateRun::dropReply(QNetworkReply *reply)
{
    reply->disconnect(m_listener);
    reply->abort();
    reply->deleteLater();
}

UpdateRun::Package *UpdateRun::addPackage(const QString &url, const QString &directory)
{
    auto *package = new Package(url, devicePath, directory, tempPath(), &shared->stopped);
    shared->packages.append(package);
    return package;
}

bool UpdateRun::manifestsArrived(QNetworkReply **failed) const
{
    *failed = nullptr;
    for (auto it = manifestReplies.cbegin(); it != manifestReplies.cend(); ++it) {
        if (!it.key()->isFinished())
            return false;
        if (!Helpers::Network::succeeded(it.key())) {
            *failed = it.key();
            return false;
        }
    }
    return true;
}

QString UpdateRun::manifestDigestFailure() const
{
    for (Package *package : manifestReplies) {
        if (!package->record)
            continue;
        const ReleaseRecord::Digest *digest = package->record->digest(package->pathInModel);
        QCryptographicHash hash(QCryptographicHash::Sha256);
        package->manifest.seek(0);
        if (!digest)
            return QStringLiteral("Manifest \"%1\" refused: the signed release record does not name it").arg(package->url);
        if (!hash.addData(&package->manifest) || hash.result().toHex() != digest->sha256)
            return QStringLiteral("Manifest \"%1\" refused: it is not the one the signed release record names there")
                .arg(package->url);
    }
    return QString();
}

QString UpdateRun::manifestFileFailure() const
{
    for (const Package *package : manifestReplies) {
        if (!package->manifest.isOpen()) {
            return QStringLiteral("Cannot create a temporary file for the manifest \"%1\": %2")
                .arg(package->url, package->manifest.errorString());
        }
    }
    return QString();
}

QString UpdateRun::checkFailure() const
{
    QString failure = conflictBetweenPackages();
    for (const Package *package : manifestReplies) {
        if (failure.isEmpty())
            failure = package->failure;
    }
    return failure;
}

// Two manifests (the volume root has two) may name one place on the card.
// With one content it is fetched once; with two the release is broken.
QString UpdateRun::conflictBetweenPackages() const
{
    QHash<QString, File> byPlace;
    for (const Package *package : manifestReplies) {
        for (int i = 0; i < package->listed.size(); ++i) {
            const File &file = package->listed.at(i);
            const QString &key = package->listedPlaces.at(i);
            const auto known = byPlace.constFind(key);
            if (known == byPlace.cend()) {
                byPlace.insert(key, file);
            } else if (known->md5 != file.md5) {
                return QStringLiteral("Manifests list two different files for \"%1\": \"%2\" and \"%3\"")
                    .arg(QDir::toNativeSeparators(file.relativePath()), known->url, file.url);
            }
        }
    }
    return QString();
}

void UpdateRun::gatherCheckedFiles()
{
    QSet<QString> places;
    for (auto it = manifestReplies.cbegin(); it != manifestReplies.cend(); ++it) {
        const Package *package = it.value();
        for (int i = 0; i < package->files.size(); ++i) {
            const QString &key = package->filePlaces.at(i);
            if (!places.contains(key))
                pendingFiles.append(package->files.at(i));
            places.insert(key);
        }
        it.key()->deleteLater();
    }
    manifestReplies.clear();
    // Every check has ended: nothing else holds the packages.
    qDeleteAll(shared->packages);
    shared->packages.clear();
}

bool UpdateRun::countRoomOnCard()
{
    announcedSizes = QList<qint64>();
    for (int i = 0; i < pendingFiles.size(); ++i)
        announcedSizes.append(0);
    spareRoom = DeviceWriter::spareRoom(devicePath, announcedSizes);
    return spareRoom >= 0;
}

QFile *UpdateRun::createLocalFile(const File &file, KeptFiles *kept, qint64 *offset, QString *error)
{
    const QFileInfo local(file.localPath(tempPath()));
    QDir directory = local.absoluteDir();
    Helpers::Dir::createPath(directory);
    // A part kept from a failed attempt is completed rather than fetched
    // again; the whole file is verified all the same.
    *offset = kept->takePart(file.md5, local.absoluteFilePath());
    auto *localFile = new QFile(local.absoluteFilePath());
    if (localFile->open(QIODevice::ReadWrite) && (*offset <= 0 || localFile->seek(*offset)))
        return localFile;
    *error = QStringLiteral("Cannot create \"%1\": %2")
                 .arg(QDir::toNativeSeparators(local.absoluteFilePath()), localFile->errorString());
    delete localFile;
    return nullptr;
}

QString UpdateRun::closeDownload(QNetworkReply *reply, QString *localPath)
{
    QFile *file = downloadReplies.take(reply);
    file->close();
    const QString closeError = file->error() == QFileDevice::NoError ? QString() : file->errorString();
    *localPath = file->fileName();
    delete file;
    reply->deleteLater();
    return closeError;
}

// A download that continues a kept part gets the rest of the body (206
// from the byte asked for) or, from a server that does not serve ranges,
// all of it (200), which replaces the part. Empty while the answer is
// sound, otherwise why not.
QString UpdateRun::checkResumedAnswer(QNetworkReply *reply, QFile *file)
{
    if (!resumedFrom.contains(reply))
        return QString();
    const int status = Helpers::Network::statusCode(reply);
    if (status == 0)
        return QString(); // no answer yet
    const qint64 offset = resumedFrom.take(reply);
    if (status == 200) {
        if (file->resize(0) && file->seek(0))
            return QString();
        return QStringLiteral("Cannot store the download \"%1\" in \"%2\": %3")
            .arg(reply->url().toString(), QDir::toNativeSeparators(file->fileName()), file->errorString());
    }
    const QByteArray range = reply->rawHeader("Content-Range");
    if (status != 206 || range.startsWith("bytes " + QByteArray::number(offset) + '-'))
        return QString(); // any other status fails when the download ends
    return QStringLiteral("Download \"%1\" continued at byte %2 got the range \"%3\"")
        .arg(reply->url().toString())
        .arg(offset)
        .arg(QString::fromLatin1(range));
}

// The transfer's own limit counts what has arrived, a moment after it was
// written here; this keeps the file within its size to the byte.
bool UpdateRun::beyondKnownSize(QNetworkReply *reply, QFile *file) const
{
    const int index = downloadIndex.value(reply, -1);
    const qint64 size = index < 0 ? -1 : fetchedFiles.at(index).size;
    if (size < 0 || !reply->isOpen() || file->pos() + reply->bytesAvailable() <= size)
        return false;
    reply->setProperty("beyondKnownSize", true);
    return true;
}

// Only once what the downloads announce exceeds the room counted before
// is the card asked again, so that thousands of small files cost no look
// at the volume each.
bool UpdateRun::countAnnouncedSize(QNetworkReply *reply)
{
    const int index = downloadIndex.value(reply, -1);
    const QVariant length = reply ? reply->header(QNetworkRequest::ContentLengthHeader) : QVariant();
    if (index < 0 || index >= announcedSizes.size() || !length.isValid() || announcedSizes.at(index) > 0)
        return true;
    announcedSizes[index] = length.toLongLong() + resumedFrom.value(reply);
    spareRoom -= announcedSizes.at(index); // at least what the file takes beyond its cluster
    if (spareRoom >= 0)
        return true;
    spareRoom = DeviceWriter::spareRoom(devicePath, announcedSizes);
    return spareRoom >= 0;
}

// What a download that broke off after a sound answer has written is the
// start of its file, which the next attempt may complete; so is a part
// taken from the store whose continuation got no answer at all.
void UpdateRun::keepPartOf(QNetworkReply *reply, const QString &localPath, KeptFiles *kept) const
{
    const int status = Helpers::Network::statusCode(reply);
    if ((status == 200 || status == 206 || resumedFrom.contains(reply)) && downloadIndex.contains(reply))
        kept->keepPart(localPath, fetchedFiles.at(downloadIndex.value(reply)).md5);
}

void UpdateRun::keepUnfinishedParts(KeptFiles *kept)
{
    for (auto it = downloadReplies.cbegin(); it != downloadReplies.cend(); ++it) {
        it.value()->close();
        if (it.value()->error() == QFileDevice::NoError)
            keepPartOf(it.key(), it.value()->fileName(), kept);
    }
}

QSet<QString> UpdateRun::wantedDigests() const
{
    QSet<QString> wanted;
    for (const File &file : fetchedFiles)
        wanted.insert(file.md5);
    for (const File &file : pendingFiles)
        wanted.insert(file.md5);
    return wanted;
}

void UpdateRun::setAsideKeptFiles(const QSet<QString> &kept)
{
    for (auto it = pendingFiles.begin(); !kept.isEmpty() && it != pendingFiles.end();) {
        if (kept.contains(it->md5)) {
            restoringFiles.append(*it);
            it = pendingFiles.erase(it);
        } else {
            ++it;
        }
    }
}

int UpdateRun::takeRestoredFiles(const QList<int> &restored)
{
    QList<File> fetchAgain;
    for (int i = 0, next = 0; i < restoringFiles.size(); ++i) {
        if (next < restored.size() && restored.at(next) == i) {
            ++next;
            const File &file = restoringFiles.at(i);
            fetchedFiles.append(file);
            // Kept files are known by their MD5; a signed release wants
            // its SHA-256 as well.
            setFileCheck(fetchedFiles.size() - 1, file.sha256.isEmpty()
                                                      ? RunTasks::matchedAlready()
                                                      : RunTasks::checkFile(shared, file.localPath(tempPath()), file));
        } else {
            fetchAgain.append(restoringFiles.at(i));
        }
    }
    restoringFiles.clear();
    pendingFiles = fetchAgain + pendingFiles;
    return fetchAgain.size();
}

void UpdateRun::setFileCheck(int index, const QFuture<bool> &check)
{
    while (fileChecks.size() <= index)
        fileChecks.append(QFuture<bool>());
    fileChecks[index] = check;
}

// The first download whose hash differs from its manifest: the verification
// waited for every hash before it, so those are all in.
QString UpdateRun::verificationFailure() const
{
    for (int i = 0; i < fileChecks.size() && i < fetchedFiles.size(); ++i) {
        const QFuture<bool> &check = fileChecks.at(i);
        if (check.isFinished() && (check.isCanceled() || check.resultCount() == 0 || !check.result())) {
            return QStringLiteral("The downloaded file \"%1\" did not match its digest")
                .arg(QDir::toNativeSeparators(fetchedFiles.at(i).relativePath()));
        }
    }
    return QStringLiteral("Verification of the downloaded files failed");
}
