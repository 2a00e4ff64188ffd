#include "volume.h"

#include <QDir>
#include <QFile>

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

QString Volume::faultsUnavailableReason()
{
    return unavailableReason();
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
