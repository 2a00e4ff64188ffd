#include "dir.h"

#include <QDebug>
#include <QDir>

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

} // namespace Dir
} // namespace Helpers
