#include "powerlosscard.h"

#include "childprocess.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QThread>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <numeric>
#include <cerrno>
#include <climits>
#include <cstring>

namespace {

struct Operation {
    char kind = 0;    // one of the letters powerlossfs writes
    int file = -1;    // the file written, truncated, created or flushed
    QString path;     // starts with "/"
    QString target;   // of a rename
    qint64 offset = 0; // of a write; the size of a truncation
    QByteArray data;
    QStringList flushesNeeded; // what must be flushed for the change to be on the medium
    int durableAt = INT_MAX;   // index of the operation that completes that
};

// A choice of operations marks a rename that lands as one half alone.
constexpr int IndexMask = (1 << 28) - 1;
constexpr int NewNameOnly = 1 << 28;
constexpr int OldNameRemovedOnly = 2 << 28;

bool isFlush(const Operation &operation)
{
    return operation.kind == 'F' || operation.kind == 'S' || operation.kind == 'V';
}

bool isNameChange(const Operation &operation)
{
    return operation.kind == 'C' || operation.kind == 'D' || operation.kind == 'U' || operation.kind == 'R'
        || operation.kind == 'N';
}

QString parentOf(const QString &path)
{
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    return slash <= 0 ? QStringLiteral("/") : path.left(slash);
}

QString fileKey(int file)
{
    return QLatin1Char('F') + QString::number(file);
}

QString directoryKey(const QString &path)
{
    return QLatin1Char('S') + path;
}

// The orders in which changes may reach the medium: every subset of them,
// or, when there are more than MaxReorderedChanges, each one alone and
// every one but one (2^n states would take hours for a few more files).
QList<QVector<int>> reorderings(const QVector<int> &changes)
{
    QList<QVector<int>> subsets;
    if (changes.size() <= PowerLossCard::MaxReorderedChanges) {
        for (int mask = 0; mask < (1 << changes.size()); ++mask) {
            QVector<int> subset;
            for (int bit = 0; bit < changes.size(); ++bit) {
                if (mask & (1 << bit))
                    subset.append(changes.at(bit));
            }
            subsets.append(subset);
        }
        return subsets;
    }
    for (int leftOut = 0; leftOut < changes.size(); ++leftOut) {
        QVector<int> allButOne = changes;
        allButOne.remove(leftOut);
        subsets << allButOne << QVector<int>{changes.at(leftOut)};
    }
    return subsets;
}

quint64 inodeOf(const QString &path)
{
    struct stat status;
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? quint64(status.st_ino) : 0;
}

quint64 deviceOf(const QString &path)
{
    struct stat status;
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? quint64(status.st_dev) : 0;
}

} // namespace

class PowerLossCard::Private
{
public:
    bool parseLog();
    void findDurability();
    Card rebuild(const QVector<int> &applied) const;

    QList<QVector<int>> tornChoices(const QVector<int> &durable, const QVector<int> &pending) const;
    QList<QVector<int>> unorderedChoices(const QVector<int> &durable, const QVector<int> &pending) const;

    PowerLossCard::Model model = PowerLossCard::Ordered;
    QTemporaryDir base{QStringLiteral("/tmp/zuv-powerloss-XXXXXX")};
    QScopedPointer<ChildProcess> fileSystem;
    bool mounted = false;
    QStringList initialDirectories;     // "/SUB"
    QMap<QString, int> initialNames;    // "/SUB/b.bin" -> file
    QHash<quint64, int> fileOfInode;    // the backing inode -> file, latest first
    QVector<QByteArray> initialContent; // by file
    QVector<Operation> operations;

    QString backingPath() const { return base.filePath(QStringLiteral("backing")); }
    QString cardPath() const { return base.filePath(QStringLiteral("card")); }
    QString logPath() const { return base.filePath(QStringLiteral("operations.log")); }
};

bool PowerLossCard::Private::parseLog()
{
    QFile log(logPath());
    if (!log.open(QIODevice::ReadOnly)) {
        qWarning("cannot read the operation log: %s", qPrintable(log.errorString()));
        return false;
    }
    int nextFile = initialContent.size();
    const QList<QByteArray> lines = log.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.isEmpty())
            continue;
        const QList<QByteArray> fields = line.split('\t');
        Operation operation;
        operation.kind = fields.at(0).at(0);
        const quint64 inode = fields.value(1).toULongLong();
        switch (operation.kind) {
        case 'C':
            operation.file = nextFile++;
            fileOfInode.insert(inode, operation.file);
            operation.path = QString::fromUtf8(fields.value(2));
            break;
        case 'W':
            operation.data = QByteArray::fromHex(fields.value(3));
            Q_FALLTHROUGH();
        case 'T':
            operation.offset = fields.value(2).toLongLong();
            Q_FALLTHROUGH();
        case 'F':
            operation.file = fileOfInode.value(inode, -1);
            break;
        case 'N':
            operation.target = QString::fromUtf8(fields.value(2));
            Q_FALLTHROUGH();
        case 'D':
        case 'U':
        case 'R':
        case 'S':
        case 'V':
            operation.path = QString::fromUtf8(fields.value(1));
            break;
        default:
            qWarning("unknown operation in the log: %s", line.constData());
            return false;
        }
        operations.append(operation);
    }
    findDurability();
    return true;
}

// Which flush puts each change on the medium, if any does.
void PowerLossCard::Private::findDurability()
{
    for (Operation &operation : operations) {
        switch (operation.kind) {
        case 'W':
        case 'T':
            operation.flushesNeeded = QStringList{fileKey(operation.file)};
            break;
        case 'N':
            operation.flushesNeeded = QStringList{directoryKey(parentOf(operation.path)), directoryKey(parentOf(operation.target))};
            break;
        case 'C':
        case 'D':
        case 'U':
        case 'R':
            operation.flushesNeeded = QStringList{directoryKey(parentOf(operation.path))};
            break;
        default:
            break;
        }
    }
    for (int i = 0; i < operations.size(); ++i) {
        Operation &operation = operations[i];
        if (isFlush(operation))
            continue;
        int durableAt = -1;
        for (const QString &key : qAsConst(operation.flushesNeeded)) {
            int flush = i + 1;
            for (; flush < operations.size(); ++flush) {
                const Operation &candidate = operations.at(flush);
                if (candidate.kind == 'V' || (candidate.kind == 'F' && fileKey(candidate.file) == key)
                    || (candidate.kind == 'S' && directoryKey(candidate.path) == key))
                    break;
            }
            durableAt = qMax(durableAt, flush < operations.size() ? flush : INT_MAX);
        }
        operation.durableAt = durableAt;
    }
}

// Applies the chosen operations to the first card, in the order they were
// made. A change that depends on one left out (a file in a directory that
// is not there, a rename of a name that is not there) has no effect, as on
// the medium, where it would be unreachable.
PowerLossCard::Card PowerLossCard::Private::rebuild(const QVector<int> &applied) const
{
    QMap<QString, int> names = initialNames;
    QSet<QString> directories(initialDirectories.cbegin(), initialDirectories.cend());
    directories.insert(QStringLiteral("/"));
    QVector<QByteArray> content = initialContent;
    const auto isEmptyDirectory = [&](const QString &path) {
        const QString prefix = path + QLatin1Char('/');
        const auto below = names.lowerBound(prefix);
        if (below != names.cend() && below.key().startsWith(prefix))
            return false;
        for (const QString &directory : qAsConst(directories)) {
            if (directory.startsWith(prefix))
                return false;
        }
        return true;
    };
    for (const int choice : applied) {
        const Operation &operation = operations.at(choice & IndexMask);
        if (operation.file >= content.size())
            content.resize(operation.file + 1);
        QByteArray *data = operation.file >= 0 ? &content[operation.file] : nullptr;
        switch (operation.kind) {
        case 'C':
            if (directories.contains(parentOf(operation.path)) && !directories.contains(operation.path))
                names.insert(operation.path, operation.file);
            break;
        case 'W':
            if (data) {
                if (data->size() < operation.offset + operation.data.size())
                    data->resize(int(operation.offset + operation.data.size()));
                data->replace(int(operation.offset), operation.data.size(), operation.data);
            }
            break;
        case 'T':
            if (data)
                data->resize(int(operation.offset));
            break;
        case 'D':
            if (directories.contains(parentOf(operation.path)) && !names.contains(operation.path))
                directories.insert(operation.path);
            break;
        case 'U':
            names.remove(operation.path);
            break;
        case 'R':
            if (isEmptyDirectory(operation.path))
                directories.remove(operation.path);
            break;
        case 'N':
            if ((choice & OldNameRemovedOnly) != 0) {
                names.remove(operation.path);
            } else if (names.contains(operation.path) && directories.contains(parentOf(operation.target))
                       && !directories.contains(operation.target)) {
                const int file = (choice & NewNameOnly) != 0 ? names.value(operation.path) : names.take(operation.path);
                names.insert(operation.target, file);
            }
            break;
        default:
            break;
        }
    }
    Card card;
    for (const QString &directory : qAsConst(directories)) {
        if (directory != QLatin1String("/"))
            card.insert(directory.mid(1) + QLatin1Char('/'), QByteArray());
    }
    for (auto it = names.cbegin(); it != names.cend(); ++it)
        card.insert(it.key().mid(1), content.value(it.value()));
    return card;
}

QString PowerLossCard::unavailableReason()
{
    if (qgetenv("ZUV_TEST_MOUNT_NAMESPACE") != "1")
        return QStringLiteral("a recording card needs a private mount namespace");
    if (!QFileInfo(QStringLiteral(ZUV_POWERLOSSFS_PROGRAM)).isExecutable())
        return QStringLiteral("powerlossfs was not built (libfuse3 is missing)");
    const int fuse = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fuse < 0)
        return QStringLiteral("/dev/fuse cannot be opened: FUSE is not available here");
    ::close(fuse);
    return {};
}

PowerLossCard::PowerLossCard(Model model)
    : d(new Private)
{
    d->model = model;
}

// Each rename not yet on the medium torn into either half, alone and with
// everything pending after it, and every one of them torn the same way.
QList<QVector<int>> PowerLossCard::Private::tornChoices(const QVector<int> &durable, const QVector<int> &pending) const
{
    QList<QVector<int>> choices;
    for (const int half : {NewNameOnly, OldNameRemovedOnly}) {
        QVector<int> allTorn = durable;
        for (int i = 0; i < pending.size(); ++i) {
            const bool rename = operations.at(pending.at(i)).kind == 'N';
            allTorn.append(rename ? pending.at(i) | half : pending.at(i));
            if (!rename)
                continue;
            choices.append(durable + pending.mid(0, i) + QVector<int>{pending.at(i) | half});
            choices.append(durable + pending.mid(0, i) + QVector<int>{pending.at(i) | half} + pending.mid(i + 1));
        }
        choices.append(allTorn);
    }
    return choices;
}

// The name changes not on the medium land as any subset of them (each
// alone and every one but one where there are more than
// MaxReorderedChanges), with none or all of the data not flushed.
QList<QVector<int>> PowerLossCard::Private::unorderedChoices(const QVector<int> &durable,
                                                             const QVector<int> &pending) const
{
    QVector<int> names;
    QVector<int> data;
    for (const int i : pending)
        (isNameChange(operations.at(i)) ? names : data).append(i);
    const QList<QVector<int>> subsets = reorderings(names);
    QList<QVector<int>> choices;
    for (const QVector<int> &subset : qAsConst(subsets))
        choices << durable + subset << durable + subset + data;
    return choices;
}

PowerLossCard::~PowerLossCard()
{
    if (d->mounted)
        ::umount2(QFile::encodeName(d->cardPath()).constData(), MNT_DETACH);
    if (d->fileSystem && !d->fileSystem->waitForFinished(5000))
        d->fileSystem->kill();
}

bool PowerLossCard::mount(const Card &initial)
{
    if (!d->base.isValid() || !QDir().mkpath(d->cardPath()) || !QDir().mkpath(d->backingPath())
        || !writeCard(d->backingPath(), initial))
        return false;
    for (auto it = initial.cbegin(); it != initial.cend(); ++it) {
        if (it.key().endsWith(QLatin1Char('/')))
            continue;
        const QString name = QLatin1Char('/') + it.key();
        for (QString directory = parentOf(name); directory != QLatin1String("/"); directory = parentOf(directory)) {
            if (!d->initialDirectories.contains(directory))
                d->initialDirectories.append(directory);
        }
        d->initialNames.insert(name, d->initialContent.size());
        d->fileOfInode.insert(inodeOf(d->backingPath() + name), d->initialContent.size());
        d->initialContent.append(it.value());
    }
    for (auto it = initial.cbegin(); it != initial.cend(); ++it) {
        if (it.key().endsWith(QLatin1Char('/')) && !d->initialDirectories.contains(QLatin1Char('/') + it.key().chopped(1)))
            d->initialDirectories.append(QLatin1Char('/') + it.key().chopped(1));
    }

    d->fileSystem.reset(new ChildProcess);
    d->fileSystem->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("POWERLOSSFS_REFUSE_FSYNCDIR"),
                       d->model == RefusedDirectoryFlushes ? QStringLiteral("1") : QStringLiteral("0"));
    d->fileSystem->setProcessEnvironment(environment);
    d->fileSystem->start(QStringLiteral(ZUV_POWERLOSSFS_PROGRAM),
                         {d->backingPath(), d->logPath(), d->cardPath(), QStringLiteral("-o"),
                          QStringLiteral("fsname=zuvcard")});
    const quint64 baseDevice = deviceOf(d->base.path());
    QElapsedTimer waited;
    waited.start();
    while (deviceOf(d->cardPath()) == baseDevice) {
        if (d->fileSystem->state() == QProcess::NotRunning || waited.elapsed() > 10000) {
            qWarning("powerlossfs did not mount the card");
            return false;
        }
        QThread::msleep(10);
    }
    d->mounted = true;
    return true;
}

QString PowerLossCard::rootPath() const
{
    return d->cardPath();
}

bool PowerLossCard::unmount()
{
    const QByteArray target = QFile::encodeName(d->cardPath());
    for (int attempt = 0; ::umount2(target.constData(), 0) != 0; ++attempt) {
        if (errno != EBUSY || attempt == 50) {
            qWarning("cannot unmount the card: %s", strerror(errno));
            return false;
        }
        QThread::msleep(20);
    }
    d->mounted = false;
    if (!d->fileSystem->waitForFinished(10000)) {
        qWarning("powerlossfs did not end after the unmount");
        return false;
    }
    return d->parseLog();
}

int PowerLossCard::operationCount() const
{
    return d->operations.size();
}

void PowerLossCard::noteVolumeFlush(int fd)
{
    char value;
    ::fgetxattr(fd, "user.powerlossfs.volume-flushed", &value, sizeof value);
}

int PowerLossCard::flushCount() const
{
    return int(std::count_if(d->operations.cbegin(), d->operations.cend(), isFlush));
}

QString PowerLossCard::operationText(int index) const
{
    const Operation &operation = d->operations.at(index);
    QString text = QStringLiteral("%1 %2").arg(QLatin1Char(operation.kind)).arg(operation.path);
    if (operation.kind == 'N')
        text += QStringLiteral(" -> ") + operation.target;
    if (operation.file >= 0)
        text += QStringLiteral(" (file %1)").arg(operation.file);
    return text;
}

int PowerLossCard::pendingAfter(int k) const
{
    int pending = 0;
    for (int i = 0; i < k; ++i) {
        const Operation &operation = d->operations.at(i);
        pending += !isFlush(operation) && operation.durableAt >= k;
    }
    return pending;
}

QList<PowerLossCard::Card> PowerLossCard::cardsAfterCut(int k) const
{
    QVector<int> durable;
    QVector<int> pending;
    for (int i = 0; i < k; ++i) {
        const Operation &operation = d->operations.at(i);
        if (!isFlush(operation))
            (operation.durableAt < k ? durable : pending).append(i);
    }
    QList<QVector<int>> choices;
    for (int count = 0; count <= pending.size(); ++count)
        choices.append(durable + pending.mid(0, count));
    if (d->model == TornRenames)
        choices += d->tornChoices(durable, pending);
    if (d->model == RefusedDirectoryFlushes)
        choices += d->unorderedChoices(durable, pending);

    if (k < d->operations.size() && isFlush(d->operations.at(k))) {
        QVector<int> covered;
        for (const int i : qAsConst(pending)) {
            if (d->operations.at(i).durableAt == k)
                covered.append(i);
        }
        for (const QVector<int> &subset : reorderings(covered))
            choices.append(durable + subset);
    }

    QList<Card> cards;
    QSet<QByteArray> seen;
    for (QVector<int> &choice : choices) {
        std::sort(choice.begin(), choice.end(), [](int a, int b) { return (a & IndexMask) < (b & IndexMask); });
        const Card card = d->rebuild(choice);
        QCryptographicHash hash(QCryptographicHash::Sha1);
        for (auto it = card.cbegin(); it != card.cend(); ++it) {
            hash.addData(it.key().toUtf8() + '\0' + QByteArray::number(it.value().size()) + '\0');
            hash.addData(it.value());
        }
        if (!seen.contains(hash.result())) {
            seen.insert(hash.result());
            cards.append(card);
        }
    }
    return cards;
}

PowerLossCard::Card PowerLossCard::cardAsWritten(int k) const
{
    QVector<int> everything(k);
    std::iota(everything.begin(), everything.end(), 0);
    return d->rebuild(everything);
}

bool PowerLossCard::writeCard(const QString &root, const Card &card)
{
    for (auto it = card.cbegin(); it != card.cend(); ++it) {
        const QString path = root + QLatin1Char('/') + it.key();
        if (it.key().endsWith(QLatin1Char('/'))) {
            if (!QDir().mkpath(path))
                return false;
            continue;
        }
        QFile file(path);
        if (!QDir().mkpath(QFileInfo(path).path()) || !file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            || file.write(it.value()) != it.value().size()) {
            qWarning("cannot write %s: %s", qPrintable(path), qPrintable(file.errorString()));
            return false;
        }
    }
    return true;
}

PowerLossCard::Card PowerLossCard::readCard(const QString &root)
{
    Card card;
    const QDir rootDir(root);
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = rootDir.relativeFilePath(path);
        if (it.fileInfo().isDir()) {
            card.insert(relative + QLatin1Char('/'), QByteArray());
            continue;
        }
        QFile file(path);
        card.insert(relative, file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray());
    }
    return card;
}
