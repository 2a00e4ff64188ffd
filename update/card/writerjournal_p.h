#ifndef ZUV_UPDATE_WRITERJOURNAL_P_H
#define ZUV_UPDATE_WRITERJOURNAL_P_H

#include "devicewriter.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

// The journal a DeviceWriter keeps at the volume root while it writes. It
// describes itself, so that a repair never has to guess what a file on the
// card is. Its form on the card, UTF-8 text, one item a line:
//
//     ZUV-UPDATE-JOURNAL 2                      the format and its version
//     state prepared | committed
//     remove ZUV.FW                             a file removed after the commit
//     directory NEW                             one the write created, parents first
//     file SUB/A.BIN                            a file of the write, then:
//     new 1234 <MD5 of the new version, lower-case hex>
//     old 1200 <MD5 of the old version>         only when there was one
//     checksum <SHA-256 of every byte above, newlines included>
//
// Paths are below the root, "/"-separated, and run to the end of their
// line. A journal whose checksum does not match was cut short or damaged:
// it is never acted on, and the repair falls back to what the card itself
// shows. A journal of another format (the JSON one of earlier versions
// included) or naming a path off the card is refused, and nothing is
// deleted.
//
// Beside each destination a write leaves its new version under
// stagedSuffix() and its old one under setAsideSuffix() until the end.
// complete() looks at what is on the card rather than at how far a write
// got, and verifies every version by its digest before it removes
// anything, so that it can be repeated after being interrupted itself.
class WriterJournal
{
public:
    struct File {
        QString source; // where the new version is; not kept on the card
        QString relativePath;
        bool hadOldVersion = false;
        QByteArray newDigest; // MD5, lower-case hex (FileSystem::digestOf)
        qint64 newSize = 0;
        QByteArray oldDigest; // empty when there was no old version
        qint64 oldSize = 0;
    };

    enum class ReadResult { Valid, Damaged, Refused };
    // Which release the card can be brought to: Back to the old versions,
    // Forward to the new ones, or Neither when a version of each is lost.
    enum class Direction { Back, Forward, Neither };
    // Done: the card holds the release and nothing else of the write.
    // LeftoversKept: the card holds the release, verified and flushed, with
    // the files removed after the commit gone, but a staged or set-aside
    // file or the journal would not go.
    enum class Completion { Done, LeftoversKept, Failed };
    using StepHook = void (*)(void *context, const char *what);

    explicit WriterJournal(const QString &root);

    static QString fileName();
    static QString stagedSuffix();
    static QString setAsideSuffix();

    QString pathOf(const QString &relativePath) const;
    QStringList destinations() const;
    // Empty when every path the write touches, every directory it creates
    // and every file to remove after it stays on the card; otherwise why not.
    QString checkOnCard() const;

    QByteArray toText() const;
    ReadResult read(QString *error);
    // Replaces the journal on the volume as a whole and flushes the root.
    bool write(QString *error) const;

    Direction direction();
    // Brings every file to the release of the direction, by copying, never
    // by moving its last copy; verifies each at its name, flushes, and only
    // then removes what the release does not hold, and the journal.
    Completion complete(Direction direction, QList<DeviceWriter::Undo> *undo, QString *error);
    // Flushes every directory whose entries the write changes.
    bool syncTouched(QString *error) const;

    // Brings the volume at root to one release after an interrupted write.
    // True when there was nothing to repair or the repair is complete.
    static bool repair(const QString &root, QString *error);

    bool committed = false;
    QList<File> files;
    QStringList createdDirectories; // parents before children
    QStringList removedAfterCommit;
    StepHook stepHook = nullptr;
    void *stepContext = nullptr;

private:
    QString path() const;
    QStringList touchedDirectories() const;
    QString removeTemporaries() const;
    QByteArray digestAt(const QString &path);
    bool holds(const QString &path, const QByteArray &digest);
    bool placeFile(const File &file, Direction direction, QList<DeviceWriter::Undo> *undo, QString *error);
    bool verifyPlaced(Direction direction, QString *error);
    bool removeAll(const QStringList &paths, QString *error) const;
    void removeCreatedDirectories() const;
    bool removeJournal(QString *error) const;
    bool repairFromCard(QString *error) const;
    void step(const char *what) const;

    QString m_root;
    QHash<QString, QByteArray> m_digests; // of the card's files, as last read
};

#endif
