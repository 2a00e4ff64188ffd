#include "update/devicewriter.h"

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

void addRelease(DeviceWriter &writer, const QString &sourceRoot, const Files &release)
{
    for (auto it = release.cbegin(); it != release.cend(); ++it)
        writer.addFile(sourceRoot + QLatin1Char('/') + it.key(), it.key());
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
    DeviceWriter::setStepHook([](int step, const char *) {
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
    void refusesForeignJournal();
    void survivesKillAtEveryStep();

private:
    QScopedPointer<Volume> m_volume;
    QScopedPointer<QTemporaryDir> m_source;
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
}

void DeviceWriterTest::undoesFailedWrite_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("failure");
    QTest::newRow("volume full at the third file") << "full" << int(DeviceWriter::CopyFailed);
    QTest::newRow("read-only volume") << "read-only" << int(DeviceWriter::JournalFailed);
    QTest::newRow("stopped") << "stop" << int(DeviceWriter::Stopped);
    QTest::newRow("directory in the way") << "directory" << int(DeviceWriter::InvalidTarget);
    QTest::newRow("file in the way of a directory") << "file" << int(DeviceWriter::CreatePathFailed);
}

void DeviceWriterTest::undoesFailedWrite()
{
    QFETCH(QString, fault);
    if ((fault == QLatin1String("full") || fault == QLatin1String("read-only"))
        && !Volume::faultsUnavailableReason().isEmpty())
        QSKIP(qPrintable(Volume::faultsUnavailableReason()));
    Files release = Release;
    if (fault == QLatin1String("full"))
        release.insert(QStringLiteral("SUB/c.bin"), QByteArray(2 * 1024 * 1024, 'c'));
    if (fault == QLatin1String("directory")) { // SUB is a directory on the card
        release.remove(QStringLiteral("SUB/b.bin"));
        release.insert(QStringLiteral("SUB"), "a file where a directory is");
    }
    if (fault == QLatin1String("file"))
        release.insert(QStringLiteral("keep.bin/x.bin"), "below a file");
    clearTree(m_source->path());
    writeTree(m_source->path(), release);
    const Files before = m_volume->snapshot();
    DeviceWriter writer(m_volume->rootPath());
    addRelease(writer, m_source->path(), release);
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
}

// The kill test below produces every real journal state; what is left is
// what no write of ours leaves: a journal we did not write.
void DeviceWriterTest::refusesForeignJournal()
{
    Files leftovers = OldCard;
    leftovers.insert("a.bin.zuv-old", "old a");
    leftovers.insert("ZUV-UPDATE.JOURNAL", R"({"state":"prepared","files":[{"path":"../a.bin","old":true}]})");
    writeTree(m_volume->rootPath(), leftovers);
    QString error;
    QVERIFY(!DeviceWriter::repair(m_volume->rootPath(), &error));
    QVERIFY(error.contains("ZUV-UPDATE.JOURNAL"));
    QCOMPARE(m_volume->snapshot(), leftovers);
    DeviceWriter writer(m_volume->rootPath());
    addRelease(writer, m_source->path(), Release);
    QVERIFY(!writer.write());
    QCOMPARE(writer.failure(), DeviceWriter::RepairFailed);
    QCOMPARE(m_volume->snapshot(), leftovers);
}

// A write replaces the release's files and removes ZUV.FW. A child process
// writes the release and is killed after step N; whatever N, the repair
// leaves exactly the old card or exactly the updated one.
void DeviceWriterTest::survivesKillAtEveryStep()
{
    static QStringList steps;
    steps.clear();
    DeviceWriter::setStepHook([](int, const char *what) { steps.append(QLatin1String(what)); });
    {
        DeviceWriter writer(m_volume->rootPath());
        addRelease(writer, m_source->path(), Release);
        QVERIFY2(writer.write(), qPrintable(writer.errorString()));
    }
    DeviceWriter::setStepHook(nullptr);
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

        QVERIFY(DeviceWriter::repair(m_volume->rootPath()));
        const Files expected = step < committedAt ? OldCard : updatedCard();
        QVERIFY2(m_volume->snapshot() == expected, qPrintable(QStringLiteral("killed after step %1 (%2)")
                                                                  .arg(step).arg(steps.at(step - 1))));
    }
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsSet(ChildVariable))
        return killedWriterChild(qgetenv(ChildVariable));
    DeviceWriterTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_devicewriter.moc"
