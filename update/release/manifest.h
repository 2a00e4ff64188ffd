#ifndef ZUV_UPDATE_MANIFEST_H
#define ZUV_UPDATE_MANIFEST_H

#include <QByteArray>
#include <QString>
#include <QTextStream>

QT_BEGIN_NAMESPACE
class QIODevice;
QT_END_NAMESPACE

// An update directory's manifest: one line per file, the 32 lower-case
// hexadecimal digits of the file's MD5, white space, and the file's path
// relative to the directory. The program reads manifests with these rules
// and zuv-publish writes and checks them with the same ones.
namespace Manifest {

constexpr int DigestLength = 32;

struct Entry {
    QString md5;      // the first 32 characters, exactly as written
    QString filePath; // the rest of the line, trimmed
};

// What a line is; zuv-publish reports every kind but Blank and Entry as a
// fault of the tree. Digests are compared byte for byte with the lower-case
// hexadecimal MD5 of a file, so a manifest carries them in lower case, as
// zuv-publish writes them.
enum class LineKind {
    Blank,           // empty or only white space: skipped
    Entry,           // a file that may be written below the update directory
    TooShort,        // no file path after the digest
    BadDigest,       // does not start with 32 hexadecimal digits
    UpperCaseDigest, // never equals the lower-case digest of any file
    NoSeparator,     // the path follows the digest without white space
    UnsafePath,      // names a file outside the update directory
    ForbiddenName    // a file the card's FAT file system cannot hold
};

// Splits a line (without its terminator). The entry is filled for every
// kind but Blank: the digest is the first 32 characters, the path the rest,
// trimmed.
LineKind parseLine(const QString &line, Entry *entry);

// Whether the program takes a line of that kind as a file to update. It
// takes a digest exactly as it stands: a line whose digest is malformed or
// in upper case, or runs into its path, still names a file, which then
// matches nothing on the card and fails the run when its download is
// verified. A line without a path, or whose path leaves its directory or
// cannot be held by a card, makes the program refuse the whole run before
// anything is fetched.
bool namesFile(LineKind kind);

// What is wrong with a line of that kind, as the program and zuv-publish
// report it ("the digest is in upper case, ..."); empty for Entry.
QString problem(LineKind kind, const Entry &entry);

// A manifest line as zuv-publish writes it: digest, two blanks, path.
QByteArray formatLine(const QByteArray &md5, const QString &filePath);

// Reads the lines of a manifest from the device's current position, decoded
// with the platform's 8-bit codec (a byte-order mark is honoured), LF or
// CR LF line ends. Streams: a manifest is never held whole in memory.
class Reader
{
public:
    explicit Reader(QIODevice *device);

    bool atEnd() const { return m_stream.atEnd(); }
    // The kind of the next line, its entry in *entry.
    LineKind next(Entry *entry);
    // The number of the line next() returned last, from 1.
    int lineNumber() const { return m_lineNumber; }

private:
    QTextStream m_stream;
    int m_lineNumber = 0;
};

// Empty when the path names a file strictly below the directory it is taken
// relative to and a FAT or exFAT card can hold it; otherwise why not, as a
// phrase that follows the quoted path ("is absolute"). Both "/" and "\"
// count as separators, as on the device.
QString pathProblem(const QString &path);

// True when the path names a file strictly below the directory it is taken
// relative to: not empty, not absolute (nor a drive or UNC path), no ".."
// component, not ending in a separator, "." or "..", and no control
// characters.
bool isSafeRelativePath(const QString &path);

// True when a FAT or exFAT card can hold every component of the path: none
// holds one of : * ? " < > |, ends in a dot or a blank, or is a device name
// of Windows (CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9), with or
// without an extension. Such a name would fail only half-way through a
// write.
bool fitsCard(const QString &path);

} // namespace Manifest

#endif
