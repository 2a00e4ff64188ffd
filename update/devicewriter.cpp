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

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace {

const char InfoFileName[] = "ZUV.FW";
constexpr qint64 LargestJournal = 16 * 1024 * 1024;

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

bool removeFile(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.exists() || file.remove())
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
    for (int i = journal.createdDirectories.size() - 1; i >= 0; --i)
        QDir(root).rmdir(journal.createdDirectories.at(i)); // kept when not empty
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

// The journal goes last, once everything it protects is on the medium.
bool closeJournal(const QString &root, QString *error)
{
    return FileSystem::syncVolume(root, error) && removeFile(journalPath(root), error)
        && FileSystem::syncDirectory(root, error) && FileSystem::syncVolume(root, error);
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
    return repaired && closeJournal(root, error);
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
    bool createDirectories();
    bool stageFiles();
    bool stageFile(const PlannedFile &file);
    bool commitFiles();
    bool commitFile(const PlannedFile &file);
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
    if (rollBack(root, journal, &undoSteps, &undoError) && closeJournal(root, &undoError))
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

bool DeviceWriter::Private::commitFile(const PlannedFile &file)
{
    const QString destination = pathBelow(root, file.relativePath);
    QString error;
    if (file.hadOldVersion) {
        if (!FileSystem::replaceFile(destination, setAsidePath(destination), &error))
            return fail(SetAsideFailed, error);
        step("set aside");
    }
    if (!FileSystem::replaceFile(stagedPath(destination), destination, &error))
        return fail(CopyFailed, error);
    step("moved into place");
    return true;
}

bool DeviceWriter::Private::commitFiles()
{
    for (const PlannedFile &file : qAsConst(journal.files)) {
        if (stopRequested())
            return failAndUndo(Stopped, QStringLiteral("Stopped before the copy was complete"));
        if (volumeGone())
            return false;
        if (!commitFile(file))
            return failAndUndo(failure, errorString);
    }
    return true;
}

bool DeviceWriter::Private::syncEverything()
{
    QSet<QString> directories{root};
    for (const PlannedFile &file : qAsConst(journal.files))
        directories.insert(QFileInfo(pathBelow(root, file.relativePath)).path());
    for (const QString &directory : qAsConst(journal.createdDirectories))
        directories.insert(QFileInfo(pathBelow(root, directory)).path());
    QString error;
    for (const QString &directory : qAsConst(directories)) {
        if (!FileSystem::syncDirectory(directory, &error))
            return failAndUndo(SyncFailed, error);
    }
    if (!FileSystem::syncVolume(root, &error))
        return failAndUndo(SyncFailed, error);
    step("synced");
    return true;
}

// Past the commit nothing is undone: a failure to clean up is left to the
// next repair, which finishes the same way.
void DeviceWriter::Private::completeCommitted()
{
    QString error;
    if (volumeGone())
        return;
    if (!rollForward(root, journal, &error))
        qDebug() << Q_FUNC_INFO << "Clean-up incomplete, left to the next run:" << error;
    step("old versions removed");
    if (!FileSystem::syncVolume(root, &error)) {
        fail(SyncFailed, error);
        return;
    }
    step("synced");
    if (volumeGone())
        return;
    if (!removeFile(journalPath(root), &error) || !FileSystem::syncDirectory(root, &error)
        || !FileSystem::syncVolume(root, &error)) {
        fail(SyncFailed, error);
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
    if (!writeJournal(d->root, d->journal, &error) || !FileSystem::syncDirectory(d->root, &error))
        return d->failAndUndo(JournalFailed, error);
    d->step("journal written");
    if (!d->createDirectories() || !d->stageFiles() || !d->commitFiles() || !d->syncEverything())
        return false;
    if (d->volumeGone())
        return false;
    d->journal.committed = true;
    if (!writeJournal(d->root, d->journal, &error))
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
