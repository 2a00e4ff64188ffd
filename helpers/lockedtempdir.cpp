#include "lockedtempdir.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

// Inside each directory. Its contents (process id, host, program) tell
// another copy whether the owner still runs. A run directory mirrors the
// card: a firmware file of this name at the card's root would take the
// lock's place (on Windows the open lock refuses it and the run fails).
const QString LockFileName = QStringLiteral(".zuv-owner.lock");

QString namePrefix()
{
    const QString name = QCoreApplication::applicationName();
    return (name.isEmpty() ? QStringLiteral("zuv") : name) + QLatin1Char('-');
}

QString lockPath(const QString &directory)
{
    return directory.isEmpty() ? QString() : directory + QLatin1Char('/') + LockFileName;
}

// A lock is stale only when its process no longer runs (or its id now
// belongs to another program); never because of its age: a run may take
// hours on a slow link.
void onlyDeadOwnersAreStale(QLockFile *lock)
{
    lock->setStaleLockTime(0);
}

// Whether the directory was left by a copy that is gone: its lock can be
// taken. The lock is let go again at once, since on Windows an open lock
// file keeps its directory.
bool abandoned(const QString &directory)
{
    const QString path = lockPath(directory);
    if (!QFileInfo(path).isFile())
        return false; // being made right now, or not ours
    QLockFile lock(path);
    onlyDeadOwnersAreStale(&lock);
    if (!lock.tryLock(0))
        return false;
    lock.unlock();
    return true;
}

} // namespace

namespace Helpers {

LockedTempDir::LockedTempDir(const QString &kind)
{
    // An empty location would put the directory at the file-system root.
    const QString location = QDir::tempPath();
    if (location.isEmpty()) {
        m_error = QStringLiteral("The temporary location \"%1\" does not exist").arg(locationName());
        return;
    }
    const QString suffix = kind.isEmpty() ? QString() : kind + QLatin1Char('-');
    m_dir.reset(new QTemporaryDir(location + QLatin1Char('/') + namePrefix() + suffix + QStringLiteral("XXXXXX")));
    if (!m_dir->isValid()) {
        m_error = QStringLiteral("Cannot create a directory in \"%1\": %2").arg(locationName(), m_dir->errorString());
        return;
    }
    m_lock.reset(new QLockFile(lockPath(m_dir->path())));
    onlyDeadOwnersAreStale(m_lock.data());
    if (!m_lock->tryLock(0)) {
        const bool denied = m_lock->error() == QLockFile::PermissionError;
        m_error = QStringLiteral("Cannot create the lock file \"%1\": %2")
                      .arg(QDir::toNativeSeparators(lockPath(m_dir->path())),
                           denied ? QStringLiteral("permission denied") : QStringLiteral("it cannot be written"));
        m_dir->remove();
    }
}

LockedTempDir::~LockedTempDir()
{
    remove();
}

bool LockedTempDir::isValid() const
{
    return m_error.isEmpty() && m_dir && m_lock && m_lock->isLocked();
}

QString LockedTempDir::errorString() const
{
    return m_error;
}

QString LockedTempDir::path() const
{
    return isValid() ? m_dir->path() : QString();
}

QString LockedTempDir::filePath(const QString &fileName) const
{
    return isValid() ? m_dir->filePath(fileName) : QString();
}

// The lock goes first: on Windows its open file would keep the directory.
bool LockedTempDir::remove()
{
    if (!isValid())
        return true;
    m_lock->unlock();
    return m_dir->remove();
}

int LockedTempDir::removeAbandoned()
{
    const QString location = QDir::tempPath();
    if (location.isEmpty())
        return 0;
    const QString prefix = namePrefix();
    int removed = 0;
    const QFileInfoList entries = QDir(location).entryInfoList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        if (!entry.fileName().startsWith(prefix) || entry.isSymLink() || !abandoned(entry.filePath()))
            continue;
        const bool gone = QDir(entry.filePath()).removeRecursively();
        qDebug() << Q_FUNC_INFO << "Removing what an earlier run left" << entry.filePath() << gone;
        removed += gone ? 1 : 0;
    }
    return removed;
}

QString LockedTempDir::locationName()
{
    QString location = QDir::tempPath();
#ifndef Q_OS_WIN
    // Qt checks the location on Unix only; Windows' answer is never empty.
    if (location.isEmpty())
        location = QFile::decodeName(qgetenv("TMPDIR"));
    if (location.isEmpty())
        location = QStringLiteral("/tmp");
#endif
    return QDir::toNativeSeparators(location);
}

} // namespace Helpers
