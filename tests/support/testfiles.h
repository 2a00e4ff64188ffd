#ifndef ZUV_TESTS_TESTFILES_H
#define ZUV_TESTS_TESTFILES_H

#include <QByteArray>
#include <QMap>
#include <QString>

// Directory trees as the tests make and compare them: relative path to
// content.
using Files = QMap<QString, QByteArray>;

// Writes the file, creating the directories on its way; false on failure.
bool writeFile(const QString &path, const QByteArray &content);
// Writes each file below root.
bool writeFiles(const QString &root, const Files &files);
// The content, or an empty array when the file cannot be read.
QByteArray readFile(const QString &path);
// Every file below root, hidden ones included, with its content.
Files filesBelow(const QString &root);
// Empties a directory; a link in it is removed, never followed.
void clearDirectory(const QString &root);
QByteArray md5Hex(const QByteArray &content);

#endif
