#ifndef ZUV_TESTS_VOLUME_H
#define ZUV_TESTS_VOLUME_H

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QTemporaryDir>

// Stands in for the device's card.
// On Linux a mount: tmpfs, or the file system of a real card when
// ZUV_TEST_CARD says so: "exfat" (exfat-fuse on a loop device) or "fat32"
// (fusefat on an image file). Only available when the test runs in a
// private mount namespace (tests/support/in-mount-namespace.sh sets
// ZUV_TEST_MOUNT_NAMESPACE=1); everything is unmounted when destroyed.
// On Windows a fresh directory below ZUV_TEST_CARD_ROOT (a drive such as
// "E:/", else the temporary directory), removed when destroyed: it can
// neither fill up nor turn read-only.
class Volume
{
public:
    enum Kind { Tmpfs, ExFat, Fat32, Directory };
    static Kind kind();

    // Empty when a card can be made; otherwise the reason why not.
    static QString unavailableReason();
    // Empty when the card can also fill up and turn read-only.
    static QString faultsUnavailableReason();

    explicit Volume(qint64 sizeBytes = 64 * 1024 * 1024);
    ~Volume();

    bool mount();
    QString rootPath() const;
    // The size asked for, or the smallest one the file system allows.
    qint64 size() const { return m_size; }
    // Not for the FUSE file systems of real cards.
    bool remountReadOnly(bool readOnly);
    bool unmount(bool lazy = false);

    void writeFile(const QString &relativePath, const QByteArray &content);
    QByteArray readFile(const QString &relativePath) const;
    bool exists(const QString &relativePath) const;
    // Writes FW.ZUV at the root with the four keys.
    void writeInfoFile(const QString &serialNumber, const QString &bootloader,
                       const QString &primary, const QString &secondary);
    // Every file below the root (relative paths, sorted) with its content.
    QMap<QString, QByteArray> snapshot() const;

private:
    QTemporaryDir m_base;
#ifndef Q_OS_WIN
    bool mountImage();

    QTemporaryDir m_image; // away from the card's parent, which tests look at
    QString m_loopDevice;
#endif
    qint64 m_size;
    bool m_mounted = false;
};

#endif
