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

} // namespace Dir
} // namespace Helpers

#endif
