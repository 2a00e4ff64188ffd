#ifndef ZUV_UPDATE_UPDATE_P_H
#define ZUV_UPDATE_UPDATE_P_H

#include "update.h"

#include "keptfiles.h"

#include <QAtomicInt>
#include <QFuture>
#include <QFutureWatcher>
#include <QHash>
#include <QList>
#include <QMultiHash>
#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QTemporaryDir>
#include <QTemporaryFile>

QT_BEGIN_NAMESPACE
class QFile;
class QNetworkAccessManager;
class QNetworkReply;
QT_END_NAMESPACE

class UpdatePrivate : public QObject
{
    Q_OBJECT

public:
    // One manifest entry that needs updating.
    struct File {
        QString url;
        QString directory;
        QString filePath;
        QString md5;

        // Where the file goes below root: root/directory/filePath, or
        // root/filePath for the volume's root directory.
        QString localPath(const QString &root) const;
    };

    // One update directory of a run with its manifest.
    class Package
    {
    public:
        Package(const QString &url, const QString &devicePath, const QString &directory);

        QString deviceDirectory() const;
        void checkFilesForUpdate();
        bool checkMd5(const QString &path, const QString &md5);

        // Runs checkFilesForUpdate() on the global thread pool.
        QFuture<void> startCheck();
        // Deletes the package now, or when its running check ends.
        void release();

        QTemporaryFile manifest;
        QString url;
        QList<File> files;
        QString devicePath;
        QString directory;
        // Every entry of the manifest, for finding two packages that want
        // different contents in one place.
        QList<File> listed;
        // The place on the card of each entry of listed and of files, worked
        // out by the check task so that the main thread only compares them.
        QStringList listedPlaces;
        QStringList filePlaces;
        // Why the check could not judge the manifest; empty when it could.
        QString failure;
        QFutureWatcher<void> *checkWatcher = nullptr;
        // The manifest's signature on its way, when the release must be
        // signed.
        QNetworkReply *signatureReply = nullptr;

    private:
        enum CheckState { NotStarted, Checking, Checked, Abandoned };

        ~Package() = default;
        Q_DISABLE_COPY(Package)
        bool isAbandoned() const;

        QAtomicInt checkState;
    };

    UpdatePrivate(Update *q, QNetworkAccessManager *manager);

    void reset(const QString &path);
    bool beginRun();
    void requestManifest(const QString &manifestUrl, const QString &directory);
    bool startDownloads();
    void downloadFile(const QString &url, const File &file);

    Update *q;
    QString devicePath;
    QMultiHash<QString, QString> directories;
    // The reason of the last failed run (Update::errorString()).
    QString errorString;
    // Shared with the verification and copy tasks, which must not lose
    // their files when a reset abandons the run under them.
    QSharedPointer<QTemporaryDir> tempDir;
    QHash<QNetworkReply *, Package *> manifestReplies;
    QHash<QNetworkReply *, QFile *> downloadReplies;
    QNetworkAccessManager *networkManager;
    int pendingChecks = 0;
    QList<File> pendingFiles;
    QList<File> fetchedFiles;
    // The hash of each fetched file, started when its download is complete;
    // in the order of fetchedFiles.
    QList<QFuture<bool>> fileChecks;
    QHash<QNetworkReply *, int> downloadIndex; // position in fetchedFiles
    // Downloads that continue a kept part, from this byte on, until their
    // answer has been checked.
    QHash<QNetworkReply *, qint64> resumedFrom;
    // The sizes the downloads announced, in the order of fetchedFiles (0
    // until known), and the card's room to spare after a write of them.
    QList<qint64> announcedSizes;
    qint64 spareRoom = 0;
    // The device's FW.ZUV when the run began: the run writes only to the
    // device it began on.
    QByteArray deviceInfoFile;
    QFutureWatcher<bool> *verifyWatcher = nullptr;
    QFutureWatcher<bool> *copyWatcher = nullptr;
    // Filled by the copy task with the reason it failed.
    QSharedPointer<QString> copyFailureText;
    // Downloads of failed runs, for the next attempt; kept across resets.
    KeptFiles keptFiles;
    // Whether this run has taken from keptFiles what it can.
    bool keptFilesLookedUp = false;
    // Files taken off pendingFiles while their kept copies are checked.
    QList<File> restoringFiles;
    QFutureWatcher<QList<int>> *restoreWatcher = nullptr;
    QFuture<QList<int>> restoreTask;
    // Moves the downloads of a failed run into keptFiles; set to stop it.
    QFuture<void> keepTask;
    QAtomicInt keepStopped;
    // Set when the run is abandoned; read by its copy task.
    QSharedPointer<QAtomicInt> runStopped;
    // Counts runs, so that a slot can tell whether a signal it emitted
    // made a listener abandon the run.
    quint64 runSerial = 0;

public Q_SLOTS:
    void manifestWrite();
    void manifestDownloaded();
    void checkFilesForUpdateFinished();
    void downloadWrite();
    void downloadAnnounced();
    void downloadFinished();
    void verifyFilesFinished();
    void copyFilesFinished();
    void keptFilesRestored();

private:
    void failRun(const QString &reason);
    void endRun();
    bool writeManifest(QNetworkReply *reply);
    void requestSignature(Package *package);
    Package *packageOfSignature(QNetworkReply *reply) const;
    bool checkSignatures();
    bool writeDownload(QNetworkReply *reply);
    void startChecks();
    QString conflictBetweenPackages() const;
    void gatherCheckedFiles();
    bool checkRoomOnCard();
    void startFileCheck(int index);
    void startVerification();
    QString verificationFailure() const;
    void startCopy();
    void dropReply(QNetworkReply *reply);
    bool restoreKeptFiles();
    void keepVerifiedFiles();
    void keepPartOf(QNetworkReply *reply, const QString &localPath);
    bool checkResumedAnswer(QNetworkReply *reply, QFile *file);
};

#endif
