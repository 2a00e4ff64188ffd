#ifndef ZUV_DEVICE_DEVICEINFO_H
#define ZUV_DEVICE_DEVICEINFO_H

#include <QString>

// Device models the program knows. Stored and compared as a plain int:
// any value outside the table names "Invalid".
enum DeviceType {
    Invalid = 0,
    TheOrvik = 1,
    TheNalo = 2
};

namespace Device {

// Name of the model as it appears in the update server's addresses.
QString typeName(DeviceType type);
// Name of the model as the user reads it.
QString typeDisplayName(DeviceType type);

// One device: the versions it holds, read from "FW.ZUV" at its volume's
// root, and the versions the update server offers for it.
class Info
{
public:
    Info();
    explicit Info(const QString &rootPath);

    bool isValid() const;
    QString displayName() const;
    void readUpdateInfo(const QString &fileName);

    DeviceType type;
    QString serialNumber;
    QString primaryVersion;
    QString secondaryVersion;
    QString bootloaderVersion;
    QString primaryUpdateVersion;
    QString secondaryUpdateVersion;
    QString bootloaderUpdateVersion;
    QString rootPath;
};

// A "FW.ZUV" larger than this is not read: the real file is a few lines.
constexpr qint64 MaximumInfoFileSize = 1024 * 1024;

// The keys of an FW.ZUV, the card's and the update server's alike.
constexpr char SerialNumberKey[] = "SN_PRI";
constexpr char BootloaderVersionKey[] = "VER_BOOT";
constexpr char PrimaryVersionKey[] = "VER_PRI";
constexpr char SecondaryVersionKey[] = "VER_SEC";

} // namespace Device

#endif
