#include "manifest.h"

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
    // Split by hand: a regular expression would be compiled anew for each of
    // the thousands of paths of a release.
    int start = 0;
    for (int i = 0;; ++i) {
        if (i < path.size() && !isSeparator(path.at(i)))
            continue;
        const QStringRef component = path.midRef(start, i - start);
        if (component == QLatin1String(".."))
            return false;
        if (i == path.size())
            return component != QLatin1String(".");
        start = i + 1;
    }
}

} // namespace Manifest
