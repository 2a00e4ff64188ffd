#ifndef ZUV_HELPERS_DIR_H
#define ZUV_HELPERS_DIR_H

#include <QtGlobal>

QT_BEGIN_NAMESPACE
class QDir;
class QString;
QT_END_NAMESPACE

namespace Helpers {
namespace Dir {

// Makes sure the directory exists, creating every missing parent.
// True when it exists afterwards.
bool createPath(QDir &dir);
bool createPath(const QString &path);

// A text that quotes nothing but paths, with each quoted path in the form
// the user's system writes it ("E:\ANIM\MENU" on Windows). For the
// texts of the card's writer and checks, which name only paths.
QString nativePathsIn(const QString &text);

} // namespace Dir
} // namespace Helpers

#endif
