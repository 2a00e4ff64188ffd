#include "updatejob_p.h"

#include "update/card/devicewriter.h"
#include "device/deviceinfo.h"
#include "keptfiles_p.h"
#include "package_p.h"
#include "update/release/releaserecord.h"
#include "runtasks_p.h"

#include "helpers/dir.h"
#include "helpers/io.h"
#include "helpers/network.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>
#include <QSaveFile>
#include <QScopedPointer>
#include <QSet>

#include <utility>

namespace {

constexpr int MaximumRunningDownloads = 10;
// What a reply may hold before the network thread waits for us to take it.
// Without a bound a fast server fills memory faster than the disk drains it.
constexpr qint64 ReplyBufferSize = 512 * 1024;
// Caps on what a server may send where no signed record gives the size: a
// manifest of ten thousand entries takes about 1 MiB; a firmware file is
// far below the size of any card.
constexpr qint64 MaximumManifestSize = 64 * 1024 * 1024;
constexpr qint64 MaximumFileSize = qint64(4) * 1024 * 1024 * 1024;

// The log names the steps of a run as it always has, whichever object
// takes them.
const char StartSignature[] = "void Update::start()";
const char ManifestDownloadedSignature[] = "void UpdatePrivate::manifestDownloaded()";
const char ChecksFinishedSignature[] = "void UpdatePrivate::checkFilesForUpdateFinished()";
const char DownloadFileSignature[] = "void UpdatePrivate::downloadFile(const QString&, const UpdatePrivate::File&)";
const char DownloadFinishedSignature[] = "void UpdatePrivate::downloadFinished()";
const char VerifiedSignature[] = "void UpdatePrivate::verifyFilesFinished()";

QString transferFailure(const char *what, QNetworkReply *reply)
{
    return Helpers::Network::transferFailure(QLatin1String(what), reply, reply->property("beyondKnownSize").toBool());
}

} // namespace

UpdateJob::Shared::~Shared()
{
    qDeleteAll(packages);
}

UpdateJob::UpdateJob(const Setup &setup, QObject *parent)
    : QObject(parent)
    , m_setup(setup)
    , m_shared(new Shared)
    , m_deviceInfoFile(setup.deviceInfoFile)
{
}

UpdateJob::~UpdateJob()
{
    kill();
}

// ---------------------------------------------------------------- the job's course

void UpdateJob::start()
{
    if (!checkRecordStillHolds() || !checkSameDevice())
        return;
    if (!m_shared->tempDir.isValid()) {
        fail(StorageError,
             QStringLiteral("Cannot create a temporary directory: %1").arg(m_shared->tempDir.errorString()));
        return;
    }
    m_phase = FetchingManifests;
    for (auto it = m_setup.directories.cbegin(); it != m_setup.directories.cend(); ++it) {
        qDebug() << StartSignature << "Downloading manifest" << it.key() << it.value();
        requestManifest(it.value(), it.key());
    }
}

void UpdateJob::kill()
{
    if (m_killed)
        return;
    m_killed = true;
    m_shared->stopped.storeRelease(1);
    for (auto it = m_manifestReplies.cbegin(); it != m_manifestReplies.cend(); ++it)
        dropReply(it.key());
    m_manifestReplies.clear();
    for (FileRecord *record : qAsConst(m_fetched)) {
        if (record->reply)
            dropReply(std::exchange(record->reply, nullptr));
        delete std::exchange(record->local, nullptr);
    }
    // The watchers of the job's tasks go with it; their tasks report to
    // nobody.
    const QObjectList watchers = children();
    for (QObject *watcher : watchers)
        watcher->disconnect(this);
    // The file checks and the check of kept files stop within one block
    // once told to; none may still read a file when the directory goes.
    m_restoreTask.waitForFinished();
    for (FileRecord *record : qAsConst(m_fetched))
        record->check.waitForFinished();
    m_shared.reset();
}

// Every failure of the job comes here: it is reported once, and the owner
// ends the job in its answer.
void UpdateJob::fail(Error error, const QString &text)
{
    if (m_killed || m_phase == Finished)
        return;
    m_phase = Finished;
    m_error = error;
    m_errorString = text;
    emit finished(error, text);
}

void UpdateJob::succeed()
{
    if (m_killed || m_phase == Finished)
        return;
    m_phase = Finished;
    emit finished(NoError, QString());
}

bool UpdateJob::enter(Phase phase)
{
    m_phase = phase;
    emit phaseChanged(phase);
    return !m_killed;
}

// The one count of the downloads: those complete or taken from the kept
// files, out of all the job fetches.
void UpdateJob::reportProgress()
{
    const int fetched = m_fetched.size();
    emit progress(fetched - m_runningDownloads, fetched + m_pending.size());
}

QString UpdateJob::tempPath() const
{
    return m_shared->tempDir.path();
}

// A task's end reaches handler while the job goes on: the watcher is the
// job's child, and kill() cuts it off.
template<typename T, typename Handler>
void UpdateJob::watch(const QFuture<T> &task, Handler handler)
{
    auto *watcher = new QFutureWatcher<T>(this);
    connect(watcher, &QFutureWatcher<T>::finished, this, [watcher, handler] { handler(watcher->future()); });
    watcher->setFuture(task);
}

void UpdateJob::dropReply(QNetworkReply *reply)
{
    reply->disconnect(this);
    reply->abort();
    reply->deleteLater();
}

// ---------------------------------------------------------------- manifests

// The record was good when the user was offered the release; the card or
// the clock may have changed since.
bool UpdateJob::checkRecordStillHolds()
{
    const ReleaseRecord *record = m_setup.record.data();
    if (!record && m_setup.recordRequired) {
        fail(RefusedError, QStringLiteral("Release refused: no signed release record was accepted for it"));
        return false;
    }
    if (!record)
        return true;
    const QString problem = record->problem(record->model, ReleaseRecord::cardSequence(m_setup.devicePath),
                                            QDateTime::currentDateTimeUtc());
    if (problem.isEmpty())
        return true;
    fail(RefusedError, QStringLiteral("Release refused: %1").arg(problem));
    return false;
}

// The card the user chose the update for, or else the one in place now;
// the copy looks again before it writes.
bool UpdateJob::checkSameDevice()
{
    if (m_setup.deviceInfoFile.isEmpty())
        m_deviceInfoFile = Device::infoFileSnapshot(m_setup.devicePath);
    if (Device::holdsCard(m_setup.devicePath, m_deviceInfoFile))
        return true;
    fail(DeviceChangedError, QStringLiteral("The device was disconnected or replaced since it was found"));
    return false;
}

void UpdateJob::requestManifest(const QString &manifestUrl, const QString &directory)
{
    QNetworkReply *reply = Helpers::Network::get(m_setup.manager, manifestUrl);
    reply->setReadBufferSize(ReplyBufferSize);
    auto *package = new Package(manifestUrl, m_setup.devicePath, directory, tempPath(), &m_shared->stopped);
    m_shared->packages.append(package);
    package->record = m_setup.record;
    if (package->record && manifestUrl.startsWith(m_setup.recordBase))
        package->pathInModel = manifestUrl.mid(m_setup.recordBase.size());
    const ReleaseRecord::Digest *digest = package->record ? package->record->digest(package->pathInModel) : nullptr;
    Helpers::Network::limitBodySize(reply, digest ? digest->size : MaximumManifestSize);
    m_manifestReplies.insert(reply, package);
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] { writeManifest(reply); });
    connect(reply, &QNetworkReply::finished, this, [this, reply] { manifestDownloaded(reply); });
}

bool UpdateJob::writeManifest(QNetworkReply *reply)
{
    QTemporaryFile &manifest = m_manifestReplies.value(reply)->manifest;
    if (!reply->isOpen() || Helpers::IO::copy(reply, &manifest))
        return true;
    fail(StorageError, QStringLiteral("Cannot store the manifest \"%1\" in \"%2\": %3")
                           .arg(reply->url().toString(), QDir::toNativeSeparators(manifest.fileName()),
                                manifest.errorString()));
    return false;
}

void UpdateJob::manifestDownloaded(QNetworkReply *reply)
{
    if (!m_manifestReplies.contains(reply)) {
        qDebug() << ManifestDownloadedSignature << "Finished request from previous update";
        return;
    }
    if (!writeManifest(reply))
        return;
    // The reply that has just finished is judged at once, so a failure is
    // not held up behind manifests still on their way.
    if (!Helpers::Network::succeeded(reply)) {
        fail(TransferError, transferFailure("Manifest download", reply));
        return;
    }
    if (!allManifestsArrived())
        return;
    // Nothing a manifest lists is fetched, let alone written to the card,
    // unless the signed record names the manifest, at its place, with its
    // digest.
    const QString refused = manifestDigestFailure();
    if (refused.isEmpty())
        startChecks();
    else
        fail(RefusedError, refused);
}

// Whether every manifest is in; a manifest that failed ends the job.
bool UpdateJob::allManifestsArrived()
{
    for (auto it = m_manifestReplies.cbegin(); it != m_manifestReplies.cend(); ++it) {
        if (!it.key()->isFinished())
            return false;
        if (!Helpers::Network::succeeded(it.key())) {
            fail(TransferError, transferFailure("Manifest download", it.key()));
            return false;
        }
    }
    return true;
}

QString UpdateJob::manifestDigestFailure() const
{
    for (Package *package : m_manifestReplies) {
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

QString UpdateJob::manifestFileFailure() const
{
    for (const Package *package : m_manifestReplies) {
        if (!package->manifest.isOpen()) {
            return QStringLiteral("Cannot create a temporary file for the manifest \"%1\": %2")
                .arg(package->url, package->manifest.errorString());
        }
    }
    return QString();
}

// ---------------------------------------------------------------- checks

void UpdateJob::startChecks()
{
    const QString failure = manifestFileFailure();
    if (!failure.isEmpty()) {
        fail(StorageError, failure);
        return;
    }
    for (Package *package : qAsConst(m_manifestReplies)) {
        watch(RunTasks::checkPackage(m_shared, package), [this](const QFuture<void> &) { checkFilesForUpdateFinished(); });
        ++m_pendingChecks;
    }
    enter(Checking);
}

void UpdateJob::checkFilesForUpdateFinished()
{
    if (--m_pendingChecks != 0)
        return;
    qDebug() << ChecksFinishedSignature << "Finished checking files";
    const QString failure = checkFailure();
    if (!failure.isEmpty()) {
        fail(ReleaseError, failure);
        return;
    }
    gatherCheckedFiles();
    qDebug() << ChecksFinishedSignature << m_pending.size() << "files to update";
    if (m_pending.isEmpty()) {
        succeed();
        return;
    }
    if (checkRoomOnCard())
        startDownloads();
}

QString UpdateJob::checkFailure() const
{
    QString failure = conflictBetweenPackages();
    for (const Package *package : m_manifestReplies) {
        if (failure.isEmpty())
            failure = package->failure;
    }
    return failure;
}

// Two manifests (the volume root has two) may name one place on the card.
// With one content it is fetched once; with two the release is broken.
QString UpdateJob::conflictBetweenPackages() const
{
    QHash<QString, File> byPlace;
    for (const Package *package : m_manifestReplies) {
        for (const FileRecord &entry : package->listed) {
            const File &file = entry.file;
            const auto known = byPlace.constFind(entry.place);
            if (known == byPlace.cend()) {
                byPlace.insert(entry.place, file);
            } else if (known->md5 != file.md5) {
                return QStringLiteral("Manifests list two different files for \"%1\": \"%2\" and \"%3\"")
                    .arg(QDir::toNativeSeparators(file.relativePath()), known->url, file.url);
            }
        }
    }
    return QString();
}

// Takes the files to fetch out of the checked packages, which go.
void UpdateJob::gatherCheckedFiles()
{
    QSet<QString> places;
    for (auto it = m_manifestReplies.cbegin(); it != m_manifestReplies.cend(); ++it) {
        for (const FileRecord &entry : it.value()->files) {
            if (!places.contains(entry.place))
                m_files.push_back(entry);
            places.insert(entry.place);
        }
        it.key()->deleteLater();
    }
    m_manifestReplies.clear();
    for (FileRecord &record : m_files)
        m_pending.append(&record);
    // Every check has ended: nothing else holds the packages.
    qDeleteAll(m_shared->packages);
    m_shared->packages.clear();
}

// The manifests give no sizes, so before the downloads only what each file
// takes on the card for certain is counted (a cluster, and its part of the
// journal); the writer counts again with the real sizes before it writes.
bool UpdateJob::checkRoomOnCard()
{
    m_spareRoom = DeviceWriter::spareRoom(m_setup.devicePath, announcedSizes());
    if (m_spareRoom >= 0)
        return true;
    qDebug() << Q_FUNC_INFO << "Not enough free space on the card for" << m_pending.size() << "files";
    fail(RoomError, DeviceWriter::missingRoomText(-m_spareRoom));
    return false;
}

QList<qint64> UpdateJob::announcedSizes() const
{
    QList<qint64> sizes;
    for (const FileRecord &record : m_files)
        sizes.append(record.announcedSize);
    return sizes;
}

// Only once what the downloads announce exceeds the room counted before
// is the card asked again, so that thousands of small files cost no look
// at the volume each.
bool UpdateJob::countAnnouncedSize(FileRecord *record)
{
    const QVariant length = record->reply ? record->reply->header(QNetworkRequest::ContentLengthHeader) : QVariant();
    if (!length.isValid() || record->announcedSize > 0)
        return true;
    record->announcedSize = length.toLongLong() + qMax<qint64>(record->resumedFrom, 0);
    m_spareRoom -= record->announcedSize; // at least what the file takes beyond its cluster
    if (m_spareRoom >= 0)
        return true;
    m_spareRoom = DeviceWriter::spareRoom(m_setup.devicePath, announcedSizes());
    return m_spareRoom >= 0;
}

// Each download announces its size before its body. Once what they announce
// cannot fit on the card, the job ends there rather than after the last
// download.
void UpdateJob::downloadAnnounced(FileRecord *record)
{
    if (countAnnouncedSize(record))
        return;
    qDebug() << Q_FUNC_INFO << "Not enough free space on the card for" << record->reply->url().toString();
    fail(RoomError, DeviceWriter::missingRoomText(-m_spareRoom));
}

// ---------------------------------------------------------------- downloads

// Whether the job goes on.
bool UpdateJob::startDownloads()
{
    if (!m_keptFilesLookedUp)
        return restoreKeptFiles();
    if (m_phase == Checking)
        m_phase = Downloading;
    while (!m_pending.isEmpty() && m_runningDownloads < MaximumRunningDownloads) {
        FileRecord *record = m_pending.takeFirst();
        m_fetched.append(record);
        downloadFile(record);
        if (m_phase == Finished || m_killed)
            return false;
    }
    return true;
}

void UpdateJob::downloadFile(FileRecord *record)
{
    const File &file = record->file;
    const QFileInfo local(file.localPath(tempPath()));
    qDebug() << DownloadFileSignature << "Creating temp file" << local.absoluteFilePath();
    qint64 offset = 0;
    QString error;
    record->local = createLocalFile(file, &offset, &error);
    if (!record->local) {
        fail(StorageError, error);
        return;
    }
    QNetworkReply *reply = offset > 0 ? Helpers::Network::getFrom(m_setup.manager, file.url, offset)
                                      : Helpers::Network::get(m_setup.manager, file.url);
    reply->setReadBufferSize(ReplyBufferSize);
    // What the signed record gives as the file's size; no server sends more.
    Helpers::Network::limitBodySize(reply, file.size >= 0 ? file.size - offset : MaximumFileSize);
    record->reply = reply;
    record->resumedFrom = offset > 0 ? offset : -1;
    ++m_runningDownloads;
    connect(reply, &QNetworkReply::readyRead, this, [this, record] { writeDownload(record); });
    connect(reply, &QNetworkReply::metaDataChanged, this, [this, record] { downloadAnnounced(record); });
    connect(reply, &QNetworkReply::finished, this, [this, record] { downloadFinished(record); });
}

// The local file of a download, continuing the part of it kept from *offset
// on; null with the reason in error when it cannot be made.
QFile *UpdateJob::createLocalFile(const File &file, qint64 *offset, QString *error)
{
    const QFileInfo local(file.localPath(tempPath()));
    QDir directory = local.absoluteDir();
    Helpers::Dir::createPath(directory);
    // A part kept from a failed attempt is completed rather than fetched
    // again; the whole file is verified all the same.
    *offset = m_setup.keptFiles->takePart(file.md5, local.absoluteFilePath());
    auto *localFile = new QFile(local.absoluteFilePath());
    if (localFile->open(QIODevice::ReadWrite) && (*offset <= 0 || localFile->seek(*offset)))
        return localFile;
    *error = QStringLiteral("Cannot create \"%1\": %2")
                 .arg(QDir::toNativeSeparators(local.absoluteFilePath()), localFile->errorString());
    delete localFile;
    return nullptr;
}

bool UpdateJob::writeDownload(FileRecord *record)
{
    QNetworkReply *reply = record->reply;
    QFile *file = record->local;
    if (!file)
        return false;
    QString failure = checkResumedAnswer(record);
    if (failure.isEmpty() && beyondKnownSize(*record))
        failure = transferFailure("Download", reply);
    if (failure.isEmpty() && reply->isOpen() && !Helpers::IO::copy(reply, file)) {
        failure = QStringLiteral("Cannot store the download \"%1\" in \"%2\": %3")
                      .arg(reply->url().toString(), QDir::toNativeSeparators(file->fileName()), file->errorString());
    }
    if (failure.isEmpty())
        return true;
    fail(TransferError, failure);
    return false;
}

// A download that continues a kept part gets the rest of the body (206
// from the byte asked for) or, from a server that does not serve ranges,
// all of it (200), which replaces the part. Empty while the answer is
// sound, otherwise why not.
QString UpdateJob::checkResumedAnswer(FileRecord *record)
{
    if (record->resumedFrom < 0)
        return QString();
    QNetworkReply *reply = record->reply;
    QFile *file = record->local;
    const int status = Helpers::Network::statusCode(reply);
    if (status == 0)
        return QString(); // no answer yet
    const qint64 offset = record->resumedFrom;
    record->resumedFrom = -1;
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
bool UpdateJob::beyondKnownSize(const FileRecord &record) const
{
    QNetworkReply *reply = record.reply;
    const qint64 size = record.file.size;
    if (size < 0 || !reply->isOpen() || record.local->pos() + reply->bytesAvailable() <= size)
        return false;
    reply->setProperty("beyondKnownSize", true);
    return true;
}

void UpdateJob::downloadFinished(FileRecord *record)
{
    if (!record->reply) {
        qDebug() << DownloadFinishedSignature << "Finished download from previous update";
        return;
    }
    if (!writeDownload(record) || !takeDownload(record))
        return;
    reportProgress();
    if (m_killed || !startDownloads())
        return;
    if (m_runningDownloads == 0 && m_pending.isEmpty())
        startVerification();
}

// Closes the file of a finished download and starts its hash on the thread
// pool while the other downloads go on, so that little of the verification
// is left when the last download ends. False when the download failed.
bool UpdateJob::takeDownload(FileRecord *record)
{
    QNetworkReply *reply = record->reply;
    QString localPath;
    const QString closeError = closeDownload(record, &localPath);
    const bool succeeded = Helpers::Network::succeeded(reply);
    if (!succeeded && closeError.isEmpty())
        keepPartOf(*record, localPath, m_setup.keptFiles);
    record->reply = nullptr;
    --m_runningDownloads;
    if (!succeeded) {
        fail(TransferError, transferFailure("Download", reply));
        return false;
    }
    if (!closeError.isEmpty()) {
        fail(StorageError, QStringLiteral("Cannot write \"%1\": %2").arg(QDir::toNativeSeparators(localPath), closeError));
        return false;
    }
    record->check = RunTasks::checkFile(m_shared, record->file.localPath(tempPath()), record->file);
    return true;
}

// Closes and forgets the file of a finished download: why the close
// failed, empty when it did not.
QString UpdateJob::closeDownload(FileRecord *record, QString *localPath)
{
    const QScopedPointer<QFile> file(std::exchange(record->local, nullptr));
    file->close();
    const QString closeError = file->error() == QFileDevice::NoError ? QString() : file->errorString();
    *localPath = file->fileName();
    record->reply->deleteLater();
    return closeError;
}

// What a download that broke off after a sound answer has written is the
// start of its file, which the next attempt may complete; so is a part
// taken from the store whose continuation got no answer at all.
void UpdateJob::keepPartOf(const FileRecord &record, const QString &localPath, KeptFiles *kept) const
{
    const int status = Helpers::Network::statusCode(record.reply);
    if (status == 200 || status == 206 || record.resumedFrom >= 0)
        kept->keepPart(localPath, record.file.md5);
}

void UpdateJob::keepUnfinishedParts(KeptFiles *kept)
{
    for (const FileRecord *record : qAsConst(m_fetched)) {
        if (!record->local)
            continue;
        record->local->close();
        if (record->local->error() == QFileDevice::NoError)
            keepPartOf(*record, record->local->fileName(), kept);
    }
}

QSet<QString> UpdateJob::wantedDigests() const
{
    QSet<QString> wanted;
    for (const FileRecord *record : m_fetched + m_pending)
        wanted.insert(record->file.md5);
    return wanted;
}

// What a task on the thread pool gets of the job's records.
QList<UpdateJob::FileRecord> UpdateJob::copies(const QList<FileRecord *> &records)
{
    QList<FileRecord> files;
    for (const FileRecord *record : records)
        files.append(*record);
    return files;
}

// ---------------------------------------------------------------- kept files

// Before the first download of a job, the files kept from a failed attempt
// are hashed again on the thread pool and those that still match are taken
// into this job instead of being fetched.
bool UpdateJob::restoreKeptFiles()
{
    m_keptFilesLookedUp = true;
    QFuture<void> keepTask = m_setup.keepTask;
    keepTask.waitForFinished();
    setAsideKeptFiles(m_setup.keptFiles->digests());
    if (m_restoring.isEmpty())
        return startDownloads();
    qDebug() << Q_FUNC_INFO << "Checking" << m_restoring.size() << "files kept from the last attempt";
    m_restoreTask = RunTasks::restore(m_setup.keptFiles, m_shared, copies(m_restoring));
    watch(m_restoreTask, [this](const QFuture<QList<int>> &task) { keptFilesRestored(task.result()); });
    return true;
}

// Moves the pending files whose digest is among kept to m_restoring.
void UpdateJob::setAsideKeptFiles(const QSet<QString> &kept)
{
    for (auto it = m_pending.begin(); !kept.isEmpty() && it != m_pending.end();) {
        if (kept.contains((*it)->file.md5)) {
            m_restoring.append(*it);
            it = m_pending.erase(it);
        } else {
            ++it;
        }
    }
}

void UpdateJob::keptFilesRestored(const QList<int> &restored)
{
    const int fetchAgain = takeRestoredFiles(restored);
    qDebug() << Q_FUNC_INFO << restored.size() << "kept files taken," << fetchAgain << "to fetch again";
    if (!restored.isEmpty())
        reportProgress();
    if (!m_killed && startDownloads() && m_runningDownloads == 0 && m_pending.isEmpty())
        startVerification();
}

// Takes the restored files (positions in m_restoring) as fetched and puts
// the others back in front of m_pending; how many those are.
int UpdateJob::takeRestoredFiles(const QList<int> &restored)
{
    QList<FileRecord *> fetchAgain;
    for (int i = 0, next = 0; i < m_restoring.size(); ++i) {
        FileRecord *record = m_restoring.at(i);
        if (next < restored.size() && restored.at(next) == i) {
            ++next;
            m_fetched.append(record);
            // Kept files are known by their MD5; a signed release wants
            // its SHA-256 as well.
            const File &file = record->file;
            record->check = file.sha256.isEmpty() ? RunTasks::matchedAlready()
                                                  : RunTasks::checkFile(m_shared, file.localPath(tempPath()), file);
        } else {
            fetchAgain.append(record);
        }
    }
    m_restoring.clear();
    m_pending = fetchAgain + m_pending;
    return fetchAgain.size();
}

// ---------------------------------------------------------------- verification and copy

void UpdateJob::startVerification()
{
    if (!enter(Verifying))
        return;
    watch(RunTasks::verify(m_shared, copies(m_fetched)),
          [this](const QFuture<bool> &task) { verifyFilesFinished(task.result()); });
}

void UpdateJob::verifyFilesFinished(bool verified)
{
    qDebug() << VerifiedSignature << verified;
    if (!verified) {
        fail(VerificationError, verificationFailure());
        return;
    }
    if (enter(Copying))
        startCopy();
}

// The first download whose hash differs from its manifest: the verification
// waited for every hash before it, so those are all in.
QString UpdateJob::verificationFailure() const
{
    for (const FileRecord *record : m_fetched) {
        const QFuture<bool> &check = record->check;
        if (check.isFinished() && (check.isCanceled() || check.resultCount() == 0 || !check.result())) {
            return QStringLiteral("The downloaded file \"%1\" did not match its digest")
                .arg(QDir::toNativeSeparators(record->file.relativePath()));
        }
    }
    return QStringLiteral("Verification of the downloaded files failed");
}

void UpdateJob::startCopy()
{
    QList<FileRecord> files = copies(m_fetched);
    const QString failure = writeCardRecord(&files);
    if (!failure.isEmpty()) {
        fail(StorageError, failure);
        return;
    }
    watch(RunTasks::copy(m_shared, m_setup.devicePath, files, m_deviceInfoFile),
          [this](const QFuture<bool> &task) { copyFilesFinished(task.result()); });
}

// The number of the release goes onto the card with its files, in the same
// write: the card names the release it holds, or the one it held before.
QString UpdateJob::writeCardRecord(QList<FileRecord> *files)
{
    if (!m_setup.record)
        return QString();
    const File file{QString(), QString(), ReleaseRecord::cardFileName(), QString()};
    QSaveFile out(file.localPath(tempPath()));
    const QByteArray text = m_setup.record->cardFileText();
    if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size() || !out.commit())
        return QStringLiteral("Cannot write \"%1\": %2").arg(out.fileName(), out.errorString());
    files->append(FileRecord{file});
    return QString();
}

void UpdateJob::copyFilesFinished(bool copied)
{
    if (copied) {
        succeed();
        return;
    }
    const QString failure = m_shared->copyFailure;
    if (m_shared->deviceChanged)
        fail(DeviceChangedError, failure);
    else
        fail(CopyError, failure.isEmpty() ? QStringLiteral("Writing onto the device failed") : failure);
}
