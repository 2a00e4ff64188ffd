#ifndef ZUV_PUBLISH_DEVICEPATH_H
#define ZUV_PUBLISH_DEVICEPATH_H

#include <QString>

// The rules for a file's path relative to its update directory: it is
// written into a manifest, read back by the program and created on the
// device's card (a FAT file system read on any computer). They are the
// program's own rules for manifest paths, and a few more so that the path
// reads back exactly as it was written: ASCII, "/" between components, no
// empty or "." component, no white space at either end.
namespace DevicePath {

// Empty when the path ("/" between components) is fine; otherwise what is
// wrong with it, as a phrase that follows the quoted path.
QString problem(const QString &relativePath);

} // namespace DevicePath

#endif
