#include "cardhandles_p.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QHash>

#include <qt_windows.h>

// The Windows walk. Each directory of the card is opened with
// FILE_FLAG_OPEN_REPARSE_POINT, so that a junction, a symbolic link or a
// mount point is looked at itself instead of followed, and refused. The
// handles share reading and writing but not deletion: while one is held the
// system refuses to rename, remove or replace its directory, so a path
// through held directories names the same directories until they are
// closed, and FileSystem's operations by path under them stay on the card.

class CardHandles::Private
{
public:
    QString root;
    CardHandles *outer = nullptr;
    HANDLE rootHandle = INVALID_HANDLE_VALUE;
    DWORD volume = 0;
    // Relative directory path, in lower case (the card's file system
    // ignores letter case) -> its held handle.
    QHash<QString, HANDLE> directories;

    QString pathOf(const QString &relativePath) const;
    bool walk(const QString &relativeDirectory, bool create, QString *error);
    HANDLE openComponent(const QString &relativePath, bool create, QString *error);
    QString refusal(HANDLE handle, const QString &path, DWORD *code) const;
    void closeBelow(const QString &relativePath);
};

namespace {
thread_local CardHandles *active = nullptr;

const wchar_t *nativePath(const QString &native)
{
    return reinterpret_cast<const wchar_t *>(native.utf16());
}

// A handle of the directory at path that keeps it where it is: no
// FILE_SHARE_DELETE, so nobody renames, removes or replaces it meanwhile.
// A handle that may only read attributes reserves nothing (Windows checks
// no sharing for it): this one may list the directory.
HANDLE openHeld(const QString &path, DWORD flags)
{
    return ::CreateFileW(nativePath(QDir::toNativeSeparators(path)),
                         FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
}

bool isMissing(DWORD code)
{
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

// The path of path below root, or a null string when it is not below it.
QString relativeTo(const QString &root, const QString &path)
{
    const QString clean = QDir::cleanPath(QDir::fromNativeSeparators(path));
    if (clean.compare(root, Qt::CaseInsensitive) == 0)
        return QStringLiteral(".");
    const QString prefix = root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/');
    if (!clean.startsWith(prefix, Qt::CaseInsensitive) || clean.size() == prefix.size())
        return QString();
    return clean.mid(prefix.size());
}
} // namespace

CardHandles::CardHandles(const QString &root)
    : d(new Private)
{
    d->root = QDir::cleanPath(QDir::fromNativeSeparators(root));
    // The root itself is the card's volume ("E:/"): reached by path once.
    d->rootHandle = openHeld(d->root, 0);
    BY_HANDLE_FILE_INFORMATION information;
    if (d->rootHandle != INVALID_HANDLE_VALUE && ::GetFileInformationByHandle(d->rootHandle, &information))
        d->volume = information.dwVolumeSerialNumber;
    if (d->rootHandle == INVALID_HANDLE_VALUE)
        qDebug() << Q_FUNC_INFO << "Cannot open the card's root, working by path:" << d->root << qt_error_string();
    d->outer = active;
    if (d->rootHandle != INVALID_HANDLE_VALUE)
        active = this;
}

CardHandles::~CardHandles()
{
    for (const HANDLE handle : qAsConst(d->directories))
        ::CloseHandle(handle);
    if (d->rootHandle != INVALID_HANDLE_VALUE) {
        ::CloseHandle(d->rootHandle);
        active = d->outer;
    }
    delete d;
}

QString CardHandles::Private::pathOf(const QString &relativePath) const
{
    return root.endsWith(QLatin1Char('/')) ? root + relativePath : root + QLatin1Char('/') + relativePath;
}

// Why the directory opened at path is not one the write may go through;
// empty when it is. *code is what GetLastError() then reports.
QString CardHandles::Private::refusal(HANDLE handle, const QString &path, DWORD *code) const
{
    BY_HANDLE_FILE_INFORMATION information;
    if (!::GetFileInformationByHandle(handle, &information)) {
        *code = ::GetLastError();
        return QStringLiteral("Cannot examine \"%1\": %2").arg(path, qt_error_string(int(*code)));
    }
    // Wine opens a symbolic link of the host's file system as its target,
    // even with FILE_FLAG_OPEN_REPARSE_POINT, and shows it as a reparse
    // point only in the attributes of its name. On Windows the name looks
    // at what the handle holds: held, it can no longer be moved.
    const DWORD byName = ::GetFileAttributesW(nativePath(QDir::toNativeSeparators(path)));
    const bool reparsePoint = (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        || (byName != INVALID_FILE_ATTRIBUTES && (byName & FILE_ATTRIBUTE_REPARSE_POINT));
    if (reparsePoint) {
        *code = ERROR_CANT_ACCESS_FILE;
        return QStringLiteral("\"%1\" on the card is a link or junction; nothing is written through it").arg(path);
    }
    if (!(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        *code = ERROR_DIRECTORY;
        return QStringLiteral("\"%1\" on the card is not a directory").arg(path);
    }
    if (information.dwVolumeSerialNumber != volume) {
        *code = ERROR_NOT_SAME_DEVICE;
        return QStringLiteral("\"%1\" on the card is another volume; nothing is written through it").arg(path);
    }
    return QString();
}

// Opens and holds one directory below the held ones without following a
// reparse point, creating it first when asked; anything but a plain
// directory of the card is refused.
HANDLE CardHandles::Private::openComponent(const QString &relativePath, bool create, QString *error)
{
    const QString path = pathOf(relativePath);
    HANDLE handle = openHeld(path, FILE_FLAG_OPEN_REPARSE_POINT);
    if (handle == INVALID_HANDLE_VALUE && create && isMissing(::GetLastError())) {
        if (!::CreateDirectoryW(nativePath(QDir::toNativeSeparators(path)), nullptr)
            && ::GetLastError() != ERROR_ALREADY_EXISTS) {
            const DWORD code = ::GetLastError();
            *error = QStringLiteral("Cannot create the directory \"%1\": %2").arg(path, qt_error_string(int(code)));
            ::SetLastError(code);
            return INVALID_HANDLE_VALUE;
        }
        handle = openHeld(path, FILE_FLAG_OPEN_REPARSE_POINT);
    }
    DWORD code = ::GetLastError();
    if (handle == INVALID_HANDLE_VALUE) {
        // A file in the way reads as "no such path" below it.
        *error = code == ERROR_DIRECTORY
            ? QStringLiteral("\"%1\" on the card is not a directory").arg(path)
            : QStringLiteral("Cannot open the directory \"%1\": %2").arg(path, qt_error_string(int(code)));
    } else if (const QString refused = refusal(handle, path, &code); !refused.isEmpty()) {
        ::CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
        *error = refused;
    }
    if (handle != INVALID_HANDLE_VALUE)
        return handle;
    if (!isMissing(code))
        qDebug() << Q_FUNC_INFO << *error;
    ::SetLastError(code);
    return handle;
}

// Holds each directory from the root down to relativeDirectory, each
// opened once, from the top, while the one above it is already held.
bool CardHandles::Private::walk(const QString &relativeDirectory, bool create, QString *error)
{
    if (relativeDirectory == QLatin1String("."))
        return true;
    QString prefix;
    const QStringList components = relativeDirectory.split(QLatin1Char('/'));
    for (const QString &component : components) {
        if (component.isEmpty() || component == QLatin1String("..") || component == QLatin1String(".")) {
            *error = QStringLiteral("\"%1\" is not a path on the card").arg(pathOf(relativeDirectory));
            ::SetLastError(ERROR_INVALID_NAME);
            return false;
        }
        prefix = prefix.isEmpty() ? component : prefix + QLatin1Char('/') + component;
        const QString key = prefix.toLower();
        if (directories.contains(key))
            continue;
        const HANDLE handle = openComponent(prefix, create, error);
        if (handle == INVALID_HANDLE_VALUE)
            return false;
        directories.insert(key, handle);
    }
    return true;
}

void CardHandles::Private::closeBelow(const QString &relativePath)
{
    const QString key = relativePath.toLower();
    for (auto it = directories.begin(); it != directories.end();) {
        if (it.key() == key || it.key().startsWith(key + QLatin1Char('/'))) {
            ::CloseHandle(it.value());
            it = directories.erase(it);
        } else {
            ++it;
        }
    }
}

CardHandles::Place CardHandles::place(const QString &path, bool create, QString *error)
{
    Place result;
    if (!active)
        return result;
    const QString relative = relativeTo(active->d->root, path);
    if (relative.isNull() || relative == QLatin1String("."))
        return result;
    const int slash = relative.lastIndexOf(QLatin1Char('/'));
    const bool held = active->d->walk(slash < 0 ? QStringLiteral(".") : relative.left(slash), create, error);
    const DWORD code = ::GetLastError();
    result.kind = held ? Place::Found : Place::Failed;
    result.name = QFile::encodeName(relative.mid(slash + 1));
    ::SetLastError(code);
    return result;
}

CardHandles::Place::Kind CardHandles::hold(const QString &path, bool create, QString *error)
{
    if (!active)
        return Place::NotBelowRoot;
    const QString relative = relativeTo(active->d->root, path);
    if (relative.isNull())
        return Place::NotBelowRoot;
    return active->d->walk(relative, create, error) ? Place::Found : Place::Failed;
}

// Every CardHandles of the thread lets go of the directory: a handle held
// anywhere keeps Windows from removing it.
void CardHandles::forget(const QString &path)
{
    for (CardHandles *handles = active; handles; handles = handles->d->outer) {
        const QString relative = relativeTo(handles->d->root, path);
        if (!relative.isNull() && relative != QLatin1String("."))
            handles->d->closeBelow(relative);
    }
}
