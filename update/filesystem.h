#ifndef ZUV_UPDATE_FILESYSTEM_H
#define ZUV_UPDATE_FILESYSTEM_H

#include <QString>

QT_BEGIN_NAMESPACE
class QFile;
QT_END_NAMESPACE

// The few file-system operations the device writer needs and Qt does not
// offer: flushing to the medium, an atomic rename that replaces its target,
// and removing a file whatever its attributes. Each returns false on failure and leaves the reason in *error.
namespace FileSystem {

// Moves the file's data to the medium (fsync).
bool syncFile(QFile &file, QString *error);
// Moves a directory's entries to the medium; no-op where the system
// refuses to flush a directory.
bool syncDirectory(const QString &path, QString *error);
// Moves everything written to the volume holding path to the medium.
bool syncVolume(const QString &path, QString *error);
// Renames from to to in one step, replacing an existing to.
bool replaceFile(const QString &from, const QString &to, QString *error);
// Copies the whole content of from (open for reading, at its start) into
// to (open for writing, empty).
bool copyData(QFile &from, QFile &to, QString *error);
// Clears the read-only attribute of a card file, which Windows refuses to
// delete or replace.
void makeWritable(QFile &file);
// Removes the file at path, read-only or not; true when none is left.
bool removeFile(const QString &path, QString *error);

} // namespace FileSystem

#endif
