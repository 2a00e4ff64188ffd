#include "devicewriter.h"

#include "cardpath.h"
#include "filesystem.h"
#include "manifest.h"

#include "helpers/dir.h"

#include <QAtomicInt>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QMutexLocker>
#include <QSaveFile>
#include <QSet>
#include <QStorageInfo>

#include <atomic>
#include <limits>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace {

const char InfoFileName[] = "ZUV.FW";
constexpr qint64 LargestJournal = 16 * 1024 * 1024;
// What one file adds to the journal at most, besides its path.
constexpr qint64 JournalBytesPerFile = 64 + 256; // its flags and a path of up to 256 characters
constexpr qint64 JournalBytes = 256;

// One write or repair at a time in the process, so that a repair never
// undoes the journal of a write that is still running (an abandoned run's
// copy may still be finishing when the next run checks the device).
QMutex writeMutex;
std::atomic<DeviceWriter::StepHook> stepHook{nullptr};

struct PlannedFile {
    QString source;
    QString relativePath;
    bool hadOldVersion = false;
};

// What the journal on the volume says: every file of the write and the
// directories it created, and whether the write was committed.
struct Journal {
    bool committed = false;
    QList<PlannedFile> files;
    QStringList createdDirectories; // parents before children
};

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

QString pathBelow(const QString &root, const QString &relativePath)
{
    return QDir::cleanPath(root + QLatin1Char('/') + relativePath);
}

QString stagedPath(const QString &path)
{
    return path + DeviceWriter::stagedSuffix();
}

QString setAsidePath(const QString &path)
{
    return path + DeviceWriter::setAsideSuffix();
}

QString journalPath(const QString &root)
{
    return pathBelow(root, DeviceWriter::journalFileName());
}

QByteArray journalText(const Journal &journal)
{
    QJsonArray files;
    for (const PlannedFile &file : journal.files) {
        files.append(QJsonObject{{QStringLiteral("path"), file.relativePath},
                                 {QStringLiteral("old"), file.hadOldVersion}});
    }
    const QJsonObject object{
        {QStringLiteral("state"), journal.committed ? QStringLiteral("committed") : QStringLiteral("prepared")},
        {QStringLiteral("files"), files},
        {QStringLiteral("createdDirectories"), QJsonArray::fromStringList(journal.createdDirectories)}};
    return QJsonDocument(object).toJson();
}

bool parseJournal(const QByteArray &text, Journal *journal)
{
    const QJsonObject object = QJsonDocument::fromJson(text).object();
    const QString state = object.value(QStringLiteral("state")).toString();
    if (state != QLatin1String("committed") && state != QLatin1String("prepared"))
        return false;
    journal->committed = state == QLatin1String("committed");
    // The paths are only ever taken below the root, whatever the file says.
    const QJsonArray files = object.value(QStringLiteral("files")).toArray();
    for (const QJsonValue &value : files) {
        PlannedFile file;
        file.relativePath = value.toObject().value(QStringLiteral("path")).toString();
        file.hadOldVersion = value.toObject().value(QStringLiteral("old")).toBool();
        if (!Manifest::isSafeRelativePath(file.relativePath))
            return false;
        journal->files.append(file);
    }
    const QJsonArray directories = object.value(QStringLiteral("createdDirectories")).toArray();
    for (const QJsonValue &value : directories) {
        if (!Manifest::isSafeRelativePath(value.toString()))
            return false;
        journal->createdDirectories.append(value.toString());
    }
    return true;
}

bool readJournal(const QString &root, Journal *journal, QString *error)
{
    QFile file(journalPath(root));
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("Cannot read \"%1\": %2").arg(file.fileName(), file.errorString());
        return false;
    }
    if (!parseJournal(file.read(LargestJournal), journal)) {
        *error = QStringLiteral("\"%1\" is not a journal of this program").arg(file.fileName());
        return false;
    }
    return true;
}

// QSaveFile writes beside the journal, flushes and renames, so the journal
// on the volume is always either the old one or the whole new one.
bool writeJournal(const QString &root, const Journal &journal, QString *error)
{
    QSaveFile file(journalPath(root));
    if (!file.open(QIODevice::WriteOnly) || file.write(journalText(journal)) < 0 || !file.commit()) {
        *error = QStringLiteral("Cannot write \"%1\": %2").arg(file.fileName(), file.errorString());
        return false;
    }
    return true;
}

// A card file may carry the read-only attribute, which Windows refuses to
// delete or replace; the program owns every file it sets aside or removes.
void makeWritable(QFile &file)
{
    const QFileDevice::Permissions permissions = file.permissions();
    if (!(permissions & QFileDevice::WriteOwner))
        file.setPermissions(permissions | QFileDevice::WriteOwner | QFileDevice::WriteUser);
}

bool removeFile(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.exists())
        return true;
    makeWritable(file);
    if (file.remove())
        return true;
    *error = QStringLiteral("Cannot remove \"%1\": %2").arg(path, file.errorString());
    return false;
}

// What a kill during QSaveFile's write of the journal leaves behind.
void removeJournalTemporaries(const QString &root)
{
    const QStringList names = QDir(root).entryList({DeviceWriter::journalFileName() + QLatin1String(".*")},
                                                   QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : names) {
        QString error;
        if (!removeFile(pathBelow(root, name), &error))
            qDebug() << Q_FUNC_INFO << error;
    }
}

// Puts every old version back and removes every new one, in reverse order.
// Looks at what is on the volume rather than at how far the write got, so
// that it can be repeated after being interrupted itself.
bool rollBack(const QString &root, const Journal &journal, QList<DeviceWriter::Undo> *undo, QString *error)
{
    bool complete = true;
    for (int i = journal.files.size() - 1; i >= 0; --i) {
        const PlannedFile &file = journal.files.at(i);
        const QString destination = pathBelow(root, file.relativePath);
        const QString oldVersion = setAsidePath(destination);
        const QString staged = stagedPath(destination);
        if (QFileInfo::exists(oldVersion)) {
            const bool ok = FileSystem::replaceFile(oldVersion, destination, error);
            undo->append({destination, DeviceWriter::Undo::Restored, ok});
            complete = complete && ok;
        } else if (!file.hadOldVersion && QFileInfo::exists(destination)) {
            const bool ok = removeFile(destination, error);
            undo->append({destination, DeviceWriter::Undo::Removed, ok});
            complete = complete && ok;
        }
        if (QFileInfo::exists(staged)) {
            const bool ok = removeFile(staged, error);
            undo->append({staged, DeviceWriter::Undo::Removed, ok});
            complete = complete && ok;
        }
    }
    // A directory is flushed before it goes: once it is gone nothing can
    // flush the removals inside it, and a card that kept the removal of the
    // directory but not those would keep its files as lost clusters.
    for (int i = journal.createdDirectories.size() - 1; i >= 0; --i) {
        const QString directory = pathBelow(root, journal.createdDirectories.at(i));
        if (!QFileInfo(directory).isDir())
            continue;
        if (!FileSystem::syncDirectory(directory, error)) {
            complete = false;
            continue;
        }
        QDir(root).rmdir(journal.createdDirectories.at(i)); // kept when not empty
    }
    return complete;
}

// Completes a committed write: every new version is in place already.
bool rollForward(const QString &root, const Journal &journal, QString *error)
{
    bool complete = true;
    for (const PlannedFile &file : journal.files) {
        const QString destination = pathBelow(root, file.relativePath);
        complete = removeFile(setAsidePath(destination), error) && complete;
        complete = removeFile(stagedPath(destination), error) && complete;
    }
    complete = removeFile(pathBelow(root, QLatin1String(InfoFileName)), error) && complete;
    return complete;
}

// Every directory whose entries a write of the journal changes: those of
// its files, the parents of the directories it creates, and the root.
QStringList touchedDirectories(const QString &root, const Journal &journal)
{
    QStringList directories{root};
    for (const PlannedFile &file : journal.files)
        directories.append(QFileInfo(pathBelow(root, file.relativePath)).path());
    for (const QString &directory : journal.createdDirectories)
        directories.append(QFileInfo(pathBelow(root, directory)).path());
    directories.removeDuplicates();
    return directories;
}

// A card may lose every change that was not flushed and keep the rest in
// any order, and no volume-wide flush reaches a FUSE or Windows volume: each
// step flushes the directories it changed before the next one relies on it.
// A directory that an undo has removed again has nothing left to flush.
bool syncDirectories(const QStringList &directories, QString *error)
{
    for (const QString &directory : directories) {
        if (QFileInfo(directory).isDir() && !FileSystem::syncDirectory(directory, error))
            return false;
    }
    return true;
}

// The journal goes last, once everything it protects is on the medium: a
// journal removed before the moves of an undo or the removals of a clean-up
// would leave a card that no later run can bring back to one release.
bool closeJournal(const QString &root, const Journal &journal, QString *error)
{
    if (!syncDirectories(touchedDirectories(root, journal), error) || !FileSystem::syncVolume(root, error))
        return false;
    return removeFile(journalPath(root), error) && FileSystem::syncDirectory(root, error)
        && FileSystem::syncVolume(root, error);
}

bool repairLocked(const QString &root, QString *error)
{
    if (root.isEmpty())
        return true;
    removeJournalTemporaries(root);
    const QFileInfo journalFile(journalPath(root));
    if (!journalFile.exists() && !journalFile.isSymLink())
        return true;
    // Nothing is moved, removed or written through a link: a journal that
    // is one, or that names a path crossing one, is refused, not followed.
    CardPath card(root);
    *error = card.check(DeviceWriter::journalFileName());
    if (!error->isEmpty())
        return false;
    Journal journal;
    if (!readJournal(root, &journal, error))
        return false;
    QStringList destinations;
    for (const PlannedFile &file : qAsConst(journal.files))
        destinations.append(file.relativePath);
    *error = card.checkWrite(destinations); // the created directories lie on their way
    if (!error->isEmpty())
        return false;
    qDebug() << Q_FUNC_INFO << (journal.committed ? "Completing" : "Undoing") << "an interrupted update of"
             << root;
    QList<DeviceWriter::Undo> undo;
    const bool repaired = journal.committed ? rollForward(root, journal, error)
                                            : rollBack(root, journal, &undo, error);
    return repaired && closeJournal(root, journal, error);
}

} // namespace

class DeviceWriter::Private
{
public:
    explicit Private(const QString &root)
        : root(root)
    {
    }

    bool fail(Failure kind, const QString &error);
    bool failAndUndo(Failure kind, const QString &error);
    void step(const char *what);
    bool stopRequested() const;
    bool volumeGone();

    bool staysOnCard();
    bool plan();
    bool checkRoom();
    bool createDirectories();
    bool stageFiles();
    bool stageFile(const PlannedFile &file);
    bool commitFiles();
    bool setAside(const PlannedFile &file);
    bool moveIntoPlace(const PlannedFile &file);
    bool syncEverything();
    void completeCommitted();

    QString root;
    QByteArray volume; // the card the write began on
    Journal journal;
    const QAtomicInt *stopFlag = nullptr;
    int steps = 0;
    Failure failure = NoFailure;
    QString errorString;
    QList<Undo> undoSteps;
};

bool DeviceWriter::Private::fail(Failure kind, const QString &error)
{
    failure = kind;
    errorString = error;
    return false;
}

bool DeviceWriter::Private::failAndUndo(Failure kind, const QString &error)
{
    fail(kind, error);
    if (volumeGone()) // nothing to undo here; the journal on the card lets the next run do it
        return false;
    QString undoError;
    // A commit that may have reached the card is taken back before any
    // file is, so that a cut during the undo does not complete the write.
    if (journal.committed) {
        journal.committed = false;
        if (!writeJournal(root, journal, &undoError) || !FileSystem::syncDirectory(root, &undoError)) {
            errorString += QStringLiteral("; undo not started: ") + undoError;
            return false;
        }
    }
    if (rollBack(root, journal, &undoSteps, &undoError) && closeJournal(root, journal, &undoError))
        return false;
    // The journal stays, so the next run finishes the undo.
    errorString += QStringLiteral("; undo incomplete: ") + undoError;
    return false;
}

void DeviceWriter::Private::step(const char *what)
{
    ++steps;
    if (const auto hook = stepHook.load())
        hook(steps, what);
}

bool DeviceWriter::Private::stopRequested() const
{
    return stopFlag && stopFlag->loadAcquire() != 0;
}

// Checked before every step that writes, so that nothing is written into
// the mount point a pulled card leaves behind.
bool DeviceWriter::Private::volumeGone()
{
    if (volumeOf(root) == volume)
        return false;
    failure = VolumeGone;
    errorString = QStringLiteral("The volume at \"%1\" was removed").arg(root);
    return true;
}

// Refuses a write that a link, a junction or another volume below the root
// would carry off the card, before anything is written.
bool DeviceWriter::Private::staysOnCard()
{
    QStringList destinations;
    for (const PlannedFile &file : qAsConst(journal.files))
        destinations.append(file.relativePath);
    const QString error = CardPath(root).checkWrite(destinations);
    return error.isEmpty() || fail(NotOnCard, error);
}

// Notes which files have an old version and which directories are missing,
// and refuses destinations that cannot hold a file of their own.
bool DeviceWriter::Private::plan()
{
    QSet<QString> destinations;
    QSet<QString> missingDirectories;
    for (PlannedFile &file : journal.files) {
        const QFileInfo destination(pathBelow(root, file.relativePath));
        if (destination.isDir())
            return fail(InvalidTarget, QStringLiteral("\"%1\" is a directory").arg(destination.filePath()));
        // The card's file system ignores letter case.
        if (!Manifest::isSafeRelativePath(file.relativePath) || destinations.contains(file.relativePath.toLower()))
            return fail(InvalidTarget, QStringLiteral("\"%1\" is written twice").arg(destination.filePath()));
        destinations.insert(file.relativePath.toLower());
        file.hadOldVersion = destination.exists();
        QStringList missing;
        for (QString directory = QFileInfo(file.relativePath).path(); directory != QLatin1String(".");
             directory = QFileInfo(directory).path()) {
            if (QFileInfo(pathBelow(root, directory)).exists())
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

// Refuses a write the card has no room for before the first byte of it
// reaches the card, rather than failing half-way.
bool DeviceWriter::Private::checkRoom()
{
    QList<qint64> sizes;
    for (const PlannedFile &file : qAsConst(journal.files))
        sizes.append(QFileInfo(file.source).size());
    const qint64 missing = missingRoom(root, sizes);
    if (missing > 0)
        return fail(NoRoom, missingRoomText(missing));
    return true;
}

bool DeviceWriter::Private::createDirectories()
{
    if (volumeGone())
        return false;
    // Each directory once: a release puts hundreds of files in one.
    QSet<QString> created;
    for (const PlannedFile &file : qAsConst(journal.files)) {
        const QString directory = QFileInfo(pathBelow(root, file.relativePath)).path();
        if (created.contains(directory))
            continue;
        if (!Helpers::Dir::createPath(directory))
            return failAndUndo(CreatePathFailed, QStringLiteral("Cannot create the directory \"%1\"").arg(directory));
        created.insert(directory);
    }
    return true;
}

bool DeviceWriter::Private::stageFile(const PlannedFile &file)
{
    QFile source(file.source);
    QFile staged(stagedPath(pathBelow(root, file.relativePath)));
    if (!source.open(QIODevice::ReadOnly))
        return fail(CopyFailed, QStringLiteral("Cannot read \"%1\": %2").arg(source.fileName(), source.errorString()));
    // A leftover goes only when it is a plain file, and the staged file is
    // created afresh (O_CREAT | O_EXCL, CREATE_NEW on Windows), which fails
    // on a link at its name instead of writing through it.
    QString error;
    if (!CardPath::removePlainFile(staged.fileName(), &error))
        return fail(CopyFailed, error);
    if (!staged.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return fail(CopyFailed, QStringLiteral("Cannot create \"%1\": %2").arg(staged.fileName(), staged.errorString()));
    if (!FileSystem::copyData(source, staged, &error) || !FileSystem::syncFile(staged, &error))
        return fail(CopyFailed, error);
    staged.close();
    if (staged.error() != QFileDevice::NoError)
        return fail(CopyFailed, QStringLiteral("Cannot write \"%1\": %2").arg(staged.fileName(), staged.errorString()));
    return true;
}

bool DeviceWriter::Private::stageFiles()
{
    for (const PlannedFile &file : qAsConst(journal.files)) {
        if (stopRequested())
            return failAndUndo(Stopped, QStringLiteral("Stopped before the copy was complete"));
        if (volumeGone())
            return false;
        if (!stageFile(file))
            return failAndUndo(failure, errorString);
        step("staged");
    }
    return true;
}

bool DeviceWriter::Private::setAside(const PlannedFile &file)
{
    if (!file.hadOldVersion)
        return true;
    const QString destination = pathBelow(root, file.relativePath);
    QFile oldVersion(destination);
    makeWritable(oldVersion);
    QString error;
    if (!FileSystem::replaceFile(destination, setAsidePath(destination), &error))
        return fail(SetAsideFailed, error);
    step("set aside");
    return true;
}

bool DeviceWriter::Private::moveIntoPlace(const PlannedFile &file)
{
    const QString destination = pathBelow(root, file.relativePath);
    QString error;
    if (!FileSystem::replaceFile(stagedPath(destination), destination, &error))
        return fail(CopyFailed, error);
    step("moved into place");
    return true;
}

// Every old version is set aside, and that is on the medium, before any new
// version takes its name: a card that kept the move into place of a file
// but not the move aside of its old version would have lost the old one.
bool DeviceWriter::Private::commitFiles()
{
    for (const auto move : {&Private::setAside, &Private::moveIntoPlace}) {
        for (const PlannedFile &file : qAsConst(journal.files)) {
            if (stopRequested())
                return failAndUndo(Stopped, QStringLiteral("Stopped before the copy was complete"));
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

bool DeviceWriter::Private::syncEverything()
{
    QString error;
    if (!syncDirectories(touchedDirectories(root, journal), &error) || !FileSystem::syncVolume(root, &error))
        return failAndUndo(SyncFailed, error);
    step("synced");
    return true;
}

// Past the commit every new version is on the medium and nothing is undone.
// A clean-up that cannot finish keeps the journal, so that the next repair
// finishes it the same way; the update is in place all the same.
void DeviceWriter::Private::completeCommitted()
{
    QString error;
    if (volumeGone())
        return;
    const bool removed = rollForward(root, journal, &error);
    step("old versions removed");
    if (!removed || !syncDirectories(touchedDirectories(root, journal), &error)
        || !FileSystem::syncVolume(root, &error)) {
        qDebug() << Q_FUNC_INFO << "Clean-up incomplete, left to the next run:" << error;
        return;
    }
    step("synced");
    if (volumeGone())
        return;
    if (!removeFile(journalPath(root), &error) || !FileSystem::syncDirectory(root, &error)
        || !FileSystem::syncVolume(root, &error)) {
        qDebug() << Q_FUNC_INFO << "Clean-up incomplete, left to the next run:" << error;
        return;
    }
    step("journal removed");
}

DeviceWriter::DeviceWriter(const QString &root)
    : d(new Private(root))
{
}

DeviceWriter::~DeviceWriter()
{
    delete d;
}

void DeviceWriter::addFile(const QString &source, const QString &relativePath)
{
    PlannedFile file;
    file.source = source;
    file.relativePath = QDir::cleanPath(relativePath);
    d->journal.files.append(file);
}

void DeviceWriter::setStopFlag(const QAtomicInt *flag)
{
    d->stopFlag = flag;
}

bool DeviceWriter::write()
{
    QMutexLocker locker(&writeMutex);
    d->volume = volumeOf(d->root);
    QString error;
    if (!repairLocked(d->root, &error))
        return d->fail(RepairFailed, error);
    if (!d->staysOnCard() || !d->plan())
        return false;
    if (!d->checkRoom())
        return false;
    if (!writeJournal(d->root, d->journal, &error) || !FileSystem::syncDirectory(d->root, &error))
        return d->failAndUndo(JournalFailed, error);
    d->step("journal written");
    if (!d->createDirectories() || !d->stageFiles() || !d->commitFiles())
        return false;
    if (d->volumeGone())
        return false;
    // The commit is on the medium, name and all, before the first old
    // version or ZUV.FW goes.
    d->journal.committed = true;
    if (!writeJournal(d->root, d->journal, &error) || !FileSystem::syncDirectory(d->root, &error))
        return d->failAndUndo(JournalFailed, error);
    d->step("journal committed");
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

QList<DeviceWriter::Undo> DeviceWriter::undoSteps() const
{
    return d->undoSteps;
}

bool DeviceWriter::repair(const QString &root, QString *errorString)
{
    QMutexLocker locker(&writeMutex);
    QString error;
    const bool repaired = repairLocked(root, &error);
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

QString DeviceWriter::journalFileName()
{
    return QStringLiteral("ZUV-UPDATE.JOURNAL");
}

QString DeviceWriter::stagedSuffix()
{
    return QStringLiteral(".zuv-new");
}

QString DeviceWriter::setAsideSuffix()
{
    return QStringLiteral(".zuv-old");
}

void DeviceWriter::setStepHook(StepHook hook)
{
    stepHook.store(hook);
}
