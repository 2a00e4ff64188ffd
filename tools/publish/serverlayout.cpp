#include "serverlayout.h"

#include "device/deviceinfo.h"

#include <QDir>
#include <QRegularExpression>

namespace ServerLayout {
namespace {

constexpr int MaximumVersionLength = 64;

} // namespace

QString modelsDirectory(const QString &tree)
{
    return QDir(tree).filePath(QStringLiteral("ZUVUpdater"));
}

QString modelDirectory(const QString &tree, const QString &model)
{
    return QDir(modelsDirectory(tree)).filePath(model);
}

QStringList knownModels()
{
    return {Device::typeName(TheOrvik), Device::typeName(TheNalo)};
}

QString infoFileName()
{
    return QStringLiteral("FW.ZUV");
}

QString changelistFileName()
{
    return QStringLiteral("changelist.txt");
}

QString manifestFileName()
{
    return QStringLiteral("manifest.txt");
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
        return QStringLiteral("VER_BOOT");
    case PrimaryFirmware:
        return QStringLiteral("VER_PRI");
    case SecondaryFirmware:
        break;
    }
    return QStringLiteral("VER_SEC");
}

QStringList resourceDirectories()
{
    return {QStringLiteral("ANIM"), QStringLiteral("IMAGES"), QStringLiteral("SOUNDS")};
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

} // namespace ServerLayout
