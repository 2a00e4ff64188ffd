#include "volume.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <sys/mount.h>

namespace {

QString mountError(const char *what)
{
    return QStringLiteral("%1 failed: %2").arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(errno)));
}

} // namespace

QString Volume::unavailableReason()
{
    if (qgetenv("ZUV_TEST_MOUNT_NAMESPACE") != "1")
        return QStringLiteral("volumes need a private mount namespace "
                              "(run through tests/support/in-mount-namespace.sh as root "
                              "or where user namespaces are allowed)");
    return {};
}

Volume::Volume(qint64 sizeBytes)
    : m_base(QStringLiteral("/tmp/zuv-volume-XXXXXX"))
    , m_size(sizeBytes)
{
}

Volume::~Volume()
{
    if (m_mounted)
        unmount(true);
}

QString Volume::rootPath() const
{
    return m_base.filePath(QStringLiteral("card"));
}

bool Volume::mount()
{
    if (!unavailableReason().isEmpty() || !m_base.isValid())
        return false;
    const QByteArray target = QFile::encodeName(rootPath());
    QDir().mkpath(rootPath());
    const QByteArray options = "size=" + QByteArray::number(m_size) + ",mode=0755";
    if (::mount("zuvcard", target.constData(), "tmpfs", 0, options.constData()) != 0) {
        qWarning("%s", qPrintable(mountError("mount")));
        return false;
    }
    m_mounted = true;
    return true;
}

bool Volume::remountReadOnly(bool readOnly)
{
    const QByteArray target = QFile::encodeName(rootPath());
    unsigned long flags = MS_REMOUNT | (readOnly ? MS_RDONLY : 0);
    if (::mount(nullptr, target.constData(), nullptr, flags, nullptr) != 0) {
        qWarning("%s", qPrintable(mountError("remount")));
        return false;
    }
    return true;
}

bool Volume::unmount(bool lazy)
{
    const QByteArray target = QFile::encodeName(rootPath());
    if (::umount2(target.constData(), lazy ? MNT_DETACH : 0) != 0) {
        qWarning("%s", qPrintable(mountError("umount")));
        return false;
    }
    m_mounted = false;
    return true;
}

void Volume::writeFile(const QString &relativePath, const QByteArray &content)
{
    const QString path = rootPath() + QLatin1Char('/') + relativePath;
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
        qWarning("cannot write %s: %s", qPrintable(path), qPrintable(file.errorString()));
}

QByteArray Volume::readFile(const QString &relativePath) const
{
    QFile file(rootPath() + QLatin1Char('/') + relativePath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

bool Volume::exists(const QString &relativePath) const
{
    return QFileInfo::exists(rootPath() + QLatin1Char('/') + relativePath);
}

void Volume::writeInfoFile(const QString &serialNumber, const QString &bootloader,
                           const QString &primary, const QString &secondary)
{
    writeFile(QStringLiteral("FW.ZUV"),
              QStringLiteral("SN_PRI=%1\nVER_BOOT=%2\nVER_PRI=%3\nVER_SEC=%4\n")
                  .arg(serialNumber, bootloader, primary, secondary)
                  .toUtf8());
}

QMap<QString, QByteArray> Volume::snapshot() const
{
    QMap<QString, QByteArray> files;
    const QDir root(rootPath());
    QDirIterator it(rootPath(), QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile file(path);
        files.insert(root.relativeFilePath(path), file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray());
    }
    return files;
}
