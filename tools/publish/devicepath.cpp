#include "devicepath.h"

#include "update/release/manifest.h"

#include <QStringList>

namespace DevicePath {
namespace {

bool isAscii(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() > 0x7e)
            return false;
    }
    return true;
}

} // namespace

QString problem(const QString &relativePath)
{
    // What the program would refuse to write comes first, in its words.
    const QString refused = Manifest::pathProblem(relativePath);
    if (!refused.isEmpty())
        return refused;
    // Then what the program reads, but not as the release meant it.
    if (relativePath != relativePath.trimmed())
        return QStringLiteral("starts or ends with white space, which the program trims away");
    if (!isAscii(relativePath))
        return QStringLiteral("holds characters outside ASCII, which the program may decode differently");
    if (relativePath.contains(QLatin1Char('\\')))
        return QStringLiteral("holds '\\', which the card's file system does not allow in names");
    const QStringList components = relativePath.split(QLatin1Char('/'));
    if (components.contains(QString()))
        return QStringLiteral("has an empty component");
    if (components.contains(QStringLiteral(".")))
        return QStringLiteral("has a \".\" component");
    return QString();
}

} // namespace DevicePath
