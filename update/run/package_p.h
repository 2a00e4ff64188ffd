#ifndef ZUV_UPDATE_PACKAGE_P_H
#define ZUV_UPDATE_PACKAGE_P_H

#include "update_p.h"

#include "update/card/cardpath.h"
#include "update/release/manifest.h"

#include <QAtomicInt>
#include <QList>
#include <QString>
#include <QTemporaryFile>

class ReleaseRecord;

// One update directory of a run with its manifest. The run's shared state
// owns it, so that a check on the thread pool keeps it for as long as the
// check runs, even when the run ends meanwhile.
class UpdatePrivate::Package
{
public:
    // The manifest is stored in tempDir. The check stops soon after stopped
    // is set; it must outlive the package.
    Package(const QString &url, const QString &devicePath, const QString &directory, const QString &tempDir,
            const QAtomicInt *stopped);

    QString deviceDirectory() const;
    // Runs on the thread pool: finds the entries of the manifest that the
    // device lacks or holds in another version.
    void checkFilesForUpdate();
    bool checkMd5(const QString &path, const QString &md5);

    QTemporaryFile manifest;
    QString url;
    // The entries the device lacks, with their places worked out by the
    // check task so that the main thread only compares them.
    QList<FileRecord> files;
    QString devicePath;
    QString directory;
    // Every entry of the manifest, for finding two packages that want
    // different contents in one place.
    QList<FileRecord> listed;
    // Why the check could not judge the manifest; empty when it could.
    QString failure;
    // The signed record of the release, when it has one, and the
    // manifest's path relative to the model, which the record names.
    QSharedPointer<const ReleaseRecord> record;
    QString pathInModel;

private:
    Q_DISABLE_COPY(Package)
    bool isStopped() const;
    bool readEntry(Manifest::Reader &reader, const QString &directoryUrl, File *file);
    bool isOnDevice(const File &file, CardPath &card);
    QString checkDestinations(CardPath &card) const;
    QString checkLineLengths();

    const QAtomicInt *m_stopped;
};

#endif
