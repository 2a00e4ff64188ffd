#ifndef ZUV_PUBLISH_RELEASE_H
#define ZUV_PUBLISH_RELEASE_H

#include "package.h"
#include "update/release/serverlayout.h"

#include <QList>
#include <QString>
#include <QStringList>

// A release as the maker's engineers hand it over: a directory holding
//   release.ini        [Release] Model=, Bootloader=, PrimaryFirmware=, SecondaryFirmware=
//   changelist.txt     UTF-8 text shown to the user
//   Bootloader/ PrimaryFirmware/ SecondaryFirmware/   the files of each firmware
//   ANIM/ IMAGES/ SOUNDS/                             the secondary firmware's resources
class Release
{
public:
    static QString settingsFileName(); // "release.ini"

    // Reads and checks the release; on failure the problems say what is
    // wrong, one line each, starting with the file they concern.
    bool load(const QString &directory, QStringList *problems);

    QString directory() const { return m_directory; }
    QString model() const { return m_model; }
    QString version(ServerLayout::Firmware firmware) const { return m_versions[firmware]; }
    QString changelistPath() const;

    // The six server directories of the release, their files listed (not
    // yet hashed): the three firmware versions, then the three resources.
    const QList<Package> &packages() const { return m_packages; }

private:
    void readSettings(QStringList *problems);
    void checkChangelist(QStringList *problems) const;
    void addPackage(const QString &source, const QString &server, const QString &device, bool versioned,
                    QStringList *problems);

    QString m_directory;
    QString m_model;
    QString m_versions[ServerLayout::FirmwareCount];
    QList<Package> m_packages;
};

#endif
