#ifndef ZUV_BENCH_WORKLOAD_H
#define ZUV_BENCH_WORKLOAD_H

#include <QList>
#include <QPair>
#include <QString>
#include <QtGlobal>

// One benchmark workload: a release as zuv-publish reads it and the card of
// a device that holds the previous release. Everything follows from the
// seed, so two runs of the benchmark measure the same bytes.
struct Workload {
    // Where the device holds a file before the update.
    enum DeviceCopy { Absent, Unchanged, Outdated };

    struct File {
        QString releaseDirectory; // "PrimaryFirmware", "SecondaryFirmware", "ANIM", ...
        QString path;             // below that directory, with "/" between parts
        qint64 size = 0;
        DeviceCopy onDevice = Absent;

        // Where the file sits on the card, below its root.
        QString devicePath() const;
    };

    QString name;        // "release", "many-small", ...
    QString description; // for the report
    quint64 seed = 0;
    int pairs = 3; // runs of each pipeline, taken in turns
    QList<File> files;
    bool primaryChanges = true;
    bool secondaryChanges = true;
    // Served over a link of this many bytes a second in all (0: nginx at
    // loopback speed); with failAtFraction, the link breaks once that share
    // of the bytes to fetch has gone through, and the run is tried again.
    qint64 linkBytesPerSecond = 0;
    double failAtFraction = 0;
    // With a delay, the link is a relay in front of nginx that holds the
    // data this long each way, at linkBytesPerSecond for all connections.
    int linkDelayMs = 0;

    static Workload release(quint64 seed);
    static Workload manySmall(quint64 seed);
    static Workload oneBig(quint64 seed);
    static Workload scaling(quint64 seed, int fileCount);
    static Workload smoke(quint64 seed);
    // The release over a home connection, and a retry after a failure there.
    static Workload homeLink(quint64 seed);
    static Workload retry(quint64 seed);
    // The release, and 2,000 files of 16 KiB, over a link far from the server.
    static Workload farLink(quint64 seed);
    static Workload farSmall(quint64 seed);

    qint64 totalBytes() const;
    // Bytes the update hashes on the card, and the files and bytes it fetches.
    qint64 deviceBytesChecked() const;
    int filesToFetch() const;
    qint64 bytesToFetch() const;
    // Room the card needs: the old release, and the new one staged beside it.
    qint64 volumeSize() const;

    // Writes the release directory for `zuv-publish publish`.
    bool writeRelease(const QString &directory, QString *error) const;
    // Writes the card as it is before the update.
    bool writeDevice(const QString &directory, QString *error) const;

    // The update directories of the run, as the program adds them for
    // these versions: (device sub-directory, manifest address).
    QList<QPair<QString, QString>> updateDirectories(const QString &serverRoot) const;

    static QString model();
    static QString previousVersion();
    static QString newVersion();
};

#endif
