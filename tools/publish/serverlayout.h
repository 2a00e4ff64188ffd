#ifndef ZUV_PUBLISH_SERVERLAYOUT_H
#define ZUV_PUBLISH_SERVERLAYOUT_H

#include <QString>
#include <QStringList>

// Where the update server keeps a device model's files, as the program asks
// for them: <tree>/ZUVUpdater/<model>/ holds FW.ZUV and changelist.txt,
// Bootloader/<version>/, PrimaryFirmware/<version>/, SecondaryFirmware/<version>/
// and the unversioned SecondaryFirmware/{ANIM,IMAGES,SOUNDS}/, each with a
// manifest.txt beside its files.
namespace ServerLayout {

QString modelsDirectory(const QString &tree);
QString modelDirectory(const QString &tree, const QString &model);
// The device models the program can ask for.
QStringList knownModels();

QString infoFileName();       // "FW.ZUV"
QString changelistFileName(); // "changelist.txt"
QString manifestFileName();   // "manifest.txt"

// The three firmware kinds in the order FW.ZUV names them, with their
// directory on the server and their key in FW.ZUV.
enum Firmware { Bootloader, PrimaryFirmware, SecondaryFirmware };
constexpr int FirmwareCount = 3;
QString firmwareDirectory(Firmware firmware); // "Bootloader", ...
QString infoKey(Firmware firmware);           // "VER_BOOT", ...

// The secondary firmware's resource directories, beside its versions.
QStringList resourceDirectories(); // "ANIM", "IMAGES", "SOUNDS"

// Empty when the text can name a version of the given firmware; otherwise
// why not. A version is a path segment of the server's addresses, inserted
// without escaping, and a value of FW.ZUV, so it keeps to letters, digits,
// ".", "_" and "-", and a secondary version may not be a resource name.
QString versionProblem(Firmware firmware, const QString &version);

} // namespace ServerLayout

#endif
