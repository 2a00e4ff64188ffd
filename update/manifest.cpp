#include "manifest.h"

#include <QRegularExpression>
#include <QStringList>

namespace Manifest {
namespace {

bool isSeparator(QChar c)
{
    return c == QLatin1Char('/') || c == QLatin1Char('\\');
}

bool startsWithDriveLetter(const QString &path)
{
    return path.size() >= 2 && path.at(0).isLetter() && path.at(0).unicode() < 128
        && path.at(1) == QLatin1Char(':');
}

bool hasControlCharacter(const QString &path)
{
    for (const QChar c : path) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return true;
    }
    return false;
}

} // namespace

LineKind parseLine(const QString &line, Entry *entry)
{
    if (line.trimmed().isEmpty())
        return LineKind::Blank;
    entry->md5 = line.left(DigestLength);
    entry->filePath = line.mid(DigestLength).trimmed();
    return isSafeRelativePath(entry->filePath) ? LineKind::Entry : LineKind::UnsafePath;
}

bool isSafeRelativePath(const QString &path)
{
    if (path.isEmpty() || isSeparator(path.at(0)) || isSeparator(path.back()))
        return false;
    if (startsWithDriveLetter(path) || hasControlCharacter(path))
        return false;
    const QStringList components = path.split(QRegularExpression(QStringLiteral("[/\\\\]")));
    for (const QString &component : components) {
        if (component == QLatin1String(".."))
            return false;
    }
    return components.last() != QLatin1String(".");
}

} // namespace Manifest
