#ifndef ZUV_UPDATER_SERVERADDRESS_H
#define ZUV_UPDATER_SERVERADDRESS_H

#include <QString>

namespace ServerAddress {

// Root of the update server (scheme and host): the build's default, or the
// read-only "UpdateServer" key of the program's own settings.
QString root();

// The base address pattern: the root followed by "/ZUVUpdater/%1/", where %1
// takes a device model's type name.
QString basePattern();

} // namespace ServerAddress

#endif
