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
    // The device's "FW.ZUV" as it was read here (see infoFileSnapshot()):
    // an update chosen from these versions is written only to this card.
    QByteArray infoFileSnapshot;
};

// The device's information file at its volume's root.
constexpr char InfoFileName[] = "FW.ZUV";
// A file of the device's at its volume's root that a finished copy deletes;
// the program never creates, reads or writes it.
constexpr char InstallMarkFileName[] = "ZUV.FW";

// A "FW.ZUV" larger than this is not read: the real file is a few lines.
constexpr qint64 MaximumInfoFileSize = 1024 * 1024;

// The bytes of the "FW.ZUV" at this volume root as they are now, with a
// mark in front so that an empty file differs from a missing one; empty
// when there is none. Two snapshots are equal only for the same card with
// the same information file.
QByteArray infoFileSnapshot(const QString &rootPath);
// Whether the volume at rootPath still holds the card of this snapshot;
// logs when it does not.
bool holdsCard(const QString &rootPath, const QByteArray &snapshot);

// The keys of an FW.ZUV, the card's and the update server's alike.
constexpr char SerialNumberKey[] = "SN_PRI";
constexpr char BootloaderVersionKey[] = "VER_BOOT";
constexpr char PrimaryVersionKey[] = "VER_PRI";
constexpr char SecondaryVersionKey[] = "VER_SEC";

} // namespace Device

#endif
