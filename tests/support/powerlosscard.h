#ifndef ZUV_TESTS_POWERLOSSCARD_H
#define ZUV_TESTS_POWERLOSSCARD_H

#include <QMap>
#include <QScopedPointer>
#include <QString>
#include <QTemporaryDir>
#include <QVector>

class ChildProcess;

// A card that can lose power after any operation. The card is a FUSE file
// system (powerlossfs) over a backing directory that records every change
// made through it. After the recording, cardsAfterCut(k) rebuilds what a
// card may hold when the power goes after the first k operations:
//
// - a file's data is on the medium once the file was flushed (fsync),
//   a name (create, mkdir, remove, rename) once its directory was flushed;
//   a volume-wide flush (syncfs) puts everything before it on the medium;
// - of what was not flushed, any prefix may have reached the medium;
// - when the cut falls while a flush is being carried out, the changes that
//   flush covers may reach the medium in any order: every subset of them,
//   or, when there are more than MaxReorderedChanges, each one alone and
//   every one but one (2^n states would take hours for a few more files).
//
// Models of a card that is less than POSIX, as FAT cards on real systems:
//
// - TornRenames: a rename not yet flushed may also reach the medium as one
//   of its two halves alone (the new name added with the old one kept, or
//   the old name removed without the new one), one rename or all of them;
// - RefusedDirectoryFlushes: the card refuses every directory flush, so a
//   name change is on the medium only after a volume flush, and those not
//   yet there land in any order: any subset of them (each alone and every
//   one but one beyond MaxReorderedChanges), with none or all of the data
//   not flushed.
//
// A card is given as its files (path below the root, content) and its
// directories (path with a trailing "/", empty content).
class PowerLossCard
{
public:
    using Card = QMap<QString, QByteArray>;
    static constexpr int MaxReorderedChanges = 10;

    // Empty when a recording card can be mounted here; otherwise why not.
    static QString unavailableReason();

    enum Model { Ordered, TornRenames, RefusedDirectoryFlushes };

    explicit PowerLossCard(Model model = Ordered);
    ~PowerLossCard();

    // Puts the card's first content into the backing directory and mounts.
    bool mount(const Card &initial);
    QString rootPath() const;
    // Unmounts and reads what was recorded.
    bool unmount();

    // A syncfs never reaches the card's file system: a program that wraps
    // syncfs calls this with the descriptor once the flush returned, so
    // that the card records it. Does nothing on other volumes.
    static void noteVolumeFlush(int fd);

    int operationCount() const;
    // File, directory and volume flushes the card recorded.
    int flushCount() const;
    QString operationText(int index) const;
    // Operations among the first k that are not on the medium yet.
    int pendingAfter(int k) const;
    // Every distinct card the cut after the first k operations may leave;
    // the first is the one that keeps only what was flushed.
    QList<Card> cardsAfterCut(int k) const;
    // The card as the program saw it after the first k operations.
    Card cardAsWritten(int k) const;

    // Writes a card into an empty directory / reads one back.
    static bool writeCard(const QString &root, const Card &card);
    static Card readCard(const QString &root);

private:
    Q_DISABLE_COPY(PowerLossCard)
    class Private;
    QScopedPointer<Private> d;
};

#endif
