#include "package.h"

#include "update/release/manifest.h"

qint64 Package::totalSize() const
{
    qint64 total = 0;
    for (const Entry &entry : entries)
        total += entry.size;
    return total;
}

QByteArray Package::manifest() const
{
    QByteArray text;
    for (const Entry &entry : entries)
        text += Manifest::formatLine(entry.md5, entry.filePath) + '\n';
    return text;
}

QString Package::devicePath(const Entry &entry) const
{
    if (deviceDirectory.isEmpty())
        return entry.filePath;
    return deviceDirectory + QLatin1Char('/') + entry.filePath;
}
