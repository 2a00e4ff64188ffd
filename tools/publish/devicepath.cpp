#include "devicepath.h"

#include "update/manifest.h"

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

bool hasControlCharacter(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return true;
    }
    return false;
}

QString componentProblem(const QString &component)
{
    if (component.isEmpty())
        return QStringLiteral("has an empty component");
    if (component == QLatin1String(".."))
        return QStringLiteral("climbs out of its directory with \"..\"");
    if (component == QLatin1String("."))
        return QStringLiteral("has a \".\" component");
    if (component.endsWith(QLatin1Char(' ')) || component.endsWith(QLatin1Char('.')))
        return QStringLiteral("has a name ending in a blank or a dot, which the card's file system drops");
    return QString();
}

} // namespace

QString problem(const QString &relativePath)
{
    if (relativePath.isEmpty())
        return QStringLiteral("is empty");
    if (relativePath.startsWith(QLatin1Char('/')) || relativePath.startsWith(QLatin1Char('\\')))
        return QStringLiteral("is absolute");
    if (relativePath.size() >= 2 && relativePath.at(0).isLetter() && relativePath.at(1) == QLatin1Char(':'))
        return QStringLiteral("starts with a drive name");
    if (hasControlCharacter(relativePath))
        return QStringLiteral("holds a control character");
    if (relativePath != relativePath.trimmed())
        return QStringLiteral("starts or ends with white space, which the program trims away");
    if (!isAscii(relativePath))
        return QStringLiteral("holds characters outside ASCII, which the program may decode differently");
    for (const QChar c : QStringLiteral("\\:*?\"<>|")) {
        if (relativePath.contains(c))
            return QStringLiteral("holds '%1', which the card's file system does not allow in names").arg(c);
    }
    const QStringList components = relativePath.split(QLatin1Char('/'));
    for (const QString &component : components) {
        const QString problem = componentProblem(component);
        if (!problem.isEmpty())
            return problem;
    }
    if (!Manifest::isSafeRelativePath(relativePath))
        return QStringLiteral("does not name a file below its directory");
    return QString();
}

} // namespace DevicePath
