// A copy of the program killed part way through its downloads: what it
// leaves in the temporary location goes at the next start, and nothing of a
// copy that still runs. (A run killed during the copy onto the card is the
// device writer's kill test and the card faults' pulled card.)
#include "faultrig.h"

#include "childprocess.h"

#include <QtTest>

class CrashTest : public FaultTest
{
    Q_OBJECT

private Q_SLOTS:
    void killedDuringDownloadLeavesNothingAtNextStart();
};

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
        child->start(QStringLiteral(ZUV_FAULT_CHILD), {rig->card().rootPath(), rig->baseUrl()});
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
