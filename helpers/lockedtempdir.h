#ifndef ZUV_HELPERS_LOCKEDTEMPDIR_H
#define ZUV_HELPERS_LOCKEDTEMPDIR_H

#include <QLockFile>
#include <QScopedPointer>
#include <QString>
#include <QTemporaryDir>

namespace Helpers {

// A temporary directory of the program below the system's temporary
// location, named "<application name>-XXXXXX" (or "<application
// name>-<kind>-XXXXXX"), that holds a lock file for as long as it exists.
// A copy of the program that is killed cannot remove its directories;
// removeAbandoned(), at the next start, removes those whose lock is stale
// and leaves those of copies that still run. Otherwise it behaves like the
// QTemporaryDir it wraps: the directory goes with the object.
class LockedTempDir
{
public:
    explicit LockedTempDir(const QString &kind = QString());
    ~LockedTempDir();

    bool isValid() const;
    // Why the directory could not be made, naming where.
    QString errorString() const;
    QString path() const;
    QString filePath(const QString &fileName) const;
    // Removes the directory and all it holds now.
    bool remove();

    // Removes the directories left by copies of the program that ended
    // without removing them; how many it removed. Safe to run beside other
    // copies, also while they start or remove their own.
    static int removeAbandoned();
    // The system's temporary location in the form the user knows, also
    // when it does not exist (where Qt answers an empty path).
    static QString locationName();

private:
    Q_DISABLE_COPY(LockedTempDir)

    QScopedPointer<QTemporaryDir> m_dir;
    QScopedPointer<QLockFile> m_lock;
    QString m_error;
};

} // namespace Helpers

#endif
