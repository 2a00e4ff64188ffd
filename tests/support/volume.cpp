#include "volume.h"
#include "testfiles.h"

// Reading and writing the card's files works the same everywhere; making
// the card itself is in volume_linux.cpp and volume_windows.cpp.

#include <QFileInfo>

void Volume::writeFile(const QString &relativePath, const QByteArray &content)
{
    ::writeFile(rootPath() + QLatin1Char('/') + relativePath, content);
}

QByteArray Volume::readFile(const QString &relativePath) const
{
    return ::readFile(rootPath() + QLatin1Char('/') + relativePath);
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
    return filesBelow(rootPath());
}
