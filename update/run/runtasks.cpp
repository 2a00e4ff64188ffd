#include "runtasks_p.h"

#include "update/card/devicewriter.h"
#include "keptfiles_p.h"
#include "update/release/md5.h"
#include "package_p.h"

#include "device/deviceinfo.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QtConcurrent>

namespace {

// The copy's log lines name it as it was before it took the run's stop
// flag and the place for its failure.
const char CopyFilesSignature[] =
    "bool {anonymous}::copyFiles(const QString&, const QString&, const QList<UpdatePrivate::File>&)";

// With a SHA-256 from a signed record, that decides: the MD5 chooses what
// to fetch, but is no proof against a prepared twin, and a file with the
// signed SHA-256 and size is the publisher's whatever its manifest says.
bool digestsMatch(const QString &path, const QString &md5, const QByteArray &sha256, const QAtomicInt *stopped)
{
    return Md5::fileMatches(path, md5.toLatin1(), sha256, [stopped] { return stopped->loadAcquire() != 0; });
}

// Each downloaded file was hashed as soon as its download was complete
// (RunTasks::checkFile); this collects the results in list order and stops
// at the first file that differs.
bool verifyFiles(const QString &directory, const QList<RunTasks::FileRecord> &files, const QAtomicInt *stopped)
{
    for (const RunTasks::FileRecord &record : files) {
        QFuture<bool> check = record.check;
        check.waitForFinished();
        if (stopped->loadAcquire() != 0)
            return false; // abandoned; nobody awaits the result
        if (check.isCanceled() || check.resultCount() == 0 || !check.result()) {
            qDebug() << Q_FUNC_INFO << "Downloaded file differs from its manifest" << record.file.localPath(directory)
                     << record.file.md5;
            return false;
        }
    }
    return true;
}

void logUndoSteps(const DeviceWriter &writer)
{
    qDebug() << CopyFilesSignature << "Unwinding";
    const QList<DeviceWriter::Undo> undoSteps = writer.undoSteps();
    for (const DeviceWriter::Undo &undo : undoSteps) {
        if (undo.action == DeviceWriter::Undo::Removed)
            qDebug() << CopyFilesSignature << undo.path << "remove:" << undo.ok;
        else
            qDebug() << CopyFilesSignature << undo.path << "restore:" << undo.ok;
    }
}

// Writes the verified files onto the device through DeviceWriter, which
// stages them, commits them all at once and can undo every step, so that
// a failure leaves each device file with its old content and "ZUV.FW" in
// place. The write stops and undoes itself once stopped is set.
bool copyFiles(const QString &source, const QString &destination, const QList<RunTasks::FileRecord> &files,
               const QAtomicInt *stopped, QString *failure)
{
    DeviceWriter writer(destination);
    writer.setStopFlag(stopped);
    writer.setRemovedAfterCommit({QLatin1String(Device::InstallMarkFileName)});
    for (const RunTasks::FileRecord &record : files) {
        const UpdatePrivate::File &file = record.file;
        const QString from = file.localPath(source);
        if (!QFile::exists(from)) {
            qDebug() << CopyFilesSignature << "Source file does not exist" << from;
            *failure = QStringLiteral("The downloaded file \"%1\" is missing")
                           .arg(QDir::toNativeSeparators(file.relativePath()));
            qDebug() << CopyFilesSignature << "Unwinding";
            return false;
        }
        writer.addFile(from, file.relativePath());
    }
    if (writer.write())
        return true;
    qDebug() << CopyFilesSignature << DeviceWriter::failureText(writer.failure()) << writer.errorString();
    *failure = writer.failureReason();
    logUndoSteps(writer);
    return false;
}

} // namespace

namespace RunTasks {

QFuture<void> checkPackage(const Shared &run, UpdatePrivate::Package *package)
{
    return QtConcurrent::run([run, package] { package->checkFilesForUpdate(); });
}

// The tasks that the end of a run waits for let go of the run inside their
// function: QtConcurrent reports a task finished before it destroys the
// function's captures, so a run ended meanwhile would otherwise lose its
// directory a moment after end() returned, on the worker thread.
QFuture<bool> checkFile(const Shared &run, const QString &path, const File &file)
{
    return QtConcurrent::run([run = run, path, md5 = file.md5, sha256 = file.sha256]() mutable {
        const bool matches = digestsMatch(path, md5, sha256, &run->stopped);
        run.reset();
        return matches;
    });
}

QFuture<bool> matchedAlready()
{
    QFutureInterface<bool> check;
    check.reportStarted();
    check.reportResult(true);
    check.reportFinished();
    return check.future();
}

QFuture<bool> verify(const Shared &run, const QList<FileRecord> &files)
{
    return QtConcurrent::run([run = run, files]() mutable {
        const bool verified = verifyFiles(run->tempDir.path(), files, &run->stopped);
        // A failed run keeps its verified downloads for the next attempt
        // (UpdatePrivate::keepVerifiedFiles); the others go with the run.
        run.reset(); // the directory goes now if the run ended meanwhile
        return verified;
    });
}

QFuture<bool> copy(const Shared &run, const QString &destination, const QList<FileRecord> &files,
                   const QByteArray &deviceInfo)
{
    return QtConcurrent::run([run = run, destination, files, deviceInfo]() mutable {
        bool copied = false;
        // A card pulled out leaves its mount point behind as an empty
        // directory, and another card may take its place; neither is written to.
        run->deviceChanged = !Device::holdsCard(destination, deviceInfo);
        if (run->deviceChanged)
            run->copyFailure = QStringLiteral("The device was disconnected or replaced before the copy");
        else
            copied = copyFiles(run->tempDir.path(), destination, files, &run->stopped, &run->copyFailure);
        run.reset(); // the directory goes now if the run ended meanwhile
        return copied;
    });
}

QFuture<QList<int>> restore(const KeptFiles *store, const Shared &run, const QList<FileRecord> &files)
{
    return QtConcurrent::run([store, run = run, files]() mutable {
        QList<int> restored;
        const QString root = run->tempDir.path();
        for (int i = 0; i < files.size() && run->stopped.loadAcquire() == 0; ++i) {
            if (store->restore(files.at(i).file.md5, files.at(i).file.localPath(root), &run->stopped))
                restored.append(i);
        }
        run.reset();
        return restored;
    });
}

// A hash that the end of the run stopped is done again here.
QFuture<void> keep(KeptFiles *store, const Shared &run, const QList<FileRecord> &files, const QAtomicInt *stopped)
{
    return QtConcurrent::run([store, run = run, files, stopped]() mutable {
        int kept = 0;
        for (int i = 0; i < files.size() && stopped->loadAcquire() == 0; ++i) {
            QFuture<bool> check = files.at(i).check;
            if (check.isCanceled())
                continue; // not complete
            check.waitForFinished();
            const File &file = files.at(i).file;
            const QString path = file.localPath(run->tempDir.path());
            const bool verified =
                (check.resultCount() > 0 && check.result()) || digestsMatch(path, file.md5, file.sha256, stopped);
            if (verified && store->keep(path, file.md5))
                ++kept;
        }
        qDebug() << "void UpdatePrivate::keepVerifiedFiles()" << kept << "verified files kept for the next attempt";
        run.reset();
    });
}

void remove(Shared run)
{
    QtConcurrent::run([run = std::move(run)]() mutable {
        run->tempDir.remove();
        run.reset();
    });
}

} // namespace RunTasks
