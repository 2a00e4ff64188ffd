#include "volume.h"

// Reading and writing the card's files works the same everywhere; making
// the card itself is in volume_linux.cpp and volume_windows.cpp.

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

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
