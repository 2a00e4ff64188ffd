#ifndef ZUV_UPDATE_SERVERLAYOUT_H
#define ZUV_UPDATE_SERVERLAYOUT_H

#include <QString>
#include <QStringList>

// Where the update server keeps a device model's files. The program builds
// its addresses from here, zuv-publish writes its trees from here and checks
// them against the same names:
//
//   <root>/ZUVUpdater/<model>/   FW.ZUV and changelist.txt,
//     Bootloader/<version>/, PrimaryFirmware/<version>/,
//     SecondaryFirmware/<version>/ and the unversioned
//     SecondaryFirmware/{ANIM,IMAGES,SOUNDS}/, each with a manifest.txt
//     beside its files.
//
// A path "relative to the model" below is one of these, "/" between its
// components, e.g. "SecondaryFirmware/ANIM/manifest.txt".
namespace ServerLayout {

QString infoFileName();       // "FW.ZUV"
QString changelistFileName(); // "changelist.txt"
QString manifestFileName();   // "manifest.txt"

// The device models the program can ask for, by type name.
QStringList knownModels();

// The three firmware kinds in the order FW.ZUV names them, with their
// directory on the server and their key in FW.ZUV.
enum Firmware { Bootloader, PrimaryFirmware, SecondaryFirmware };
constexpr int FirmwareCount = 3;
QString firmwareDirectory(Firmware firmware); // "Bootloader", ...
QString infoKey(Firmware firmware);           // "VER_BOOT", ...

// The secondary firmware's resource directories, beside its versions. Each
// is also the directory of the same name on the card.
QStringList resourceDirectories(); // "ANIM", "IMAGES", "SOUNDS"

// The update directory of a firmware version, or of a resource directory
// of the secondary firmware, relative to the model: "PrimaryFirmware/2.0".
QString updateDirectory(Firmware firmware, const QString &versionOrResource);
// Its manifest, relative to the model.
QString manifestPath(Firmware firmware, const QString &versionOrResource);

// Empty when the text can name a version of the given firmware; otherwise
// why not. A version is a path segment of the server's addresses, inserted
// without escaping, and a value of FW.ZUV, so it keeps to letters, digits,
// ".", "_" and "-", and a secondary version may not be a resource name.
QString versionProblem(Firmware firmware, const QString &version);

// Addresses on the server.
//
// The base address pattern of a server root ("http://host"): the root
// followed by "/ZUVUpdater/%1/", where %1 takes a model's type name.
QString basePattern(const QString &root);
// The address of a file relative to the model, below a device base address
// (the pattern filled in). The base ends in "/" and one more "/" is put
// between them: the devices' servers have always been asked for
// ".../TheOrvik//changelist.txt", and are laid out for it.
QString address(const QString &deviceBase, const QString &pathInModel);

// Places in a tree on disk that the server serves from its root.
QString modelsDirectory(const QString &tree); // <tree>/ZUVUpdater
QString modelDirectory(const QString &tree, const QString &model);

} // namespace ServerLayout

#endif
