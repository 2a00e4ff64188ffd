// Crash consistency: a separate process writes a firmware update onto the
// card and is killed with SIGKILL right after one step of the write. The
// next run of the updater repairs the card to exactly the old release
// (killed before the commit) or exactly the new one (killed after it), and
// the update that follows completes. The device writer's own test kills it
// after every step; here a whole run is killed where the card holds only
// the journal, a mix of both releases, every new file but no commit, the
// commit, and the commit with the old files gone.
#include "faultrig.h"

#include "childprocess.h"

#include <QtTest>

class CrashTest : public FaultTest
{
    Q_OBJECT

private Q_SLOTS:
    void killedDuringCopy_data();
    void killedDuringCopy();
    void killedDuringDownloadLeavesNothingAtNextStart();
};

void CrashTest::killedDuringCopy_data()
{
    QTest::addColumn<int>("step");
    QTest::newRow("not killed") << 0;
    const int commit = Release::FirmwareCommitStep;
    for (int step : {1, 12, commit - 1, commit, Release::FirmwareWriterSteps - 1})
        QTest::addRow("killed after step %d", step) << step;
}

void CrashTest::killedDuringCopy()
{
    QFETCH(int, step);
    // What a killed process leaves in its temporary location is beyond its
    // reach; it gets a location of its own, removed here.
    QTemporaryDir childTemp(QStringLiteral("/tmp/zuv-fault-child-XXXXXX"));
    ChildProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TMPDIR"), childTemp.path());
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QStringLiteral(ZUV_FAULT_CHILD), {rig->card().rootPath(), rig->baseUrl(), QString::number(step)});
    // The event loop turns meanwhile: the child talks to this process's server.
    QVERIFY(QTest::qWaitFor([&] { return child.state() == QProcess::NotRunning; }, 60000));
    const QString output = QString::fromLocal8Bit(child.readAll());
    QVERIFY2(child.exitStatus() == (step > 0 ? QProcess::CrashExit : QProcess::NormalExit), qPrintable(output));
    // Unkilled, it names the steps of this release's write: the kill points above.
    if (step == 0) {
        QVERIFY2(child.exitCode() == 0
                     && output.contains(QStringLiteral("steps %1 committed at %2")
                                            .arg(Release::FirmwareWriterSteps)
                                            .arg(Release::FirmwareCommitStep)),
                 qPrintable(output));
    }
    const bool committed = step == 0 || step >= Release::FirmwareCommitStep;
    QCOMPARE(rig->repairThenUpdate(), QString(committed ? "new" : "old"));
}

// Three copies of the program share one temporary location, each with its
// downloads hanging half way: the first keeps running, the second is
// killed, the third starts after that. The third removes what the killed
// one left, and nothing of the one that still runs.
void CrashTest::killedDuringDownloadLeavesNothingAtNextStart()
{
    const QMap<QString, Files> directories = Release::serverDirectories();
    for (auto dir = directories.cbegin(); dir != directories.cend(); ++dir) {
        for (auto file = dir->cbegin(); file != dir->cend(); ++file) {
            HttpFaultServer::Response hanging;
            hanging.body = file.value();
            hanging.fault = HttpFaultServer::StallAfterHeaders;
            hanging.faultAfterBytes = hanging.body.size() / 2;
            rig->server().setResponse(Release::filePath(dir.key(), file.key()), hanging);
        }
    }
    QTemporaryDir childTemp(QStringLiteral("/tmp/zuv-fault-child-XXXXXX"));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TMPDIR"), childTemp.path());
    const QDir temp(childTemp.path());
    const auto runDirectories = [&] { return temp.entryList({"fault_update_child-*"}, QDir::Dirs | QDir::Hidden); };
    // A run is downloading once its directory holds more than the lock and
    // the manifests; returns its directory.
    const auto startDownloading = [&](ChildProcess *child, const QStringList &before, QString *directory) {
        child->setProcessEnvironment(environment);
        child->start(QStringLiteral(ZUV_FAULT_CHILD), {rig->card().rootPath(), rig->baseUrl(), QStringLiteral("0")});
        return QTest::qWaitFor(
            [&] {
                const QStringList now = runDirectories();
                for (const QString &name : now) {
                    // Without QDir::Hidden: the lock and the manifests start with a dot.
                    const QDir run(temp.filePath(name));
                    if (!before.contains(name) && !run.entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty()) {
                        *directory = name;
                        return true;
                    }
                }
                return false;
            },
            30000);
    };
    ChildProcess running, killed, next;
    QString runningDir, killedDir, nextDir;
    QVERIFY(startDownloading(&running, {}, &runningDir));
    QVERIFY(startDownloading(&killed, {runningDir}, &killedDir));
    killed.kill();
    QVERIFY(killed.waitForFinished(10000));
    QVERIFY(runDirectories().contains(killedDir));

    QVERIFY(startDownloading(&next, {runningDir, killedDir}, &nextDir));
    QVERIFY2(QTest::qWaitFor([&] { return !runDirectories().contains(killedDir); }, 10000),
             qPrintable(runDirectories().join(", ")));
    QVERIFY(runDirectories().contains(runningDir));
    QVERIFY(running.state() == QProcess::Running && next.state() == QProcess::Running);
    // What the two leave when they are killed in turn goes with childTemp.
    running.kill();
    next.kill();
    running.waitForFinished(10000);
    next.waitForFinished(10000);
}

QTEST_GUILESS_MAIN(CrashTest)
#include "tst_fault_crash.moc"
