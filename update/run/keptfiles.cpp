#include "keptfiles_p.h"

#include "helpers/lockedtempdir.h"

#include "update/release/md5.h"

#include "helpers/dir.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

// A digest names a file in the store, so only what an MD5 digest looks
// like is taken, nothing that is a path.
bool isDigest(const QString &md5)
{
    return Md5::isHexDigest(md5.toLatin1(), 32);
}

} // namespace

KeptFiles::KeptFiles() = default;

KeptFiles::~KeptFiles() = default;

QString KeptFiles::pathOf(const QString &md5) const
{
    return m_dir->filePath(md5);
}

QString KeptFiles::partPathOf(const QString &md5) const
{
    return m_dir->filePath(md5 + QStringLiteral(".part"));
}

bool KeptFiles::keep(const QString &path, const QString &md5)
{
    if (!isDigest(md5) || !ensureDirectory() || !moveIn(path, pathOf(md5)))
        return false;
    QFile::remove(partPathOf(md5));
    return true;
}

bool KeptFiles::keepPart(const QString &path, const QString &md5)
{
    if (!isDigest(md5) || QFileInfo(path).size() <= 0 || !ensureDirectory() || QFile::exists(pathOf(md5)))
        return false;
    QFile::remove(partPathOf(md5));
    return moveIn(path, partPathOf(md5));
}

qint64 KeptFiles::takePart(const QString &md5, const QString &destination)
{
    if (!m_dir || !isDigest(md5))
        return -1;
    QFile part(partPathOf(md5));
    const qint64 size = part.size();
    if (size <= 0 || !part.rename(destination))
        return -1;
    qDebug() << Q_FUNC_INFO << destination << md5 << size;
    return size;
}

// The store is created on first use.
bool KeptFiles::ensureDirectory()
{
    if (!m_dir) {
        m_dir.reset(new Helpers::LockedTempDir(QStringLiteral("kept")));
        if (!m_dir->isValid()) {
            qDebug() << Q_FUNC_INFO << "Cannot create a directory for kept files:" << m_dir->errorString();
            m_dir.reset();
            return false;
        }
    }
    return true;
}

bool KeptFiles::moveIn(const QString &path, const QString &target)
{
    if (QFile::exists(target))
        return QFile::remove(path);
    const bool kept = QFile::rename(path, target);
    qDebug() << Q_FUNC_INFO << path << target << kept;
    return kept;
}

void KeptFiles::keepOnly(const QSet<QString> &wanted)
{
    if (!m_dir)
        return;
    const QStringList names = QDir(m_dir->path()).entryList(QDir::Files);
    for (const QString &name : names) {
        if (!wanted.contains(name.left(32)))
            QFile::remove(m_dir->filePath(name));
    }
}

QSet<QString> KeptFiles::digests() const
{
    QSet<QString> result;
    if (!m_dir)
        return result;
    const QStringList names = QDir(m_dir->path()).entryList(QDir::Files);
    for (const QString &name : names) {
        if (isDigest(name))
            result.insert(name);
    }
    return result;
}

bool KeptFiles::restore(const QString &md5, const QString &destination, const QAtomicInt *stopped) const
{
    if (!m_dir || !isDigest(md5))
        return false;
    QFile file(pathOf(md5));
    const bool matches = Md5::fileMatches(file.fileName(), md5.toLatin1(), QByteArray(),
                                          [stopped] { return stopped->loadAcquire() != 0; });
    if (stopped->loadAcquire() != 0 || !file.exists())
        return false;
    if (!matches) {
        qDebug() << Q_FUNC_INFO << "Kept file no longer matches its digest" << file.fileName();
        file.remove();
        return false;
    }
    Helpers::Dir::createPath(QFileInfo(destination).absolutePath());
    return file.rename(destination);
}

void KeptFiles::clear()
{
    m_dir.reset();
}
