#include "volumescan.h"

#include <QStorageInfo>

namespace Device {

QList<Info> scanVolumes()
{
    QList<Info> devices;
    const QList<QStorageInfo> volumes = QStorageInfo::mountedVolumes();
    for (const QStorageInfo &volume : volumes)
        devices.append(Info(volume.rootPath()));
    return devices;
}

} // namespace Device
