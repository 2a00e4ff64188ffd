#ifndef ZUV_UPDATE_UPDATEJOB_P_H
#define ZUV_UPDATE_UPDATEJOB_P_H

#include "update_p.h"

#include "helpers/lockedtempdir.h"

#include <QAtomicInt>
#include <QByteArray>
#include <QFuture>
#include <QFutureWatcher>
#include <QHash>
#include <QList>
#include <QMultiHash>
#include <QObject>
#include <QSet>
#include <QSharedPointer>
#include <QString>

#include <vector>

QT_BEGIN_NAMESPACE
class QFile;
class QNetworkAccessManager;
class QNetworkReply;
QT_END_NAMESPACE

class KeptFiles;
class ReleaseRecord;

// One update run, from the first manifest request to the end of the copy.
// It owns everything it starts (replies, packages, its tasks' watchers and
// its temporary directory) and goes through its phases on its own; it
// reports its progress and ends with exactly one finished(). kill() stops
// all of it at once, after which nothing of the job reports anything.
class UpdateJob : public QObject
{
    Q_OBJECT

public:
    using File = UpdatePrivate::File;
    using FileRecord = UpdatePrivate::FileRecord;
    using Package = UpdatePrivate::Package;

    enum Phase { Idle, FetchingManifests, Checking, Downloading, Verifying, Copying, Finished };
    Q_ENUM(Phase)

    enum Error {
        NoError,
        RefusedError,      // the release or one of its manifests is not the signed one
        StorageError,      // the computer's temporary storage failed
        TransferError,     // a manifest or a download failed
        ReleaseError,      // the manifests cannot be installed as they are
        RoomError,         // the card has no room for the files
        VerificationError, // a download differs from its digest
        DeviceChangedError,
        CopyError
    };

    using Setup = UpdatePrivate::RunSetup;

    // What the job's tasks on the thread pool share with it. It goes with
    // the last of its holders, so the temporary directory and the packages
    // stay while a task still works on them, whenever the job ends.
    struct Shared {
        ~Shared();

        Helpers::LockedTempDir tempDir;
        // Set when the job ends; every task of the job stops soon after.
        QAtomicInt stopped;
        // Filled by the copy task with the reason it failed.
        QString copyFailure;
        // Set by the copy task when the card is not the one the job is for.
        bool deviceChanged = false;
        QList<Package *> packages;
    };

    UpdateJob(const Setup &setup, QObject *parent);
    ~UpdateJob() override;

    // Requests the manifests; every end, even at once, comes as finished().
    void start();
    // Stops the job: aborts its replies, tells its tasks to stop, waits for
    // those that read its files and lets go of its temporary directory.
    // Nothing of the job reports anything afterwards.
    void kill();

    Phase phase() const { return m_phase; }
    Error error() const { return m_error; }
    QString errorString() const { return m_errorString; }

    // For the kept files, after a failure: copies of the records of what
    // the job fetched, with their checks, and the directory that holds them.
    QList<FileRecord> fetchedFiles() const { return copies(m_fetched); }
    bool hasFetchedFiles() const { return !m_fetched.isEmpty(); }
    QSharedPointer<Shared> shared() const { return m_shared; }
    QSet<QString> wantedDigests() const;
    // Keeps the parts of the downloads still going in kept.
    void keepUnfinishedParts(KeptFiles *kept);

Q_SIGNALS:
    void phaseChanged(UpdateJob::Phase phase);
    void progress(int done, int total);
    void finished(int error, const QString &text);

private:
    QString tempPath() const;
    // Ends the job with error and text; whatever else is going on stops.
    void fail(Error error, const QString &text);
    void succeed();
    // Enters phase and says so; whether the job goes on after listeners
    // had their say.
    bool enter(Phase phase);
    void reportProgress();

    bool checkRecordStillHolds();
    bool checkSameDevice();
    void requestManifest(const QString &manifestUrl, const QString &directory);
    bool writeManifest(QNetworkReply *reply);
    void manifestDownloaded(QNetworkReply *reply);
    bool allManifestsArrived();
    QString manifestDigestFailure() const;
    QString manifestFileFailure() const;
    void startChecks();
    void checkFilesForUpdateFinished();
    QString checkFailure() const;
    QString conflictBetweenPackages() const;
    void gatherCheckedFiles();
    bool checkRoomOnCard();
    QList<qint64> announcedSizes() const;
    bool countAnnouncedSize(FileRecord *record);
    void downloadAnnounced(FileRecord *record);

    bool startDownloads();
    void downloadFile(FileRecord *record);
    QFile *createLocalFile(const File &file, qint64 *offset, QString *error);
    bool writeDownload(FileRecord *record);
    QString checkResumedAnswer(FileRecord *record);
    bool beyondKnownSize(const FileRecord &record) const;
    void downloadFinished(FileRecord *record);
    bool takeDownload(FileRecord *record);
    QString closeDownload(FileRecord *record, QString *localPath);
    void keepPartOf(const FileRecord &record, const QString &localPath, KeptFiles *kept) const;

    bool restoreKeptFiles();
    void setAsideKeptFiles(const QSet<QString> &kept);
    void keptFilesRestored(const QList<int> &restored);
    int takeRestoredFiles(const QList<int> &restored);

    void startVerification();
    void verifyFilesFinished(bool verified);
    QString verificationFailure() const;
    void startCopy();
    QString writeCardRecord(QList<FileRecord> *files);
    void copyFilesFinished(bool copied);

    template<typename T, typename Handler>
    void watch(const QFuture<T> &task, Handler handler);
    void dropReply(QNetworkReply *reply);
    static QList<FileRecord> copies(const QList<FileRecord *> &records);

    const Setup m_setup;
    QSharedPointer<Shared> m_shared;
    // The card's FW.ZUV that the copy must find: the one from the scan, or
    // the one at the start when the scan gave none.
    QByteArray m_deviceInfoFile;
    Phase m_phase = Idle;
    Error m_error = NoError;
    QString m_errorString;
    bool m_killed = false;

    QHash<QNetworkReply *, Package *> m_manifestReplies;
    int m_pendingChecks = 0;
    // Every file the job fetches, filled once when the checks end and never
    // resized, so that the lists below and the downloads may point into it.
    std::vector<FileRecord> m_files;
    // The files still to fetch, in the order they are fetched; those fetched
    // or taken from the kept files, in the order taken; and those taken off
    // m_pending while their kept copies are checked.
    QList<FileRecord *> m_pending;
    QList<FileRecord *> m_fetched;
    QList<FileRecord *> m_restoring;
    int m_runningDownloads = 0;
    // The card's room to spare after a write of the announced sizes.
    qint64 m_spareRoom = 0;
    // Whether this job has taken from the kept files what it can.
    bool m_keptFilesLookedUp = false;
    QFuture<QList<int>> m_restoreTask;
};

#endif
