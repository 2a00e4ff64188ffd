#include "update/devicewriter.h"
#include "update/devicewriter_p.h"

#include "volume.h"

#include <QAtomicInt>
#include <QDeadlineTimer>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <cstdio>
#include <cstdlib>

using Files = QMap<QString, QByteArray>;

namespace {

const char ChildVariable[] = "ZUV_TEST_WRITER_CHILD";

void writeTree(const QString &root, const Files &files)
{
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        const QString path = root + QLatin1Char('/') + it.key();
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(file.write(it.value()), qint64(it.value().size()));
    }
}

void clearTree(const QString &root)
{
    const QFileInfoList entries = QDir(root).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        if (entry.isDir())
            QDir(entry.filePath()).removeRecursively();
        else
            QFile::remove(entry.filePath());
    }
}

// The files of a flat directory with their content.
Files filesIn(const QString &directory)
{
    Files files;
    const QStringList names = QDir(directory).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        QFile file(directory + QLatin1Char('/') + name);
        files.insert(name, file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>"));
    }
    return files;
}

// A folder of the user's beside the card, and SUB on the card made a link
// to it.
const Files Outside{{"b.bin", "the user's own b"}, {"b.bin.zuv-old", "the user's old b"}};

void linkSubOutside(const QString &root, const QString &outside)
{
    QVERIFY(QDir(root + QStringLiteral("/SUB")).removeRecursively());
    QVERIFY(QFile::link(outside, root + QStringLiteral("/SUB")));
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
    void undoesFailedWrite_data();
    void undoesFailedWrite();
    void refusesForeignJournal_data();
    void refusesForeignJournal();
    void survivesKillAtEveryStep();
    void leavesUnfinishedCleanUpToRepair();
    void replacesReadOnlyFiles();

private:
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
    writeTree(m_volume->rootPath(), OldCard);
    m_source.reset(new QTemporaryDir);
    writeTree(m_source->path(), Release);
    m_outside.reset(new QTemporaryDir);
    writeTree(m_outside->path(), Outside);
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
    QTest::newRow("directory linked to a folder outside") << "link" << int(DeviceWriter::NotOnCard);
    QTest::newRow("file to remove above the root") << "remove above" << int(DeviceWriter::NotOnCard);
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
    if (fault == QLatin1String("link") && Volume::kind() != Volume::Tmpfs)
        QSKIP("FAT file systems hold no links");
    if (fault == QLatin1String("directory")) { // SUB is a directory on the card
        release.remove(QStringLiteral("SUB/b.bin"));
        release.insert(QStringLiteral("SUB"), "a file where a directory is");
    }
    if (fault == QLatin1String("file"))
        release.insert(QStringLiteral("keep.bin/x.bin"), "below a file");
    if (fault == QLatin1String("link"))
        linkSubOutside(m_volume->rootPath(), m_outside->path());
    clearTree(m_source->path());
    writeTree(m_source->path(), release);
    const Files before = m_volume->snapshot();
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
    QCOMPARE(m_volume->snapshot(), before);
    QVERIFY(QDir(m_volume->rootPath()).entryList({"NEW"}, QDir::Dirs).isEmpty());
    QCOMPARE(filesIn(m_outside->path()), Outside);
}

void DeviceWriterTest::refusesForeignJournal_data()
{
    QTest::addColumn<QString>("leftover");
    QTest::addColumn<QString>("reason");
    QTest::newRow("path leads out with ..") << "climbs out" << "ZUV-UPDATE.JOURNAL\" is not a journal";
    QTest::newRow("path crosses a link") << "link on the way" << "\"SUB\" on the card is a link";
    QTest::newRow("journal is a link") << "journal link" << "\"ZUV-UPDATE.JOURNAL\" on the card is a link";
}

// The kill test below produces every real journal state; what is left is
// what no write of ours leaves: a journal we did not write, or one whose
// undo would move the user's files behind a link.
void DeviceWriterTest::refusesForeignJournal()
{
    QFETCH(QString, leftover);
    if (leftover != QLatin1String("climbs out") && Volume::kind() != Volume::Tmpfs)
        QSKIP("FAT file systems hold no links");
    const QString root = m_volume->rootPath();
    const QByteArray undoA = R"({"state":"prepared","files":[{"path":"a.bin","old":true}]})";
    if (leftover == QLatin1String("climbs out")) {
        writeTree(root, {{"a.bin.zuv-old", "old a"},
                         {"ZUV-UPDATE.JOURNAL", R"({"state":"prepared","files":[{"path":"../a.bin","old":true}]})"}});
    } else if (leftover == QLatin1String("link on the way")) {
        linkSubOutside(root, m_outside->path());
        writeTree(root, {{"ZUV-UPDATE.JOURNAL", R"({"state":"prepared","files":[{"path":"SUB/b.bin","old":true}]})"}});
    } else {
        writeTree(root, {{"a.bin.zuv-old", "old a"}});
        writeTree(m_outside->path(), {{"journal", undoA}});
        QVERIFY(QFile::link(m_outside->path() + "/journal", root + "/ZUV-UPDATE.JOURNAL"));
    }
    const Files leftovers = m_volume->snapshot();
    const Files outside = filesIn(m_outside->path());

    QFETCH(QString, reason);
    QString error;
    QVERIFY(!DeviceWriter::repair(root, RemovedAfterCommit, &error));
    QVERIFY2(error.contains(reason), qPrintable(error));
    QCOMPARE(m_volume->snapshot(), leftovers);
    DeviceWriter writer(root);
    addRelease(writer, m_source->path(), Release);
    QVERIFY(!writer.write());
    QCOMPARE(writer.failure(), DeviceWriter::RepairFailed);
    QCOMPARE(m_volume->snapshot(), leftovers);
    QCOMPARE(filesIn(m_outside->path()), outside);
}

// A write replaces the release's files and removes ZUV.FW. A child process
// writes the release and is killed after step N; whatever N, the repair
// leaves exactly the old card or exactly the updated one.
void DeviceWriterTest::survivesKillAtEveryStep()
{
    static QStringList steps;
    steps.clear();
    DeviceWriterPrivate::setStepHook([](int, const char *what) { steps.append(QLatin1String(what)); });
    {
        DeviceWriter writer(m_volume->rootPath());
        addRelease(writer, m_source->path(), Release);
        QVERIFY2(writer.write(), qPrintable(writer.errorString()));
    }
    DeviceWriterPrivate::setStepHook(nullptr);
    QCOMPARE(m_volume->snapshot(), updatedCard());
    const int committedAt = steps.indexOf(QStringLiteral("journal committed")) + 1;
    qDebug() << "Killing the writer after each of" << steps;
    QVERIFY(committedAt > Release.size() * 2);

    for (int step = 1; step <= steps.size(); ++step) {
        clearTree(m_volume->rootPath());
        writeTree(m_volume->rootPath(), OldCard);
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
