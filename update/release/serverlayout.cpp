#include "serverlayout.h"

#include "device/deviceinfo.h"

#include <QDir>
#include <QRegularExpression>

namespace ServerLayout {
namespace {

constexpr int MaximumVersionLength = 64;

QString modelsDirectoryName()
{
    return QStringLiteral("ZUVUpdater");
}

} // namespace

QString infoFileName()
{
    return QLatin1String(Device::InfoFileName);
}

QString changelistFileName()
{
    return QStringLiteral("changelist.txt");
}

QString manifestFileName()
{
    return QStringLiteral("manifest.txt");
}

QStringList knownModels()
{
    return {Device::typeName(TheOrvik), Device::typeName(TheNalo)};
}

QString firmwareDirectory(Firmware firmware)
{
    switch (firmware) {
    case Bootloader:
        return QStringLiteral("Bootloader");
    case PrimaryFirmware:
        return QStringLiteral("PrimaryFirmware");
    case SecondaryFirmware:
        break;
    }
    return QStringLiteral("SecondaryFirmware");
}

QString infoKey(Firmware firmware)
{
    switch (firmware) {
    case Bootloader:
        return QLatin1String(Device::BootloaderVersionKey);
    case PrimaryFirmware:
        return QLatin1String(Device::PrimaryVersionKey);
    case SecondaryFirmware:
        break;
    }
    return QLatin1String(Device::SecondaryVersionKey);
}

QStringList resourceDirectories()
{
    return {QStringLiteral("ANIM"), QStringLiteral("IMAGES"), QStringLiteral("SOUNDS")};
}

QString updateDirectory(Firmware firmware, const QString &versionOrResource)
{
    return firmwareDirectory(firmware) + QLatin1Char('/') + versionOrResource;
}

QString manifestPath(Firmware firmware, const QString &versionOrResource)
{
    return updateDirectory(firmware, versionOrResource) + QLatin1Char('/') + manifestFileName();
}

QString versionProblem(Firmware firmware, const QString &version)
{
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9][A-Za-z0-9._-]*$"));
    if (version.isEmpty())
        return QStringLiteral("no version given");
    if (version.size() > MaximumVersionLength)
        return QStringLiteral("longer than %1 characters").arg(MaximumVersionLength);
    if (!pattern.match(version).hasMatch())
        return QStringLiteral("may hold only letters, digits, '.', '_' and '-', and starts with a letter or digit");
    if (firmware == SecondaryFirmware && resourceDirectories().contains(version, Qt::CaseInsensitive))
        return QStringLiteral("is the name of a resource directory beside the secondary firmware versions");
    return QString();
}

QString basePattern(const QString &root)
{
    return root + QLatin1Char('/') + modelsDirectoryName() + QStringLiteral("/%1/");
}

QString address(const QString &deviceBase, const QString &pathInModel)
{
    // Joined, not substituted: a version goes in as it came from FW.ZUV,
    // whatever "%" it holds.
    return deviceBase + QLatin1Char('/') + pathInModel;
}

QString modelsDirectory(const QString &tree)
{
    return QDir(tree).filePath(modelsDirectoryName());
}

QString modelDirectory(const QString &tree, const QString &model)
{
    return QDir(modelsDirectory(tree)).filePath(model);
}

} // namespace ServerLayout
