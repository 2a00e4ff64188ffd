#include "volume.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <sys/mount.h>
#include <unistd.h>

namespace {

QString mountError(const char *what)
{
    return QStringLiteral("%1 failed: %2").arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(errno)));
}

// Runs a mount tool; false, with what it said, when it fails or hangs.
bool runTool(const QString &program, const QStringList &arguments, QString *output = nullptr)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    const bool finished = process.waitForFinished(60000);
    const QString said = QString::fromLocal8Bit(process.readAll()).trimmed();
    if (output)
        *output = said;
    if (finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return true;
    if (!finished)
        process.kill();
    qWarning("%s %s failed: %s", qPrintable(program), qPrintable(arguments.join(QLatin1Char(' '))), qPrintable(said));
    return false;
}

QString missingTool(const QStringList &tools)
{
    for (const QString &tool : tools) {
        if (QStandardPaths::findExecutable(tool).isEmpty()
            && QStandardPaths::findExecutable(tool, {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")}).isEmpty())
            return tool;
    }
    return {};
}

} // namespace

Volume::Kind Volume::kind()
{
    const QByteArray card = qgetenv("ZUV_TEST_CARD");
    if (card == "exfat")
        return ExFat;
    return card == "fat32" ? Fat32 : Tmpfs;
}

QString Volume::faultsUnavailableReason()
{
    return unavailableReason();
}

QString Volume::unavailableReason()
{
    if (qgetenv("ZUV_TEST_MOUNT_NAMESPACE") != "1")
        return QStringLiteral("volumes need a private mount namespace "
                              "(run through tests/support/in-mount-namespace.sh as root "
                              "or where user namespaces are allowed)");
    if (kind() == Tmpfs)
        return {};
    const QString missing = kind() == ExFat
        ? missingTool({QStringLiteral("mkfs.exfat"), QStringLiteral("mount.exfat-fuse"), QStringLiteral("losetup")})
        : missingTool({QStringLiteral("mkfs.vfat"), QStringLiteral("fusefat")});
    if (!missing.isEmpty())
        return QStringLiteral("%1 is not installed").arg(missing);
    if (::access("/dev/fuse", R_OK | W_OK) != 0)
        return QStringLiteral("FUSE is not available here");
    if (kind() == ExFat && ::access("/dev/loop-control", R_OK | W_OK) != 0)
        return QStringLiteral("loop devices are not available here");
    return {};
}

Volume::Volume(qint64 sizeBytes)
    : m_base(QStringLiteral("/tmp/zuv-volume-XXXXXX"))
    , m_image(QStringLiteral("/tmp/zuv-image-XXXXXX"))
    // The smallest volumes the tools make.
    , m_size(qMax(sizeBytes, kind() == Fat32 ? qint64(40) << 20 : kind() == ExFat ? qint64(8) << 20 : 0))
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
    QDir().mkpath(rootPath());
    if (kind() != Tmpfs)
        return mountImage();
    const QByteArray target = QFile::encodeName(rootPath());
    const QByteArray options = "size=" + QByteArray::number(m_size) + ",mode=0755";
    if (::mount("zuvcard", target.constData(), "tmpfs", 0, options.constData()) != 0) {
        qWarning("%s", qPrintable(mountError("mount")));
        return false;
    }
    m_mounted = true;
    return true;
}

// An image file formatted as the card is, mounted by the FUSE driver a
// Linux desktop would use for it.
bool Volume::mountImage()
{
    const QString image = m_image.filePath(QStringLiteral("card.img"));
    QFile file(image);
    if (!file.open(QIODevice::WriteOnly) || !file.resize(m_size))
        return false;
    file.close();
    if (kind() == Fat32) {
        if (!runTool(QStringLiteral("mkfs.vfat"), {QStringLiteral("-F"), QStringLiteral("32"), image})
            || !runTool(QStringLiteral("fusefat"), {QStringLiteral("-o"), QStringLiteral("rw+"), image, rootPath()}))
            return false;
    } else {
        // exfat-fuse wants a block device.
        if (!runTool(QStringLiteral("mkfs.exfat"), {image})
            || !runTool(QStringLiteral("losetup"), {QStringLiteral("--find"), QStringLiteral("--show"), image},
                        &m_loopDevice)
            || !runTool(QStringLiteral("mount.exfat-fuse"), {m_loopDevice, rootPath()}))
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
    // Loop devices belong to the whole machine: let go of ours (once the
    // file system lets go of it, after a lazy unmount).
    if (!m_loopDevice.isEmpty())
        runTool(QStringLiteral("losetup"), {QStringLiteral("--detach"), m_loopDevice});
    m_loopDevice.clear();
    return true;
}
