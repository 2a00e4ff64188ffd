#include "writerjournal_p.h"

#include "cardpath.h"
#include "filesystem.h"
#include "update/release/manifest.h"
#include "update/release/md5.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>

namespace {

constexpr qint64 LargestJournal = 16 * 1024 * 1024;
const char Magic[] = "ZUV-UPDATE-JOURNAL";
const char MagicLine[] = "ZUV-UPDATE-JOURNAL 2\n";
const char ChecksumKey[] = "checksum ";

QByteArray sha256(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

// True when a file or anything else is at path; a link counts, whatever
// it points at.
bool existsAt(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

// "new 1234 <digest>" or "old ..." into size and digest.
bool parseVersion(const QByteArray &value, qint64 *size, QByteArray *digest)
{
    const QList<QByteArray> fields = value.split(' ');
    bool ok = false;
    *size = fields.value(0).toLongLong(&ok);
    *digest = fields.value(1);
    return fields.size() == 2 && ok && *size >= 0 && Md5::isHexDigest(*digest, 32);
}

// The lines between the magic line and the checksum; why not, or empty.
QString parseBody(const QByteArray &body, WriterJournal *journal)
{
    const QList<QByteArray> lines = body.split('\n');
    bool stated = false;
    for (const QByteArray &line : lines) {
        if (line.isEmpty())
            continue;
        const int space = line.indexOf(' ');
        const QByteArray key = line.left(space);
        const QByteArray value = space < 0 ? QByteArray() : line.mid(space + 1);
        const QString path = QString::fromUtf8(value);
        WriterJournal::File *file = journal->files.isEmpty() ? nullptr : &journal->files.last();
        if (key == "state" && (value == "prepared" || value == "committed")) {
            journal->committed = value == "committed";
            stated = true;
        } else if (key == "remove" || key == "directory" || key == "file") {
            if (!Manifest::isSafeRelativePath(path))
                return QStringLiteral("it names \"%1\", which is not a path below the card's root").arg(path);
            if (key == "remove")
                journal->removedAfterCommit.append(path);
            else if (key == "directory")
                journal->createdDirectories.append(path);
            else
                journal->files.append(WriterJournal::File{QString(), path, false, {}, 0, {}, 0});
        } else if (key == "new" && file && parseVersion(value, &file->newSize, &file->newDigest)) {
        } else if (key == "old" && file && parseVersion(value, &file->oldSize, &file->oldDigest)) {
            file->hadOldVersion = true;
        } else {
            return QStringLiteral("its line \"%1\" is not understood").arg(QString::fromUtf8(line.left(80)));
        }
    }
    for (const WriterJournal::File &file : qAsConst(journal->files)) {
        if (file.newDigest.isEmpty())
            return QStringLiteral("it gives no new version of \"%1\"").arg(file.relativePath);
    }
    return stated ? QString() : QStringLiteral("it gives no state");
}

WriterJournal::ReadResult parseJournal(const QByteArray &text, WriterJournal *journal, QString *why)
{
    const QByteArray magicLine(MagicLine);
    if (magicLine.startsWith(text) || (text.startsWith(magicLine) && !text.endsWith('\n'))) {
        *why = QStringLiteral("it was cut short");
        return WriterJournal::ReadResult::Damaged;
    }
    if (!text.startsWith(magicLine)) {
        if (text.startsWith(QByteArray(Magic) + ' ')) {
            *why = QStringLiteral("it is of format version %1, which this program does not know")
                       .arg(QString::fromUtf8(text.mid(int(qstrlen(Magic)) + 1, 8).split('\n').first()));
        } else if (text.trimmed().startsWith('{')) {
            *why = QStringLiteral("it is of the format of an earlier version of this program, which "
                                  "does not describe its files well enough to act on");
        } else {
            *why = QStringLiteral("it is not a journal of this program");
        }
        return WriterJournal::ReadResult::Refused;
    }
    const int checksumAt = text.lastIndexOf(QByteArray("\n") + ChecksumKey);
    const QByteArray body = text.left(checksumAt + 1);
    if (checksumAt < 0 || text.mid(checksumAt + 1) != ChecksumKey + sha256(body) + '\n') {
        *why = QStringLiteral("its checksum does not match: it was cut short or damaged");
        return WriterJournal::ReadResult::Damaged;
    }
    *why = parseBody(body.mid(magicLine.size()), journal);
    return why->isEmpty() ? WriterJournal::ReadResult::Valid : WriterJournal::ReadResult::Refused;
}

} // namespace

WriterJournal::WriterJournal(const QString &root)
    : m_root(root)
{
}

QString WriterJournal::fileName()
{
    return QStringLiteral("ZUV-UPDATE.JOURNAL");
}

QString WriterJournal::stagedSuffix()
{
    return QStringLiteral(".zuv-new");
}

QString WriterJournal::setAsideSuffix()
{
    return QStringLiteral(".zuv-old");
}

QString WriterJournal::pathOf(const QString &relativePath) const
{
    return QDir::cleanPath(m_root + QLatin1Char('/') + relativePath);
}

QStringList WriterJournal::destinations() const
{
    QStringList paths;
    for (const File &file : files)
        paths.append(file.relativePath);
    return paths;
}

QString WriterJournal::checkOnCard() const
{
    CardPath card(m_root);
    QString error = card.checkWrite(destinations());
    for (const QString &relativePath : removedAfterCommit + createdDirectories) {
        if (error.isEmpty() && !Manifest::isSafeRelativePath(relativePath))
            error = QStringLiteral("\"%1\" is not a path below the card's root").arg(relativePath);
        if (error.isEmpty())
            error = card.check(relativePath);
    }
    return error;
}

QString WriterJournal::path() const
{
    return pathOf(fileName());
}

QByteArray WriterJournal::toText() const
{
    QByteArray text(MagicLine);
    text += committed ? "state committed\n" : "state prepared\n";
    for (const QString &relativePath : removedAfterCommit)
        text += "remove " + relativePath.toUtf8() + '\n';
    for (const QString &directory : createdDirectories)
        text += "directory " + directory.toUtf8() + '\n';
    for (const File &file : files) {
        text += "file " + file.relativePath.toUtf8() + '\n';
        text += "new " + QByteArray::number(file.newSize) + ' ' + file.newDigest + '\n';
        if (file.hadOldVersion)
            text += "old " + QByteArray::number(file.oldSize) + ' ' + file.oldDigest + '\n';
    }
    return text + ChecksumKey + sha256(text) + '\n';
}

WriterJournal::ReadResult WriterJournal::read(QString *error)
{
    QFile file;
    if (!FileSystem::openRegular(file, path(), error))
        return ReadResult::Refused;
    QString why;
    const ReadResult result = parseJournal(file.read(LargestJournal), this, &why);
    if (result != ReadResult::Valid)
        *error = QStringLiteral("The journal \"%1\" is not acted on: %2").arg(path(), why);
    return result;
}

// QSaveFile writes beside the journal, flushes and renames, so the journal
// on the volume is always either the old one or the whole new one.
bool WriterJournal::write(QString *error) const
{
    QSaveFile file(path());
    if (!file.open(QIODevice::WriteOnly) || file.write(toText()) < 0 || !file.commit()) {
        *error = QStringLiteral("Cannot write \"%1\": %2").arg(file.fileName(), file.errorString());
        return false;
    }
    return FileSystem::syncDirectory(m_root, error);
}

QByteArray WriterJournal::digestAt(const QString &path)
{
    const auto known = m_digests.constFind(path);
    if (known != m_digests.cend())
        return *known;
    const QByteArray digest = FileSystem::digestOf(path);
    m_digests.insert(path, digest);
    return digest;
}

bool WriterJournal::holds(const QString &path, const QByteArray &digest)
{
    return !digest.isEmpty() && digestAt(path) == digest;
}

// A version is there when a file at its name or beside it has its digest.
// A committed write goes forward when it can, an uncommitted one back.
WriterJournal::Direction WriterJournal::direction()
{
    m_digests.clear();
    bool allOld = true;
    bool allNew = true;
    for (const File &file : qAsConst(files)) {
        const QString destination = pathOf(file.relativePath);
        allOld = allOld
            && (!file.hadOldVersion || holds(destination, file.oldDigest)
                || holds(destination + setAsideSuffix(), file.oldDigest));
        allNew = allNew
            && (holds(destination, file.newDigest) || holds(destination + stagedSuffix(), file.newDigest));
    }
    // The files to remove after the commit go only once every new version
    // was verified in place: one of them gone says the same as a commit.
    const bool removalStarted = std::any_of(removedAfterCommit.cbegin(), removedAfterCommit.cend(),
                                            [this](const QString &path) { return !existsAt(pathOf(path)); });
    if (committed || removalStarted ? allNew : !allOld)
        return allNew ? Direction::Forward : Direction::Neither;
    return allOld ? Direction::Back : Direction::Neither;
}

// Puts the version the direction wants at the file's name by copying it
// from beside it: a move could land as its removal alone and take the
// last copy with it. What the name held before is the other version,
// kept beside it until the end, or a copy cut short.
bool WriterJournal::placeFile(const File &file, Direction direction, QList<DeviceWriter::Undo> *undo,
                              QString *error)
{
    const QString destination = pathOf(file.relativePath);
    if (direction == Direction::Back && !file.hadOldVersion) {
        if (!existsAt(destination))
            return true;
        const bool ok = FileSystem::removeFile(destination, error);
        undo->append({destination, DeviceWriter::Undo::Removed, ok});
        m_digests.remove(destination);
        return ok;
    }
    const QByteArray wanted = direction == Direction::Back ? file.oldDigest : file.newDigest;
    if (holds(destination, wanted))
        return true;
    QStringList copies{destination + setAsideSuffix(), destination + stagedSuffix()};
    if (direction == Direction::Forward)
        std::reverse(copies.begin(), copies.end());
    const auto copy = std::find_if(copies.cbegin(), copies.cend(),
                                   [&](const QString &path) { return holds(path, wanted); });
    if (copy == copies.cend()) {
        *error = QStringLiteral("No verified copy of \"%1\" is left on the card").arg(destination);
        return false;
    }
    m_digests.remove(destination);
    const bool ok = FileSystem::removeFile(destination, error) && FileSystem::copyFile(*copy, destination, error);
    if (direction == Direction::Back)
        undo->append({destination, DeviceWriter::Undo::Restored, ok});
    return ok;
}

// Read back from the card after the flush: every file holds the version
// of the direction, or is absent when that version is.
bool WriterJournal::verifyPlaced(Direction direction, QString *error)
{
    // A file placeFile() found holding its version was read just now; the
    // ones it copied are read again.
    for (const File &file : qAsConst(files)) {
        const QString destination = pathOf(file.relativePath);
        const bool absent = direction == Direction::Back && !file.hadOldVersion;
        const bool ok = absent ? !existsAt(destination)
                               : holds(destination, direction == Direction::Back ? file.oldDigest : file.newDigest);
        if (!ok) {
            *error = QStringLiteral("\"%1\" does not hold its %2 version after the copy")
                         .arg(destination, direction == Direction::Back ? QStringLiteral("old") : QStringLiteral("new"));
            return false;
        }
    }
    return true;
}

bool WriterJournal::removeAll(const QStringList &paths, QString *error) const
{
    bool complete = true;
    for (const QString &path : paths)
        complete = FileSystem::removeFile(path, error) && complete;
    return complete;
}

// A directory is flushed before it goes: once it is gone nothing can
// flush the removals inside it. One that is not empty is kept.
void WriterJournal::removeCreatedDirectories() const
{
    for (int i = createdDirectories.size() - 1; i >= 0; --i) {
        const QFileInfo directory(pathOf(createdDirectories.at(i)));
        QString error;
        if (directory.isDir() && !directory.isSymLink() && FileSystem::syncDirectory(directory.filePath(), &error))
            FileSystem::removeDirectory(directory.filePath(), &error);
    }
}

bool WriterJournal::removeJournal(QString *error) const
{
    return FileSystem::removeFile(path(), error) && FileSystem::syncDirectory(m_root, error)
        && FileSystem::syncVolume(m_root, error);
}

void WriterJournal::step(const char *what) const
{
    if (stepHook)
        stepHook(stepContext, what);
}

WriterJournal::Completion WriterJournal::complete(Direction direction, QList<DeviceWriter::Undo> *undo, QString *error)
{
    m_digests.clear();
    for (int i = 0; i < files.size(); ++i) {
        const File &file = files.at(direction == Direction::Back ? files.size() - 1 - i : i);
        if (!placeFile(file, direction, undo, error))
            return Completion::Failed;
    }
    if (!syncTouched(error) || !verifyPlaced(direction, error))
        return Completion::Failed;
    // The device installs once ZUV.FW is gone: only once every new
    // version is verified at its name, and that removal is on the medium
    // before the success is reported.
    if (direction == Direction::Forward) {
        QStringList removed;
        for (const QString &relativePath : qAsConst(removedAfterCommit))
            removed.append(pathOf(relativePath));
        if (!removeAll(removed, error) || !FileSystem::syncDirectory(m_root, error))
            return Completion::Failed;
        step("removed after commit");
    }
    QStringList leftovers;
    for (const File &file : qAsConst(files))
        leftovers << pathOf(file.relativePath) + setAsideSuffix() << pathOf(file.relativePath) + stagedSuffix();
    QString leftoverError;
    const bool removed = removeAll(leftovers, &leftoverError);
    if (direction == Direction::Back)
        removeCreatedDirectories();
    step("old versions removed");
    if (!syncTouched(error))
        return Completion::Failed;
    step("synced");
    if (!removed) {
        *error = leftoverError;
        return Completion::LeftoversKept;
    }
    if (!removeJournal(error))
        return Completion::LeftoversKept;
    step("journal removed");
    return Completion::Done;
}

// Every directory whose entries a write changes: those of its files, the
// parents of the directories it creates, and the root.
QStringList WriterJournal::touchedDirectories() const
{
    QStringList directories{m_root};
    for (const File &file : files)
        directories.append(QFileInfo(pathOf(file.relativePath)).path());
    for (const QString &directory : createdDirectories)
        directories.append(QFileInfo(pathOf(directory)).path());
    directories.removeDuplicates();
    return directories;
}

// A card may lose every change that was not flushed and keep the rest in
// any order: each step flushes the directories it changed before the next
// one relies on it, and the volume as an extra. A directory that an undo
// has removed again has nothing left to flush.
bool WriterJournal::syncTouched(QString *error) const
{
    const QStringList directories = touchedDirectories();
    for (const QString &directory : directories) {
        const QFileInfo info(directory);
#ifdef Q_OS_WIN
        const bool present = info.isDir() && !info.isSymLink();
#else
        // A link now at the name of a directory the write holds open is
        // not followed: the held directory is flushed wherever it went.
        const bool present = info.isDir() || info.isSymLink();
#endif
        if (present && !FileSystem::syncDirectory(directory, error))
            return false;
    }
    return FileSystem::syncVolume(m_root, error);
}

// What a kill during QSaveFile's write of the journal leaves behind. A
// link or anything but a file at such a name is refused, not followed.
QString WriterJournal::removeTemporaries() const
{
    const QStringList names = QDir(m_root).entryList({fileName() + QLatin1String(".*")},
                                                     QDir::AllEntries | QDir::Hidden | QDir::System
                                                         | QDir::NoDotAndDotDot);
    QString error;
    for (const QString &name : names) {
        if (!FileSystem::removeFile(pathOf(name), &error))
            qDebug() << Q_FUNC_INFO << error;
    }
    return error;
}

// Without a journal to go by, a file whose name the write took away is
// given back a copy of its old version set aside beside it. Nothing is
// removed: the next run's write replaces what is left. A staged file is
// never taken for the file: a write that got as far as removing ZUV.FW
// had every new version in place already.
bool WriterJournal::repairFromCard(QString *error) const
{
    QStringList copies;
    QDirIterator it(m_root, {QLatin1Char('*') + setAsideSuffix()}, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        copies.append(it.next());
    // Copied beside the name first and then moved to it, so that a cut
    // copy is never taken for the file by the next repair.
    bool complete = true;
    for (const QString &copy : qAsConst(copies)) {
        const QString destination = copy.chopped(setAsideSuffix().size());
        const QString partial = destination + QLatin1String(".zuv-copy");
        if (!existsAt(destination)) {
            complete = FileSystem::removeFile(partial, error) && FileSystem::copyFile(copy, partial, error)
                && FileSystem::replaceFile(partial, destination, error) && complete;
        }
    }
    return complete;
}

bool WriterJournal::repair(const QString &root, QString *error)
{
    if (root.isEmpty())
        return true;
    WriterJournal journal(root);
    *error = journal.removeTemporaries();
    if (!error->isEmpty())
        return false;
    if (!existsAt(journal.path()))
        return true;
    // Nothing is moved, removed or written through a link: a journal that
    // is one, or that names a path crossing one, is refused, not followed.
    *error = CardPath(root).check(fileName());
    if (!error->isEmpty())
        return false;
    const ReadResult read = journal.read(error);
    if (read == ReadResult::Refused)
        return false;
    if (read == ReadResult::Damaged) {
        QString repairError;
        if (journal.repairFromCard(&repairError) && journal.removeJournal(&repairError))
            *error += QStringLiteral("; every file of the card was kept, run the update again");
        else
            *error += QStringLiteral("; ") + repairError;
        return false;
    }
    *error = journal.checkOnCard();
    if (!error->isEmpty())
        return false;
    const Direction direction = journal.direction();
    if (direction == Direction::Neither) {
        // A journal of some other write, or a card that lost a version of
        // each: its files keep what they hold, and a name the write took
        // away gets its old version back.
        QString repairError;
        journal.repairFromCard(&repairError);
        *error = QStringLiteral("The card holds neither every old nor every new version of the interrupted update; "
                                "nothing was removed, run the update again");
        return false;
    }
    qDebug() << Q_FUNC_INFO << (direction == Direction::Forward ? "Completing" : "Undoing")
             << "an interrupted update of" << root;
    QList<DeviceWriter::Undo> undo;
    return journal.complete(direction, &undo, error) == Completion::Done;
}
