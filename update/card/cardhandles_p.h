#ifndef ZUV_UPDATE_CARDHANDLES_H
#define ZUV_UPDATE_CARDHANDLES_H

#include <QByteArray>
#include <QString>

// Keeps the card's root open for as long as it lives, in the thread that
// made it, and reaches every path below the root from that handle: each
// directory on the way is opened without following a link (O_NOFOLLOW |
// O_DIRECTORY on Linux, FILE_FLAG_OPEN_REPARSE_POINT on Windows) and kept
// open. A directory of the card swapped for a link after it was checked is
// refused instead of written through.
// On Linux a directory renamed away still takes the write on the card
// itself: FileSystem's operations go through the held descriptors. On
// Windows, which has no openat, the directories are held without
// FILE_SHARE_DELETE, so that none on the way can be renamed, removed or
// replaced while the handles live; FileSystem's operations then go by path
// through directories that cannot change under them.
//
// FileSystem's operations use the innermost CardHandles of their thread
// for paths below its root, and the path alone otherwise.
class CardHandles
{
public:
    explicit CardHandles(const QString &root);
    ~CardHandles();

    // Where a path below the active root lies: the held descriptor of its
    // directory (not to be closed; none on Windows) and its last name.
    struct Place {
        enum Kind { NotBelowRoot, Found, Failed } kind = NotBelowRoot;
        int directory = -1;
        QByteArray name;
    };
    // The place of path; directories missing on the way are created when
    // create is true. On failure errno (GetLastError() on Windows) is set
    // and *error says why, naming the path.
    static Place place(const QString &path, bool create, QString *error);
#ifdef Q_OS_WIN
    // Holds every directory from the root down to the one at path
    // (created when create is true): Found, Failed with *error set as by
    // place(), or NotBelowRoot.
    static Place::Kind hold(const QString &path, bool create, QString *error);
#else
    // A new descriptor of the directory at path, walked from the root
    // (created when create is true): -1 with errno and *error set, or -2
    // when path is not below the active root.
    static int openDirectory(const QString &path, bool create, QString *error);
#endif
    // Forgets the held handles of path and of everything below it, before
    // the directory is removed (Windows removes no directory that is held).
    static void forget(const QString &path);

private:
    Q_DISABLE_COPY(CardHandles)
    class Private;
    Private *const d;
};

#endif
