#include "update.h"
#include "update_p.h"

#include "cardpath.h"
#include "devicewriter.h"
#include "manifest.h"
#include "md5.h"
#include "releasesignature.h"

#include "device/deviceinfo.h"
#include "helpers/dir.h"
#include "helpers/io.h"
#include "helpers/network.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>
#include <QSet>
#include <QTextStream>
#include <QTimer>
#include <QUrl>
#include <QtConcurrent>

namespace {

constexpr int MaximumRunningDownloads = 10;
// What a file's address carries as it is, besides letters, digits and
// "-._~": the characters a URL path allows. Everything else (a blank, "#",
// "?", "%", controls, anything not ASCII) is escaped, so that a server that
// does not decode escapes still finds "A(1)+B.BIN".
const char UrlPathCharacters[] = "/!$&'()*+,;=:@";
constexpr int RunEndDelay = 300;
// What a reply may hold before the network thread waits for us to take it.
// Without a bound a fast server fills memory faster than the disk drains it.
constexpr qint64 ReplyBufferSize = 512 * 1024;

// The stop flag of the run whose copy this thread is carrying out. copyFiles
// keeps the signature its log lines name, so the flag cannot be an argument.
thread_local const QAtomicInt *copyStopFlag = nullptr;
// Where that copy puts the reason it failed, for the user.
thread_local QString *copyFailure = nullptr;

void setCopyFailure(const QString &reason)
{
    if (copyFailure)
        *copyFailure = reason;
}

// What the user is told when the write onto the card failed.
QString copyFailureReason(const DeviceWriter &writer)
{
    if (writer.failure() == DeviceWriter::VolumeGone)
        return QStringLiteral("The device was disconnected during the copy");
    if (writer.failure() == DeviceWriter::NoRoom)
        return writer.errorString();
    return QStringLiteral("Writing onto the device failed: %1").arg(writer.errorString());
}

bool md5Matches(QIODevice *device, const QString &md5, const QAtomicInt *stopped = nullptr)
{
    const QByteArray digest = Md5::hexDigest(device, [stopped] { return stopped && stopped->loadAcquire() != 0; });
    return !digest.isEmpty() && digest == md5.toLatin1();
}

bool md5Matches(const QString &path, const QString &md5, const QAtomicInt *stopped = nullptr)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    return md5Matches(&file, md5, stopped);
}

// Each downloaded file was hashed as soon as its download was complete
// (UpdatePrivate::startFileCheck); this collects the results in list order
// and stops at the first file that differs.
bool verifyFiles(const QString &directory, const QList<UpdatePrivate::File> &files,
                 const QList<QFuture<bool>> &checks, const QAtomicInt *stopped)
{
    for (int i = 0; i < files.size(); ++i) {
        QFuture<bool> check = checks.value(i);
        check.waitForFinished();
        if (stopped->loadAcquire() != 0)
            return false; // abandoned; nobody awaits the result
        if (check.isCanceled() || check.resultCount() == 0 || !check.result()) {
            const UpdatePrivate::File &file = files.at(i);
            qDebug() << Q_FUNC_INFO << "Downloaded file differs from its manifest" << file.localPath(directory)
                     << file.md5;
            return false;
        }
    }
    return true;
}

QString relativePath(const UpdatePrivate::File &file)
{
    return file.localPath(QString()).mid(1);
}

const char *failureText(DeviceWriter::Failure failure)
{
    switch (failure) {
    case DeviceWriter::CreatePathFailed:
        return "Create dest path failed";
    case DeviceWriter::SetAsideFailed:
        return "Failed to remove current file version";
    case DeviceWriter::CopyFailed:
        return "Copy failed";
    case DeviceWriter::RepairFailed:
        return "Repair of an interrupted update failed";
    case DeviceWriter::JournalFailed:
        return "Journal write failed";
    case DeviceWriter::InvalidTarget:
        return "Invalid destination";
    case DeviceWriter::SyncFailed:
        return "Sync failed";
    case DeviceWriter::NoRoom:
        return "Not enough free space on the card";
    case DeviceWriter::Stopped:
        return "Stopped";
    case DeviceWriter::VolumeGone:
        return "Device removed";
    case DeviceWriter::NotOnCard:
        return "Destination leads off the device";
    case DeviceWriter::NoFailure:
        break;
    }
    return "Failed";
}

// Writes the verified files onto the device through DeviceWriter, which
// stages them, commits them all at once and can undo every step, so that
// a failure leaves each device file with its old content and "ZUV.FW" in
// place.
bool copyFiles(const QString &source, const QString &destination, const QList<UpdatePrivate::File> &files)
{
    DeviceWriter writer(destination);
    writer.setStopFlag(copyStopFlag);
    writer.setRemovedAfterCommit({QStringLiteral("ZUV.FW")});
    for (const UpdatePrivate::File &file : files) {
        const QString from = file.localPath(source);
        if (!QFile::exists(from)) {
            qDebug() << Q_FUNC_INFO << "Source file does not exist" << from;
            setCopyFailure(QStringLiteral("The downloaded file \"%1\" is missing").arg(relativePath(file)));
            qDebug() << Q_FUNC_INFO << "Unwinding";
            return false;
        }
        writer.addFile(from, relativePath(file));
    }
    if (writer.write())
        return true;
    qDebug() << Q_FUNC_INFO << failureText(writer.failure()) << writer.errorString();
    setCopyFailure(copyFailureReason(writer));
    qDebug() << Q_FUNC_INFO << "Unwinding";
    const QList<DeviceWriter::Undo> undoSteps = writer.undoSteps();
    for (const DeviceWriter::Undo &undo : undoSteps) {
        if (undo.action == DeviceWriter::Undo::Removed)
            qDebug() << Q_FUNC_INFO << undo.path << "remove:" << undo.ok;
        else
            qDebug() << Q_FUNC_INFO << undo.path << "restore:" << undo.ok;
    }
    return false;
}

// What tells the device of a run from whatever is at its path later: its
// FW.ZUV, read whole (a real one is a few lines). Empty when there is none;
// the mark in front tells an empty file from a missing one.
QByteArray deviceInfoFile(const QString &root)
{
    QFile file(root + QStringLiteral("/FW.ZUV"));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return '+' + file.read(Device::MaximumInfoFileSize + 1);
}

// A card pulled out leaves its mount point behind as an empty directory,
// and another card may take its place; neither is written to.
bool sameDevice(const QString &root, const QByteArray &infoFile)
{
    if (deviceInfoFile(root) == infoFile)
        return true;
    qDebug() << Q_FUNC_INFO << "The device at" << root << "is not the one the update began on";
    setCopyFailure(QStringLiteral("The device was disconnected or replaced before the copy"));
    return false;
}

int httpStatus(QNetworkReply *reply)
{
    return Helpers::Network::statusCode(reply);
}

// Status 200 and nothing else; a body cut short, reset or stalled after a
// 200 fails as well.
bool transferSucceeded(QNetworkReply *reply)
{
    return Helpers::Network::succeeded(reply);
}

QString transferFailure(const char *what, QNetworkReply *reply)
{
    const QString url = reply->url().toString();
    const int status = httpStatus(reply);
    if (status != 0 && status != 200)
        return QStringLiteral("%1 \"%2\" failed: the server answered HTTP status %3").arg(QLatin1String(what), url).arg(status);
    return QStringLiteral("%1 \"%2\" failed: %3").arg(QLatin1String(what), url, Helpers::Network::failureText(reply));
}

// The same place on the card, whatever the letter case (the card's file
// system ignores it) or the spelling of the path.
QString placeKey(const UpdatePrivate::File &file)
{
    // Joined by hand: this runs for every file of a release, where the
    // argument formatting of localPath() adds up.
    const QString path = file.directory.isEmpty() ? file.filePath : file.directory + QLatin1Char('/') + file.filePath;
    return QDir::cleanPath(path).toLower();
}

} // namespace

// ---------------------------------------------------------------- File

QString UpdatePrivate::File::localPath(const QString &root) const
{
    if (directory.isEmpty())
        return QStringLiteral("%1/%2").arg(root, filePath);
    return QStringLiteral("%1/%2/%3").arg(root, directory, filePath);
}

// ---------------------------------------------------------------- Package

UpdatePrivate::Package::Package(const QString &url, const QString &devicePath, const QString &directory)
    : url(url)
    , devicePath(devicePath)
    , directory(directory)
    , checkState(NotStarted)
{
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
    const QDir dir(deviceDirectory());
    qDebug() << Q_FUNC_INFO << devicePath << directory << url;
    // An update interrupted earlier is finished or undone first, so that the
    // check never sees a mix of two releases.
    if (!DeviceWriter::repair(devicePath, {QStringLiteral("ZUV.FW")}, &failure))
        return;
    manifest.seek(0);
    Manifest::Reader reader(&manifest);
    const QUrl manifestUrl(url, QUrl::TolerantMode);
    const QString directoryUrl = url.left(url.size() - manifestUrl.fileName().size());
    CardPath card(devicePath);
    while (!reader.atEnd() && !isAbandoned()) {
        Manifest::Entry entry;
        const Manifest::LineKind kind = reader.next(&entry);
        if (kind == Manifest::LineKind::Blank)
            continue;
        qDebug() << "md5" << entry.md5 << "filePath" << entry.filePath;
        if (kind != Manifest::LineKind::Entry) {
            failure = QStringLiteral("Manifest \"%1\" line %2: %3")
                          .arg(url, QString::number(reader.lineNumber()), Manifest::problem(kind, entry));
            return;
        }
        const File file{directoryUrl + QString::fromLatin1(QUrl::toPercentEncoding(entry.filePath, UrlPathCharacters)),
                        directory, entry.filePath, entry.md5};
        listed.append(file);
        listedPlaces.append(placeKey(file));
        const QFileInfo target(dir.absoluteFilePath(entry.filePath));
        // A file reached through a link is not read: it counts as one that
        // differs, and the run refuses to write there before any download.
        if (target.exists() && card.check(relativePath(file)).isEmpty()
            && checkMd5(target.absoluteFilePath(), entry.md5)) {
            qDebug() << Q_FUNC_INFO << "Updated version on device";
            continue;
        }
        qDebug() << Q_FUNC_INFO << manifestUrl.isValid() << manifestUrl.fileName();
        files.append(file);
        filePlaces.append(listedPlaces.last());
    }
    // Nothing is fetched for a write that a link, a junction or another
    // volume below the root would carry somewhere else. Checked here rather
    // than on the main thread, where ten thousand files held the window up
    // for a tenth of a second.
    if (!isAbandoned() && !files.isEmpty()) {
        QStringList destinations;
        for (const File &file : qAsConst(files))
            destinations.append(relativePath(file));
        failure = card.checkWrite(destinations);
    }
}

bool UpdatePrivate::Package::checkMd5(const QString &path, const QString &md5)
{
    qDebug() << Q_FUNC_INFO << "Checking md5 of" << path;
    QByteArray digest;
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) {
        digest = Md5::hexDigest(&file, [this] { return isAbandoned(); });
        if (!digest.isEmpty())
            qDebug() << Q_FUNC_INFO << "md5" << digest;
    }
    return !digest.isEmpty() && digest == md5.toLatin1();
}

QFuture<void> UpdatePrivate::Package::startCheck()
{
    checkState.storeRelease(Checking);
    return QtConcurrent::run([this] {
        checkFilesForUpdate();
        if (!checkState.testAndSetOrdered(Checking, Checked))
            delete this; // abandoned by a reset while checking
    });
}

void UpdatePrivate::Package::release()
{
    if (!checkState.testAndSetOrdered(Checking, Abandoned))
        delete this;
}

bool UpdatePrivate::Package::isAbandoned() const
{
    return checkState.loadAcquire() == Abandoned;
}

// ---------------------------------------------------------------- Update

Update::Update(QNetworkAccessManager *manager, QObject *parent)
    : QObject(parent)
    , d(new UpdatePrivate(this, manager))
{
    reset(QString());
}

Update::~Update()
{
    reset(QString());
    // Files being kept for another attempt that will not come.
    d->keepStopped.storeRelease(1);
    d->keepTask.waitForFinished();
}

void Update::reset(const QString &devicePath)
{
    d->reset(devicePath);
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

void UpdatePrivate::reset(const QString &path)
{
    ++runSerial;
    devicePath = path;
    directories.clear();
    for (auto it = manifestReplies.cbegin(); it != manifestReplies.cend(); ++it) {
        dropReply(it.key());
        Package *package = it.value();
        if (package->signatureReply)
            dropReply(package->signatureReply);
        delete package->checkWatcher; // a check of this run never reports again
        package->checkWatcher = nullptr;
        package->release();
    }
    manifestReplies.clear();
    for (auto it = downloadReplies.cbegin(); it != downloadReplies.cend(); ++it) {
        dropReply(it.key());
        it.value()->close();
        delete it.value();
    }
    downloadReplies.clear();
    pendingChecks = 0;
    pendingFiles.clear();
    fetchedFiles.clear();
    restoringFiles.clear();
    keptFilesLookedUp = false;
    endRun();
}

// Removes what a run keeps besides its replies: its temporary directory
// (a verification or copy still running keeps it until it ends), its
// result watchers, and it tells a running copy to undo its work.
void UpdatePrivate::endRun()
{
    if (runStopped)
        runStopped->storeRelease(1);
    runStopped.reset();
    // The file checks and the check of kept files stop within one block
    // once told to; none may still read a file when the directory goes.
    restoreTask.waitForFinished();
    restoreTask = QFuture<QList<int>>();
    delete restoreWatcher;
    restoreWatcher = nullptr;
    for (QFuture<bool> &check : fileChecks)
        check.waitForFinished();
    fileChecks.clear();
    downloadIndex.clear();
    resumedFrom.clear();
    tempDir.reset();
    delete verifyWatcher;
    verifyWatcher = nullptr;
    delete copyWatcher;
    copyWatcher = nullptr;
}

bool UpdatePrivate::beginRun()
{
    if (devicePath.isEmpty()) {
        failRun(QStringLiteral("No device to update"));
        return false;
    }
    if (directories.isEmpty()) {
        qDebug() << Q_FUNC_INFO << "Nothing to update";
        QTimer::singleShot(RunEndDelay, q, SIGNAL(updateReady()));
        return false;
    }
    // Qt answers a temporary location that does not exist with an empty
    // path, which would put the run's files at the file-system root.
    if (QDir::tempPath().isEmpty()) {
        failRun(QStringLiteral("The temporary location \"%1\" does not exist")
                    .arg(QString::fromLocal8Bit(qgetenv("TMPDIR"))));
        return false;
    }
    deviceInfoFile = ::deviceInfoFile(devicePath);
    runStopped.reset(new QAtomicInt(0));
    tempDir.reset(new QTemporaryDir);
    if (!tempDir->isValid()) {
        failRun(QStringLiteral("Cannot create a temporary directory: %1").arg(tempDir->errorString()));
        return false;
    }
    return true;
}

void UpdatePrivate::failRun(const QString &reason)
{
    qDebug() << Q_FUNC_INFO << reason;
    errorString = reason;
    QTimer::singleShot(RunEndDelay, q, SIGNAL(downloadError()));
    keepVerifiedFiles();
    q->reset(devicePath);
}

void UpdatePrivate::dropReply(QNetworkReply *reply)
{
    disconnect(reply, nullptr, q, nullptr);
    disconnect(reply, nullptr, this, nullptr);
    reply->abort();
    reply->deleteLater();
}

void UpdatePrivate::requestManifest(const QString &manifestUrl, const QString &directory)
{
    QNetworkReply *reply = Helpers::Network::get(networkManager, manifestUrl);
    reply->setReadBufferSize(ReplyBufferSize);
    auto *package = new Package(manifestUrl, devicePath, directory);
    connect(reply, SIGNAL(readyRead()), this, SLOT(manifestWrite()));
    manifestReplies.insert(reply, package);
    connect(reply, SIGNAL(finished()), this, SLOT(manifestDownloaded()));
    if (ReleaseSignature::required())
        requestSignature(package);
}

// The signature is fetched beside its manifest; the manifest is read only
// once both are in and the signature holds.
void UpdatePrivate::requestSignature(Package *package)
{
    package->signatureReply = ReleaseSignature::request(networkManager, package->url);
    connect(package->signatureReply, SIGNAL(finished()), this, SLOT(manifestDownloaded()));
}

UpdatePrivate::Package *UpdatePrivate::packageOfSignature(QNetworkReply *reply) const
{
    for (Package *package : manifestReplies) {
        if (reply && package->signatureReply == reply)
            return package;
    }
    return nullptr;
}

// Nothing a manifest lists is fetched, let alone written to the card,
// unless the publisher signed the manifest.
bool UpdatePrivate::checkSignatures()
{
    for (Package *package : qAsConst(manifestReplies)) {
        if (!package->signatureReply)
            continue;
        package->manifest.seek(0);
        const QString failure = ReleaseSignature::checkReply(package->signatureReply, &package->manifest);
        if (!failure.isEmpty()) {
            failRun(QStringLiteral("Manifest \"%1\" refused: %2").arg(package->url, failure));
            return false;
        }
    }
    for (Package *package : qAsConst(manifestReplies)) {
        if (package->signatureReply)
            package->signatureReply->deleteLater();
        package->signatureReply = nullptr;
    }
    return true;
}

bool UpdatePrivate::writeManifest(QNetworkReply *reply)
{
    QTemporaryFile &manifest = manifestReplies.value(reply)->manifest;
    if (!reply->isOpen() || Helpers::IO::copy(reply, &manifest))
        return true;
    failRun(QStringLiteral("Cannot store the manifest \"%1\" in \"%2\": %3")
                .arg(reply->url().toString(), manifest.fileName(), manifest.errorString()));
    return false;
}

void UpdatePrivate::manifestWrite()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (manifestReplies.contains(reply))
        writeManifest(reply);
}

void UpdatePrivate::manifestDownloaded()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    const bool isSignature = packageOfSignature(reply) != nullptr;
    if (!manifestReplies.contains(reply) && !isSignature) {
        qDebug() << Q_FUNC_INFO << "Finished request from previous update";
        return;
    }
    if (!isSignature && !writeManifest(reply))
        return;
    // The reply that has just finished is judged at once, so a failure is
    // not held up behind manifests still on their way.
    if (!isSignature && !transferSucceeded(reply)) {
        failRun(transferFailure("Manifest download", reply));
        return;
    }
    const QList<QNetworkReply *> replies = manifestReplies.keys();
    for (QNetworkReply *other : replies) {
        if (!other->isFinished())
            return;
        if (!transferSucceeded(other)) {
            failRun(transferFailure("Manifest download", other));
            return;
        }
    }
    for (const Package *package : qAsConst(manifestReplies)) {
        if (package->signatureReply && !package->signatureReply->isFinished())
            return;
    }
    if (!checkSignatures())
        return;
    startChecks();
}

void UpdatePrivate::startChecks()
{
    for (Package *package : qAsConst(manifestReplies)) {
        if (!package->manifest.isOpen()) {
            failRun(QStringLiteral("Cannot create a temporary file for the manifest \"%1\": %2")
                        .arg(package->url, package->manifest.errorString()));
            return;
        }
    }
    for (Package *package : qAsConst(manifestReplies)) {
        auto *watcher = new QFutureWatcher<void>();
        connect(watcher, SIGNAL(finished()), watcher, SLOT(deleteLater()));
        connect(watcher, SIGNAL(finished()), this, SLOT(checkFilesForUpdateFinished()));
        package->checkWatcher = watcher;
        watcher->setFuture(package->startCheck());
        ++pendingChecks;
    }
    emit q->preparingDownloadList();
}

void UpdatePrivate::checkFilesForUpdateFinished()
{
    for (Package *package : qAsConst(manifestReplies)) {
        if (package->checkWatcher == sender())
            package->checkWatcher = nullptr;
    }
    if (--pendingChecks != 0)
        return;
    qDebug() << Q_FUNC_INFO << "Finished checking files";
    QString failure = conflictBetweenPackages();
    for (Package *package : qAsConst(manifestReplies)) {
        if (failure.isEmpty())
            failure = package->failure;
    }
    if (!failure.isEmpty()) {
        failRun(failure);
        return;
    }
    gatherCheckedFiles();
    qDebug() << Q_FUNC_INFO << pendingFiles.size() << "files to update";
    if (pendingFiles.isEmpty()) {
        QTimer::singleShot(RunEndDelay, q, SIGNAL(updateReady()));
        endRun();
        return;
    }
    if (!checkRoomOnCard())
        return;
    startDownloads();
}

// The manifests give no sizes, so before the downloads only what each file
// takes on the card for certain is counted (a cluster, and its part of the
// journal); the writer counts again with the real sizes before it writes.
bool UpdatePrivate::checkRoomOnCard()
{
    announcedSizes = QList<qint64>();
    for (int i = 0; i < pendingFiles.size(); ++i)
        announcedSizes.append(0);
    spareRoom = DeviceWriter::spareRoom(devicePath, announcedSizes);
    if (spareRoom >= 0)
        return true;
    qDebug() << Q_FUNC_INFO << "Not enough free space on the card for" << pendingFiles.size() << "files";
    failRun(DeviceWriter::missingRoomText(-spareRoom));
    return false;
}

// Each download announces its size before its body. Once what they announce
// cannot fit on the card, the run ends there rather than after the last
// download. Only then is the card asked again, so that thousands of small
// files cost no look at the volume each.
void UpdatePrivate::downloadAnnounced()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    const int index = downloadIndex.value(reply, -1);
    const QVariant length = reply ? reply->header(QNetworkRequest::ContentLengthHeader) : QVariant();
    if (index < 0 || index >= announcedSizes.size() || !length.isValid() || announcedSizes.at(index) > 0)
        return;
    announcedSizes[index] = length.toLongLong() + resumedFrom.value(reply);
    spareRoom -= announcedSizes.at(index); // at least what the file takes beyond its cluster
    if (spareRoom >= 0)
        return;
    spareRoom = DeviceWriter::spareRoom(devicePath, announcedSizes);
    if (spareRoom >= 0)
        return;
    qDebug() << Q_FUNC_INFO << "Not enough free space on the card for" << reply->url().toString();
    failRun(DeviceWriter::missingRoomText(-spareRoom));
}

// Two manifests (the volume root has two) may name one place on the card.
// With one content it is fetched once; with two the release is broken.
QString UpdatePrivate::conflictBetweenPackages() const
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
                    .arg(relativePath(file), known->url, file.url);
            }
        }
    }
    return QString();
}

void UpdatePrivate::gatherCheckedFiles()
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
        it.value()->release();
    }
    manifestReplies.clear();
}

bool UpdatePrivate::startDownloads()
{
    if (!keptFilesLookedUp)
        return restoreKeptFiles();
    const quint64 run = runSerial;
    while (!pendingFiles.isEmpty() && downloadReplies.size() < MaximumRunningDownloads) {
        const File file = pendingFiles.takeFirst();
        fetchedFiles.append(file);
        downloadFile(file.url, file);
        if (run != runSerial)
            return false;
    }
    return run == runSerial;
}

void UpdatePrivate::downloadFile(const QString &url, const UpdatePrivate::File &file)
{
    const QFileInfo local(file.localPath(tempDir->path()));
    // GCC's Q_FUNC_INFO shortens the nested type to "const File&"; the log
    // names it in full like everywhere else.
    qDebug() << "void UpdatePrivate::downloadFile(const QString&, const UpdatePrivate::File&)" << "Creating temp file"
             << local.absoluteFilePath();
    QDir directory = local.absoluteDir();
    Helpers::Dir::createPath(directory);
    // A part kept from a failed attempt is completed rather than fetched
    // again; the whole file is verified all the same.
    const qint64 offset = keptFiles.takePart(file.md5, local.absoluteFilePath());
    auto *localFile = new QFile(local.absoluteFilePath());
    if (!localFile->open(QIODevice::ReadWrite) || (offset > 0 && !localFile->seek(offset))) {
        const QString error = localFile->errorString();
        delete localFile;
        failRun(QStringLiteral("Cannot create \"%1\": %2").arg(local.absoluteFilePath(), error));
        return;
    }
    QNetworkReply *reply = offset > 0 ? Helpers::Network::getFrom(networkManager, url, offset)
                                      : Helpers::Network::get(networkManager, url);
    reply->setReadBufferSize(ReplyBufferSize);
    connect(reply, SIGNAL(readyRead()), this, SLOT(downloadWrite()));
    connect(reply, SIGNAL(metaDataChanged()), this, SLOT(downloadAnnounced()));
    downloadReplies.insert(reply, localFile);
    if (offset > 0)
        resumedFrom.insert(reply, offset);
    // startDownloads() has just appended the file to fetchedFiles.
    downloadIndex.insert(reply, fetchedFiles.size() - 1);
    connect(reply, SIGNAL(finished()), this, SLOT(downloadFinished()));
}

bool UpdatePrivate::writeDownload(QNetworkReply *reply)
{
    QFile *file = downloadReplies.value(reply);
    if (resumedFrom.contains(reply) && !checkResumedAnswer(reply, file))
        return false;
    if (!reply->isOpen() || Helpers::IO::copy(reply, file))
        return true;
    failRun(QStringLiteral("Cannot store the download \"%1\" in \"%2\": %3")
                .arg(reply->url().toString(), file->fileName(), file->errorString()));
    return false;
}

// A download that continues a kept part gets the rest of the body (206
// from the byte asked for) or, from a server that does not serve ranges,
// all of it (200), which replaces the part.
bool UpdatePrivate::checkResumedAnswer(QNetworkReply *reply, QFile *file)
{
    const int status = httpStatus(reply);
    if (status == 0)
        return true; // no answer yet
    const qint64 offset = resumedFrom.take(reply);
    if (status == 200)
        return file->resize(0) && file->seek(0);
    const QByteArray range = reply->rawHeader("Content-Range");
    if (status != 206 || range.startsWith("bytes " + QByteArray::number(offset) + '-'))
        return true; // any other status fails when the download ends
    failRun(QStringLiteral("Download \"%1\" continued at byte %2 got the range \"%3\"")
                .arg(reply->url().toString())
                .arg(offset)
                .arg(QString::fromLatin1(range)));
    return false;
}

void UpdatePrivate::downloadWrite()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (downloadReplies.contains(reply))
        writeDownload(reply);
}

void UpdatePrivate::downloadFinished()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!downloadReplies.contains(reply)) {
        qDebug() << Q_FUNC_INFO << "Finished download from previous update";
        return;
    }
    if (!writeDownload(reply))
        return;
    QFile *file = downloadReplies.take(reply);
    file->close();
    const QString closeError = file->error() == QFileDevice::NoError ? QString() : file->errorString();
    const QString localPath = file->fileName();
    delete file;
    reply->deleteLater();
    if (!transferSucceeded(reply)) {
        if (closeError.isEmpty())
            keepPartOf(reply, localPath);
        failRun(transferFailure("Download", reply));
        return;
    }
    if (!closeError.isEmpty()) {
        failRun(QStringLiteral("Cannot write \"%1\": %2").arg(localPath, closeError));
        return;
    }
    startFileCheck(downloadIndex.take(reply));
    const quint64 run = runSerial;
    emit q->downloadedFiles(fetchedFiles.size() - downloadReplies.size(), fetchedFiles.size() + pendingFiles.size());
    if (run != runSerial || !startDownloads())
        return;
    if (downloadReplies.isEmpty() && pendingFiles.isEmpty())
        startVerification();
}

// Hashes a download on the thread pool as soon as it is complete, while the
// other downloads go on, so that little of the verification is left when
// the last download ends.
void UpdatePrivate::startFileCheck(int index)
{
    while (fileChecks.size() <= index)
        fileChecks.append(QFuture<bool>());
    const File &file = fetchedFiles.at(index);
    fileChecks[index] = QtConcurrent::run(
        [path = file.localPath(tempDir->path()), md5 = file.md5, stopped = runStopped] {
            return md5Matches(path, md5, stopped.data());
        });
}

namespace {

// The check of a file that is known to match already.
QFuture<bool> matchedAlready()
{
    QFutureInterface<bool> check;
    check.reportStarted();
    check.reportResult(true);
    check.reportFinished();
    return check.future();
}

} // namespace

// Before the first download of a run, the files kept from a failed attempt
// are hashed again on the thread pool and those that still match are taken
// into this run instead of being fetched.
bool UpdatePrivate::restoreKeptFiles()
{
    keptFilesLookedUp = true;
    keepTask.waitForFinished();
    const QSet<QString> kept = keptFiles.digests();
    for (auto it = pendingFiles.begin(); !kept.isEmpty() && it != pendingFiles.end();) {
        if (kept.contains(it->md5)) {
            restoringFiles.append(*it);
            it = pendingFiles.erase(it);
        } else {
            ++it;
        }
    }
    if (restoringFiles.isEmpty())
        return startDownloads();
    qDebug() << Q_FUNC_INFO << "Checking" << restoringFiles.size() << "files kept from the last attempt";
    restoreWatcher = new QFutureWatcher<QList<int>>();
    connect(restoreWatcher, SIGNAL(finished()), this, SLOT(keptFilesRestored()));
    restoreTask = QtConcurrent::run(
        [store = &keptFiles, files = restoringFiles, root = tempDir->path(), stopped = runStopped] {
            QList<int> restored;
            for (int i = 0; i < files.size() && stopped->loadAcquire() == 0; ++i) {
                if (store->restore(files.at(i).md5, files.at(i).localPath(root), stopped.data()))
                    restored.append(i);
            }
            return restored;
        });
    restoreWatcher->setFuture(restoreTask);
    return true;
}

void UpdatePrivate::keptFilesRestored()
{
    const QList<int> restored = restoreWatcher->result();
    restoreWatcher->deleteLater();
    restoreWatcher = nullptr;
    restoreTask = QFuture<QList<int>>();
    QList<File> fetchAgain;
    for (int i = 0, next = 0; i < restoringFiles.size(); ++i) {
        if (next < restored.size() && restored.at(next) == i) {
            ++next;
            fetchedFiles.append(restoringFiles.at(i));
            while (fileChecks.size() < fetchedFiles.size())
                fileChecks.append(QFuture<bool>());
            fileChecks.last() = matchedAlready();
        } else {
            fetchAgain.append(restoringFiles.at(i));
        }
    }
    restoringFiles.clear();
    pendingFiles = fetchAgain + pendingFiles;
    qDebug() << Q_FUNC_INFO << restored.size() << "kept files taken," << fetchAgain.size() << "to fetch again";
    if (!restored.isEmpty()) {
        const quint64 run = runSerial;
        emit q->downloadedFiles(fetchedFiles.size(), fetchedFiles.size() + pendingFiles.size());
        if (run != runSerial)
            return;
    }
    if (startDownloads() && downloadReplies.isEmpty() && pendingFiles.isEmpty())
        startVerification();
}

// A failed run leaves its downloads that arrived whole and matched their
// digest to the next attempt, and the start of those that broke off. The
// store keeps only files of this release.
void UpdatePrivate::keepVerifiedFiles()
{
    if (!tempDir || fetchedFiles.isEmpty())
        return;
    QSet<QString> wanted;
    for (const File &file : qAsConst(fetchedFiles))
        wanted.insert(file.md5);
    for (const File &file : qAsConst(pendingFiles))
        wanted.insert(file.md5);
    keepTask.waitForFinished();
    keptFiles.keepOnly(wanted);
    for (auto it = downloadReplies.cbegin(); it != downloadReplies.cend(); ++it) {
        it.value()->close();
        if (it.value()->error() == QFileDevice::NoError)
            keepPartOf(it.key(), it.value()->fileName());
    }
    // The complete downloads are moved on the thread pool: a release has
    // hundreds, and waiting for the last hashes and moving them all would
    // hold up the window. The task keeps the run's directory until it ends.
    // A hash that the end of the run stopped is done again here.
    keepTask = QtConcurrent::run([store = &keptFiles, dir = tempDir, files = fetchedFiles, checks = fileChecks,
                                  stopped = &keepStopped]() mutable {
        int kept = 0;
        for (int i = 0; i < files.size() && i < checks.size() && stopped->loadAcquire() == 0; ++i) {
            QFuture<bool> check = checks.at(i);
            if (check.isCanceled())
                continue; // not complete
            check.waitForFinished();
            const QString path = files.at(i).localPath(dir->path());
            const bool verified =
                (check.resultCount() > 0 && check.result()) || md5Matches(path, files.at(i).md5, stopped);
            if (verified && store->keep(path, files.at(i).md5))
                ++kept;
        }
        qDebug() << "void UpdatePrivate::keepVerifiedFiles()" << kept << "verified files kept for the next attempt";
        dir.reset();
    });
}

// What a download that broke off after a sound answer has written is the
// start of its file, which the next attempt may complete; so is a part
// taken from the store whose continuation got no answer at all.
void UpdatePrivate::keepPartOf(QNetworkReply *reply, const QString &localPath)
{
    const int status = httpStatus(reply);
    if ((status == 200 || status == 206 || resumedFrom.contains(reply)) && downloadIndex.contains(reply))
        keptFiles.keepPart(localPath, fetchedFiles.at(downloadIndex.value(reply)).md5);
}

void UpdatePrivate::startVerification()
{
    const quint64 run = runSerial;
    emit q->veryfingDownloadedFiles();
    if (run != runSerial)
        return;
    delete verifyWatcher;
    verifyWatcher = new QFutureWatcher<bool>();
    connect(verifyWatcher, SIGNAL(finished()), this, SLOT(verifyFilesFinished()));
    verifyWatcher->setFuture(QtConcurrent::run(
        [dir = tempDir, files = fetchedFiles, checks = fileChecks, stopped = runStopped]() mutable {
            const bool verified = verifyFiles(dir->path(), files, checks, stopped.data());
            // A failed run keeps its verified downloads for the next attempt
            // (UpdatePrivate::keepVerifiedFiles); the others go with the run.
            dir.reset(); // the directory goes now if the run was abandoned meanwhile
            return verified;
        }));
}

void UpdatePrivate::verifyFilesFinished()
{
    QFutureWatcher<bool> *watcher = verifyWatcher;
    verifyWatcher = nullptr;
    watcher->deleteLater();
    const bool verified = watcher->result();
    qDebug() << Q_FUNC_INFO << verified;
    if (!verified) {
        failRun(verificationFailure());
        return;
    }
    const quint64 run = runSerial;
    emit q->copyingFiles();
    if (run == runSerial)
        startCopy();
}

// The first download whose hash differs from its manifest: the verification
// waited for every hash before it, so those are all in.
QString UpdatePrivate::verificationFailure() const
{
    for (int i = 0; i < fileChecks.size() && i < fetchedFiles.size(); ++i) {
        const QFuture<bool> &check = fileChecks.at(i);
        if (check.isFinished() && (check.isCanceled() || check.resultCount() == 0 || !check.result())) {
            return QStringLiteral("The downloaded file \"%1\" did not match its digest")
                .arg(relativePath(fetchedFiles.at(i)));
        }
    }
    return QStringLiteral("Verification of the downloaded files failed");
}

void UpdatePrivate::startCopy()
{
    copyFailureText.reset(new QString);
    delete copyWatcher;
    copyWatcher = new QFutureWatcher<bool>();
    connect(copyWatcher, SIGNAL(finished()), this, SLOT(copyFilesFinished()));
    copyWatcher->setFuture(QtConcurrent::run(
        [dir = tempDir, stopped = runStopped, destination = devicePath, files = fetchedFiles,
         device = deviceInfoFile, failure = copyFailureText]() mutable {
            copyStopFlag = stopped.data();
            copyFailure = failure.data();
            const bool copied = sameDevice(destination, device) && copyFiles(dir->path(), destination, files);
            copyStopFlag = nullptr;
            copyFailure = nullptr;
            dir.reset(); // the directory goes now if the run was abandoned meanwhile
            return copied;
        }));
}

void UpdatePrivate::copyFilesFinished()
{
    const bool copied = copyWatcher->result();
    if (!copied)
        errorString = copyFailureText->isEmpty() ? QStringLiteral("Writing onto the device failed") : *copyFailureText;
    QTimer::singleShot(RunEndDelay, q, copied ? SIGNAL(updateReady()) : SIGNAL(downloadError()));
    copyWatcher->deleteLater();
    copyWatcher = nullptr;
    // What is on the card now is never fetched again; what is not may be.
    // Either way the run's downloads go on the thread pool, while the end of
    // the run is announced: removing a gigabyte or ten thousand files on the
    // main thread would hold up the window for a fifth of a second.
    if (copied) {
        keepTask.waitForFinished();
        keptFiles.clear();
        QtConcurrent::run([dir = std::move(tempDir)] {
            if (dir)
                dir->remove();
        });
    } else {
        keepVerifiedFiles(); // its task removes what it does not keep
    }
    endRun();
}
