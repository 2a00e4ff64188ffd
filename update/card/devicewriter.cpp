#include "devicewriter.h"
#include "devicewriter_p.h"

#include "cardhandles_p.h"
#include "cardpath.h"
#include "filesystem.h"
#include "update/release/manifest.h"

#include "helpers/dir.h"

#include <QAtomicInt>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QSet>
#include <QStorageInfo>

#include <atomic>
#include <limits>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace {

// What one file adds to the journal at most, besides its path.
constexpr qint64 JournalBytesPerFile = 2 * (8 + 20 + 64) + 256; // two versions and a path of up to 256 characters
constexpr qint64 JournalBytes = 256;

// One write or repair at a time in the process, so that a repair never
// undoes the journal of a write that is still running (an abandoned run's
// copy may still be finishing when the next run checks the device).
QMutex writeMutex;
std::atomic<DeviceWriterPrivate::StepHook> stepHook{nullptr};

// Which volume a path is on; empty when the path is gone. A card pulled out
// part way leaves its mount point behind as a directory of another volume.
QByteArray volumeOf(const QString &path)
{
#ifdef Q_OS_UNIX
    struct stat status;
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return QByteArray();
    return QByteArray::number(quint64(status.st_dev));
#else
    const QStorageInfo volume(path);
    return volume.isValid() ? volume.rootPath().toUtf8() + '\n' + volume.device() : QByteArray();
#endif
}

} // namespace

void DeviceWriterPrivate::setStepHook(StepHook hook)
{
    stepHook.store(hook);
}

DeviceWriterPrivate::DeviceWriterPrivate(const QString &root)
    : root(root)
    , journal(root)
{
    journal.stepContext = this;
    journal.stepHook = [](void *context, const char *what) { static_cast<DeviceWriterPrivate *>(context)->step(what); };
}

bool DeviceWriterPrivate::fail(DeviceWriter::Failure kind, const QString &error)
{
    failure = kind;
    errorString = error;
    return false;
}

bool DeviceWriterPrivate::failAndUndo(DeviceWriter::Failure kind, const QString &error)
{
    fail(kind, error);
    if (volumeGone()) // nothing to undo here; the journal on the card lets the next run do it
        return false;
    QString undoError;
    // A commit that may have reached the card is taken back before any
    // file is, so that a cut during the undo does not complete the write.
    if (journal.committed) {
        journal.committed = false;
        if (!journal.write(&undoError)) {
            errorString += QStringLiteral("; undo not started: ") + undoError;
            return false;
        }
    }
    const WriterJournal::Direction direction = journal.direction();
    if (direction == WriterJournal::Direction::Back
        && journal.complete(direction, &undoSteps, &undoError) == WriterJournal::Completion::Done)
        return false;
    if (direction != WriterJournal::Direction::Back)
        undoError = QStringLiteral("an old version is no longer on the card");
    // The journal stays, so the next run finishes the undo.
    errorString += QStringLiteral("; undo incomplete: ") + undoError;
    return false;
}

void DeviceWriterPrivate::step(const char *what)
{
    ++steps;
    if (const auto hook = stepHook.load())
        hook(steps, what);
}

bool DeviceWriterPrivate::stopRequested() const
{
    return stopFlag && stopFlag->loadAcquire() != 0;
}

// Checked before every step that writes, so that nothing is written into
// the mount point a pulled card leaves behind.
bool DeviceWriterPrivate::volumeGone()
{
    if (volumeOf(root) == volume)
        return false;
    failure = DeviceWriter::VolumeGone;
    errorString = QStringLiteral("The volume at \"%1\" was removed").arg(root);
    return true;
}

// Refuses a write that a link, a junction or another volume below the root
// would carry off the card, before anything is written.
bool DeviceWriterPrivate::staysOnCard()
{
    journal.removedAfterCommit = removedAfterCommit;
    const QString error = journal.checkOnCard();
    return error.isEmpty() || fail(DeviceWriter::NotOnCard, error);
}

// Notes which files have an old version and which directories are missing,
// and refuses destinations that cannot hold a file of their own.
bool DeviceWriterPrivate::plan()
{
    QSet<QString> destinations;
    QSet<QString> missingDirectories;
    for (WriterJournal::File &file : journal.files) {
        const QFileInfo destination(journal.pathOf(file.relativePath));
        if (destination.isDir())
            return fail(DeviceWriter::InvalidTarget, QStringLiteral("\"%1\" is a directory").arg(destination.filePath()));
        // The card's file system ignores letter case.
        if (!Manifest::isSafeRelativePath(file.relativePath) || destinations.contains(file.relativePath.toLower()))
            return fail(DeviceWriter::InvalidTarget, QStringLiteral("\"%1\" is written twice").arg(destination.filePath()));
        destinations.insert(file.relativePath.toLower());
        file.hadOldVersion = destination.exists() || destination.isSymLink();
        if (!describe(&file))
            return false;
        QStringList missing;
        for (QString directory = QFileInfo(file.relativePath).path(); directory != QLatin1String(".");
             directory = QFileInfo(directory).path()) {
            if (QFileInfo(journal.pathOf(directory)).exists())
                break;
            missing.prepend(directory);
        }
        for (const QString &directory : qAsConst(missing)) {
            if (!missingDirectories.contains(directory))
                journal.createdDirectories.append(directory);
            missingDirectories.insert(directory);
        }
    }
    return true;
}

// The digest and size of the new version, and of the old one where there
// is one, for the journal: the repair tells the versions apart by them.
bool DeviceWriterPrivate::describe(WriterJournal::File *file)
{
    const QString destination = journal.pathOf(file->relativePath);
    for (const QChar c : file->relativePath) {
        if (c.category() == QChar::Other_Control)
            return fail(DeviceWriter::InvalidTarget, QStringLiteral("\"%1\" holds a control character").arg(destination));
    }
    file->newDigest = FileSystem::digestOf(file->source, &file->newSize);
    if (file->newDigest.isEmpty())
        return fail(DeviceWriter::CopyFailed, QStringLiteral("Cannot read \"%1\"").arg(file->source));
    if (!file->hadOldVersion)
        return true;
    file->oldDigest = FileSystem::digestOf(destination, &file->oldSize);
    if (file->oldDigest.isEmpty())
        return fail(DeviceWriter::SetAsideFailed, QStringLiteral("Cannot read \"%1\"").arg(destination));
    return true;
}

// Refuses a write the card has no room for before the first byte of it
// reaches the card, rather than failing half-way.
bool DeviceWriterPrivate::checkRoom()
{
    QList<qint64> sizes;
    for (const WriterJournal::File &file : qAsConst(journal.files))
        sizes.append(QFileInfo(file.source).size());
    const qint64 missing = DeviceWriter::missingRoom(root, sizes);
    if (missing > 0)
        return fail(DeviceWriter::NoRoom, DeviceWriter::missingRoomText(missing));
    return true;
}

bool DeviceWriterPrivate::writeJournal()
{
    QString error;
    if (!journal.write(&error))
        return failAndUndo(DeviceWriter::JournalFailed, error);
    step("journal written");
    return true;
}

bool DeviceWriterPrivate::createDirectories()
{
    if (volumeGone())
        return false;
    // Each directory once: a release puts hundreds of files in one.
    QSet<QString> created;
    for (const WriterJournal::File &file : qAsConst(journal.files)) {
        const QString directory = QFileInfo(journal.pathOf(file.relativePath)).path();
        if (created.contains(directory))
            continue;
        QString error;
        if (!FileSystem::createDirectory(directory, &error)) {
            const QString failed = QStringLiteral("Cannot create the directory \"%1\"").arg(directory);
            return failAndUndo(DeviceWriter::CreatePathFailed, error.startsWith(failed) ? error : failed + QStringLiteral(": ") + error);
        }
        created.insert(directory);
    }
    return true;
}

bool DeviceWriterPrivate::stageFile(const WriterJournal::File &file)
{
    QFile source(file.source);
    QFile staged(journal.pathOf(file.relativePath) + WriterJournal::stagedSuffix());
    if (!source.open(QIODevice::ReadOnly))
        return fail(DeviceWriter::CopyFailed, QStringLiteral("Cannot read \"%1\": %2").arg(source.fileName(), source.errorString()));
    // A leftover goes only when it is a plain file, and the staged file is
    // created afresh (O_CREAT | O_EXCL, CREATE_NEW on Windows), which fails
    // on a link at its name instead of writing through it.
    QString error;
    if (!CardPath::removePlainFile(staged.fileName(), &error))
        return fail(DeviceWriter::CopyFailed, error);
    if (!FileSystem::createNew(staged, staged.fileName(), &error))
        return fail(DeviceWriter::CopyFailed, error);
    if (!FileSystem::copyData(source, staged, &error) || !FileSystem::syncFile(staged, &error))
        return fail(DeviceWriter::CopyFailed, error);
    staged.close();
    if (staged.error() != QFileDevice::NoError)
        return fail(DeviceWriter::CopyFailed, QStringLiteral("Cannot write \"%1\": %2").arg(staged.fileName(), staged.errorString()));
    return true;
}

bool DeviceWriterPrivate::stageFiles()
{
    for (const WriterJournal::File &file : qAsConst(journal.files)) {
        if (stopRequested())
            return failAndUndo(DeviceWriter::Stopped, QStringLiteral("Stopped before the copy was complete"));
        if (volumeGone())
            return false;
        if (!stageFile(file))
            return failAndUndo(failure, errorString);
        step("staged");
    }
    return true;
}

bool DeviceWriterPrivate::setAside(const WriterJournal::File &file)
{
    if (!file.hadOldVersion)
        return true;
    const QString destination = journal.pathOf(file.relativePath);
    QFile oldVersion(destination);
    FileSystem::makeWritable(oldVersion);
    QString error;
    if (!FileSystem::replaceFile(destination, destination + WriterJournal::setAsideSuffix(), &error))
        return fail(DeviceWriter::SetAsideFailed, error);
    step("set aside");
    return true;
}

bool DeviceWriterPrivate::moveIntoPlace(const WriterJournal::File &file)
{
    const QString destination = journal.pathOf(file.relativePath);
    QString error;
    if (!FileSystem::replaceFile(destination + WriterJournal::stagedSuffix(), destination, &error))
        return fail(DeviceWriter::CopyFailed, error);
    step("moved into place");
    return true;
}

// Every old version is set aside, and that is on the medium, before any new
// version takes its name: a card that kept the move into place of a file
// but not the move aside of its old version would have lost the old one.
bool DeviceWriterPrivate::commitFiles()
{
    for (const auto move : {&DeviceWriterPrivate::setAside, &DeviceWriterPrivate::moveIntoPlace}) {
        for (const WriterJournal::File &file : qAsConst(journal.files)) {
            if (stopRequested())
                return failAndUndo(DeviceWriter::Stopped, QStringLiteral("Stopped before the copy was complete"));
            if (volumeGone())
                return false;
            if (!(this->*move)(file))
                return failAndUndo(failure, errorString);
        }
        if (!syncEverything())
            return false;
    }
    return true;
}

bool DeviceWriterPrivate::syncEverything()
{
    QString error;
    if (!journal.syncTouched(&error))
        return failAndUndo(DeviceWriter::SyncFailed, error);
    step("synced");
    return true;
}

// The commit is on the medium, name and all, before the first old version
// or file to remove after it goes.
bool DeviceWriterPrivate::commitJournal()
{
    if (volumeGone())
        return false;
    journal.committed = true;
    QString error;
    if (!journal.write(&error))
        return failAndUndo(DeviceWriter::JournalFailed, error);
    step("journal committed");
    return true;
}

// Past the commit every new version is on the medium and nothing is undone.
// The write succeeds only once every new version was read back from the
// card and the removal of ZUV.FW flushed to it; a set-aside file that will
// not go keeps the journal for the next repair, the update is in place all
// the same. A card that fails or goes away before that ends the write as
// removed, and the next repair completes it from the journal.
void DeviceWriterPrivate::completeCommitted()
{
    if (volumeGone())
        return;
    QString error;
    QList<DeviceWriter::Undo> unused;
    const WriterJournal::Completion completion = journal.complete(WriterJournal::Direction::Forward, &unused, &error);
    if (volumeGone())
        return;
    if (completion == WriterJournal::Completion::Failed) {
        fail(DeviceWriter::VolumeGone, QStringLiteral("The update of \"%1\" could not be completed: %2").arg(root, error));
        return;
    }
    if (completion == WriterJournal::Completion::LeftoversKept)
        qDebug() << Q_FUNC_INFO << "Clean-up incomplete, left to the next run:" << error;
}

DeviceWriter::DeviceWriter(const QString &root)
    : d(new DeviceWriterPrivate(root))
{
}

DeviceWriter::~DeviceWriter()
{
    delete d;
}

void DeviceWriter::addFile(const QString &source, const QString &relativePath)
{
    WriterJournal::File file;
    file.source = source;
    file.relativePath = QDir::cleanPath(relativePath);
    d->journal.files.append(file);
}

void DeviceWriter::setStopFlag(const QAtomicInt *flag)
{
    d->stopFlag = flag;
}

void DeviceWriter::setRemovedAfterCommit(const QStringList &relativePaths)
{
    d->removedAfterCommit.clear();
    for (const QString &relativePath : relativePaths)
        d->removedAfterCommit.append(QDir::cleanPath(relativePath));
}

bool DeviceWriter::write()
{
    QMutexLocker locker(&writeMutex);
    const CardHandles handles(d->root);
    d->volume = volumeOf(d->root);
    QString error;
    if (!WriterJournal::repair(d->root, &error))
        return d->fail(RepairFailed, error);
    if (!d->staysOnCard() || !d->plan())
        return false;
    if (!d->checkRoom())
        return false;
    if (!d->writeJournal())
        return false;
    if (!d->createDirectories() || !d->stageFiles() || !d->commitFiles())
        return false;
    if (!d->commitJournal())
        return false;
    d->completeCommitted();
    return d->failure == NoFailure;
}

DeviceWriter::Failure DeviceWriter::failure() const
{
    return d->failure;
}

QString DeviceWriter::errorString() const
{
    return d->errorString;
}

const char *DeviceWriter::failureText(Failure failure)
{
    switch (failure) {
    case CreatePathFailed:
        return "Create dest path failed";
    case SetAsideFailed:
        return "Failed to remove current file version";
    case CopyFailed:
        return "Copy failed";
    case RepairFailed:
        return "Repair of an interrupted update failed";
    case JournalFailed:
        return "Journal write failed";
    case InvalidTarget:
        return "Invalid destination";
    case SyncFailed:
        return "Sync failed";
    case NoRoom:
        return "Not enough free space on the card";
    case Stopped:
        return "Stopped";
    case VolumeGone:
        return "Device removed";
    case NotOnCard:
        return "Destination leads off the device";
    case NoFailure:
        break;
    }
    return "Failed";
}

QString DeviceWriter::failureReason() const
{
    if (d->failure == VolumeGone)
        return QStringLiteral("The device was disconnected during the copy");
    const QString reason = Helpers::Dir::nativePathsIn(d->errorString);
    if (d->failure == NoRoom)
        return reason;
    return QStringLiteral("Writing onto the device failed: %1").arg(reason);
}

QList<DeviceWriter::Undo> DeviceWriter::undoSteps() const
{
    return d->undoSteps;
}

bool DeviceWriter::repair(const QString &root, const QStringList &removedAfterCommit, QString *errorString)
{
    Q_UNUSED(removedAfterCommit) // the journal names them itself
    QMutexLocker locker(&writeMutex);
    const CardHandles handles(root);
    QString error;
    const bool repaired = WriterJournal::repair(root, &error);
    if (!repaired)
        qDebug() << Q_FUNC_INFO << "Repair failed:" << error;
    if (errorString)
        *errorString = error;
    return repaired;
}

qint64 DeviceWriter::missingRoom(const QString &root, const QList<qint64> &fileSizes)
{
    return qMax<qint64>(0, -spareRoom(root, fileSizes));
}

qint64 DeviceWriter::spareRoom(const QString &root, const QList<qint64> &fileSizes)
{
    const QStorageInfo volume(root);
    // fusefat, for one, reports a volume of no size at all.
    if (!volume.isValid() || volume.bytesTotal() <= 0)
        return std::numeric_limits<qint64>::max();
    const qint64 cluster = qMax(volume.blockSize(), 512);
    const auto clusters = [cluster](qint64 bytes) { return (bytes + cluster - 1) / cluster * cluster; };
    qint64 needed = 0;
    for (const qint64 size : fileSizes)
        needed += clusters(qMax<qint64>(size, 1)); // a margin of one cluster for each file
    // The journal is written anew beside itself when the write is committed.
    needed += 2 * clusters(JournalBytes + fileSizes.size() * JournalBytesPerFile);
    return volume.bytesAvailable() - needed;
}

QString DeviceWriter::missingRoomText(qint64 bytes)
{
    const qint64 megabyte = 1024 * 1024;
    return QStringLiteral("The card needs %1 MB more free space").arg((bytes + megabyte - 1) / megabyte);
}
