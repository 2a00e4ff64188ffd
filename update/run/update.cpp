#include "update.h"
#include "update_p.h"

#include "update/card/devicewriter.h"
#include "device/deviceinfo.h"
#include "package_p.h"
#include "update/release/releaserecord.h"
#include "runtasks_p.h"
#include "update/release/serverlayout.h"
#include "updaterun_p.h"

#include "helpers/io.h"
#include "helpers/lockedtempdir.h"
#include "helpers/network.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>
#include <QSaveFile>
#include <QTimer>
#include <QtConcurrent>

namespace {

constexpr int MaximumRunningDownloads = 10;
constexpr int RunEndDelay = 300;
// What a reply may hold before the network thread waits for us to take it.
// Without a bound a fast server fills memory faster than the disk drains it.
constexpr qint64 ReplyBufferSize = 512 * 1024;
// Caps on what a server may send where no signed record gives the size: a
// manifest of ten thousand entries takes about 1 MiB; a firmware file is
// far below the size of any card.
constexpr qint64 MaximumManifestSize = 64 * 1024 * 1024;
constexpr qint64 MaximumFileSize = qint64(4) * 1024 * 1024 * 1024;

QString transferFailure(const char *what, QNetworkReply *reply)
{
    return Helpers::Network::transferFailure(QLatin1String(what), reply, reply->property("beyondKnownSize").toBool());
}

} // namespace

// ---------------------------------------------------------------- Update

Update::Update(QNetworkAccessManager *manager, QObject *parent)
    : QObject(parent)
    , d(new UpdatePrivate(this, manager))
{
    reset(QString());
    // What earlier copies of the program that were killed left in the
    // temporary location goes, beside the window's start.
    d->leftoversTask = QtConcurrent::run(&Helpers::LockedTempDir::removeAbandoned);
}

Update::~Update()
{
    d->leftoversTask.waitForFinished();
    reset(QString());
    // Files being kept for another attempt that will not come.
    d->keepStopped.storeRelease(1);
    d->keepTask.waitForFinished();
}

void Update::reset(const QString &devicePath, const QByteArray &deviceInfoFile)
{
    d->reset(devicePath, deviceInfoFile);
}

void Update::addUpdateDirectory(const QString &directory, const QString &manifestUrl)
{
    qDebug() << Q_FUNC_INFO << "Adding" << directory << manifestUrl;
    d->directories.insert(directory, manifestUrl);
}

bool Update::hasUpdateDirectories() const
{
    return !d->directories.isEmpty();
}

void Update::setReleaseRecordRequired(bool required)
{
    d->recordRequired = required;
}

void Update::setReleaseRecord(const ReleaseRecord &record, const QString &modelBaseUrl)
{
    d->record.reset(new ReleaseRecord(record));
    d->recordBase = ServerLayout::address(modelBaseUrl, QString());
}

QString Update::errorString() const
{
    return d->errorString;
}

void Update::start()
{
    d->errorString.clear();
    if (!d->beginRun())
        return;
    const QMultiHash<QString, QString> directories = d->directories;
    for (auto it = directories.cbegin(); it != directories.cend(); ++it) {
        qDebug() << Q_FUNC_INFO << "Downloading manifest" << it.key() << it.value();
        d->requestManifest(it.value(), it.key());
    }
}

// ---------------------------------------------------------------- UpdatePrivate

UpdatePrivate::UpdatePrivate(Update *q, QNetworkAccessManager *manager)
    : QObject(q)
    , q(q)
    , networkManager(manager)
{
}

void UpdatePrivate::reset(const QString &path, const QByteArray &infoFile)
{
    devicePath = path;
    deviceInfoFile = infoFile;
    directories.clear();
    record.reset();
    endRun();
}

// The run goes from the event loop: a slot of its own watcher may end it.
void UpdatePrivate::endRun()
{
    if (!run)
        return;
    run->end();
    run->deleteLater();
    run = nullptr;
}

// A run that a listener ended is deleted later, so no new run can take its
// address before the emission returns.
template<typename... Args>
bool UpdatePrivate::announce(void (Update::*signal)(Args...), Args... args)
{
    const UpdateRun *current = run;
    emit(q->*signal)(args...);
    return run && run == current;
}

void UpdatePrivate::announceEnd(bool succeeded)
{
    QTimer::singleShot(RunEndDelay, q, succeeded ? SIGNAL(updateReady()) : SIGNAL(downloadError()));
}

bool UpdatePrivate::beginRun()
{
    if (devicePath.isEmpty()) {
        failRun(QStringLiteral("No device to update"));
        return false;
    }
    if (directories.isEmpty()) {
        qDebug() << Q_FUNC_INFO << "Nothing to update";
        announceEnd(true);
        return false;
    }
    if (!checkRecordStillHolds())
        return false;
    const QByteArray infoFile = Device::infoFileSnapshot(devicePath);
    if (!deviceInfoFile.isEmpty() && infoFile != deviceInfoFile) {
        qDebug() << Q_FUNC_INFO << "The device at" << devicePath << "is not the one that was found there";
        failRun(QStringLiteral("The device was disconnected or replaced since it was found"));
        return false;
    }
    endRun();
    run = new UpdateRun(devicePath, deviceInfoFile.isEmpty() ? infoFile : deviceInfoFile, this);
    if (!run->shared->tempDir.isValid()) {
        failRun(QStringLiteral("Cannot create a temporary directory: %1").arg(run->shared->tempDir.errorString()));
        return false;
    }
    return true;
}

void UpdatePrivate::failRun(const QString &reason)
{
    qDebug() << Q_FUNC_INFO << reason;
    errorString = reason;
    announceEnd(false);
    keepVerifiedFiles();
    q->reset(devicePath, deviceInfoFile);
}

void UpdatePrivate::requestManifest(const QString &manifestUrl, const QString &directory)
{
    QNetworkReply *reply = Helpers::Network::get(networkManager, manifestUrl);
    reply->setReadBufferSize(ReplyBufferSize);
    Package *package = run->addPackage(manifestUrl, directory);
    package->record = record;
    if (record && manifestUrl.startsWith(recordBase))
        package->pathInModel = manifestUrl.mid(recordBase.size());
    const ReleaseRecord::Digest *digest = record ? record->digest(package->pathInModel) : nullptr;
    Helpers::Network::limitBodySize(reply, digest ? digest->size : MaximumManifestSize);
    connect(reply, SIGNAL(readyRead()), this, SLOT(manifestWrite()));
    run->manifestReplies.insert(reply, package);
    connect(reply, SIGNAL(finished()), this, SLOT(manifestDownloaded()));
}

// Nothing a manifest lists is fetched, let alone written to the card,
// unless the signed record names the manifest, at its place, with its
// digest.
bool UpdatePrivate::checkManifestDigests()
{
    const QString failure = run->manifestDigestFailure();
    if (failure.isEmpty())
        return true;
    failRun(failure);
    return false;
}

// The record was good when the user was offered the release; the card or
// the clock may have changed since.
bool UpdatePrivate::checkRecordStillHolds()
{
    if (!record && recordRequired) {
        failRun(QStringLiteral("Release refused: no signed release record was accepted for it"));
        return false;
    }
    if (!record)
        return true;
    const QString problem =
        record->problem(record->model, ReleaseRecord::cardSequence(devicePath), QDateTime::currentDateTimeUtc());
    if (problem.isEmpty())
        return true;
    failRun(QStringLiteral("Release refused: %1").arg(problem));
    return false;
}

bool UpdatePrivate::writeManifest(QNetworkReply *reply)
{
    QTemporaryFile &manifest = run->manifestReplies.value(reply)->manifest;
    if (!reply->isOpen() || Helpers::IO::copy(reply, &manifest))
        return true;
    failRun(QStringLiteral("Cannot store the manifest \"%1\" in \"%2\": %3")
                .arg(reply->url().toString(), QDir::toNativeSeparators(manifest.fileName()), manifest.errorString()));
    return false;
}

void UpdatePrivate::manifestWrite()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (run && run->manifestReplies.contains(reply))
        writeManifest(reply);
}

void UpdatePrivate::manifestDownloaded()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!run || !run->manifestReplies.contains(reply)) {
        qDebug() << Q_FUNC_INFO << "Finished request from previous update";
        return;
    }
    if (!writeManifest(reply))
        return;
    // The reply that has just finished is judged at once, so a failure is
    // not held up behind manifests still on their way.
    if (!Helpers::Network::succeeded(reply)) {
        failRun(transferFailure("Manifest download", reply));
        return;
    }
    if (allManifestsArrived() && checkManifestDigests())
        startChecks();
}

// Whether every manifest and signature is in; a manifest that failed ends
// the run.
bool UpdatePrivate::allManifestsArrived()
{
    QNetworkReply *failed = nullptr;
    const bool arrived = run->manifestsArrived(&failed);
    if (failed)
        failRun(transferFailure("Manifest download", failed));
    return arrived && !failed;
}

void UpdatePrivate::startChecks()
{
    const QString failure = run->manifestFileFailure();
    if (!failure.isEmpty()) {
        failRun(failure);
        return;
    }
    for (Package *package : qAsConst(run->manifestReplies)) {
        run->watch(RunTasks::checkPackage(run->shared, package), SLOT(checkFilesForUpdateFinished()));
        ++run->pendingChecks;
    }
    emit q->preparingDownloadList();
}

void UpdatePrivate::checkFilesForUpdateFinished()
{
    if (--run->pendingChecks != 0)
        return;
    qDebug() << Q_FUNC_INFO << "Finished checking files";
    const QString failure = run->checkFailure();
    if (!failure.isEmpty()) {
        failRun(failure);
        return;
    }
    run->gatherCheckedFiles();
    qDebug() << Q_FUNC_INFO << run->pendingFiles.size() << "files to update";
    if (run->pendingFiles.isEmpty()) {
        announceEnd(true);
        endRun();
        return;
    }
    if (checkRoomOnCard())
        startDownloads();
}

// The manifests give no sizes, so before the downloads only what each file
// takes on the card for certain is counted (a cluster, and its part of the
// journal); the writer counts again with the real sizes before it writes.
bool UpdatePrivate::checkRoomOnCard()
{
    if (run->countRoomOnCard())
        return true;
    qDebug() << Q_FUNC_INFO << "Not enough free space on the card for" << run->pendingFiles.size() << "files";
    failRun(DeviceWriter::missingRoomText(-run->spareRoom));
    return false;
}

// Each download announces its size before its body. Once what they announce
// cannot fit on the card, the run ends there rather than after the last
// download.
void UpdatePrivate::downloadAnnounced()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!run || run->countAnnouncedSize(reply))
        return;
    qDebug() << Q_FUNC_INFO << "Not enough free space on the card for" << reply->url().toString();
    failRun(DeviceWriter::missingRoomText(-run->spareRoom));
}

bool UpdatePrivate::startDownloads()
{
    if (!run->keptFilesLookedUp)
        return restoreKeptFiles();
    while (!run->pendingFiles.isEmpty() && run->downloadReplies.size() < MaximumRunningDownloads) {
        const File file = run->pendingFiles.takeFirst();
        run->fetchedFiles.append(file);
        const UpdateRun *current = run;
        downloadFile(file.url, file);
        if (run != current)
            return false;
    }
    return true;
}

void UpdatePrivate::downloadFile(const QString &url, const UpdatePrivate::File &file)
{
    const QFileInfo local(file.localPath(run->tempPath()));
    // GCC's Q_FUNC_INFO shortens the nested type to "const File&"; the log
    // names it in full like everywhere else.
    qDebug() << "void UpdatePrivate::downloadFile(const QString&, const UpdatePrivate::File&)" << "Creating temp file"
             << local.absoluteFilePath();
    qint64 offset = 0;
    QString error;
    QFile *localFile = run->createLocalFile(file, &keptFiles, &offset, &error);
    if (!localFile) {
        failRun(error);
        return;
    }
    QNetworkReply *reply = offset > 0 ? Helpers::Network::getFrom(networkManager, url, offset)
                                      : Helpers::Network::get(networkManager, url);
    reply->setReadBufferSize(ReplyBufferSize);
    // What the signed record gives as the file's size; no server sends more.
    Helpers::Network::limitBodySize(reply, file.size >= 0 ? file.size - offset : MaximumFileSize);
    connect(reply, SIGNAL(readyRead()), this, SLOT(downloadWrite()));
    connect(reply, SIGNAL(metaDataChanged()), this, SLOT(downloadAnnounced()));
    run->downloadReplies.insert(reply, localFile);
    if (offset > 0)
        run->resumedFrom.insert(reply, offset);
    // startDownloads() has just appended the file to fetchedFiles.
    run->downloadIndex.insert(reply, run->fetchedFiles.size() - 1);
    connect(reply, SIGNAL(finished()), this, SLOT(downloadFinished()));
}

bool UpdatePrivate::writeDownload(QNetworkReply *reply)
{
    QFile *file = run->downloadReplies.value(reply);
    QString failure = run->checkResumedAnswer(reply, file);
    if (failure.isEmpty() && run->beyondKnownSize(reply, file))
        failure = transferFailure("Download", reply);
    if (failure.isEmpty() && reply->isOpen() && !Helpers::IO::copy(reply, file)) {
        failure = QStringLiteral("Cannot store the download \"%1\" in \"%2\": %3")
                      .arg(reply->url().toString(), QDir::toNativeSeparators(file->fileName()), file->errorString());
    }
    if (failure.isEmpty())
        return true;
    failRun(failure);
    return false;
}

void UpdatePrivate::downloadWrite()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (run && run->downloadReplies.contains(reply))
        writeDownload(reply);
}

void UpdatePrivate::downloadFinished()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!run || !run->downloadReplies.contains(reply)) {
        qDebug() << Q_FUNC_INFO << "Finished download from previous update";
        return;
    }
    if (!writeDownload(reply) || !takeDownload(reply))
        return;
    const int total = run->fetchedFiles.size() + run->pendingFiles.size();
    if (!announce(&Update::downloadedFiles, run->fetchedFiles.size() - run->downloadReplies.size(), total)
        || !startDownloads())
        return;
    if (run->downloadReplies.isEmpty() && run->pendingFiles.isEmpty())
        startVerification();
}

// Closes the file of a finished download and starts its hash on the thread
// pool while the other downloads go on, so that little of the verification
// is left when the last download ends. False when the download failed.
bool UpdatePrivate::takeDownload(QNetworkReply *reply)
{
    QString localPath;
    const QString closeError = run->closeDownload(reply, &localPath);
    if (!Helpers::Network::succeeded(reply)) {
        if (closeError.isEmpty())
            run->keepPartOf(reply, localPath, &keptFiles);
        failRun(transferFailure("Download", reply));
        return false;
    }
    if (!closeError.isEmpty()) {
        failRun(QStringLiteral("Cannot write \"%1\": %2").arg(QDir::toNativeSeparators(localPath), closeError));
        return false;
    }
    const int index = run->downloadIndex.take(reply);
    const File &fetched = run->fetchedFiles.at(index);
    run->setFileCheck(index, RunTasks::checkFile(run->shared, fetched.localPath(run->tempPath()), fetched));
    return true;
}

// Before the first download of a run, the files kept from a failed attempt
// are hashed again on the thread pool and those that still match are taken
// into this run instead of being fetched.
bool UpdatePrivate::restoreKeptFiles()
{
    run->keptFilesLookedUp = true;
    keepTask.waitForFinished();
    run->setAsideKeptFiles(keptFiles.digests());
    if (run->restoringFiles.isEmpty())
        return startDownloads();
    qDebug() << Q_FUNC_INFO << "Checking" << run->restoringFiles.size() << "files kept from the last attempt";
    run->restoreTask = RunTasks::restore(&keptFiles, run->shared, run->restoringFiles);
    run->restoreWatcher = run->watch(run->restoreTask, SLOT(keptFilesRestored()));
    return true;
}

void UpdatePrivate::keptFilesRestored()
{
    const QList<int> restored = run->restoreWatcher->result();
    const int fetchAgain = run->takeRestoredFiles(restored);
    qDebug() << Q_FUNC_INFO << restored.size() << "kept files taken," << fetchAgain << "to fetch again";
    const int count = run->fetchedFiles.size();
    if (!restored.isEmpty() && !announce(&Update::downloadedFiles, count, count + run->pendingFiles.size()))
        return;
    if (startDownloads() && run->downloadReplies.isEmpty() && run->pendingFiles.isEmpty())
        startVerification();
}

// A failed run leaves its downloads that arrived whole and matched their
// digest to the next attempt, and the start of those that broke off. The
// store keeps only files of this release.
void UpdatePrivate::keepVerifiedFiles()
{
    if (!run || run->fetchedFiles.isEmpty())
        return;
    keepTask.waitForFinished();
    keptFiles.keepOnly(run->wantedDigests());
    run->keepUnfinishedParts(&keptFiles);
    // The complete downloads are moved on the thread pool: a release has
    // hundreds, and waiting for the last hashes and moving them all would
    // hold up the window. The task keeps the run's directory until it ends.
    keepTask = RunTasks::keep(&keptFiles, run->shared, run->fetchedFiles, run->fileChecks, &keepStopped);
}

void UpdatePrivate::startVerification()
{
    if (!announce(&Update::veryfingDownloadedFiles))
        return;
    run->verifyWatcher =
        run->watch(RunTasks::verify(run->shared, run->fetchedFiles, run->fileChecks), SLOT(verifyFilesFinished()));
}

void UpdatePrivate::verifyFilesFinished()
{
    const bool verified = run->verifyWatcher->result();
    qDebug() << Q_FUNC_INFO << verified;
    if (!verified) {
        failRun(run->verificationFailure());
        return;
    }
    if (announce(&Update::copyingFiles))
        startCopy();
}

void UpdatePrivate::startCopy()
{
    QList<File> files = run->fetchedFiles;
    const QString failure = writeCardRecord(&files);
    if (!failure.isEmpty()) {
        failRun(failure);
        return;
    }
    const QFuture<bool> copy = RunTasks::copy(run->shared, devicePath, files, run->deviceInfoFile);
    run->copyWatcher = run->watch(copy, SLOT(copyFilesFinished()));
}

// The number of the release goes onto the card with its files, in the same
// write: the card names the release it holds, or the one it held before.
QString UpdatePrivate::writeCardRecord(QList<File> *files)
{
    if (!record)
        return QString();
    const File file{QString(), QString(), ReleaseRecord::cardFileName(), QString()};
    QSaveFile out(file.localPath(run->tempPath()));
    const QByteArray text = record->cardFileText();
    if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size() || !out.commit())
        return QStringLiteral("Cannot write \"%1\": %2").arg(out.fileName(), out.errorString());
    files->append(file);
    return QString();
}

void UpdatePrivate::copyFilesFinished()
{
    const bool copied = run->copyWatcher->result();
    if (!copied) {
        const QString &failure = run->shared->copyFailure;
        errorString = failure.isEmpty() ? QStringLiteral("Writing onto the device failed") : failure;
    }
    announceEnd(copied);
    // What is on the card now is never fetched again; what is not may be.
    // Either way the run's downloads go on the thread pool, while the end of
    // the run is announced: removing a gigabyte or ten thousand files on the
    // main thread would hold up the window for a fifth of a second.
    if (copied) {
        keepTask.waitForFinished();
        keptFiles.clear();
        RunTasks::remove(run->shared);
    } else {
        keepVerifiedFiles(); // its task removes what it does not keep
    }
    endRun();
}
