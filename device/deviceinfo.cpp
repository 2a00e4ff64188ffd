#include "deviceinfo.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryFile>

#include <functional>

namespace {

// The information file is tiny. Anything that is not a regular file, or is
// far larger than the real thing, is not handed to the INI reader at all.
// Nor is a link: whatever it points to is not the device's own file.
bool isReadableInfoFile(const QString &fileName)
{
    const QFileInfo info(fileName);
    return info.isFile() && !info.isSymLink() && info.size() <= Device::MaximumInfoFileSize;
}

QString readValue(const QSettings &settings, const char *key)
{
    return settings.value(QLatin1String(key)).toString();
}

// Qt keeps every INI file it has parsed and hands its keys out again for a
// file at the same path with the same size and time. Another card at the
// same mount point or drive letter (FAT keeps times to two seconds) would
// then show the first card's serial number and versions. So the INI reader
// is given a private copy of the content read from the file, under a name of
// its own. Only where no temporary file can be made is the file read in place.
void readInfoFile(const QString &fileName, const QByteArray &content,
                  const std::function<void(const QSettings &)> &read)
{
    QTemporaryFile copy;
    if (copy.open() && copy.write(content) == content.size() && copy.flush()) {
        copy.close();
        read(QSettings(copy.fileName(), QSettings::IniFormat));
        return;
    }
    qDebug() << Q_FUNC_INFO << "No private copy, reading in place:" << fileName << copy.errorString();
    read(QSettings(fileName, QSettings::IniFormat));
}

QByteArray readContent(const QString &fileName)
{
    QFile file(fileName);
    return file.open(QIODevice::ReadOnly) ? file.read(Device::MaximumInfoFileSize) : QByteArray();
}

} // namespace

namespace Device {

QString typeName(DeviceType type)
{
    switch (type) {
    case TheOrvik:
        return QStringLiteral("TheOrvik");
    case TheNalo:
        return QStringLiteral("TheNalo");
    default:
        return QStringLiteral("Invalid");
    }
}

QString typeDisplayName(DeviceType type)
{
    switch (type) {
    case TheOrvik:
        return QStringLiteral("The Orvik");
    case TheNalo:
        return QStringLiteral("The Nalo");
    default:
        return QStringLiteral("Invalid");
    }
}

Info::Info()
    : type(Invalid)
{
}

Info::Info(const QString &rootPath)
    : type(Invalid)
    , rootPath(rootPath)
{
    qDebug() << rootPath;
    const QString fileName = rootPath + QLatin1Char('/') + QLatin1String(InfoFileName);
    if (!isReadableInfoFile(fileName)) {
        qDebug() << QFile::exists(fileName);
        qDebug() << QStringList();
        if (QFileInfo(fileName).isSymLink())
            qDebug() << Q_FUNC_INFO << "A link, not the device's own file, not read:" << fileName;
        else if (QFile::exists(fileName))
            qDebug() << Q_FUNC_INFO << "Not a regular file of at most" << MaximumInfoFileSize
                     << "bytes, not read:" << fileName;
        return;
    }

    // The versions shown and the card the update goes to come from one read.
    infoFileSnapshot = Device::infoFileSnapshot(rootPath);
    readInfoFile(fileName, infoFileSnapshot.mid(1), [this](const QSettings &settings) {
        qDebug() << QFile::exists(settings.fileName());
        qDebug() << settings.allKeys();
        serialNumber = readValue(settings, Device::SerialNumberKey);
        bootloaderVersion = readValue(settings, Device::BootloaderVersionKey);
        primaryVersion = readValue(settings, Device::PrimaryVersionKey);
        secondaryVersion = readValue(settings, Device::SecondaryVersionKey);
    });

    type = TheOrvik;
    if (!isValid())
        type = Invalid;
}

bool Info::isValid() const
{
    return type != Invalid && !serialNumber.isEmpty() && !bootloaderVersion.isEmpty()
        && !primaryVersion.isEmpty() && !secondaryVersion.isEmpty();
}

QString Info::displayName() const
{
    return QStringLiteral("%1 (%2)").arg(typeDisplayName(type), serialNumber);
}

void Info::readUpdateInfo(const QString &fileName)
{
    if (!isReadableInfoFile(fileName)) {
        bootloaderUpdateVersion.clear();
        primaryUpdateVersion.clear();
        secondaryUpdateVersion.clear();
        return;
    }
    readInfoFile(fileName, readContent(fileName), [this](const QSettings &settings) {
        bootloaderUpdateVersion = readValue(settings, Device::BootloaderVersionKey);
        primaryUpdateVersion = readValue(settings, Device::PrimaryVersionKey);
        secondaryUpdateVersion = readValue(settings, Device::SecondaryVersionKey);
    });
}

QByteArray infoFileSnapshot(const QString &rootPath)
{
    QFile file(rootPath + QLatin1Char('/') + QLatin1String(InfoFileName));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return '+' + file.read(MaximumInfoFileSize + 1);
}

bool holdsCard(const QString &rootPath, const QByteArray &snapshot)
{
    if (infoFileSnapshot(rootPath) == snapshot)
        return true;
    qDebug() << Q_FUNC_INFO << "The device at" << rootPath << "is not the one that was found there";
    return false;
}

} // namespace Device
