// Fuzz target: reading FW.ZUV, as found on a volume and as served by the
// update server. Any bytes must give a record, never a crash, and a record
// is valid only with all four values present.
#include "device/deviceinfo.h"

#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir root;
    {
        QFile file(root.filePath(QStringLiteral("FW.ZUV")));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            std::abort();
        file.write(reinterpret_cast<const char *>(data), qint64(size));
    }

    Device::Info info(root.path());
    if (info.isValid() && (info.serialNumber.isEmpty() || info.bootloaderVersion.isEmpty()
                           || info.primaryVersion.isEmpty() || info.secondaryVersion.isEmpty()))
        std::abort();
    if (info.type != TheOrvik && info.type != Invalid)
        std::abort();
    info.readUpdateInfo(root.filePath(QStringLiteral("FW.ZUV")));
    return 0;
}
