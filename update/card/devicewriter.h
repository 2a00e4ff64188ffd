#ifndef ZUV_UPDATE_DEVICEWRITER_H
#define ZUV_UPDATE_DEVICEWRITER_H

#include <QList>
#include <QString>
#include <QStringList>

QT_BEGIN_NAMESPACE
class QAtomicInt;
QT_END_NAMESPACE

class DeviceWriterPrivate;

// Writes a set of files onto the device's card so that the card ends up
// holding either every old version or every new one, even when the program
// is killed or the card is pulled part way. The card is the user's only
// copy of a working firmware.
//
// A journal at the volume root names every file with the digests of its
// new and old versions, and the files to remove after the commit. Each new version is first staged beside its destination and
// flushed to the medium; then every old version is moved aside, then every
// new one moved into place, and any failure undoes those moves in reverse
// order. A card may lose whatever was not flushed and keep the rest in any
// order, so each of these steps flushes the directories it changed before
// the next begins; a volume-wide flush is only an extra. The journal is then
// marked committed and flushed with the root; only then are the old
// versions and the files the caller named removed, their directories
// flushed, and the journal removed. A clean-up that cannot finish leaves
// the journal to the next repair; the new versions are in place all the
// same.
//
// Leftovers of an interrupted write are repaired from the journal: an
// uncommitted one back to the old state, a committed one forward to the new
// state, or the other way when a version the way wants is lost. Nothing is
// removed before what replaces it is verified at its name by its digest.
// One write or repair runs at a time in the process.
class DeviceWriter
{
public:
    enum Failure {
        NoFailure,
        RepairFailed,     // leftovers of an earlier write could not be repaired
        JournalFailed,    // the journal could not be written
        InvalidTarget,    // two files share a destination, or one is a directory
        CreatePathFailed, // a destination directory could not be created
        CopyFailed,       // a new version could not be staged or moved into place
        SetAsideFailed,   // an old version could not be moved aside
        NoRoom,           // the card lacks the room to stage every file at once
        SyncFailed,       // the volume did not confirm that the data is on the medium
        Stopped,          // told to stop before the write was committed
        VolumeGone,       // the card was taken out part way; its journal is left to the next repair()
        NotOnCard         // a path below the root is a link or another volume; nothing was written
    };

    // One step of undoing a failed write.
    struct Undo {
        enum Action { Removed, Restored };
        QString path;
        Action action;
        bool ok;
    };

    explicit DeviceWriter(const QString &root);
    ~DeviceWriter();

    // A file to write: where its new version is, and its path below the root.
    void addFile(const QString &source, const QString &relativePath);
    // Checked between steps; once it holds a non-zero value, an uncommitted
    // write is undone and write() fails with Stopped.
    void setStopFlag(const QAtomicInt *flag);
    // Files below the root that the write removes once it is committed, and
    // never before.
    void setRemovedAfterCommit(const QStringList &relativePaths);

    // Writes every added file, then removes those to go after the commit.
    // On failure before the commit every file is back to its old version,
    // as far as the volume lets us (undoSteps() tells what was done);
    // whatever could not be undone is left to the journal and the next
    // repair().
    bool write();

    Failure failure() const;
    QString errorString() const;
    // The failure in the words of the log ("Copy failed", ...).
    static const char *failureText(Failure failure);
    // What the user is told of the failure: errorString() with native
    // paths, after what failed.
    QString failureReason() const;
    QList<Undo> undoSteps() const;

    // Brings the volume back to a consistent state after an interrupted
    // write, removing the files the write named to go after the commit
    // where it completes the write (the journal names them;
    // removedAfterCommit is no longer needed). True when there was nothing
    // to repair or the repair succeeded; otherwise errorString says why,
    // and nothing was removed that is the last copy of a version.
    static bool repair(const QString &root, const QStringList &removedAfterCommit,
                       QString *errorString = nullptr);

    // How many bytes the volume at root lacks for a write of files of these
    // sizes (0 where a size is not known yet): every new version is staged
    // while every old one is kept, each rounded up to whole clusters, plus
    // the journal. 0 when it fits, or when the volume does not tell.
    static qint64 missingRoom(const QString &root, const QList<qint64> &fileSizes);
    // What the volume has to spare after such a write: negative when it
    // lacks room, the largest qint64 when the volume does not tell.
    static qint64 spareRoom(const QString &root, const QList<qint64> &fileSizes);
    // "The card needs 12 MB more free space", in whole MB rounded up.
    static QString missingRoomText(qint64 bytes);

private:
    Q_DISABLE_COPY(DeviceWriter)
    DeviceWriterPrivate *const d;
};

#endif
