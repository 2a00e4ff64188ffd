#ifndef ZUV_PUBLISH_DEVICEPATH_H
#define ZUV_PUBLISH_DEVICEPATH_H

#include <QString>

// The rules for a file's path relative to its update directory: it is
// written into a manifest, read back by the program and created on the
// device's card (a FAT file system read on any computer).
namespace DevicePath {

// Empty when the path ("/" between components) is fine; otherwise what is
// wrong with it, as a phrase that follows the quoted path.
QString problem(const QString &relativePath);

} // namespace DevicePath

#endif
