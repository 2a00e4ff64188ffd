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

bool isForbiddenOnCard(QChar c)
{
    return c == QLatin1Char(':') || c == QLatin1Char('*') || c == QLatin1Char('?') || c == QLatin1Char('"')
        || c == QLatin1Char('<') || c == QLatin1Char('>') || c == QLatin1Char('|');
}

// "NUL.TXT" opens the device NUL as well: the part before the first dot counts.
bool isDeviceName(const QStringRef &component)
{
    const QStringRef base = component.left(component.indexOf(QLatin1Char('.')));
    for (const char *name : {"CON", "PRN", "AUX", "NUL"}) {
        if (base.compare(QLatin1String(name), Qt::CaseInsensitive) == 0)
            return true;
    }
    if (base.size() != 4 || base.at(3) < QLatin1Char('1') || base.at(3) > QLatin1Char('9'))
        return false;
    const QStringRef prefix = base.left(3);
    return prefix.compare(QLatin1String("COM"), Qt::CaseInsensitive) == 0
        || prefix.compare(QLatin1String("LPT"), Qt::CaseInsensitive) == 0;
}

bool componentFitsCard(const QStringRef &component)
{
    if (component.isEmpty())
        return true; // "a//b": one separator to the card
    const QChar last = component.back();
    if (last == QLatin1Char('.') || last == QLatin1Char(' '))
        return component == QLatin1String(".");
    return !isDeviceName(component);
}

} // namespace

LineKind parseLine(const QString &line, Entry *entry)
{
    if (line.trimmed().isEmpty())
        return LineKind::Blank;
    entry->md5 = line.left(DigestLength);
    entry->filePath = line.mid(DigestLength).trimmed();
    if (!isSafeRelativePath(entry->filePath))
        return LineKind::UnsafePath;
    return fitsCard(entry->filePath) ? LineKind::Entry : LineKind::ForbiddenName;
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

bool fitsCard(const QString &path)
{
    int start = 0;
    for (int i = 0; i <= path.size(); ++i) {
        if (i < path.size() && isForbiddenOnCard(path.at(i)))
            return false;
        if (i < path.size() && !isSeparator(path.at(i)))
            continue;
        if (!componentFitsCard(path.midRef(start, i - start)))
            return false;
        start = i + 1;
    }
    return true;
}

} // namespace Manifest
