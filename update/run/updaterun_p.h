#ifndef ZUV_UPDATE_UPDATERUN_P_H
#define ZUV_UPDATE_UPDATERUN_P_H

#include "update_p.h"

#include "helpers/lockedtempdir.h"

#include <QAtomicInt>
#include <QByteArray>
#include <QFuture>
#include <QFutureWatcher>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QSharedPointer>
#include <QString>

class KeptFiles;

// One update run, from the first manifest request to the end of the copy.
// It owns the run's replies, its packages, its tasks' watchers and its
// temporary directory; end() stops all of them at once, so a run that
// ends leaves nothing that could still report to the Update.
class UpdateRun : public QObject
{
    Q_OBJECT

public:
    using File = UpdatePrivate::File;
    using Package = UpdatePrivate::Package;

    // What the run's tasks on the thread pool share with it. It goes with
    // the last of its holders, so the temporary directory and the packages
    // stay while a task still works on them, whenever the run ends.
    struct Shared {
        ~Shared();

        Helpers::LockedTempDir tempDir;
        // Set when the run ends; every task of the run stops soon after.
        QAtomicInt stopped;
        // Filled by the copy task with the reason it failed.
        QString copyFailure;
        QList<Package *> packages;
    };

    // The run reports to listener, which it must not outlive.
    UpdateRun(const QString &devicePath, const QByteArray &deviceInfoFile, QObject *listener);
    ~UpdateRun() override;

    // Stops the run: aborts its replies, tells its tasks to stop, waits for
    // those that read its files and lets go of its temporary directory.
    // Nothing of the run reports to the listener afterwards.
    void end();

    QString tempPath() const;
    // A watcher of a task of the run, which reports its end to the slot of
    // the listener while the run goes on.
    template<typename T>
    QFutureWatcher<T> *watch(const QFuture<T> &task, const char *slot)
    {
        auto *watcher = new QFutureWatcher<T>(this);
        connect(watcher, SIGNAL(finished()), m_listener, slot);
        watcher->setFuture(task);
        return watcher;
    }
    Package *addPackage(const QString &url, const QString &directory);
    // Whether every manifest is in; failed is the first manifest that came
    // in without success.
    bool manifestsArrived(QNetworkReply **failed) const;
    // Why a manifest of a signed release is not the one its record names at
    // its place; empty when all are.
    QString manifestDigestFailure() const;
    // Why a manifest could not be stored; empty when all could.
    QString manifestFileFailure() const;
    // Why the checked packages cannot be updated; empty when they can.
    QString checkFailure() const;
    // Takes the files to fetch out of the checked packages, which go.
    void gatherCheckedFiles();
    // Whether the card has room for pendingFiles, counted before any size
    // is known.
    bool countRoomOnCard();
    // The local file of a download, continuing the part of it kept in kept
    // from *offset on; null with the reason in error when it cannot be made.
    QFile *createLocalFile(const File &file, KeptFiles *kept, qint64 *offset, QString *error);
    // Closes and forgets the file of a finished download: why the close
    // failed, empty when it did not.
    QString closeDownload(QNetworkReply *reply, QString *localPath);
    QString checkResumedAnswer(QNetworkReply *reply, QFile *file);
    // Whether what a download has ready would take its file beyond the
    // size the signed record gives; such a reply is marked so.
    bool beyondKnownSize(QNetworkReply *reply, QFile *file) const;
    void keepPartOf(QNetworkReply *reply, const QString &localPath, KeptFiles *kept) const;
    // Keeps the parts of the downloads still going, before the run ends.
    void keepUnfinishedParts(KeptFiles *kept);
    QSet<QString> wantedDigests() const;
    // Moves the pending files whose digest is among kept to restoringFiles.
    void setAsideKeptFiles(const QSet<QString> &kept);
    // Takes the restored files (positions in restoringFiles) as fetched and
    // puts the others back in front of pendingFiles; how many those are.
    int takeRestoredFiles(const QList<int> &restored);
    // Counts the size a download announced; false when the card, asked
    // again, has no room for what the downloads announced so far.
    bool countAnnouncedSize(QNetworkReply *reply);
    void setFileCheck(int index, const QFuture<bool> &check);
    QString verificationFailure() const;

    const QString devicePath;
    // The device's FW.ZUV when the run began: the run writes only to the
    // device it began on.
    const QByteArray deviceInfoFile;
    QSharedPointer<Shared> shared;
    QHash<QNetworkReply *, Package *> manifestReplies;
    QHash<QNetworkReply *, QFile *> downloadReplies;
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
    // Whether this run has taken from the kept files what it can, and the
    // files taken off pendingFiles while their kept copies are checked.
    bool keptFilesLookedUp = false;
    QList<File> restoringFiles;
    QFutureWatcher<QList<int>> *restoreWatcher = nullptr;
    QFuture<QList<int>> restoreTask;
    QFutureWatcher<bool> *verifyWatcher = nullptr;
    QFutureWatcher<bool> *copyWatcher = nullptr;

private:
    void dropReply(QNetworkReply *reply);
    QString conflictBetweenPackages() const;

    QObject *m_listener;
    bool m_ended = false;
};

#endif
