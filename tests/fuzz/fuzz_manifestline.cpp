// Fuzz target: the manifest line parser and the path-safety rule.
// Whatever the bytes, parsing must not crash; a line the program takes as a
// file must name a path that stays below its update directory, an entry
// must carry a lower-case digest, and every other kind must say what is
// wrong.
#include "update/release/manifest.h"

#include <QByteArray>
#include <QList>
#include <QRegularExpression>
#include <QStringList>
#include <QTextStream>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    QTextStream stream(bytes);
    while (!stream.atEnd()) {
        const QString line = stream.readLine();
        Manifest::Entry entry;
        const Manifest::LineKind kind = Manifest::parseLine(line, &entry);
        if (kind != Manifest::LineKind::Entry && kind != Manifest::LineKind::Blank
            && Manifest::problem(kind, entry).isEmpty())
            std::abort(); // a fault without a reason
        if (!Manifest::namesFile(kind))
            continue;
        static const QRegularExpression lowerHex(QStringLiteral("^[0-9a-f]{32}$"));
        const QStringList parts = entry.filePath.split(QRegularExpression(QStringLiteral("[/\\\\]")));
        if (!Manifest::isSafeRelativePath(entry.filePath) || parts.contains(QStringLiteral(".."))
            || entry.filePath.startsWith(QLatin1Char('/')))
            std::abort(); // a file the program would write outside its directory
        if (kind == Manifest::LineKind::Entry && !lowerHex.match(entry.md5).hasMatch())
            std::abort();
    }
    return 0;
}
