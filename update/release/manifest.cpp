#include "manifest.h"

#include <QIODevice>

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

QString componentCardProblem(const QStringRef &component)
{
    if (component.isEmpty())
        return QString(); // "a//b": one separator to the card
    const QChar last = component.back();
    if ((last == QLatin1Char('.') || last == QLatin1Char(' ')) && component != QLatin1String("."))
        return QStringLiteral("has a name ending in a blank or a dot, which the card's file system drops");
    if (isDeviceName(component))
        return QStringLiteral("has the device name \"%1\", which the card's file system cannot hold")
            .arg(component.toString());
    return QString();
}

// Why the path names no file strictly below its directory, or empty.
QString outsideProblem(const QString &path)
{
    if (path.isEmpty())
        return QStringLiteral("is empty");
    if (isSeparator(path.at(0)))
        return QStringLiteral("is absolute");
    if (startsWithDriveLetter(path))
        return QStringLiteral("starts with a drive name");
    if (hasControlCharacter(path))
        return QStringLiteral("holds a control character");
    if (isSeparator(path.back()))
        return QStringLiteral("ends with a separator and names no file");
    // Split by hand: a regular expression would be compiled anew for each of
    // the thousands of paths of a release.
    int start = 0;
    for (int i = 0;; ++i) {
        if (i < path.size() && !isSeparator(path.at(i)))
            continue;
        const QStringRef component = path.midRef(start, i - start);
        if (component == QLatin1String(".."))
            return QStringLiteral("climbs out of its directory with \"..\"");
        if (i == path.size())
            return component == QLatin1String(".") ? QStringLiteral("names its directory, not a file") : QString();
        start = i + 1;
    }
}

// Why a FAT or exFAT card cannot hold the path, or empty.
QString cardProblem(const QString &path)
{
    int start = 0;
    for (int i = 0; i <= path.size(); ++i) {
        if (i < path.size() && isForbiddenOnCard(path.at(i)))
            return QStringLiteral("holds '%1', which the card's file system does not allow in names").arg(path.at(i));
        if (i < path.size() && !isSeparator(path.at(i)))
            continue;
        const QString problem = componentCardProblem(path.midRef(start, i - start));
        if (!problem.isEmpty())
            return problem;
        start = i + 1;
    }
    return QString();
}

LineKind digestKind(const QString &md5)
{
    bool upperCase = false;
    for (const QChar c : md5) {
        const ushort u = c.unicode();
        if (u >= 'A' && u <= 'F')
            upperCase = true;
        else if (!((u >= '0' && u <= '9') || (u >= 'a' && u <= 'f')))
            return LineKind::BadDigest;
    }
    return upperCase ? LineKind::UpperCaseDigest : LineKind::Entry;
}

} // namespace

LineKind parseLine(const QString &line, Entry *entry)
{
    if (line.trimmed().isEmpty())
        return LineKind::Blank;
    entry->md5 = line.left(DigestLength);
    entry->filePath = line.mid(DigestLength).trimmed();
    if (entry->filePath.isEmpty())
        return LineKind::TooShort;
    // The path first: whatever else is wrong with the line, a path that
    // leaves its directory or that no card can hold is never taken.
    if (!isSafeRelativePath(entry->filePath))
        return LineKind::UnsafePath;
    if (!fitsCard(entry->filePath))
        return LineKind::ForbiddenName;
    const LineKind digest = digestKind(entry->md5);
    if (digest != LineKind::Entry)
        return digest;
    return line.at(DigestLength).isSpace() ? LineKind::Entry : LineKind::NoSeparator;
}

bool namesFile(LineKind kind)
{
    switch (kind) {
    case LineKind::Entry:
    case LineKind::BadDigest:
    case LineKind::UpperCaseDigest:
    case LineKind::NoSeparator:
        return true;
    case LineKind::Blank:
    case LineKind::TooShort:
    case LineKind::UnsafePath:
    case LineKind::ForbiddenName:
        break;
    }
    return false;
}

QString problem(LineKind kind, const Entry &entry)
{
    switch (kind) {
    case LineKind::Entry:
        return QString();
    case LineKind::Blank:
        return QStringLiteral("blank line");
    case LineKind::TooShort:
        return QStringLiteral("no file path after the digest");
    case LineKind::BadDigest:
        return QStringLiteral("the line does not start with the 32 hexadecimal digits of an MD5 digest");
    case LineKind::UpperCaseDigest:
        return QStringLiteral("the digest is in upper case, but digests are compared in lower case");
    case LineKind::NoSeparator:
        return QStringLiteral("no white space between the digest and the path");
    case LineKind::UnsafePath:
    case LineKind::ForbiddenName:
        break;
    }
    return QStringLiteral("the path \"%1\" %2").arg(entry.filePath, pathProblem(entry.filePath));
}

QByteArray formatLine(const QByteArray &md5, const QString &filePath)
{
    return md5 + "  " + filePath.toUtf8();
}

Reader::Reader(QIODevice *device)
    : m_stream(device)
{
}

LineKind Reader::next(Entry *entry)
{
    ++m_lineNumber;
    return parseLine(m_stream.readLine(), entry);
}

QString pathProblem(const QString &path)
{
    const QString outside = outsideProblem(path);
    return outside.isEmpty() ? cardProblem(path) : outside;
}

bool isSafeRelativePath(const QString &path)
{
    return outsideProblem(path).isEmpty();
}

bool fitsCard(const QString &path)
{
    return cardProblem(path).isEmpty();
}

} // namespace Manifest
