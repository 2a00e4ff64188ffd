#ifndef ZUV_DEVICE_VOLUMESCAN_H
#define ZUV_DEVICE_VOLUMESCAN_H

#include "device/deviceinfo.h"

#include <QList>

namespace Device {

// One record per mounted volume, valid or not, in the order the system
// lists the volumes. Runs on a worker thread; keeps no state.
QList<Info> scanVolumes();

} // namespace Device

#endif
