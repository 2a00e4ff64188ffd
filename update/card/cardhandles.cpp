#include "cardhandles_p.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QHash>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The POSIX walk; cardhandles_windows.cpp holds the Windows one.

class CardHandles::Private
{
public:
    QString root;
    CardHandles *outer = nullptr;
    int rootDescriptor = -1;
    quint64 volume = 0;
    // Relative directory path -> its held descriptor.
    QHash<QString, int> directories;

    int walk(const QString &relativeDirectory, bool create, QString *error);
    int openComponent(int parent, const QString &relativePath, bool create, QString *error);
};

namespace {
thread_local CardHandles *active = nullptr;

// The path of path below root, or a null string when it is not below it.
QString relativeTo(const QString &root, const QString &path)
{
    const QString clean = QDir::cleanPath(path);
    if (clean == root)
        return QStringLiteral(".");
    if (!clean.startsWith(root + QLatin1Char('/')))
        return QString();
    return clean.mid(root.size() + 1);
}
} // namespace

CardHandles::CardHandles(const QString &root)
    : d(new Private)
{
    d->root = QDir::cleanPath(root);
    // The root itself is the card's mount point: reached by path once.
    d->rootDescriptor = ::open(QFile::encodeName(d->root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat status;
    if (d->rootDescriptor >= 0 && ::fstat(d->rootDescriptor, &status) == 0)
        d->volume = quint64(status.st_dev);
    if (d->rootDescriptor < 0)
        qDebug() << Q_FUNC_INFO << "Cannot open the card's root, working by path:" << d->root;
    d->outer = active;
    if (d->rootDescriptor >= 0) {
        active = this;
    }
}

CardHandles::~CardHandles()
{
    for (const int descriptor : qAsConst(d->directories))
        ::close(descriptor);
    if (d->rootDescriptor >= 0) {
        ::close(d->rootDescriptor);
        active = d->outer;
    }
    delete d;
}

// Opens one directory below parent without following a link, creating it
// first when asked; a link or anything but a directory is refused.
int CardHandles::Private::openComponent(int parent, const QString &relativePath, bool create, QString *error)
{
    const QByteArray name = QFile::encodeName(relativePath.section(QLatin1Char('/'), -1));
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int descriptor = ::openat(parent, name.constData(), flags);
    if (descriptor < 0 && errno == ENOENT && create) {
        if (::mkdirat(parent, name.constData(), 0777) != 0 && errno != EEXIST) {
            *error = QStringLiteral("Cannot create the directory \"%1\": %2").arg(root + QLatin1Char('/') + relativePath, qt_error_string(errno));
            return -1;
        }
        descriptor = ::openat(parent, name.constData(), flags);
    }
    struct stat status;
    if (descriptor >= 0 && (::fstat(descriptor, &status) != 0 || quint64(status.st_dev) != volume)) {
        ::close(descriptor);
        descriptor = -1;
        errno = EXDEV;
    }
    if (descriptor >= 0)
        return descriptor;
    int code = errno;
    // A link is told apart from a file in the way: nothing is below a
    // file, but a link would lead off the card.
    if (code == ENOTDIR && ::fstatat(parent, name.constData(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode))
        code = ELOOP;
    const QString path = root + QLatin1Char('/') + relativePath;
    if (code == ELOOP)
        *error = QStringLiteral("\"%1\" on the card is a link; nothing is written through it").arg(path);
    else if (code == EXDEV)
        *error = QStringLiteral("\"%1\" on the card is another volume; nothing is written through it").arg(path);
    else if (code == ENOTDIR)
        *error = QStringLiteral("\"%1\" on the card is not a directory").arg(path);
    else
        *error = QStringLiteral("Cannot open the directory \"%1\": %2").arg(path, qt_error_string(code));
    errno = code;
    return -1;
}

// The held descriptor of a directory below the root, each directory on the
// way opened once from the one above it.
int CardHandles::Private::walk(const QString &relativeDirectory, bool create, QString *error)
{
    if (relativeDirectory == QLatin1String("."))
        return rootDescriptor;
    int parent = rootDescriptor;
    QString prefix;
    const QStringList components = relativeDirectory.split(QLatin1Char('/'));
    for (const QString &component : components) {
        if (component.isEmpty() || component == QLatin1String("..") || component == QLatin1String(".")) {
            *error = QStringLiteral("\"%1\" is not a path on the card").arg(root + QLatin1Char('/') + relativeDirectory);
            errno = EINVAL;
            return -1;
        }
        prefix = prefix.isEmpty() ? component : prefix + QLatin1Char('/') + component;
        int descriptor = directories.value(prefix, -1);
        if (descriptor < 0) {
            descriptor = openComponent(parent, prefix, create, error);
            if (descriptor < 0)
                return -1;
            directories.insert(prefix, descriptor);
        }
        parent = descriptor;
    }
    return parent;
}

CardHandles::Place CardHandles::place(const QString &path, bool create, QString *error)
{
    Place result;
    if (!active)
        return result;
    Private *const activePrivate = active->d;
    const QString relative = relativeTo(activePrivate->root, path);
    if (relative.isNull() || relative == QLatin1String("."))
        return result;
    const int slash = relative.lastIndexOf(QLatin1Char('/'));
    const QString directory = slash < 0 ? QStringLiteral(".") : relative.left(slash);
    result.directory = activePrivate->walk(directory, create, error);
    result.kind = result.directory < 0 ? Place::Failed : Place::Found;
    result.name = QFile::encodeName(relative.mid(slash + 1));
    return result;
}

int CardHandles::openDirectory(const QString &path, bool create, QString *error)
{
    if (!active)
        return -2;
    Private *const activePrivate = active->d;
    const QString relative = relativeTo(activePrivate->root, path);
    if (relative.isNull())
        return -2;
    const int held = activePrivate->walk(relative, create, error);
    if (held < 0)
        return -1;
    const int descriptor = ::fcntl(held, F_DUPFD_CLOEXEC, 0);
    if (descriptor < 0)
        *error = QStringLiteral("Cannot open the directory \"%1\": %2").arg(path, qt_error_string(errno));
    return descriptor;
}

void CardHandles::forget(const QString &path)
{
    if (!active)
        return;
    Private *const activePrivate = active->d;
    const QString relative = relativeTo(activePrivate->root, path);
    if (relative.isNull() || relative == QLatin1String("."))
        return;
    for (auto it = activePrivate->directories.begin(); it != activePrivate->directories.end();) {
        if (it.key() == relative || it.key().startsWith(relative + QLatin1Char('/'))) {
            ::close(it.value());
            it = activePrivate->directories.erase(it);
        } else {
            ++it;
        }
    }
}
