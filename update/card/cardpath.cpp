#include "cardpath.h"

#include "filesystem.h"
#include "writerjournal_p.h"

#include "device/deviceinfo.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QSet>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#else
#include <cerrno>
#include <sys/stat.h>
#endif

namespace {

const char OnlyTheCard[] = "the update writes only to the card itself";

// What one path is; a link at the path itself is looked at, not followed,
// unless asked.
struct Entry {
    enum Kind { Missing, Directory, File, Link, Special, Unreadable };
    Kind kind = Missing;
    quint64 volume = 0; // the volume it is on
    QString error;      // for Unreadable
};

enum class Follow { Never, Links };

#ifdef Q_OS_WIN
// A junction, a symbolic link and a mount point are all reparse points;
// opening one with FILE_FLAG_OPEN_REPARSE_POINT looks at the point itself.
Entry examine(const QString &path, Follow follow = Follow::Never)
{
    const QString native = QDir::toNativeSeparators(path);
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow == Follow::Never ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    const HANDLE handle = ::CreateFileW(reinterpret_cast<const wchar_t *>(native.utf16()), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, flags, nullptr);
    Entry entry;
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return entry;
        entry.kind = Entry::Unreadable;
        entry.error = qt_error_string(int(error));
        return entry;
    }
    BY_HANDLE_FILE_INFORMATION information;
    const bool known = ::GetFileInformationByHandle(handle, &information);
    const DWORD error = ::GetLastError();
    ::CloseHandle(handle);
    if (!known) {
        entry.kind = Entry::Unreadable;
        entry.error = qt_error_string(int(error));
        return entry;
    }
    entry.volume = information.dwVolumeSerialNumber;
    // Wine opens a symbolic link of the host's file system as its target
    // even with FILE_FLAG_OPEN_REPARSE_POINT; its name still shows it.
    const DWORD byName = follow == Follow::Never ? ::GetFileAttributesW(reinterpret_cast<const wchar_t *>(native.utf16()))
                                                 : INVALID_FILE_ATTRIBUTES;
    const bool reparsePoint = (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        || (byName != INVALID_FILE_ATTRIBUTES && (byName & FILE_ATTRIBUTE_REPARSE_POINT));
    if (reparsePoint)
        entry.kind = Entry::Link;
    else if (information.dwFileAttributes & FILE_ATTRIBUTE_DEVICE)
        entry.kind = Entry::Special;
    else
        entry.kind = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? Entry::Directory : Entry::File;
    return entry;
}
#else
Entry examine(const QString &path, Follow follow = Follow::Never)
{
    Entry entry;
    struct stat status;
    const QByteArray name = QFile::encodeName(path);
    const int result = follow == Follow::Never ? ::lstat(name.constData(), &status) : ::stat(name.constData(), &status);
    if (result != 0) {
        // A file where a directory would be is the writer's to refuse.
        if (errno == ENOENT || errno == ENOTDIR)
            return entry;
        entry.kind = Entry::Unreadable;
        entry.error = qt_error_string(errno);
        return entry;
    }
    entry.volume = quint64(status.st_dev);
    if (S_ISLNK(status.st_mode))
        entry.kind = Entry::Link;
    else if (S_ISDIR(status.st_mode))
        entry.kind = Entry::Directory;
    else
        entry.kind = S_ISREG(status.st_mode) ? Entry::File : Entry::Special;
    return entry;
}
#endif

// Why the entry at relativePath leads off the card whose volume is given;
// empty when it does not.
QString reason(const QString &relativePath, const Entry &entry, quint64 cardVolume)
{
    switch (entry.kind) {
    case Entry::Link:
#ifdef Q_OS_WIN
        return QStringLiteral("\"%1\" on the card is a link or junction; %2").arg(relativePath, QLatin1String(OnlyTheCard));
#else
        return QStringLiteral("\"%1\" on the card is a link; %2").arg(relativePath, QLatin1String(OnlyTheCard));
#endif
    case Entry::Special:
        // A FIFO or a device would block the first read of it for ever.
        return QStringLiteral("\"%1\" on the card is neither a file nor a directory (a FIFO, socket or device); "
                              "it is not opened")
            .arg(relativePath);
    case Entry::Unreadable:
        return QStringLiteral("Cannot examine \"%1\" on the card: %2").arg(relativePath, entry.error);
    case Entry::Directory:
        if (entry.volume != cardVolume) {
            return QStringLiteral("\"%1\" on the card is another volume mounted there; %2")
                .arg(relativePath, QLatin1String(OnlyTheCard));
        }
        break;
    case Entry::File:
    case Entry::Missing:
        break;
    }
    return QString();
}

} // namespace

class CardPath::Private
{
public:
    QDir root;
    quint64 volume = 0;
    QString rootFailure; // why the root itself cannot be used
    // Directories below the root already found on the card or found
    // missing, so that the thousands of files of one directory look at it
    // once.
    QSet<QString> directoriesOnCard;
    QSet<QString> missingDirectories;
};

CardPath::CardPath(const QString &root)
    : d(new Private)
{
    d->root.setPath(root);
    // The root itself may well be reached through a link or be a mount
    // point in a folder: it is the volume the user's device is. Only what
    // lies below it is looked at.
    const Entry entry = examine(root, Follow::Links);
    d->volume = entry.volume;
    if (entry.kind != Entry::Directory) {
        const QString why = entry.kind == Entry::Unreadable ? entry.error
            : entry.kind == Entry::Missing                  ? QStringLiteral("it is not there")
                                                            : QStringLiteral("it is not a directory");
        d->rootFailure = QStringLiteral("Cannot examine the card at \"%1\": %2").arg(root, why);
    }
}

CardPath::~CardPath()
{
    delete d;
}

QString CardPath::normalized(const QString &relativePath)
{
    return QDir::cleanPath(QString(relativePath).replace(QLatin1Char('\\'), QLatin1Char('/')));
}

QString CardPath::check(const QString &relativePath)
{
    if (!d->rootFailure.isEmpty())
        return d->rootFailure;
    const QStringList components = normalized(relativePath).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString path;
    for (int i = 0; i < components.size(); ++i) {
        path += (path.isEmpty() ? QString() : QStringLiteral("/")) + components.at(i);
        const bool last = i == components.size() - 1;
        if (!last && d->directoriesOnCard.contains(path))
            continue;
        if (!last && d->missingDirectories.contains(path))
            return QString();
        const Entry entry = examine(d->root.filePath(path));
        if (entry.kind == Entry::Missing) {
            if (!last)
                d->missingDirectories.insert(path);
            return QString(); // nothing below it exists either
        }
        const QString failure = reason(path, entry, d->volume);
        if (!failure.isEmpty()) {
            qDebug() << Q_FUNC_INFO << failure;
            return failure;
        }
        if (entry.kind == Entry::Directory)
            d->directoriesOnCard.insert(path);
    }
    return QString();
}

QString CardPath::checkWrite(const QStringList &destinations)
{
    QStringList paths{WriterJournal::fileName(), QLatin1String(Device::InfoFileName),
                      QLatin1String(Device::InstallMarkFileName)};
    for (const QString &destination : destinations)
        paths << destination << destination + WriterJournal::stagedSuffix()
              << destination + WriterJournal::setAsideSuffix();
    for (const QString &path : qAsConst(paths)) {
        const QString failure = check(path);
        if (!failure.isEmpty())
            return failure;
    }
    return QString();
}

bool CardPath::removePlainFile(const QString &path, QString *error)
{
    const Entry entry = examine(path);
    if (entry.kind == Entry::Missing)
        return true;
    if (entry.kind == Entry::Unreadable) {
        *error = QStringLiteral("Cannot examine \"%1\": %2").arg(path, entry.error);
        return false;
    }
    if (entry.kind != Entry::File) {
        *error = QStringLiteral("\"%1\" is not a plain file; it is left alone").arg(path);
        return false;
    }
    // Removed again through the held handles of the directories on the way,
    // which checks what is at the name once more.
    return FileSystem::removeFile(path, error);
}
