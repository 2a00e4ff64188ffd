#ifndef ZUV_UPDATE_RUNTASKS_P_H
#define ZUV_UPDATE_RUNTASKS_P_H

#include "updatejob_p.h"

#include <QByteArray>
#include <QFuture>
#include <QList>
#include <QSharedPointer>
#include <QString>

class KeptFiles;

// The work of an update run on the global thread pool. Each task holds the
// run's shared state, so the run's files stay while it reads them, and
// stops soon after the run ends.
namespace RunTasks {

using File = UpdatePrivate::File;
using FileRecord = UpdatePrivate::FileRecord;
using Shared = QSharedPointer<UpdateJob::Shared>;

// Finds the files of package that the device lacks.
QFuture<void> checkPackage(const Shared &run, UpdatePrivate::Package *package);
// Whether the download at path matches the digests of file.
QFuture<bool> checkFile(const Shared &run, const QString &path, const File &file);
// The check of a file that is known to match already.
QFuture<bool> matchedAlready();
// Whether every fetched file matched its digest, from the checks of
// checkFile() in the order of files.
QFuture<bool> verify(const Shared &run, const QList<FileRecord> &files);
// Writes the verified files onto the device at destination, if it is still
// the device whose FW.ZUV read deviceInfo; the reason of a failure goes to
// the shared copyFailure.
QFuture<bool> copy(const Shared &run, const QString &destination, const QList<FileRecord> &files,
                   const QByteArray &deviceInfo);
// Places the kept copies of files in the run's directory: the positions of
// those that still match.
QFuture<QList<int>> restore(const KeptFiles *store, const Shared &run, const QList<FileRecord> &files);
// Moves the complete and verified downloads of a failed run into store,
// until stopped is set; the run's directory goes when it ends.
QFuture<void> keep(KeptFiles *store, const Shared &run, const QList<FileRecord> &files, const QAtomicInt *stopped);
// Removes the run's directory, and lets go of it.
void remove(Shared run);

} // namespace RunTasks

#endif
