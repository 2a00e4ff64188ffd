#ifndef ZUV_UPDATE_KEPTFILES_H
#define ZUV_UPDATE_KEPTFILES_H

#include <QAtomicInt>
#include <QScopedPointer>
#include <QSet>
#include <QString>

namespace Helpers {
class LockedTempDir;
}

// Downloads of a failed update run that arrived whole and matched their
// digest, kept so that the next attempt fetches only what is missing, and
// the first part of those that broke off, so that it fetches only the
// rest. They live in a temporary directory of their own, one file per
// digest, and go when this object goes; nothing of them outlives the
// program. A part is never used as it is: the download it completes is
// verified like any other.
//
// keep(), keepOnly(), digests() and clear() belong to the main thread;
// restore() may run on another thread while the main thread leaves the
// store alone.
class KeptFiles
{
public:
    KeptFiles();
    ~KeptFiles();

    // Moves a verified download into the store. A file that cannot be moved
    // (another file system) is not copied instead: keeping must never cost
    // room in the temporary location.
    bool keep(const QString &path, const QString &md5);
    // Moves the first part of a download that broke off into the store.
    bool keepPart(const QString &path, const QString &md5);
    // Moves the kept part of `md5` to `destination` and returns its size;
    // -1 when there is none.
    qint64 takePart(const QString &md5, const QString &destination);
    // Removes every kept file whose digest is not among `wanted`, so that
    // the store never holds more than the release being installed.
    void keepOnly(const QSet<QString> &wanted);
    QSet<QString> digests() const;
    // Hashes the kept file of `md5` again and moves it to `destination` when
    // it still matches; a kept file that no longer matches is removed. False
    // when the file must be fetched again, or when `stopped` is set.
    bool restore(const QString &md5, const QString &destination, const QAtomicInt *stopped) const;
    void clear();

private:
    QString pathOf(const QString &md5) const;
    QString partPathOf(const QString &md5) const;
    bool ensureDirectory();
    bool moveIn(const QString &path, const QString &target);

    QScopedPointer<Helpers::LockedTempDir> m_dir;
};

#endif
