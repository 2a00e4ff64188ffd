#include "dir.h"

#include <QDebug>
#include <QDir>
#include <QStringList>

namespace Helpers {
namespace Dir {

bool createPath(QDir &dir)
{
    qDebug() << Q_FUNC_INFO << dir.path();
    if (dir.exists())
        return true;
    return dir.mkpath(QStringLiteral("."));
}

bool createPath(const QString &path)
{
    QDir dir(path);
    return createPath(dir);
}

QString nativePathsIn(const QString &text)
{
    QStringList parts = text.split(QLatin1Char('"'));
    for (int i = 1; i < parts.size(); i += 2) // what stands between quotes
        parts[i] = QDir::toNativeSeparators(parts.at(i));
    return parts.join(QLatin1Char('"'));
}

} // namespace Dir
} // namespace Helpers
