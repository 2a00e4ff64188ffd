#ifndef ZUV_UPDATE_CARDPATH_H
#define ZUV_UPDATE_CARDPATH_H

#include <QString>
#include <QStringList>

// Tells whether paths below the card's root stay on the card itself. The
// update writes only to the card: a symbolic link, a junction or other
// reparse point, or another volume mounted below the root would carry a
// write onto whatever lies behind it, the user's own files included.
//
// Every component of a path below the root is looked at without following
// it. Components that do not exist yet are fine: the writer creates them as
// plain directories and files. What a directory was is remembered, so one
// CardPath describes the card at one moment: make a new one after writing.
class CardPath
{
public:
    explicit CardPath(const QString &root);
    ~CardPath();

    // Empty when relativePath and every directory on its way stay on the
    // card; otherwise why not, naming the path.
    QString check(const QString &relativePath);
    // check() of every path a write of these destinations touches: their
    // directories, the destinations with their staged and set-aside names,
    // the journal, and the device's two files at the root. The first reason
    // found, or empty.
    QString checkWrite(const QStringList &destinations);

    // relativePath as the card takes it: "\\" and "/" both separate (as on
    // the device and in a manifest, on every system), "." and repeated
    // separators dropped.
    static QString normalized(const QString &relativePath);

    // Removes the file at path when it is a plain file, never a link or
    // anything else at that name; true when nothing is left there.
    static bool removePlainFile(const QString &path, QString *error);

private:
    Q_DISABLE_COPY(CardPath)
    class Private;
    Private *const d;
};

#endif
