#ifndef ZUV_PUBLISH_PACKAGE_H
#define ZUV_PUBLISH_PACKAGE_H

#include <QByteArray>
#include <QList>
#include <QString>

// One directory of the server tree: the files of a release directory with
// their digests, where they go on the server and where on the device.
struct Package {
    struct Entry {
        QString filePath; // relative to the directory, "/" between components
        QByteArray md5;   // 32 lower-case hexadecimal digits once hashed
        qint64 size = 0;
        QByteArray sha256; // 64 lower-case hexadecimal digits once hashed
    };

    QString sourceDirectory; // absolute path of the release's directory
    QString serverDirectory; // relative to the model's directory: "PrimaryFirmware/3"
    QString deviceDirectory; // "" for the card's root, or "ANIM", "IMAGES", "SOUNDS"
    bool versioned = true;   // a version is published once; resources are replaced
    QList<Entry> entries;    // sorted by path

    qint64 totalSize() const;
    // The manifest: one "<md5>  <path>" line per entry, LF line ends.
    QByteArray manifest() const;
    // Where an entry lands on the device, relative to the card's root.
    QString devicePath(const Entry &entry) const;
};

#endif
