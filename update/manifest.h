#ifndef ZUV_UPDATE_MANIFEST_H
#define ZUV_UPDATE_MANIFEST_H

#include <QString>

// One line of an update directory's manifest: the 32 hexadecimal digits of
// a file's MD5, white space, and the file's path relative to the directory.
namespace Manifest {

constexpr int DigestLength = 32;

struct Entry {
    QString md5;      // the first 32 characters, exactly as written
    QString filePath; // the rest of the line, trimmed
};

enum class LineKind {
    Blank,     // empty or only white space: not an entry
    Entry,     // a file that may be written below the update directory
    UnsafePath,   // names no file, or a file outside the update directory
    ForbiddenName // a file the card's FAT file system cannot hold
};

// Splits a line (without its terminator). The entry is filled for every
// kind but Blank.
LineKind parseLine(const QString &line, Entry *entry);

// True when the path names a file strictly below the directory it is taken
// relative to: not empty, not absolute (nor a drive or UNC path), no ".."
// component, not ending in a separator, "." or "..", and no control
// characters. Both "/" and "\" count as separators, as on the device.
bool isSafeRelativePath(const QString &path);

// True when a FAT or exFAT card can hold every component of the path: none
// holds one of : * ? " < > |, ends in a dot or a blank, or is a device name
// of Windows (CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9), with or
// without an extension. Such a name would fail only half-way through a
// write.
bool fitsCard(const QString &path);

} // namespace Manifest

#endif
