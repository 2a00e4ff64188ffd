// Crash consistency: a separate process writes a firmware update onto the
// card and is killed with SIGKILL right after one step of the write, for
// every step there is. The next run of the updater repairs the card to
// exactly the old release (killed before the commit) or exactly the new
// one (killed after it), and the update that follows completes.
#include "faultrig.h"

#include "childprocess.h"

#include <QtTest>

class CrashTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void writeStepsAreKnown();
    void killedDuringCopy_data();
    void killedDuringCopy();

private:
    void runChild(int killStep);

    std::unique_ptr<FaultRig> m_rig;
    QString m_output;
    int m_exitCode = -1;
    QProcess::ExitStatus m_exitStatus = QProcess::NormalExit;
};

void CrashTest::initTestCase()
{
    if (!Volume::unavailableReason().isEmpty())
        QSKIP(qPrintable(Volume::unavailableReason()));
    FaultRig::initProcess();
}

void CrashTest::init()
{
    m_rig = std::make_unique<FaultRig>();
    QVERIFY(m_rig->setUp());
}

void CrashTest::cleanup()
{
    if (QTest::currentTestFailed())
        fprintf(stderr, "Output of the updating process:\n%s\n", qPrintable(m_output));
    m_rig.reset();
    FaultRig::printLogIfFailed();
}

// Keeps the event loop turning while the child runs: it talks to the
// server of this process.
void CrashTest::runChild(int killStep)
{
    // What a killed process leaves in its temporary location is beyond its
    // reach; it gets a location of its own, removed here.
    QTemporaryDir childTemp(QStringLiteral("/tmp/zuv-fault-child-XXXXXX"));
    QVERIFY(childTemp.isValid());
    ChildProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TMPDIR"), childTemp.path());
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QStringLiteral(ZUV_FAULT_CHILD),
                {m_rig->card().rootPath(), m_rig->server().baseUrl(), QString::number(killStep)});
    QVERIFY(child.waitForStarted(10000));
    QVERIFY(QTest::qWaitFor([&] { return child.state() == QProcess::NotRunning; }, 60000));
    m_output = QString::fromLocal8Bit(child.readAll());
    m_exitCode = child.exitCode();
    m_exitStatus = child.exitStatus();
}

// The kill points below are the steps of this release's write.
void CrashTest::writeStepsAreKnown()
{
    runChild(0);
    QCOMPARE(m_exitStatus, QProcess::NormalExit);
    QCOMPARE(m_exitCode, 0);
    QVERIFY2(m_output.contains(QStringLiteral("steps %1 committed at %2")
                                   .arg(Release::FirmwareWriterSteps)
                                   .arg(Release::FirmwareCommitStep)),
             qPrintable(m_output.right(200)));
    const QString card = m_rig->cardDifference(Release::firmwareCard());
    QVERIFY2(card.isEmpty(), qPrintable(card));
}

void CrashTest::killedDuringCopy_data()
{
    QTest::addColumn<int>("step");
    for (int step = 1; step <= Release::FirmwareWriterSteps; ++step)
        QTest::addRow("killed after step %d", step) << step;
}

void CrashTest::killedDuringCopy()
{
    QFETCH(int, step);
    runChild(step);
    QCOMPARE(m_exitStatus, QProcess::CrashExit);
    const QString state = m_rig->repairThenUpdate();
    QCOMPARE(state, QString(step >= Release::FirmwareCommitStep ? "new" : "old"));
    QCOMPARE(m_rig->strayFiles(), QStringList());
    m_rig->destroyUpdater();
    QCOMPARE(m_rig->tempLeftovers(), QStringList());
}

QTEST_GUILESS_MAIN(CrashTest)
#include "tst_fault_crash.moc"
