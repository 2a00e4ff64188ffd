#include "update/card/devicewriter.h"
#include "update/card/devicewriter_p.h"

#include "testfiles.h"
#include "volume.h"

#include "update/card/cardhandles_p.h"
#include "update/card/filesystem.h"
#include "update/card/writerjournal_p.h"

#include <QAtomicInt>
#include <QDirIterator>
#include <QDeadlineTimer>
#include <QDir>
#include <QProcess>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <cstdio>
#include <cstdlib>
#include <functional>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef Q_OS_WIN
#include <qt_windows.h>
#include <winioctl.h>
#endif

namespace {

const char ChildVariable[] = "ZUV_TEST_WRITER_CHILD";

// What a card or folder holds, without opening anything but regular files:
// names with their kind, content and mode.
Files contentOf(const QString &root)
{
    Files entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info = it.fileInfo();
        QByteArray entry = QByteArray::number(int(info.permissions()), 16) + ' ';
        if (info.isSymLink())
            entry += "link to " + info.symLinkTarget().toUtf8();
        else if (info.isDir())
            entry += "directory";
        else if (!info.isFile())
            entry += "special";
        else if (QFile file(path); file.open(QIODevice::ReadOnly))
            entry += file.readAll();
        entries.insert(QDir(root).relativeFilePath(path), entry);
    }
    return entries;
}

// A folder of the user's beside the card, and SUB on the card made a link
// to it.
const Files Outside{{"b.bin", "the user's own b"}, {"b.bin.zuv-old", "the user's old b"}};

#ifdef Q_OS_WIN
// The links a test made on the card, removed by cleanup().
QStringList madeLinks;

const wchar_t *nativePath(const QString &native)
{
    return reinterpret_cast<const wchar_t *>(native.utf16());
}

bool isReparsePoint(const QString &path)
{
    const DWORD attributes = ::GetFileAttributesW(nativePath(QDir::toNativeSeparators(path)));
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Where an existing path lies in the file system of the host Wine runs
// on; empty when this is not Wine.
QByteArray hostPath(const QString &path)
{
    using UnixFileName = char *(CDECL *)(LPCWSTR);
    const auto unixFileName = reinterpret_cast<UnixFileName>(
        reinterpret_cast<void *>(::GetProcAddress(::GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
    char *name = unixFileName ? unixFileName(nativePath(QDir::toNativeSeparators(path))) : nullptr;
    const QByteArray result(name);
    if (name)
        ::HeapFree(::GetProcessHeap(), 0, name);
    return result;
}

// Runs a program of Wine's host (Wine starts a program of the host's as
// it starts a Windows one, but tells nothing of how it ended), and waits
// until what it does shows: until done() or for at most 30 s.
bool runOnHost(const QByteArrayList &command, const std::function<bool()> &done)
{
    QString line;
    for (const QByteArray &argument : command)
        line += QLatin1Char('"') + QString::fromLocal8Bit(argument) + QStringLiteral("\" ");
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(nullptr, const_cast<wchar_t *>(nativePath(line)), nullptr, nullptr, FALSE, 0, nullptr,
                          nullptr, &startup, &process))
        return false;
    ::WaitForSingleObject(process.hProcess, 30000);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    QDeadlineTimer deadline(30000);
    while (!done() && !deadline.hasExpired())
        QThread::msleep(20);
    return done();
}

// A junction: the reparse point Windows makes for a directory without any
// privilege.
QString makeJunction(const QString &link, const QString &target)
{
    if (!QDir().mkdir(link))
        return QStringLiteral("cannot create \"%1\"").arg(link);
    const HANDLE handle = ::CreateFileW(nativePath(QDir::toNativeSeparators(link)), GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    // The mount-point form of a reparse buffer: tag, sizes, then the
    // substitute name ("\??\C:\...") and the print name, each ended by a 0.
    const QString substitute = QStringLiteral("\\??\\") + QDir::toNativeSeparators(target);
    const QString print = QDir::toNativeSeparators(target);
    const auto bytes = [](const QString &text) { return ushort(text.size() * 2); };
    QByteArray names = QByteArray(reinterpret_cast<const char *>(substitute.utf16()), bytes(substitute) + 2)
        + QByteArray(reinterpret_cast<const char *>(print.utf16()), bytes(print) + 2);
    const ushort header[] = {0, bytes(substitute), ushort(bytes(substitute) + 2), bytes(print)};
    const ushort dataLength = ushort(sizeof header + names.size());
    const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
    QByteArray buffer(reinterpret_cast<const char *>(&tag), sizeof tag);
    buffer += QByteArray(reinterpret_cast<const char *>(&dataLength), 2) + QByteArray(2, '\0');
    buffer += QByteArray(reinterpret_cast<const char *>(header), sizeof header) + names;
    DWORD returned = 0;
    const bool made = handle != INVALID_HANDLE_VALUE
        && ::DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, buffer.data(), DWORD(buffer.size()), nullptr, 0, &returned, nullptr);
    const DWORD code = ::GetLastError();
    if (handle != INVALID_HANDLE_VALUE)
        ::CloseHandle(handle);
    if (made)
        return QString();
    QDir().rmdir(link);
    return QStringLiteral("no junctions here (FSCTL_SET_REPARSE_POINT: %1)").arg(qt_error_string(int(code)));
}

QString makeHostLink(const QString &link, const QString &target)
{
    const QByteArray hostTarget = hostPath(target);
    const QByteArray hostParent = hostPath(QFileInfo(link).path());
    if (hostTarget.isEmpty() || hostParent.isEmpty())
        return QStringLiteral("not under Wine: there is no host file system to make a link in");
    const QByteArray hostLink = hostParent + '/' + QFile::encodeName(QFileInfo(link).fileName());
    if (!runOnHost({"/bin/ln", "-s", hostTarget, hostLink}, [link] { return isReparsePoint(link); }))
        return QStringLiteral("Wine's host did not make the link \"%1\" with /bin/ln").arg(link);
    return QString();
}
#endif

// The directory name on the card made a link to target, a folder outside
// it: a symbolic link ("link") on Linux; on Windows a "junction" (which any
// user may make; a symbolic link is the same reparse point to the writer),
// or a "link" of the host's file system under Wine. Empty
// when it is in place, else why this system cannot make it.
QString linkOutside(const QString &root, const QString &name, const QString &target,
                    const QString &kind = QStringLiteral("link"))
{
    const QString link = root + QLatin1Char('/') + name;
    if (QFileInfo::exists(link) && !QDir(link).removeRecursively())
        return QStringLiteral("cannot remove \"%1\"").arg(link);
#ifdef Q_OS_WIN
    madeLinks.append(link);
    return kind == QLatin1String("junction") ? makeJunction(link, target) : makeHostLink(link, target);
#else
    Q_UNUSED(kind)
    return QFile::link(target, link) ? QString() : QStringLiteral("cannot link \"%1\"").arg(link);
#endif
}

void linkSubOutside(const QString &root, const QString &outside)
{
    const QString why = linkOutside(root, QStringLiteral("SUB"), outside);
    QVERIFY2(why.isEmpty(), qPrintable(why));
}

// Takes the links of a test off the card (the links, never what they lead
// to, which QDir::removeRecursively would empty under Wine).
void removeLinks()
{
#ifdef Q_OS_WIN
    for (const QString &link : qAsConst(madeLinks)) {
        // rm removes no directory, and a link whose folder went is removed too.
        const QByteArray host = hostPath(QFileInfo(link).path());
        if (!host.isEmpty())
            runOnHost({"/bin/rm", host + '/' + QFile::encodeName(QFileInfo(link).fileName())},
                      [link] { return !isReparsePoint(link); });
        else if (isReparsePoint(link))
            ::RemoveDirectoryW(nativePath(QDir::toNativeSeparators(link)));
    }
    madeLinks.clear();
#endif
}

// The device's install flag goes once a release is on the card.
const QStringList RemovedAfterCommit{QStringLiteral("ZUV.FW")};

void addRelease(DeviceWriter &writer, const QString &sourceRoot, const Files &release)
{
    for (auto it = release.cbegin(); it != release.cend(); ++it)
        writer.addFile(sourceRoot + QLatin1Char('/') + it.key(), it.key());
    writer.setRemovedAfterCommit(RemovedAfterCommit);
}

// The device before the update, the release, and the device after it.
const Files OldCard{{"FW.ZUV", "VER_BOOT=1\n"}, {"ZUV.FW", "x"}, {"a.bin", "old a"},
                    {"SUB/b.bin", "old b"}, {"keep.bin", "untouched"}};
const Files Release{{"a.bin", "new a, longer"}, {"SUB/b.bin", ""}, {"NEW/DEEP/d.bin", "new d"}, {"e.bin", "new e"}};

Files updatedCard()
{
    Files card = OldCard;
    card.remove(QStringLiteral("ZUV.FW"));
    for (auto it = Release.cbegin(); it != Release.cend(); ++it)
        card.insert(it.key(), it.value());
    return card;
}

// Writes the release and stops after step N, telling the test on standard
// output, which then kills it the hard way (SIGKILL, TerminateProcess): no
// destructor, no flush of ours runs after that step.
int killedWriterChild(const QByteArray &arguments)
{
    static int killAt = 0;
    const QList<QByteArray> parts = arguments.split('|');
    killAt = parts.value(2).toInt();
    DeviceWriterPrivate::setStepHook([](int step, const char *) {
        if (step != killAt)
            return;
        std::fputs("stopped\n", stdout);
        std::fflush(stdout);
        QThread::sleep(60);
        std::_Exit(3); // never killed: end anyway, the test reports it
    });
    DeviceWriter writer(QString::fromLocal8Bit(parts.value(0)));
    addRelease(writer, QString::fromLocal8Bit(parts.value(1)), Release);
    return writer.write() ? 0 : 1;
}

} // namespace

class DeviceWriterTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void undoesFailedWrite_data();
    void undoesFailedWrite();
    void refusesForeignJournal_data();
    void refusesForeignJournal();
    void keepsEveryFileWhenTheJournalIsDamaged();
    void staysOnTheCardWhileADirectoryIsSwapped();
    void refusesEveryOperationThroughALink_data();
    void refusesEveryOperationThroughALink();
    void survivesKillAtEveryStep();
    void leavesUnfinishedCleanUpToRepair();
    void replacesReadOnlyFiles();

private:
    // Writes the release, and names the steps of that write in order.
    QStringList stepsOfAWrite();
#ifdef Q_OS_WIN
    void holdsItsDirectoriesAgainstRenames();
#endif

    QScopedPointer<Volume> m_volume;
    QScopedPointer<QTemporaryDir> m_source;
    QScopedPointer<QTemporaryDir> m_outside;
};

void DeviceWriterTest::init()
{
    if (!Volume::unavailableReason().isEmpty())
        QSKIP(qPrintable(Volume::unavailableReason()));
    m_volume.reset(new Volume(1024 * 1024));
    QVERIFY(m_volume->mount());
    QVERIFY(writeFiles(m_volume->rootPath(), OldCard));
    m_source.reset(new QTemporaryDir);
    QVERIFY(writeFiles(m_source->path(), Release));
#ifdef Q_OS_WIN
    // On the card's own drive: nothing but the link tells it from the card.
    m_outside.reset(new QTemporaryDir(QDir::cleanPath(m_volume->rootPath() + QStringLiteral("/../../zuv-outside-XXXXXX"))));
#else
    m_outside.reset(new QTemporaryDir);
#endif
    QVERIFY(writeFiles(m_outside->path(), Outside));
}

void DeviceWriterTest::cleanup()
{
    removeLinks();
    // Windows removes no read-only file with its folder.
    QFile::setPermissions(m_outside->path() + QStringLiteral("/b.bin"), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

void DeviceWriterTest::undoesFailedWrite_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("failure");
    // fusefat tells no size, so only the copy finds out.
    QTest::newRow("no room for a file") << "full"
                                        << int(Volume::kind() == Volume::Fat32 ? DeviceWriter::CopyFailed
                                                                              : DeviceWriter::NoRoom);
    QTest::newRow("read-only volume") << "read-only" << int(DeviceWriter::JournalFailed);
    QTest::newRow("stopped") << "stop" << int(DeviceWriter::Stopped);
    QTest::newRow("directory in the way") << "directory" << int(DeviceWriter::InvalidTarget);
    QTest::newRow("file in the way of a directory") << "file" << int(DeviceWriter::CreatePathFailed);
#ifdef Q_OS_WIN
    // The reparse point Windows makes for a directory without privilege,
    // and under Wine a link of the host's file system.
    QTest::newRow("directory is a junction to a folder outside") << "junction" << int(DeviceWriter::NotOnCard);
    QTest::newRow("directory is a link of Wine's host to a folder outside") << "link" << int(DeviceWriter::NotOnCard);
#else
    QTest::newRow("directory linked to a folder outside") << "link" << int(DeviceWriter::NotOnCard);
#endif
    QTest::newRow("file to remove above the root") << "remove above" << int(DeviceWriter::NotOnCard);
    // A FIFO would block the first read of it for ever: refused before it is opened.
    QTest::newRow("FIFO where a file goes") << "fifo" << int(DeviceWriter::NotOnCard);
}

void DeviceWriterTest::undoesFailedWrite()
{
    QFETCH(QString, fault);
    if ((fault == QLatin1String("full") || fault == QLatin1String("read-only"))
        && !Volume::faultsUnavailableReason().isEmpty())
        QSKIP(qPrintable(Volume::faultsUnavailableReason()));
    Files release = Release;
    if (fault == QLatin1String("full"))
        release.insert(QStringLiteral("SUB/c.bin"), QByteArray(int(m_volume->size()) + 1024 * 1024, 'c'));
    if (fault == QLatin1String("read-only") && Volume::kind() != Volume::Tmpfs)
        QSKIP("the FUSE drivers of card file systems cannot be made read-only under the writer");
    const bool link = fault == QLatin1String("link") || fault == QLatin1String("junction");
    if (link && Volume::kind() != Volume::Tmpfs && Volume::kind() != Volume::Directory)
        QSKIP("FAT file systems hold no links");
    if (fault == QLatin1String("directory")) { // SUB is a directory on the card
        release.remove(QStringLiteral("SUB/b.bin"));
        release.insert(QStringLiteral("SUB"), "a file where a directory is");
    }
    if (fault == QLatin1String("file"))
        release.insert(QStringLiteral("keep.bin/x.bin"), "below a file");
    if (fault == QLatin1String("fifo")) {
#ifdef Q_OS_UNIX
        if (Volume::kind() != Volume::Tmpfs)
            QSKIP("FAT file systems hold no FIFOs");
        const QByteArray fifo = QFile::encodeName(m_volume->rootPath() + QStringLiteral("/SUB/b.bin"));
        QVERIFY(QFile::remove(QFile::decodeName(fifo)) && ::mkfifo(fifo.constData(), 0644) == 0);
#else
        QSKIP("Windows holds no FIFOs");
#endif
    }
    if (link) {
        const QString why = linkOutside(m_volume->rootPath(), QStringLiteral("SUB"), m_outside->path(), fault);
        if (!why.isEmpty())
            QSKIP(qPrintable(why));
    }
    clearDirectory(m_source->path());
    QVERIFY(writeFiles(m_source->path(), release));
    const Files before = contentOf(m_volume->rootPath());
    DeviceWriter writer(m_volume->rootPath());
    addRelease(writer, m_source->path(), release);
    if (fault == QLatin1String("remove above"))
        writer.setRemovedAfterCommit({QStringLiteral("../ZUV.FW")});
    QAtomicInt stop(fault == QLatin1String("stop") ? 1 : 0);
    writer.setStopFlag(&stop);
    if (fault == QLatin1String("read-only"))
        QVERIFY(m_volume->remountReadOnly(true));

    QFETCH(int, failure);
    QVERIFY(!writer.write());
    QCOMPARE(int(writer.failure()), failure);
    QVERIFY(!writer.errorString().isEmpty());
    if (fault == QLatin1String("read-only"))
        QVERIFY(m_volume->remountReadOnly(false));
    QCOMPARE(contentOf(m_volume->rootPath()), before);
    QCOMPARE(filesBelow(m_outside->path()), Outside);
}

void DeviceWriterTest::refusesForeignJournal_data()
{
    QTest::addColumn<QString>("leftover");
    QTest::addColumn<QString>("reason");
    QTest::newRow("earlier format") << "json" << "format of an earlier version";
    QTest::newRow("other format version") << "version 3" << "format version 3, which this program does not know";
    QTest::newRow("garbage") << "garbage" << "not a journal of this program";
    QTest::newRow("path leads out with ..") << "climbs out" << "\"../a.bin\", which is not a path below";
    QTest::newRow("path crosses a link") << "link on the way" << "\"SUB\" on the card is a link";
    QTest::newRow("created directory through a link") << "directory link" << "\"SUB\" on the card is a link";
    QTest::newRow("created directory is a link to an empty folder") << "empty link" << "\"EMPTY\" on the card is a link";
    QTest::newRow("journal is a link") << "journal link" << "\"ZUV-UPDATE.JOURNAL\" on the card is a link";
    QTest::newRow("link at the journal's temporary name") << "temporary link" << "is not a regular file";
    QTest::newRow("link named like a staged file") << "staged link" << "\"a.bin.zuv-new\" on the card is a link";
    QTest::newRow("link named like a set-aside file") << "aside link" << "\"a.bin.zuv-old\" on the card is a link";
    QTest::newRow("FIFO at the journal's name") << "journal fifo" << "neither a file nor a directory";
}

namespace {

// A journal of this program naming a.bin, or SUB/b.bin, and the directories given.
void writeJournal(const QString &root, const QString &relativePath, const QStringList &createdDirectories = {})
{
    WriterJournal journal(root);
    const QByteArray oldContent = OldCard.value(relativePath);
    const QByteArray newContent = Release.value(relativePath);
    journal.files.append({QString(), relativePath, true, md5Hex(newContent), newContent.size(), md5Hex(oldContent),
                          oldContent.size()});
    journal.createdDirectories = createdDirectories;
    journal.removedAfterCommit = RemovedAfterCommit;
    QString error;
    QVERIFY2(journal.write(&error), qPrintable(error));
}

void makeForeignJournal(const QString &leftover, const QString &root, const QString &outside)
{
    const QString journal = root + QLatin1Char('/') + WriterJournal::fileName();
    if (leftover == QLatin1String("json"))
        QVERIFY(writeFiles(root, {{WriterJournal::fileName(), R"({"state":"prepared","files":[{"path":"a.bin","old":true}]})"}}));
    if (leftover == QLatin1String("version 3"))
        QVERIFY(writeFiles(root, {{WriterJournal::fileName(), "ZUV-UPDATE-JOURNAL 3\nstate prepared\n"}}));
    if (leftover == QLatin1String("garbage"))
        QVERIFY(writeFiles(root, {{WriterJournal::fileName(), QByteArray("\x7f" "ELF garbage\n\0\1", 16)}}));
    if (leftover == QLatin1String("climbs out"))
        writeJournal(root, QStringLiteral("../a.bin"));
    if (leftover == QLatin1String("link on the way") || leftover == QLatin1String("directory link")) {
        linkSubOutside(root, outside);
        QVERIFY(QDir(outside).mkdir(QStringLiteral("EMPTY")));
        const bool directory = leftover == QLatin1String("directory link");
        writeJournal(root, directory ? QStringLiteral("a.bin") : QStringLiteral("SUB/b.bin"),
                     directory ? QStringList{QStringLiteral("SUB/EMPTY")} : QStringList());
    }
    if (leftover == QLatin1String("empty link")) {
        QVERIFY(QDir(outside).mkdir(QStringLiteral("EMPTY")));
        const QString why = linkOutside(root, QStringLiteral("EMPTY"), outside + QStringLiteral("/EMPTY"));
        QVERIFY2(why.isEmpty(), qPrintable(why));
        writeJournal(root, QStringLiteral("a.bin"), {QStringLiteral("EMPTY")});
    }
    if (leftover == QLatin1String("journal link")) {
        writeJournal(outside, QStringLiteral("a.bin"));
        QVERIFY(QFile::link(outside + QLatin1Char('/') + WriterJournal::fileName(), journal));
    }
    if (leftover == QLatin1String("temporary link")) {
        QVERIFY(QFile::setPermissions(outside + QStringLiteral("/b.bin"), QFileDevice::ReadOwner));
        QVERIFY(QFile::link(outside + QStringLiteral("/b.bin"), journal + QStringLiteral(".Xa3bc1")));
        writeJournal(root, QStringLiteral("a.bin"));
    }
    if (leftover == QLatin1String("staged link") || leftover == QLatin1String("aside link")) {
        const QString suffix = leftover == QLatin1String("staged link") ? WriterJournal::stagedSuffix()
                                                                         : WriterJournal::setAsideSuffix();
        QFile::remove(root + QStringLiteral("/a.bin") + suffix);
        QVERIFY(QFile::link(outside + QStringLiteral("/b.bin"), root + QStringLiteral("/a.bin") + suffix));
        writeJournal(root, QStringLiteral("a.bin"));
    }
#ifdef Q_OS_UNIX
    if (leftover == QLatin1String("journal fifo"))
        QCOMPARE(::mkfifo(QFile::encodeName(journal).constData(), 0644), 0);
#endif
}

#ifdef Q_OS_UNIX
// Swaps SUB on the card for a link to a folder outside it (SUB renamed
// away, the link in its place) and back again, in a thread of its own. The
// writer's step hook asks for one swap at every step, so every operation
// between two steps runs with SUB a link: the race is lost every time
// rather than by chance, and nothing waits on the clock.
class DirectorySwapper : public QThread
{
public:
    DirectorySwapper(const QString &root, const QString &outside)
        : m_directory(QFile::encodeName(root + QStringLiteral("/SUB")))
        , m_away(QFile::encodeName(root + QStringLiteral("/SUB.away")))
        , m_outside(QFile::encodeName(outside))
    {
    }
    // SUB put back if it is out, then swapped out again.
    void swapAgain()
    {
        if (isFinished())
            return;
        m_requests.release();
        m_done.tryAcquire(1, 30000);
    }
    // SUB put back for good.
    void finish()
    {
        m_finish.storeRelease(1);
        m_requests.release();
        wait(30000);
    }
    int swaps() const { return m_swaps; }

protected:
    void run() override
    {
        constexpr int MostSwaps = 1000;
        for (int i = 0; i < MostSwaps && m_requests.tryAcquire(1, 30000); ++i) {
            swapBack();
            if (m_finish.loadAcquire())
                break;
            if (::rename(m_directory.constData(), m_away.constData()) == 0
                && ::symlink(m_outside.constData(), m_directory.constData()) == 0)
                ++m_swaps;
            m_done.release();
        }
        swapBack();
    }

private:
    void swapBack()
    {
        struct stat status;
        if (::lstat(m_directory.constData(), &status) == 0 && S_ISLNK(status.st_mode))
            ::unlink(m_directory.constData());
        ::rename(m_away.constData(), m_directory.constData());
    }

    const QByteArray m_directory;
    const QByteArray m_away;
    const QByteArray m_outside;
    QSemaphore m_requests;
    QSemaphore m_done;
    QAtomicInt m_finish;
    int m_swaps = 0;
};
#endif

#ifdef Q_OS_WIN
// Renames each directory of the release on the card away and back, as a
// card swapping one for a link would start; counts the renames that went
// through and notes why the others were refused.
void renameAway(const QString &root, int *moved, QList<DWORD> *refusals)
{
    for (const char *name : {"SUB", "NEW", "NEW/DEEP"}) {
        const QString path = QDir::toNativeSeparators(root + QLatin1Char('/') + QLatin1String(name));
        const QString away = path + QStringLiteral(".away");
        if (!QFileInfo(path).isDir())
            continue;
        if (::MoveFileExW(nativePath(path), nativePath(away), 0)) {
            ++*moved;
            ::MoveFileExW(nativePath(away), nativePath(path), 0);
        } else {
            refusals->append(::GetLastError());
        }
    }
}
#endif

} // namespace

// Every journal state a write of ours leaves is repaired by the kill test
// below; what is left is what no write of ours leaves: a journal of
// another format, or one whose repair would reach behind a link or block
// on a FIFO. Each is refused with its reason, before anything is removed,
// by the repair and by a write.
void DeviceWriterTest::refusesForeignJournal()
{
    QFETCH(QString, leftover);
    const bool needsLinks = leftover.contains(QLatin1String("link")) || leftover.contains(QLatin1String("fifo"));
    const QString root = m_volume->rootPath();
#ifdef Q_OS_WIN
    // Wine makes no links of its own, and shows a link of its host's file
    // system to a file as the file itself: only the directory links run
    // here, made by the host. Windows's own links are tried by the write.
    const bool directoryLink = leftover == QLatin1String("link on the way")
        || leftover == QLatin1String("directory link") || leftover == QLatin1String("empty link");
    if (needsLinks && !directoryLink)
        QSKIP("Wine shows a link to a file as the file itself, and Windows holds no FIFOs");
    if (directoryLink && hostPath(root).isEmpty())
        QSKIP("not under Wine: there is no host file system to make a link in");
#else
    if (needsLinks && Volume::kind() != Volume::Tmpfs)
        QSKIP("FAT file systems hold no links or FIFOs");
#endif
    QVERIFY(writeFiles(root, {{"a.bin.zuv-old", "old a"}}));
    QVERIFY(QFile::remove(root + QStringLiteral("/a.bin")));
    makeForeignJournal(leftover, root, m_outside->path());
    const Files leftovers = contentOf(root);
    const Files outside = contentOf(m_outside->path());

    QFETCH(QString, reason);
    QString error;
    QVERIFY(!DeviceWriter::repair(root, RemovedAfterCommit, &error));
    QVERIFY2(error.contains(reason), qPrintable(error));
    QCOMPARE(contentOf(root), leftovers);
    DeviceWriter writer(root);
    addRelease(writer, m_source->path(), Release);
    QVERIFY(!writer.write());
    QCOMPARE(writer.failure(), DeviceWriter::RepairFailed);
    QVERIFY2(writer.errorString().contains(reason), qPrintable(writer.errorString()));
    QCOMPARE(contentOf(root), leftovers);
    QCOMPARE(contentOf(m_outside->path()), outside);
}

// A journal cut short is never acted on: the card is given back each file
// whose name the write took, from what lies beside it, nothing else is
// removed, and the next write completes the update.
void DeviceWriterTest::keepsEveryFileWhenTheJournalIsDamaged()
{
    const QString root = m_volume->rootPath();
    writeJournal(root, QStringLiteral("a.bin"));
    QFile journal(root + QLatin1Char('/') + WriterJournal::fileName());
    QVERIFY(journal.open(QIODevice::ReadWrite));
    QVERIFY(journal.resize(journal.size() - 20));
    journal.close();
    QVERIFY(QFile::rename(root + QStringLiteral("/a.bin"), root + QStringLiteral("/a.bin.zuv-old")));
    QVERIFY(writeFiles(root, {{"a.bin.zuv-new", Release.value("a.bin")}}));

    QString error;
    QVERIFY(!DeviceWriter::repair(root, RemovedAfterCommit, &error));
    QVERIFY2(error.contains(QLatin1String("is not acted on: it was cut short")) && error.contains(QLatin1String("run the update again")),
             qPrintable(error));
    Files expected = OldCard;
    expected.insert(QStringLiteral("a.bin.zuv-old"), OldCard.value("a.bin"));
    expected.insert(QStringLiteral("a.bin.zuv-new"), Release.value("a.bin"));
    QCOMPARE(m_volume->snapshot(), expected);

    DeviceWriter writer(root);
    addRelease(writer, m_source->path(), Release);
    QVERIFY2(writer.write(), qPrintable(writer.errorString()));
    QCOMPARE(m_volume->snapshot(), updatedCard());
}

// A card that swaps a directory the write goes into for a link to the
// user's own folder, again and again from the moment the journal is on it,
// never gets the write through the link: the write either lands on the
// card or fails with a reason, and the card repairs to one release.
void DeviceWriterTest::staysOnTheCardWhileADirectoryIsSwapped()
{
#ifdef Q_OS_UNIX
    if (Volume::kind() != Volume::Tmpfs)
        QSKIP("FAT file systems hold no links");
    const QString root = m_volume->rootPath();
    const Files outside = contentOf(m_outside->path());
    static DirectorySwapper *swapper;
    static bool journalOnCard;
    DirectorySwapper racer(root, m_outside->path());
    swapper = &racer;
    journalOnCard = false;
    racer.start();
    DeviceWriterPrivate::setStepHook([](int, const char *what) {
        journalOnCard = journalOnCard || qstrcmp(what, "journal written") == 0;
        if (journalOnCard)
            swapper->swapAgain();
    });
    DeviceWriter writer(root);
    addRelease(writer, m_source->path(), Release);
    const bool written = writer.write();
    DeviceWriterPrivate::setStepHook(nullptr);
    racer.finish();
    qDebug() << "SUB swapped for a link" << racer.swaps() << "times; written:" << written << writer.errorString();

    QVERIFY(racer.swaps() > 0);
    QCOMPARE(contentOf(m_outside->path()), outside);
    if (written) {
        QCOMPARE(m_volume->snapshot(), updatedCard());
        return;
    }
    QVERIFY(!writer.errorString().isEmpty());
    QString error;
    QVERIFY2(DeviceWriter::repair(root, RemovedAfterCommit, &error), qPrintable(error));
    const Files card = m_volume->snapshot();
    QVERIFY2(card == OldCard || card == updatedCard(), qPrintable(QStringList(card.keys()).join(QLatin1Char(' '))));
    QCOMPARE(contentOf(m_outside->path()), outside);
#elif defined(Q_OS_WIN)
    holdsItsDirectoriesAgainstRenames();
#else
    QSKIP("the card is reached by path on this system");
#endif
}

#ifdef Q_OS_WIN
void DeviceWriterTest::holdsItsDirectoriesAgainstRenames()
{
    // Windows has no openat: the writer holds each directory on its way
    // without FILE_SHARE_DELETE instead. The first half of the swap above,
    // renaming a directory of the release away, is refused at every step
    // from the journal on, so nothing can take its place.
    static QString root;
    static QList<DWORD> refusals;
    static int moved;
    static bool journalOnCard;
    root = m_volume->rootPath();
    refusals.clear();
    moved = 0;
    journalOnCard = false;
    DeviceWriterPrivate::setStepHook([](int, const char *what) {
        journalOnCard = journalOnCard || qstrcmp(what, "journal written") == 0;
        if (journalOnCard)
            renameAway(root, &moved, &refusals);
    });
    DeviceWriter writer(root);
    addRelease(writer, m_source->path(), Release);
    const bool written = writer.write();
    DeviceWriterPrivate::setStepHook(nullptr);
    qDebug() << "Renames refused:" << refusals.size() << "done:" << moved;
    QVERIFY2(written, qPrintable(writer.errorString()));
    QVERIFY(!refusals.isEmpty());
    QCOMPARE(moved, 0);
    QCOMPARE(refusals.count(ERROR_SHARING_VIOLATION), refusals.size());
    QCOMPARE(m_volume->snapshot(), updatedCard());
    // The write let go of them at its end: the same renames go through.
    refusals.clear();
    renameAway(root, &moved, &refusals);
    QCOMPARE(moved, 3);
    QVERIFY(refusals.isEmpty());
}
#endif

void DeviceWriterTest::refusesEveryOperationThroughALink_data()
{
    QTest::addColumn<QString>("operation");
    for (const char *operation : {"create", "read", "remove", "rename", "create directory", "remove directory",
                                  "flush directory", "make writable"})
        QTest::newRow(operation) << operation;
}

// The card's handles themselves, without the checks before a write: each
// file operation on a path through a directory that is a link is refused
// with the reason, and the folder it leads to is left as it was.
void DeviceWriterTest::refusesEveryOperationThroughALink()
{
    if (Volume::kind() != Volume::Tmpfs && Volume::kind() != Volume::Directory)
        QSKIP("FAT file systems hold no links");
    const QString root = m_volume->rootPath();
    QVERIFY(QDir(m_outside->path()).mkdir(QStringLiteral("EMPTY")));
    QVERIFY(QFile::setPermissions(m_outside->path() + QStringLiteral("/b.bin"), QFileDevice::ReadOwner));
    const QString why = linkOutside(root, QStringLiteral("SUB"), m_outside->path());
    if (!why.isEmpty())
        QSKIP(qPrintable(why));
    const Files outside = contentOf(m_outside->path());
    const QString sub = root + QStringLiteral("/SUB/");

    QFETCH(QString, operation);
    const CardHandles handles(root);
    QString error;
    QFile file;
    if (operation == QLatin1String("make writable")) {
        file.setFileName(sub + QStringLiteral("b.bin"));
        FileSystem::makeWritable(file);
    } else {
        const bool done = operation == QLatin1String("create") ? FileSystem::createNew(file, sub + QStringLiteral("new.bin"), &error)
            : operation == QLatin1String("read")               ? FileSystem::openRegular(file, sub + QStringLiteral("b.bin"), &error)
            : operation == QLatin1String("remove")             ? FileSystem::removeFile(sub + QStringLiteral("b.bin"), &error)
            : operation == QLatin1String("rename") ? FileSystem::replaceFile(sub + QStringLiteral("b.bin"), sub + QStringLiteral("c.bin"), &error)
            : operation == QLatin1String("create directory") ? FileSystem::createDirectory(sub + QStringLiteral("NEW"), &error)
            : operation == QLatin1String("remove directory") ? FileSystem::removeDirectory(sub + QStringLiteral("EMPTY"), &error)
                                                             : FileSystem::syncDirectory(sub.chopped(1), &error);
        QVERIFY(!done);
        QVERIFY2(error.contains(QLatin1String("/SUB\" on the card is a link")), qPrintable(error));
    }
    file.close();
    QCOMPARE(contentOf(m_outside->path()), outside);
}

QStringList DeviceWriterTest::stepsOfAWrite()
{
    static QStringList steps;
    steps.clear();
    DeviceWriterPrivate::setStepHook([](int, const char *what) { steps.append(QLatin1String(what)); });
    DeviceWriter writer(m_volume->rootPath());
    addRelease(writer, m_source->path(), Release);
    const bool written = writer.write();
    DeviceWriterPrivate::setStepHook(nullptr);
    if (!written)
        qWarning() << "The write failed:" << writer.errorString();
    return written ? steps : QStringList();
}

// A write replaces the release's files and removes ZUV.FW. A child process
// writes the release and is killed after step N; whatever N, the repair
// leaves exactly the old card or exactly the updated one.
void DeviceWriterTest::survivesKillAtEveryStep()
{
    const QStringList steps = stepsOfAWrite();
    QCOMPARE(m_volume->snapshot(), updatedCard());
    const int committedAt = steps.indexOf(QStringLiteral("journal committed")) + 1;
    qDebug() << "Killing the writer after each of" << steps;
    QVERIFY(committedAt > Release.size() * 2);

    for (int step = 1; step <= steps.size(); ++step) {
        clearDirectory(m_volume->rootPath());
        QVERIFY(writeFiles(m_volume->rootPath(), OldCard));
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(ChildVariable, QStringLiteral("%1|%2|%3").arg(m_volume->rootPath(), m_source->path()).arg(step));
        child.setProcessEnvironment(environment);
        child.start(QCoreApplication::applicationFilePath(), QStringList());
        // On Windows its log, on the other channel, wakes the wait too.
        QByteArray said;
        QDeadlineTimer deadline(30000);
        while (!said.contains("stopped") && child.waitForReadyRead(int(deadline.remainingTime())))
            said += child.readAllStandardOutput();
        QVERIFY2(said.contains("stopped"), qPrintable(QStringLiteral("the writer did not stop after step %1: %2")
                                                          .arg(step).arg(child.errorString())));
        child.kill();
        QVERIFY(child.waitForFinished(30000));
        QCOMPARE(child.exitStatus(), QProcess::CrashExit);

        QVERIFY(DeviceWriter::repair(m_volume->rootPath(), RemovedAfterCommit));
        const Files expected = step < committedAt ? OldCard : updatedCard();
        QVERIFY2(m_volume->snapshot() == expected, qPrintable(QStringLiteral("killed after step %1 (%2)")
                                                                  .arg(step).arg(steps.at(step - 1))));
    }
}

// Once committed, the update is in place even when an old version cannot be
// removed: the write succeeds, the journal stays, and the next repair
// finishes the clean-up once it can.
void DeviceWriterTest::leavesUnfinishedCleanUpToRepair()
{
    static QString obstacle;
    obstacle = m_volume->rootPath() + QStringLiteral("/SUB/b.bin.zuv-old");
    DeviceWriterPrivate::setStepHook([](int, const char *what) {
        if (qstrcmp(what, "journal committed") != 0)
            return;
        QFile::remove(obstacle); // an old version that will not go: a non-empty directory
        QDir().mkpath(obstacle + QStringLiteral("/inside"));
    });
    DeviceWriter writer(m_volume->rootPath());
    addRelease(writer, m_source->path(), Release);
    const bool written = writer.write();
    DeviceWriterPrivate::setStepHook(nullptr);
    QVERIFY2(written, qPrintable(writer.errorString()));
    QVERIFY(m_volume->exists(WriterJournal::fileName()));
    QVERIFY(!m_volume->exists("ZUV.FW"));
    QVERIFY(!m_volume->exists("a.bin.zuv-old"));

    QVERIFY(!DeviceWriter::repair(m_volume->rootPath(), RemovedAfterCommit));
    QVERIFY(QDir(obstacle).removeRecursively());
    QVERIFY(DeviceWriter::repair(m_volume->rootPath(), RemovedAfterCommit));
    QCOMPARE(m_volume->snapshot(), updatedCard());
}

// Card files with the read-only attribute, which Windows will neither
// delete nor replace, are set aside, replaced and removed like any other.
void DeviceWriterTest::replacesReadOnlyFiles()
{
    const QFileDevice::Permissions readOnly = QFileDevice::ReadOwner | QFileDevice::ReadUser | QFileDevice::ReadGroup
        | QFileDevice::ReadOther;
    if (Volume::kind() == Volume::Fat32)
        QSKIP("fusefat keeps no read-only flag");
    for (const char *name : {"a.bin", "SUB/b.bin", "ZUV.FW"})
        QVERIFY(QFile::setPermissions(m_volume->rootPath() + QLatin1Char('/') + QLatin1String(name), readOnly));
    DeviceWriter writer(m_volume->rootPath());
    addRelease(writer, m_source->path(), Release);
    QVERIFY2(writer.write(), qPrintable(writer.errorString()));
    QCOMPARE(m_volume->snapshot(), updatedCard());
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsSet(ChildVariable))
        return killedWriterChild(qgetenv(ChildVariable));
    if (!Volume::unavailableReason().isEmpty()) {
        std::printf("SKIP: %s\n", qPrintable(Volume::unavailableReason()));
        return 77; // CTest's skip code for this suite
    }
    DeviceWriterTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_devicewriter.moc"
