#ifndef ZUV_UPDATE_UPDATE_P_H
#define ZUV_UPDATE_UPDATE_P_H

#include "update.h"

#include "keptfiles_p.h"

#include <QAtomicInt>
#include <QFuture>
#include <QMultiHash>
#include <QObject>
#include <QSharedPointer>
#include <QString>

QT_BEGIN_NAMESPACE
class QFile;
class QNetworkAccessManager;
class QNetworkReply;
QT_END_NAMESPACE

class CardPath;
class ReleaseRecord;
class UpdateJob;

class UpdatePrivate : public QObject
{
public:
    // One manifest entry that needs updating.
    struct File {
        QString url;
        QString directory;
        QString filePath;
        QString md5;
        // From the signed release record, when the release has one: the
        // file's SHA-256 and size (-1 when unknown).
        QByteArray sha256;
        qint64 size = -1;

        // Where the file goes below root: root/directory/filePath, or
        // root/filePath for the volume's root directory.
        QString localPath(const QString &root) const;
        // directory/filePath, or filePath in the volume's root directory.
        QString relativePath() const;
        // The file's place on the card, the same for every spelling of it.
        QString placeKey() const;
    };

    // What a run knows of one manifest entry. The package's check fills in
    // the entry and its place; the job adds the rest while it fetches the
    // file. Tasks on the thread pool get copies, never the job's records.
    struct FileRecord {
        File file;
        QString place; // File::placeKey(), worked out once
        // The size the download announced, with any kept part; 0 until known.
        qint64 announcedSize = 0;
        // Where a kept part is continued, until the answer is checked.
        qint64 resumedFrom = -1;
        // The download and its local file, while it runs.
        QNetworkReply *reply = nullptr;
        QFile *local = nullptr;
        // The hash of the complete local file; cancelled until it starts.
        QFuture<bool> check;
    };

    class Package;

    // What a run works with; the kept files outlive it.
    struct RunSetup {
        QNetworkAccessManager *manager = nullptr;
        QString devicePath;
        // The device's FW.ZUV as it was found (Device::infoFileSnapshot());
        // the card must still hold it when the copy begins.
        QByteArray deviceInfoFile;
        QMultiHash<QString, QString> directories;
        // The signed record of the release to install and the base address
        // its paths are relative to; null when the release is not signed.
        QSharedPointer<const ReleaseRecord> record;
        QString recordBase;
        // Whether a release without a record is refused.
        bool recordRequired = false;
        KeptFiles *keptFiles = nullptr;
        // The task that still moves files into keptFiles, if any.
        QFuture<void> keepTask;
    };

    UpdatePrivate(Update *q, QNetworkAccessManager *manager);

    void reset(const QString &path, const QByteArray &infoFile);
    void start();

    Update *q;
    // What the next run is made with; the run in progress has its copy.
    RunSetup setup;
    // The reason of the last failed run (Update::errorString()).
    QString errorString;
    // The run in progress, which owns everything of it; null between runs.
    UpdateJob *job = nullptr;
    // Downloads of failed runs, for the next attempt; kept across runs.
    KeptFiles keptFiles;
    // Moves the downloads of a failed run into keptFiles; set to stop it.
    QFuture<void> keepTask;
    QAtomicInt keepStopped;
    // Removes the directories that killed copies of the program left.
    QFuture<int> leftoversTask;

private:
    void failRun(const QString &reason);
    void endJob();
    void announceEnd(bool succeeded);
    void announcePhase(int phase);
    void jobFinished(int error, const QString &text);
    void keepVerifiedFiles();
};

#endif
