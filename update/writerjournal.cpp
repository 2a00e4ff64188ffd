#include "writerjournal_p.h"

#include "cardpath.h"
#include "filesystem.h"
#include "manifest.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace {

constexpr qint64 LargestJournal = 16 * 1024 * 1024;

QJsonObject journalObject(const WriterJournal &journal)
{
    QJsonArray files;
    for (const WriterJournal::File &file : journal.files) {
        files.append(QJsonObject{{QStringLiteral("path"), file.relativePath},
                                 {QStringLiteral("old"), file.hadOldVersion}});
    }
    return QJsonObject{
        {QStringLiteral("state"), journal.committed ? QStringLiteral("committed") : QStringLiteral("prepared")},
        {QStringLiteral("files"), files},
        {QStringLiteral("createdDirectories"), QJsonArray::fromStringList(journal.createdDirectories)}};
}

bool parseJournal(const QByteArray &text, WriterJournal *journal)
{
    const QJsonObject object = QJsonDocument::fromJson(text).object();
    const QString state = object.value(QStringLiteral("state")).toString();
    if (state != QLatin1String("committed") && state != QLatin1String("prepared"))
        return false;
    journal->committed = state == QLatin1String("committed");
    // The paths are only ever taken below the root, whatever the file says.
    const QJsonArray files = object.value(QStringLiteral("files")).toArray();
    for (const QJsonValue &value : files) {
        WriterJournal::File file;
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

QString WriterJournal::checkOnCard(const QStringList &removedAfterCommit) const
{
    CardPath card(m_root);
    QString error = card.checkWrite(destinations()); // the created directories lie on their way
    for (const QString &relativePath : removedAfterCommit) {
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

bool WriterJournal::read(QString *error)
{
    QFile file(path());
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("Cannot read \"%1\": %2").arg(file.fileName(), file.errorString());
        return false;
    }
    if (!parseJournal(file.read(LargestJournal), this)) {
        *error = QStringLiteral("\"%1\" is not a journal of this program").arg(file.fileName());
        return false;
    }
    return true;
}

// QSaveFile writes beside the journal, flushes and renames, so the journal
// on the volume is always either the old one or the whole new one.
bool WriterJournal::write(QString *error) const
{
    QSaveFile file(path());
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(journalObject(*this)).toJson()) < 0
        || !file.commit()) {
        *error = QStringLiteral("Cannot write \"%1\": %2").arg(file.fileName(), file.errorString());
        return false;
    }
    return FileSystem::syncDirectory(m_root, error);
}

bool WriterJournal::rollBack(QList<DeviceWriter::Undo> *undo, QString *error) const
{
    bool complete = true;
    for (int i = files.size() - 1; i >= 0; --i) {
        const QString destination = pathOf(files.at(i).relativePath);
        const QString oldVersion = destination + setAsideSuffix();
        const QString staged = destination + stagedSuffix();
        if (QFileInfo::exists(oldVersion)) {
            const bool ok = FileSystem::replaceFile(oldVersion, destination, error);
            undo->append({destination, DeviceWriter::Undo::Restored, ok});
            complete = complete && ok;
        } else if (!files.at(i).hadOldVersion && QFileInfo::exists(destination)) {
            const bool ok = FileSystem::removeFile(destination, error);
            undo->append({destination, DeviceWriter::Undo::Removed, ok});
            complete = complete && ok;
        }
        if (QFileInfo::exists(staged)) {
            const bool ok = FileSystem::removeFile(staged, error);
            undo->append({staged, DeviceWriter::Undo::Removed, ok});
            complete = complete && ok;
        }
    }
    // A directory is flushed before it goes: once it is gone nothing can
    // flush the removals inside it, and a card that kept the removal of the
    // directory but not those would keep its files as lost clusters.
    for (int i = createdDirectories.size() - 1; i >= 0; --i) {
        const QString directory = pathOf(createdDirectories.at(i));
        if (!QFileInfo(directory).isDir())
            continue;
        if (!FileSystem::syncDirectory(directory, error)) {
            complete = false;
            continue;
        }
        QDir(m_root).rmdir(createdDirectories.at(i)); // kept when not empty
    }
    return complete;
}

bool WriterJournal::rollForward(const QStringList &removedAfterCommit, QString *error) const
{
    bool complete = true;
    for (const File &file : files) {
        const QString destination = pathOf(file.relativePath);
        complete = FileSystem::removeFile(destination + setAsideSuffix(), error) && complete;
        complete = FileSystem::removeFile(destination + stagedSuffix(), error) && complete;
    }
    for (const QString &relativePath : removedAfterCommit)
        complete = FileSystem::removeFile(pathOf(relativePath), error) && complete;
    return complete;
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
// any order, and no volume-wide flush reaches a FUSE or Windows volume: each
// step flushes the directories it changed before the next one relies on it.
// A directory that an undo has removed again has nothing left to flush.
bool WriterJournal::syncTouched(QString *error) const
{
    const QStringList directories = touchedDirectories();
    for (const QString &directory : directories) {
        if (QFileInfo(directory).isDir() && !FileSystem::syncDirectory(directory, error))
            return false;
    }
    return FileSystem::syncVolume(m_root, error);
}

bool WriterJournal::remove(QString *error) const
{
    return FileSystem::removeFile(path(), error) && FileSystem::syncDirectory(m_root, error)
        && FileSystem::syncVolume(m_root, error);
}

// The journal goes last, once everything it protects is on the medium: a
// journal removed before the moves of an undo or the removals of a clean-up
// would leave a card that no later run can bring back to one release.
bool WriterJournal::close(QString *error) const
{
    return syncTouched(error) && remove(error);
}

// What a kill during QSaveFile's write of the journal leaves behind.
void WriterJournal::removeTemporaries() const
{
    const QStringList names = QDir(m_root).entryList({fileName() + QLatin1String(".*")},
                                                     QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : names) {
        QString error;
        if (!FileSystem::removeFile(pathOf(name), &error))
            qDebug() << Q_FUNC_INFO << error;
    }
}

bool WriterJournal::repair(const QString &root, const QStringList &removedAfterCommit, QString *error)
{
    if (root.isEmpty())
        return true;
    WriterJournal journal(root);
    journal.removeTemporaries();
    const QFileInfo journalFile(journal.path());
    if (!journalFile.exists() && !journalFile.isSymLink())
        return true;
    // Nothing is moved, removed or written through a link: a journal that
    // is one, or that names a path crossing one, is refused, not followed.
    *error = CardPath(root).check(fileName());
    if (!error->isEmpty() || !journal.read(error))
        return false;
    *error = journal.checkOnCard(removedAfterCommit);
    if (!error->isEmpty())
        return false;
    qDebug() << Q_FUNC_INFO << (journal.committed ? "Completing" : "Undoing") << "an interrupted update of"
             << root;
    QList<DeviceWriter::Undo> undo;
    const bool repaired = journal.committed ? journal.rollForward(removedAfterCommit, error)
                                            : journal.rollBack(&undo, error);
    return repaired && journal.close(error);
}
