/*
 * A pass-through FUSE file system that records every operation that changes
 * a card, so that a test can rebuild what a card keeps when power is lost
 * after any of them.
 *
 *   powerlossfs BACKING LOG MOUNTPOINT [fuse options]
 *
 * Every operation is applied to the directory BACKING and, if it changes
 * something, written to LOG as one line of tab-separated fields:
 *
 *   C ino path        file created (ino: the backing file's inode number)
 *   W ino offset hex  data written
 *   T ino size        file truncated
 *   D path            directory created
 *   U path            file removed
 *   R path            directory removed
 *   N from to         renamed
 *   F ino             file flushed to the medium (fsync)
 *   S path            directory flushed to the medium (fsync)
 *   V path            the whole volume flushed to the medium (syncfs)
 *
 * With POWERLOSSFS_REFUSE_FSYNCDIR=1 in the environment every directory
 * flush is refused (EINVAL), as several removable-media drivers do.
 *
 * Paths start with "/" at the card's root. A volume-wide flush (syncfs)
 * never reaches a FUSE file system: a test that wraps syncfs tells us of
 * one by asking for the attribute VOLUME_FLUSHED of any path on the card
 * once the flush has returned, and we record it then. Runs single-threaded, so the log is in the
 * order the operations happened. Page caching is off: every write call of
 * the program arrives here as it is made.
 */
#define FUSE_USE_VERSION 31
#define _GNU_SOURCE

#include <fuse.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#define VOLUME_FLUSHED "user.powerlossfs.volume-flushed"

static int rootFd = -1;
static FILE *logFile;
static int refuseFsyncdir;

/* Paths relative to the backing directory, so nothing goes through the mount. */
static const char *below(const char *path)
{
    return path[1] ? path + 1 : ".";
}

static unsigned long long inodeOf(int fd)
{
    struct stat status;
    return fstat(fd, &status) == 0 ? (unsigned long long)status.st_ino : 0;
}

static void record(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    vfprintf(logFile, format, arguments);
    va_end(arguments);
    fputc('\n', logFile);
    fflush(logFile);
}

static int result(int value)
{
    return value < 0 ? -errno : 0;
}

static void *pl_init(struct fuse_conn_info *connection, struct fuse_config *config)
{
    (void)connection;
    config->direct_io = 1;
    config->entry_timeout = 0;
    config->attr_timeout = 0;
    config->negative_timeout = 0;
    config->hard_remove = 1;
    return NULL;
}

static int pl_getattr(const char *path, struct stat *status, struct fuse_file_info *fi)
{
    if (fi)
        return result(fstat((int)fi->fh, status));
    return result(fstatat(rootFd, below(path), status, AT_SYMLINK_NOFOLLOW));
}

static int pl_readlink(const char *path, char *buffer, size_t size)
{
    const ssize_t length = readlinkat(rootFd, below(path), buffer, size - 1);
    if (length < 0)
        return -errno;
    buffer[length] = '\0';
    return 0;
}

static int pl_opendir(const char *path, struct fuse_file_info *fi)
{
    const int fd = openat(rootFd, below(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    DIR *directory = fdopendir(fd);
    if (!directory) {
        const int error = errno;
        close(fd);
        return -error;
    }
    fi->fh = (uint64_t)(uintptr_t)directory;
    return 0;
}

static int pl_readdir(const char *path, void *buffer, fuse_fill_dir_t fill, off_t offset,
                      struct fuse_file_info *fi, enum fuse_readdir_flags flags)
{
    (void)path;
    (void)offset;
    (void)flags;
    DIR *directory = (DIR *)(uintptr_t)fi->fh;
    rewinddir(directory);
    for (struct dirent *entry = readdir(directory); entry; entry = readdir(directory)) {
        struct stat status;
        memset(&status, 0, sizeof status);
        status.st_ino = entry->d_ino;
        status.st_mode = (mode_t)(DTTOIF(entry->d_type));
        if (fill(buffer, entry->d_name, &status, 0, 0))
            break;
    }
    return 0;
}

static int pl_releasedir(const char *path, struct fuse_file_info *fi)
{
    (void)path;
    closedir((DIR *)(uintptr_t)fi->fh);
    return 0;
}

static int pl_fsyncdir(const char *path, int dataOnly, struct fuse_file_info *fi)
{
    (void)dataOnly;
    if (refuseFsyncdir)
        return -EINVAL;
    if (fsync(dirfd((DIR *)(uintptr_t)fi->fh)) < 0)
        return -errno;
    record("S\t%s", path);
    return 0;
}

/* No attributes are kept: the one asked for is the news of a volume flush. */
static int pl_getxattr(const char *path, const char *name, char *value, size_t size)
{
    (void)value;
    (void)size;
    if (strcmp(name, VOLUME_FLUSHED) == 0)
        record("V\t%s", path);
    return -ENODATA;
}

static int pl_mkdir(const char *path, mode_t mode)
{
    if (mkdirat(rootFd, below(path), mode) < 0)
        return -errno;
    record("D\t%s", path);
    return 0;
}

static int pl_unlink(const char *path)
{
    if (unlinkat(rootFd, below(path), 0) < 0)
        return -errno;
    record("U\t%s", path);
    return 0;
}

static int pl_rmdir(const char *path)
{
    if (unlinkat(rootFd, below(path), AT_REMOVEDIR) < 0)
        return -errno;
    record("R\t%s", path);
    return 0;
}

static int pl_rename(const char *from, const char *to, unsigned int flags)
{
    if (syscall(SYS_renameat2, rootFd, below(from), rootFd, below(to), flags) < 0)
        return -errno;
    record("N\t%s\t%s", from, to);
    return 0;
}

static int pl_chmod(const char *path, mode_t mode, struct fuse_file_info *fi)
{
    if (fi)
        return result(fchmod((int)fi->fh, mode));
    return result(fchmodat(rootFd, below(path), mode, 0));
}

static int pl_chown(const char *path, uid_t user, gid_t group, struct fuse_file_info *fi)
{
    if (fi)
        return result(fchown((int)fi->fh, user, group));
    return result(fchownat(rootFd, below(path), user, group, AT_SYMLINK_NOFOLLOW));
}

static int pl_truncate(const char *path, off_t size, struct fuse_file_info *fi)
{
    int fd = fi ? (int)fi->fh : openat(rootFd, below(path), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    const int ok = ftruncate(fd, size) == 0;
    const int error = errno;
    if (ok)
        record("T\t%llu\t%lld", inodeOf(fd), (long long)size);
    if (!fi)
        close(fd);
    return ok ? 0 : -error;
}

static int pl_utimens(const char *path, const struct timespec times[2], struct fuse_file_info *fi)
{
    if (fi)
        return result(futimens((int)fi->fh, times));
    return result(utimensat(rootFd, below(path), times, AT_SYMLINK_NOFOLLOW));
}

static int pl_create(const char *path, mode_t mode, struct fuse_file_info *fi)
{
    const int fd = openat(rootFd, below(path), fi->flags | O_CREAT | O_CLOEXEC, mode);
    if (fd < 0)
        return -errno;
    fi->fh = (uint64_t)fd;
    record("C\t%llu\t%s", inodeOf(fd), path);
    return 0;
}

static int pl_open(const char *path, struct fuse_file_info *fi)
{
    const int fd = openat(rootFd, below(path), fi->flags | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    fi->fh = (uint64_t)fd;
    return 0;
}

static int pl_read(const char *path, char *buffer, size_t size, off_t offset, struct fuse_file_info *fi)
{
    (void)path;
    const ssize_t count = pread((int)fi->fh, buffer, size, offset);
    return count < 0 ? -errno : (int)count;
}

static int pl_write(const char *path, const char *buffer, size_t size, off_t offset, struct fuse_file_info *fi)
{
    (void)path;
    const ssize_t count = pwrite((int)fi->fh, buffer, size, offset);
    if (count < 0)
        return -errno;
    fprintf(logFile, "W\t%llu\t%lld\t", inodeOf((int)fi->fh), (long long)offset);
    for (ssize_t i = 0; i < count; ++i)
        fprintf(logFile, "%02x", (unsigned char)buffer[i]);
    record("%s", "");
    return (int)count;
}

static int pl_statfs(const char *path, struct statvfs *status)
{
    (void)path;
    return result(fstatvfs(rootFd, status));
}

static int pl_release(const char *path, struct fuse_file_info *fi)
{
    (void)path;
    close((int)fi->fh);
    return 0;
}

static int pl_fsync(const char *path, int dataOnly, struct fuse_file_info *fi)
{
    (void)path;
    (void)dataOnly;
    if (fsync((int)fi->fh) < 0)
        return -errno;
    record("F\t%llu", inodeOf((int)fi->fh));
    return 0;
}

static const struct fuse_operations operations = {
    .init = pl_init,
    .getattr = pl_getattr,
    .readlink = pl_readlink,
    .opendir = pl_opendir,
    .readdir = pl_readdir,
    .releasedir = pl_releasedir,
    .fsyncdir = pl_fsyncdir,
    .getxattr = pl_getxattr,
    .mkdir = pl_mkdir,
    .unlink = pl_unlink,
    .rmdir = pl_rmdir,
    .rename = pl_rename,
    .chmod = pl_chmod,
    .chown = pl_chown,
    .truncate = pl_truncate,
    .utimens = pl_utimens,
    .create = pl_create,
    .open = pl_open,
    .read = pl_read,
    .write = pl_write,
    .statfs = pl_statfs,
    .release = pl_release,
    .fsync = pl_fsync,
};

int main(int argc, char *argv[])
{
    if (argc < 4) {
        fprintf(stderr, "usage: %s BACKING LOG MOUNTPOINT [fuse options]\n", argv[0]);
        return 2;
    }
    const char *refuse = getenv("POWERLOSSFS_REFUSE_FSYNCDIR");
    refuseFsyncdir = refuse && strcmp(refuse, "1") == 0;
    rootFd = open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (rootFd < 0) {
        perror(argv[1]);
        return 1;
    }
    logFile = fopen(argv[2], "we");
    if (!logFile) {
        perror(argv[2]);
        return 1;
    }
    /* The mount point and options follow; always in the foreground, one thread. */
    char **fuseArguments = calloc((size_t)argc + 2, sizeof *fuseArguments);
    int count = 0;
    fuseArguments[count++] = argv[0];
    fuseArguments[count++] = "-f";
    fuseArguments[count++] = "-s";
    for (int i = 3; i < argc; ++i)
        fuseArguments[count++] = argv[i];
    const int status = fuse_main(count, fuseArguments, &operations, NULL);
    fclose(logFile);
    free(fuseArguments);
    return status;
}
