#include "update.h"
#include "update_p.h"

#include "runtasks_p.h"
#include "update/release/releaserecord.h"
#include "update/release/serverlayout.h"
#include "updatejob_p.h"

#include "helpers/lockedtempdir.h"

#include <QDebug>
#include <QTimer>
#include <QtConcurrent>

namespace {

constexpr int RunEndDelay = 300;

} // namespace

// ---------------------------------------------------------------- Update

Update::Update(QNetworkAccessManager *manager, QObject *parent)
    : QObject(parent)
    , d(new UpdatePrivate(this, manager))
{
    reset(QString());
    // What earlier copies of the program that were killed left in the
    // temporary location goes, beside the window's start.
    d->leftoversTask = QtConcurrent::run(&Helpers::LockedTempDir::removeAbandoned);
}

Update::~Update()
{
    d->leftoversTask.waitForFinished();
    reset(QString());
    // Files being kept for another attempt that will not come.
    d->keepStopped.storeRelease(1);
    d->keepTask.waitForFinished();
}

void Update::reset(const QString &devicePath, const QByteArray &deviceInfoFile)
{
    d->reset(devicePath, deviceInfoFile);
}

void Update::addUpdateDirectory(const QString &directory, const QString &manifestUrl)
{
    qDebug() << Q_FUNC_INFO << "Adding" << directory << manifestUrl;
    d->setup.directories.insert(directory, manifestUrl);
}

bool Update::hasUpdateDirectories() const
{
    return !d->setup.directories.isEmpty();
}

void Update::setReleaseRecordRequired(bool required)
{
    d->setup.recordRequired = required;
}

void Update::setReleaseRecord(const ReleaseRecord &record, const QString &modelBaseUrl)
{
    d->setup.record.reset(new ReleaseRecord(record));
    d->setup.recordBase = ServerLayout::address(modelBaseUrl, QString());
}

QString Update::errorString() const
{
    return d->errorString;
}

void Update::start()
{
    d->start();
}

// ---------------------------------------------------------------- UpdatePrivate

UpdatePrivate::UpdatePrivate(Update *q, QNetworkAccessManager *manager)
    : QObject(q)
    , q(q)
{
    setup.manager = manager;
    setup.keptFiles = &keptFiles;
}

void UpdatePrivate::reset(const QString &path, const QByteArray &infoFile)
{
    setup.devicePath = path;
    setup.deviceInfoFile = infoFile;
    setup.directories.clear();
    setup.record.reset();
    endJob();
}

void UpdatePrivate::start()
{
    errorString.clear();
    if (setup.devicePath.isEmpty()) {
        failRun(QStringLiteral("No device to update"));
        return;
    }
    if (setup.directories.isEmpty()) {
        qDebug() << "bool UpdatePrivate::beginRun()" << "Nothing to update";
        announceEnd(true);
        return;
    }
    endJob();
    setup.keepTask = keepTask;
    job = new UpdateJob(setup, this);
    connect(job, &UpdateJob::phaseChanged, this, &UpdatePrivate::announcePhase);
    connect(job, &UpdateJob::progress, q, &Update::downloadedFiles);
    connect(job, &UpdateJob::finished, this, &UpdatePrivate::jobFinished);
    job->start();
}

// The job goes from the event loop: a slot of its own may end it.
void UpdatePrivate::endJob()
{
    if (!job)
        return;
    job->kill();
    job->deleteLater();
    job = nullptr;
}

void UpdatePrivate::announceEnd(bool succeeded)
{
    QTimer::singleShot(RunEndDelay, q, succeeded ? SIGNAL(updateReady()) : SIGNAL(downloadError()));
}

void UpdatePrivate::announcePhase(int phase)
{
    switch (phase) {
    case UpdateJob::Checking:
        emit q->preparingDownloadList();
        break;
    case UpdateJob::Verifying:
        emit q->veryfingDownloadedFiles();
        break;
    case UpdateJob::Copying:
        emit q->copyingFiles();
        break;
    default:
        break;
    }
}

void UpdatePrivate::jobFinished(int error, const QString &text)
{
    if (error != UpdateJob::NoError) {
        failRun(text);
        return;
    }
    announceEnd(true);
    // What is on the card now is never fetched again; what is not may be.
    // The run's downloads go on the thread pool, while the end of the run
    // is announced: removing a gigabyte or ten thousand files on the main
    // thread would hold up the window for a fifth of a second.
    if (job->hasFetchedFiles()) {
        keepTask.waitForFinished();
        keptFiles.clear();
        RunTasks::remove(job->shared());
    }
    endJob();
}

void UpdatePrivate::failRun(const QString &reason)
{
    qDebug() << Q_FUNC_INFO << reason;
    errorString = reason;
    announceEnd(false);
    keepVerifiedFiles();
    q->reset(setup.devicePath, setup.deviceInfoFile);
}

// A failed run leaves its downloads that arrived whole and matched their
// digest to the next attempt, and the start of those that broke off. The
// store keeps only files of this release.
void UpdatePrivate::keepVerifiedFiles()
{
    if (!job || !job->hasFetchedFiles())
        return;
    keepTask.waitForFinished();
    keptFiles.keepOnly(job->wantedDigests());
    job->keepUnfinishedParts(&keptFiles);
    // The complete downloads are moved on the thread pool: a release has
    // hundreds, and waiting for the last hashes and moving them all would
    // hold up the window. The task keeps the run's directory until it ends.
    keepTask = RunTasks::keep(&keptFiles, job->shared(), job->fetchedFiles(), &keepStopped);
}
