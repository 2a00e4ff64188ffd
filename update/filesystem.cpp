#include "filesystem.h"

#include "helpers/io.h"

#include <QDir>
#include <QFile>

#ifdef Q_OS_WIN
#include <io.h>
#include <qt_windows.h>
#else
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <sys/sendfile.h>
#endif

namespace FileSystem {
namespace {

#ifndef Q_OS_WIN
QString systemError(const QString &what, const QString &path)
{
    return QStringLiteral("%1 \"%2\": %3").arg(what, path, qt_error_string(errno));
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

bool syncDirectory(const QString &path, QString *error)
{
#ifdef Q_OS_WIN
    // A directory opens only with FILE_FLAG_BACKUP_SEMANTICS, and
    // FlushFileBuffers needs write access to it. On a FAT or exFAT card the
    // flush writes out the directory's entries (names, sizes, first
    // clusters) and the allocation table behind them: the renames and
    // removals of a step are on the medium before the next step relies on
    // them. Where the system refuses a directory flush (access denied, or a
    // file system without one), the moves themselves were written through
    // (MOVEFILE_WRITE_THROUGH) and nothing more can be asked for.
    const HANDLE handle = ::CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()),
                                       GENERIC_READ | GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = ::GetLastError();
        if (code == ERROR_ACCESS_DENIED)
            return true;
        *error = QStringLiteral("Cannot open directory \"%1\": %2").arg(path, qt_error_string(int(code)));
        return false;
    }
    bool ok = ::FlushFileBuffers(handle);
    const DWORD code = ::GetLastError();
    if (!ok && (code == ERROR_ACCESS_DENIED || code == ERROR_INVALID_FUNCTION || code == ERROR_NOT_SUPPORTED))
        ok = true;
    if (!ok)
        *error = QStringLiteral("Cannot flush directory \"%1\": %2").arg(path, qt_error_string(int(code)));
    ::CloseHandle(handle);
    return ok;
#else
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        *error = systemError(QStringLiteral("Cannot open directory"), path);
        return false;
    }
    const bool ok = ::fsync(fd) == 0 || errno == EINVAL; // some file systems cannot sync a directory
    if (!ok)
        *error = systemError(QStringLiteral("Cannot flush directory"), path);
    ::close(fd);
    return ok;
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
    Q_UNUSED(path)
    Q_UNUSED(error)
    return true; // every file and directory was flushed on its own; the volume needs rights we lack
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
    const bool ok = ::MoveFileExW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(from).utf16()),
                                  reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(to).utf16()),
                                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!ok)
        *error = QStringLiteral("Cannot move \"%1\" to \"%2\": %3").arg(from, to, qt_error_string());
    return ok;
#else
    if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
        return true;
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
    const QFileDevice::Permissions permissions = file.permissions();
    if (!(permissions & QFileDevice::WriteOwner))
        file.setPermissions(permissions | QFileDevice::WriteOwner | QFileDevice::WriteUser);
}

bool removeFile(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.exists())
        return true;
    makeWritable(file);
    if (file.remove())
        return true;
    *error = QStringLiteral("Cannot remove \"%1\": %2").arg(path, file.errorString());
    return false;
}

} // namespace FileSystem
