// What the user may do while an update runs: start a new scan, or close
// the program, at any phase from connecting to the last step of the copy.
// The abandoned run announces nothing, the card holds exactly one release,
// nothing stays in the temporary location, and the next update completes.
#include "faultrig.h"

#include "update/devicewriter.h"
#include "updater/updater.h"

#include <QtTest>

class UserActionTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void actDuringRun_data();
    void actDuringRun();

private:
    std::unique_ptr<FaultRig> m_rig;
};

void UserActionTest::initTestCase()
{
    if (!Volume::unavailableReason().isEmpty())
        QSKIP(qPrintable(Volume::unavailableReason()));
    FaultRig::initProcess();
}

void UserActionTest::init()
{
    m_rig = std::make_unique<FaultRig>();
    QVERIFY(m_rig->setUp());
}

void UserActionTest::cleanup()
{
    m_rig.reset();
    FaultRig::printLogIfFailed();
}

void UserActionTest::actDuringRun_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("phase");  // the signal that starts the phase
    QTest::addColumn<int>("writerStep"); // or the step of the copy to act after
    QTest::addColumn<bool>("committed"); // whether the card holds the new release afterwards
    const struct {
        const char *name;
        const char *signal;
        int step;
    } phases[] = {{"connecting", "connectingToDevice", 0},
                  {"checking for updates", "checkForUpdates", 0},
                  {"preparing", "preparingDownloadList", 0},
                  {"downloading", "downloadedFiles 1/", 0},
                  {"verifying", "veryfingDownloadedFiles", 0},
                  {"staging the copy", "", 5},
                  {"committing the copy", "", 15},
                  {"finishing the copy", "", Release::FirmwareCommitStep + 1}};
    for (const char *action : {"scan", "close"}) {
        for (const auto &phase : phases) {
            QTest::addRow("%s while %s", action, phase.name)
                << action << phase.signal << phase.step << (phase.step > Release::FirmwareCommitStep);
        }
    }
}

void UserActionTest::actDuringRun()
{
    QFETCH(QString, action);
    QFETCH(QString, phase);
    QFETCH(int, writerStep);
    QFETCH(bool, committed);

    int actedAt = -1;
    auto act = [&] {
        if (actedAt >= 0)
            return;
        actedAt = m_rig->signalLog.size();
        if (action == "scan")
            m_rig->updater()->scan();
        else
            m_rig->destroyUpdater();
    };
    // The user acts from the event loop, never inside a signal.
    if (phase == "checkForUpdates") {
        m_rig->beforeCheck = [&] { QTimer::singleShot(0, this, act); };
    } else if (!phase.isEmpty()) {
        m_rig->onSignal = [&](const QString &signal) {
            if (signal.startsWith(phase))
                QTimer::singleShot(0, this, act);
        };
    } else {
        WriterHook::pauseAt(writerStep);
    }

    m_rig->startFlow();
    if (writerStep > 0) {
        QVERIFY(WriterHook::waitUntilPaused());
        act();
        WriterHook::resume();
    }
    QVERIFY(QTest::qWaitFor([&] { return actedAt >= 0; }, 30000));

    if (action == "close") {
        QTest::qWait(FaultRig::SettleMs);
        QCOMPARE(m_rig->signalLog.mid(actedAt), QStringList());
        QCOMPARE(m_rig->tempLeftovers(), QStringList());
        const QString card = m_rig->cardDifference(committed ? Release::firmwareCard() : Release::oldCard());
        QVERIFY2(card.isEmpty(), qPrintable(card));
        // The program is started again and updates the card.
        m_rig->onSignal = nullptr;
        m_rig->beforeCheck = nullptr;
        QCOMPARE(m_rig->runFlow(), QStringLiteral("updateReady"));
    } else {
        // The new scan finds the device again and the user updates it.
        QVERIFY(m_rig->waitFor("updateReady", actedAt));
        QTest::qWait(2 * FaultRig::SettleMs);
        QVERIFY2(!m_rig->signalLog.contains("downloadError"), qPrintable(m_rig->signalLog.join(", ")));
        QVERIFY(!m_rig->signalLog.mid(0, actedAt).contains("updateReady"));
    }
    const QString card = m_rig->cardDifference(Release::firmwareCard());
    QVERIFY2(card.isEmpty(), qPrintable(card));
    QCOMPARE(m_rig->strayFiles(), QStringList());
    m_rig->destroyUpdater();
    QCOMPARE(m_rig->tempLeftovers(), QStringList());
}

QTEST_GUILESS_MAIN(UserActionTest)
#include "tst_fault_user.moc"
