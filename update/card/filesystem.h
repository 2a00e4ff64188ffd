#ifndef ZUV_UPDATE_FILESYSTEM_H
#define ZUV_UPDATE_FILESYSTEM_H

#include <QString>

QT_BEGIN_NAMESPACE
class QFile;
QT_END_NAMESPACE

// The few file-system operations the device writer needs and Qt does not
// offer: flushing to the medium, an atomic rename that replaces its target,
// and removing a file whatever its attributes. While a CardHandles lives in
// the calling thread, paths below its root are reached through its held
// directory handles, never through a link. Each returns false on failure and leaves the reason in *error.
namespace FileSystem {

// Moves the file's data to the medium (fsync).
bool syncFile(QFile &file, QString *error);
// Moves a directory's entries to the medium. Where the system refuses to
// flush a directory (some removable-media and FUSE drivers do), that is
// not taken for success: the volume is flushed instead as far as the
// system allows, *refused is set when given, and the result is true only
// when that flush was done.
bool syncDirectory(const QString &path, QString *error, bool *refused = nullptr);
// How many directory flushes the system refused in this process.
int refusedDirectoryFlushes();
// Moves everything written to the volume holding path to the medium.
bool syncVolume(const QString &path, QString *error);
// Renames from to to in one step, replacing an existing to.
bool replaceFile(const QString &from, const QString &to, QString *error);
// Copies the whole content of from (open for reading, at its start) into
// to (open for writing, empty).
bool copyData(QFile &from, QFile &to, QString *error);
// Clears the read-only attribute of a card file, which Windows refuses to
// delete or replace; only ever of a regular file opened without following
// a link.
void makeWritable(QFile &file);
// Opens the regular file at path for reading. Anything else at that name
// (a link, a FIFO, a socket, a device) is refused before it could block
// or lead elsewhere.
bool openRegular(QFile &file, const QString &path, QString *error);
// MD5 of the regular file at path (lower-case hex), and its size; empty
// when there is no regular file there or it cannot be read. It tells
// versions of a file apart, at the speed the card reads; a card that
// forged a collision would gain nothing it does not hold already.
QByteArray digestOf(const QString &path, qint64 *size = nullptr);
// Copies the regular file at from to a new file at to, which must not
// exist, and flushes it to the medium.
bool copyFile(const QString &from, const QString &to, QString *error);
// Creates a new file at path for writing (O_CREAT | O_EXCL, CREATE_NEW on
// Windows), which fails on a link at its name instead of writing through it.
bool createNew(QFile &file, const QString &path, QString *error);
// Creates the directory at path and the missing ones above it.
bool createDirectory(const QString &path, QString *error);
// Removes the empty directory at path, never through a link.
bool removeDirectory(const QString &path, QString *error);
// Removes the regular file at path, read-only or not; true when nothing is
// left there. Refuses anything else at that name, and a path whose
// existence cannot be told.
bool removeFile(const QString &path, QString *error);

} // namespace FileSystem

#endif
