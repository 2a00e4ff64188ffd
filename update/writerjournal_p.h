#ifndef ZUV_UPDATE_WRITERJOURNAL_P_H
#define ZUV_UPDATE_WRITERJOURNAL_P_H

#include "devicewriter.h"

#include <QList>
#include <QString>
#include <QStringList>

// The journal a DeviceWriter keeps at the volume root while it writes: every
// file of the write and whether it had an old version, the directories the
// write created, and whether the write was committed. Cards in the field may
// carry a journal of an interrupted write, so its form on the card stays:
//
//     {"state": "prepared" | "committed",
//      "files": [{"path": "SUB/A.BIN", "old": true}, ...],
//      "createdDirectories": ["SUB", ...]}   (parents before children)
//
// Beside each destination a write leaves its new version under
// stagedSuffix() and its old one under setAsideSuffix() until the end.
// rollBack() and rollForward() look at what is on the volume rather than at
// how far a write got, so that either can be repeated after being
// interrupted itself.
class WriterJournal
{
public:
    struct File {
        QString source; // where the new version is; not kept on the card
        QString relativePath;
        bool hadOldVersion = false;
    };

    explicit WriterJournal(const QString &root);

    static QString fileName();
    static QString stagedSuffix();
    static QString setAsideSuffix();

    QString pathOf(const QString &relativePath) const;
    QStringList destinations() const;
    // Empty when every path the write touches, and every file to remove
    // after it, stays on the card; otherwise why not.
    QString checkOnCard(const QStringList &removedAfterCommit) const;

    // Reads the journal at the root; false when it is unreadable or not one
    // of this program.
    bool read(QString *error);
    // Replaces the journal on the volume as a whole and flushes the root.
    bool write(QString *error) const;
    // Puts every old version back and removes every new one and every
    // directory the write created, in reverse order.
    bool rollBack(QList<DeviceWriter::Undo> *undo, QString *error) const;
    // Completes a committed write, whose new versions are all in place:
    // removes what is left beside them and the files named by the caller.
    bool rollForward(const QStringList &removedAfterCommit, QString *error) const;
    // Flushes every directory whose entries the write changes, then the
    // volume.
    bool syncTouched(QString *error) const;
    // Removes the journal from the volume and flushes that.
    bool remove(QString *error) const;
    // syncTouched(), then remove(): the journal goes only once everything
    // it protects is on the medium.
    bool close(QString *error) const;

    // Brings the volume at root back to one release after an interrupted
    // write: an uncommitted one back to the old files, a committed one
    // forward to the new ones, removing removedAfterCommit as the write
    // would have. True when there was nothing to repair.
    static bool repair(const QString &root, const QStringList &removedAfterCommit, QString *error);

    bool committed = false;
    QList<File> files;
    QStringList createdDirectories; // parents before children

private:
    QString path() const;
    QStringList touchedDirectories() const;
    void removeTemporaries() const;

    QString m_root;
};

#endif
