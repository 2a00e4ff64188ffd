#include "filesystem.h"

#include "cardhandles_p.h"
#include "update/release/md5.h"

#include "helpers/io.h"

#include <QAtomicInt>
#include <QDebug>
#include <QDir>
#include <QFile>

#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>
#include <qt_windows.h>
#else
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <sys/sendfile.h>
#endif

namespace FileSystem {
namespace {

QAtomicInt refusedFlushes;

#ifdef Q_OS_WIN
const wchar_t *nativePath(const QString &native)
{
    return reinterpret_cast<const wchar_t *>(native.utf16());
}

// What is at path without following it: INVALID_FILE_ATTRIBUTES when
// nothing is there or it cannot be told (GetLastError() says which).
DWORD attributesOf(const QString &path)
{
    return ::GetFileAttributesW(nativePath(QDir::toNativeSeparators(path)));
}

bool isPlainFile(DWORD attributes)
{
    return attributes != INVALID_FILE_ATTRIBUTES
        && !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE));
}

// Below the card's root, every directory on the way to path is held (see
// CardHandles) before path is used, so that none can be renamed or
// replaced under it; false with *error when one of them was refused. With
// missing given, a way that is not there (nothing is at path then) sets it
// instead of *error.
bool holdWayTo(const QString &path, QString *error, bool *missing = nullptr)
{
    QString walkError;
    if (CardHandles::place(path, false, &walkError).kind != CardHandles::Place::Failed)
        return true;
    const DWORD code = ::GetLastError();
    if (missing)
        *missing = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND || code == ERROR_DIRECTORY;
    if (!missing || !*missing)
        *error = walkError;
    return false;
}

// A handle of the regular file at path with the access given, opened
// without following a reparse point and below held directories on the
// card; INVALID_HANDLE_VALUE with *error set otherwise. It shares reading
// and writing, not deletion: the file is not renamed or replaced while it
// is open.
HANDLE openPlainFile(const QString &path, DWORD access, QString *error)
{
    if (!holdWayTo(path, error))
        return INVALID_HANDLE_VALUE;
    const HANDLE handle = ::CreateFileW(nativePath(QDir::toNativeSeparators(path)), access,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    const DWORD code = ::GetLastError();
    BY_HANDLE_FILE_INFORMATION information;
    const bool known = handle != INVALID_HANDLE_VALUE && ::GetFileInformationByHandle(handle, &information);
    // A device answers as a character device or a pipe, not as a disk file.
    if (known && isPlainFile(information.dwFileAttributes) && ::GetFileType(handle) == FILE_TYPE_DISK)
        return handle;
    if (handle != INVALID_HANDLE_VALUE)
        ::CloseHandle(handle);
    const DWORD attributes = attributesOf(path);
    if (known || (attributes != INVALID_FILE_ATTRIBUTES && !isPlainFile(attributes)))
        *error = QStringLiteral("\"%1\" is not a regular file").arg(path);
    else
        *error = QStringLiteral("Cannot read \"%1\": %2").arg(path, qt_error_string(int(code)));
    return INVALID_HANDLE_VALUE;
}
#else
// A descriptor of the regular file at path, opened without following a
// link and without waiting on a FIFO or a device; -1 with errno set, and
// EINVAL for anything but a regular file.
// Below the card's root the file is reached through the held handles of
// its directories (see CardHandles); *walkError then says why a directory
// on the way was refused.
int openPlainFile(const QString &path, int flags, QString *walkError = nullptr, mode_t mode = 0666)
{
    QString error;
    const CardHandles::Place place = CardHandles::place(path, false, &error);
    if (place.kind == CardHandles::Place::Failed) {
        if (walkError)
            *walkError = error;
        return -1;
    }
    const int allFlags = flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    const int fd = place.kind == CardHandles::Place::Found
        ? ::openat(place.directory, place.name.constData(), allFlags, mode)
        : ::open(QFile::encodeName(path).constData(), allFlags, mode);
    if (fd < 0)
        return -1;
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        const int error = S_ISREG(status.st_mode) ? errno : EINVAL;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}
#endif

#ifndef Q_OS_WIN
QString systemError(const QString &what, const QString &path)
{
    return QStringLiteral("%1 \"%2\": %3").arg(what, path, qt_error_string(errno));
}
#endif

// Hands the descriptor fd of file's path to file, or closes it.
bool adopt(QFile &file, int fd, QIODevice::OpenMode mode, const QString &what, QString *error)
{
    if (file.open(fd, mode, QFileDevice::AutoCloseHandle))
        return true;
#ifdef Q_OS_WIN
    ::_close(fd);
#else
    ::close(fd);
#endif
    *error = QStringLiteral("%1 \"%2\": %3").arg(what, file.fileName(), file.errorString());
    return false;
}

#ifdef Q_OS_WIN
// The same for a native handle, which the C runtime's file number then owns.
bool adopt(QFile &file, HANDLE handle, QIODevice::OpenMode mode, const QString &what, QString *error)
{
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), mode & QIODevice::WriteOnly ? 0 : _O_RDONLY);
    if (fd >= 0)
        return adopt(file, fd, mode, what, error);
    ::CloseHandle(handle);
    *error = QStringLiteral("%1 \"%2\": %3").arg(what, file.fileName(), qt_error_string(errno));
    return false;
}
#endif

#ifdef Q_OS_LINUX
// The largest count one kernel copy call takes without being cut short.
constexpr size_t KernelCopyChunk = 0x40000000;

bool kernelCannotCopy(int error)
{
    return error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP
        || error == EBADF || error == ETXTBSY;
}

// Returns 1 when done, 0 when this way of copying is not available for the
// two files (nothing has been copied then), -1 on failure.
int copyWithKernel(int in, int out, qint64 size, bool useSendfile)
{
    qint64 copied = 0;
    while (copied < size) {
        const size_t count = size_t(qMin<qint64>(size - copied, KernelCopyChunk));
        const ssize_t n = useSendfile ? ::sendfile(out, in, nullptr, count)
                                      : ::copy_file_range(in, nullptr, out, nullptr, count, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && copied == 0 && kernelCannotCopy(errno))
            return 0;
        if (n < 0)
            return -1;
        if (n == 0)
            break; // the source ended early; the caller compares sizes
        copied += n;
    }
    return 1;
}
#endif

} // namespace

bool syncFile(QFile &file, QString *error)
{
    if (!file.flush()) {
        *error = QStringLiteral("Cannot write \"%1\": %2").arg(file.fileName(), file.errorString());
        return false;
    }
#ifdef Q_OS_WIN
    // QFile keeps a native handle below the C runtime's file number; the
    // flush goes to that handle directly.
    const HANDLE handle = reinterpret_cast<HANDLE>(::_get_osfhandle(file.handle()));
    if (handle == INVALID_HANDLE_VALUE || !::FlushFileBuffers(handle)) {
        *error = QStringLiteral("Cannot flush \"%1\" to the medium: %2").arg(file.fileName(), qt_error_string());
        return false;
    }
#else
    if (::fsync(file.handle()) != 0) {
        *error = systemError(QStringLiteral("Cannot flush"), file.fileName());
        return false;
    }
#endif
    return true;
}

int refusedDirectoryFlushes()
{
    return refusedFlushes.loadAcquire();
}

namespace {

// A directory flush the system refused: counted, and the volume flushed
// instead as far as the system lets us. The repair's verification of
// every file carries whatever that leaves unordered.
bool flushRefused(const QString &path, QString *error, bool *refused)
{
    refusedFlushes.ref();
    if (refused)
        *refused = true;
    qDebug() << Q_FUNC_INFO << "Directory flush refused, flushing the volume instead:" << path;
    return syncVolume(path, error);
}

} // namespace

bool syncDirectory(const QString &path, QString *error, bool *refused)
{
#ifdef Q_OS_WIN
    // A directory opens only with FILE_FLAG_BACKUP_SEMANTICS, and
    // FlushFileBuffers needs write access to it. On a FAT or exFAT card the
    // flush writes out the directory's entries (names, sizes, first
    // clusters) and the allocation table behind them. Where the system
    // refuses a directory flush (access denied, or a file system without
    // one), the volume is flushed instead where the process may open it.
    // Below the card's root the directory and those above it are held first.
    if (CardHandles::hold(path, false, error) == CardHandles::Place::Failed)
        return false;
    const HANDLE handle = ::CreateFileW(nativePath(QDir::toNativeSeparators(path)), GENERIC_READ | GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                       nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = ::GetLastError();
        if (code == ERROR_ACCESS_DENIED)
            return flushRefused(path, error, refused);
        *error = QStringLiteral("Cannot open directory \"%1\": %2").arg(path, qt_error_string(int(code)));
        return false;
    }
    const bool ok = ::FlushFileBuffers(handle);
    const DWORD code = ::GetLastError();
    ::CloseHandle(handle);
    if (ok)
        return true;
    if (code == ERROR_ACCESS_DENIED || code == ERROR_INVALID_FUNCTION || code == ERROR_NOT_SUPPORTED)
        return flushRefused(path, error, refused);
    *error = QStringLiteral("Cannot flush directory \"%1\": %2").arg(path, qt_error_string(int(code)));
    return false;
#else
    // Below the card's root: a new descriptor of the held handle.
    int fd = CardHandles::openDirectory(path, false, error);
    if (fd == -1)
        return false;
    if (fd == -2)
        fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        *error = systemError(QStringLiteral("Cannot open directory"), path);
        return false;
    }
    const bool ok = ::fsync(fd) == 0;
    const int code = errno;
    ::close(fd);
    if (ok)
        return true;
    if (code == EINVAL || code == ENOSYS || code == EOPNOTSUPP || code == EROFS)
        return flushRefused(path, error, refused);
    errno = code;
    *error = systemError(QStringLiteral("Cannot flush directory"), path);
    return false;
#endif
}

bool syncVolume(const QString &path, QString *error)
{
#if defined(Q_OS_LINUX)
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = systemError(QStringLiteral("Cannot open"), path);
        return false;
    }
    const bool ok = ::syncfs(fd) == 0;
    if (!ok)
        *error = systemError(QStringLiteral("Cannot flush the volume of"), path);
    ::close(fd);
    return ok;
#elif defined(Q_OS_WIN)
    // A handle to the volume itself ("\\.\E:") flushes everything on it,
    // where the process may open it (usually with administrator rights
    // only); without it every file and directory was flushed on its own.
    Q_UNUSED(error)
    wchar_t mountPoint[MAX_PATH + 1];
    if (!::GetVolumePathNameW(nativePath(QDir::toNativeSeparators(path)), mountPoint, MAX_PATH + 1))
        return true;
    QString volume = QString::fromWCharArray(mountPoint);
    if (volume.endsWith(QLatin1Char('\\')))
        volume.chop(1);
    const QString device = QStringLiteral("\\\\.\\") + volume;
    const HANDLE handle = ::CreateFileW(nativePath(device), GENERIC_READ | GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return true;
    ::FlushFileBuffers(handle);
    ::CloseHandle(handle);
    return true;
#else
    Q_UNUSED(path)
    Q_UNUSED(error)
    ::sync();
    return true;
#endif
}

bool replaceFile(const QString &from, const QString &to, QString *error)
{
    // QFile::rename refuses an existing target and falls back to copying
    // when renaming fails; here the move must be one atomic step.
#ifdef Q_OS_WIN
    if (!holdWayTo(from, error) || !holdWayTo(to, error))
        return false;
    const bool ok = ::MoveFileExW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(from).utf16()),
                                  reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(to).utf16()),
                                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!ok)
        *error = QStringLiteral("Cannot move \"%1\" to \"%2\": %3").arg(from, to, qt_error_string());
    return ok;
#else
    const CardHandles::Place source = CardHandles::place(from, false, error);
    const CardHandles::Place target = CardHandles::place(to, false, error);
    if (source.kind == CardHandles::Place::Failed || target.kind == CardHandles::Place::Failed)
        return false;
    if (source.kind == CardHandles::Place::Found && target.kind == CardHandles::Place::Found) {
        if (::renameat(source.directory, source.name.constData(), target.directory, target.name.constData()) == 0)
            return true;
    } else if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0) {
        return true;
    }
    *error = QStringLiteral("Cannot move \"%1\" to \"%2\": %3").arg(from, to, qt_error_string(errno));
    return false;
#endif
}

bool copyData(QFile &from, QFile &to, QString *error)
{
    const qint64 size = from.size();
    int result = 0;
#ifdef Q_OS_LINUX
    // QFile::copy moves 4 KiB at a time, which is several times slower than
    // cp onto a memory or USB volume. The kernel moves the bytes itself:
    // copy_file_range within a file system, sendfile across file systems.
    result = copyWithKernel(from.handle(), to.handle(), size, false);
    if (result == 0)
        result = copyWithKernel(from.handle(), to.handle(), size, true);
    if (result < 0) {
        *error = QStringLiteral("Cannot copy \"%1\" to \"%2\": %3")
                     .arg(from.fileName(), to.fileName(), qt_error_string(errno));
        return false;
    }
#endif
    if (result == 0 && !Helpers::IO::copy(&from, &to)) {
        *error = QStringLiteral("Cannot write \"%1\": %2").arg(to.fileName(), to.errorString());
        return false;
    }
    if (to.size() != size) {
        *error = QStringLiteral("Copy of \"%1\" to \"%2\" is incomplete").arg(from.fileName(), to.fileName());
        return false;
    }
    return true;
}

void makeWritable(QFile &file)
{
#ifdef Q_OS_WIN
    // Through a handle of the file itself, opened without following a
    // reparse point: what a link leads to keeps its attributes.
    QString error;
    const HANDLE handle = openPlainFile(file.fileName(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, &error);
    if (handle == INVALID_HANDLE_VALUE)
        return;
    FILE_BASIC_INFO basic;
    if (::GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)
        && (basic.FileAttributes & FILE_ATTRIBUTE_READONLY)) {
        basic.FileAttributes &= ~DWORD(FILE_ATTRIBUTE_READONLY);
        if (basic.FileAttributes == 0) // 0 would leave the attributes as they are
            basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        if (!::SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic))
            qDebug() << Q_FUNC_INFO << "Cannot clear the read-only attribute of" << file.fileName() << qt_error_string();
    }
    ::CloseHandle(handle);
#else
    // Through a descriptor of the file itself: a link at its name is never
    // followed to change what lies behind it.
    const int fd = openPlainFile(file.fileName(), O_RDONLY);
    if (fd < 0)
        return;
    struct stat status;
    if (::fstat(fd, &status) == 0 && !(status.st_mode & S_IWUSR))
        ::fchmod(fd, (status.st_mode & 07777) | S_IWUSR);
    ::close(fd);
#endif
}

bool openRegular(QFile &file, const QString &path, QString *error)
{
    file.setFileName(path);
#ifdef Q_OS_WIN
    const HANDLE handle = openPlainFile(path, GENERIC_READ, error);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    return adopt(file, handle, QIODevice::ReadOnly, QStringLiteral("Cannot read"), error);
#else
    QString walkError;
    const int fd = openPlainFile(path, O_RDONLY, &walkError);
    if (fd < 0) {
        *error = !walkError.isEmpty() ? walkError
            : errno == EINVAL || errno == ELOOP
            ? QStringLiteral("\"%1\" is not a regular file").arg(path)
            : systemError(QStringLiteral("Cannot read"), path);
        return false;
    }
    return adopt(file, fd, QIODevice::ReadOnly, QStringLiteral("Cannot read"), error);
#endif
    return true;
}

QByteArray digestOf(const QString &path, qint64 *size)
{
    QFile file;
    QString error;
    if (!openRegular(file, path, &error))
        return QByteArray();
    const QByteArray digest = Md5::hexDigest(&file);
    if (digest.isEmpty() || file.error() != QFileDevice::NoError)
        return QByteArray();
    if (size)
        *size = file.size();
    return digest;
}

bool copyFile(const QString &from, const QString &to, QString *error)
{
    QFile source;
    if (!openRegular(source, from, error))
        return false;
    // Created afresh (O_CREAT | O_EXCL, CREATE_NEW on Windows), which fails
    // on a link at its name instead of writing through it.
    QFile target;
    if (!createNew(target, to, error))
        return false;
    if (copyData(source, target, error) && syncFile(target, error)) {
        target.close();
        if (target.error() == QFileDevice::NoError)
            return true;
        *error = QStringLiteral("Cannot write \"%1\": %2").arg(to, target.errorString());
    }
    target.close();
    QString ignored;
    removeFile(to, &ignored); // our own partial copy
    return false;
}

bool createNew(QFile &file, const QString &path, QString *error)
{
    file.setFileName(path);
#ifdef Q_OS_WIN
    if (!holdWayTo(path, error))
        return false;
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        *error = QStringLiteral("Cannot create \"%1\": %2").arg(path, file.errorString());
        return false;
    }
#else
    QString walkError;
    const int fd = openPlainFile(path, O_WRONLY | O_CREAT | O_EXCL, &walkError);
    if (fd < 0) {
        *error = !walkError.isEmpty() ? walkError : systemError(QStringLiteral("Cannot create"), path);
        return false;
    }
    return adopt(file, fd, QIODevice::WriteOnly, QStringLiteral("Cannot create"), error);
#endif
    return true;
}

bool createDirectory(const QString &path, QString *error)
{
#ifdef Q_OS_WIN
    const CardHandles::Place::Kind held = CardHandles::hold(path, true, error);
    if (held != CardHandles::Place::NotBelowRoot)
        return held == CardHandles::Place::Found;
#else
    const int fd = CardHandles::openDirectory(path, true, error);
    if (fd >= 0)
        ::close(fd);
    if (fd != -2)
        return fd >= 0;
#endif
    if (QDir().mkpath(path))
        return true;
    *error = QStringLiteral("Cannot create the directory \"%1\"").arg(path);
    return false;
}

bool removeDirectory(const QString &path, QString *error)
{
#ifdef Q_OS_WIN
    // Held like every directory on the way, so that a junction or link at
    // its name is refused (Wine removes the empty directory a link of the
    // host's file system leads to, not the link), then let go of, or
    // Windows would refuse to remove it.
    const CardHandles::Place::Kind held = CardHandles::hold(path, false, error);
    if (held == CardHandles::Place::Failed)
        return false;
    if (held == CardHandles::Place::Found) {
        CardHandles::forget(path);
        if (::RemoveDirectoryW(nativePath(QDir::toNativeSeparators(path))))
            return true;
        *error = QStringLiteral("Cannot remove the directory \"%1\": %2").arg(path, qt_error_string());
        return false;
    }
#else
    const CardHandles::Place place = CardHandles::place(path, false, error);
    if (place.kind == CardHandles::Place::Failed)
        return false;
    if (place.kind == CardHandles::Place::Found) {
        CardHandles::forget(path);
        if (::unlinkat(place.directory, place.name.constData(), AT_REMOVEDIR) == 0)
            return true;
        *error = systemError(QStringLiteral("Cannot remove the directory"), path);
        return false;
    }
#endif
    if (QDir().rmdir(path))
        return true;
    *error = QStringLiteral("Cannot remove the directory \"%1\"").arg(path);
    return false;
}

bool removeFile(const QString &path, QString *error)
{
#ifdef Q_OS_WIN
    // Below the card's root, through held directories: one on the way that
    // is a junction or link is refused, not followed.
    bool missing = false;
    if (!holdWayTo(path, error, &missing))
        return missing;
    const DWORD attributes = attributesOf(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD code = ::GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
            return true;
        *error = QStringLiteral("Cannot examine \"%1\": %2").arg(path, qt_error_string(int(code)));
        return false;
    }
    if (!isPlainFile(attributes)) {
        *error = QStringLiteral("\"%1\" is not a regular file; it is left alone").arg(path);
        return false;
    }
    QFile file(path);
    makeWritable(file);
    if (file.remove())
        return true;
    *error = QStringLiteral("Cannot remove \"%1\": %2").arg(path, file.errorString());
    return false;
#else
    // An existence check that fails for another reason than the file's
    // absence (an I/O error of a card being pulled) is not "already gone".
    // Below the card's root, through the held handle of its directory: a
    // directory on the way swapped for a link is refused, not followed.
    QString walkError;
    const CardHandles::Place place = CardHandles::place(path, false, &walkError);
    if (place.kind == CardHandles::Place::Failed) {
        if (errno == ENOENT || errno == ENOTDIR)
            return true;
        *error = walkError;
        return false;
    }
    const bool held = place.kind == CardHandles::Place::Found;
    const QByteArray name = held ? place.name : QFile::encodeName(path);
    const int directory = held ? place.directory : AT_FDCWD;
    struct stat status;
    if (::fstatat(directory, name.constData(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return true;
        *error = systemError(QStringLiteral("Cannot examine"), path);
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        *error = QStringLiteral("\"%1\" is not a regular file; it is left alone").arg(path);
        return false;
    }
    if (::unlinkat(directory, name.constData(), 0) == 0)
        return true;
    *error = systemError(QStringLiteral("Cannot remove"), path);
    return false;
#endif
}

} // namespace FileSystem
