#ifndef ZUV_UPDATE_CARDHANDLES_H
#define ZUV_UPDATE_CARDHANDLES_H

#include <QByteArray>
#include <QString>

// Keeps the card's root open for as long as it lives, in the thread that
// made it, and reaches every path below the root from that handle: each
// directory on the way is opened without following a link (O_NOFOLLOW |
// O_DIRECTORY on Linux) and kept open. A directory of the card swapped for
// a link after it was checked is refused instead of written through, and
// one renamed away still takes the write on the card itself.
//
// FileSystem's operations go through the handles of the innermost
// CardHandles of their thread for paths below its root, and by path
// otherwise (on Windows always by path).
class CardHandles
{
public:
    explicit CardHandles(const QString &root);
    ~CardHandles();

    // Where a path below the active root lies: the held descriptor of its
    // directory (not to be closed) and its last name.
    struct Place {
        enum Kind { NotBelowRoot, Found, Failed } kind = NotBelowRoot;
        int directory = -1;
        QByteArray name;
    };
    // The place of path; directories missing on the way are created when
    // create is true. On failure errno is set and *error says why, naming
    // the path.
    static Place place(const QString &path, bool create, QString *error);
    // A new descriptor of the directory at path, walked from the root
    // (created when create is true): -1 with errno and *error set, or -2
    // when path is not below the active root.
    static int openDirectory(const QString &path, bool create, QString *error);
    // Forgets the held handles of path and of everything below it, after
    // the directory was removed.
    static void forget(const QString &path);

private:
    Q_DISABLE_COPY(CardHandles)
    class Private;
    Private *const d;
};

#endif
