// What the user may do while an update runs: start a new scan, or close
// the program, at any phase from connecting to the last step of the copy.
// The abandoned run announces nothing, the card holds exactly one release,
// nothing stays in the temporary location, and the next update completes.
#include "faultrig.h"

#include "updater/updater.h"

#include <QtTest>

class UserActionTest : public FaultTest
{
    Q_OBJECT

private Q_SLOTS:
    void actDuringRun_data();
    void actDuringRun();
};

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
                  {"checking for updates", "FW.ZUV", 0}, // asked for from the server
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
        actedAt = rig->signalLog.size();
        if (action == "scan")
            rig->updater()->scan();
        else
            rig->destroyUpdater();
    };
    // The user acts from the event loop, never inside a signal.
    if (writerStep > 0) {
        WriterHook::atStep(writerStep, act);
    } else if (phase == "FW.ZUV") {
        rig->onRequest = [&](int, const QByteArray &path) {
            if (path == Release::InfoPath)
                QTimer::singleShot(0, this, act);
        };
    } else {
        rig->atSignal(phase, [&] { QTimer::singleShot(0, this, act); });
    }

    rig->startFlow();
    QVERIFY(QTest::qWaitFor([&] { return actedAt >= 0; }, 30000));

    if (action == "close") {
        QTest::qWait(FaultRig::SettleMs);
        QCOMPARE(rig->signalLog.mid(actedAt), QStringList());
        QCOMPARE(rig->leftovers(), QString());
        QCOMPARE(rig->cardDifference(committed ? Release::firmwareCard() : Release::oldCard()), QString());
        // The program is started again and updates the card.
        rig->publish();
        QCOMPARE(rig->runFlow(), QStringLiteral("updateReady"));
    } else {
        // The new scan finds the device again and the user updates it.
        QCOMPARE(rig->waitFor({"updateReady"}, actedAt), QStringLiteral("updateReady"));
        QTest::qWait(2 * FaultRig::SettleMs);
        QVERIFY2(!rig->signalLog.contains("downloadError") && !rig->signalLog.mid(0, actedAt).contains("updateReady"),
                 qPrintable(rig->signalLog.join(", ")));
        // What the abandoned connection or check asked the server is not
        // announced for the new scan.
        const QStringList after = rig->signalLog.mid(actedAt);
        QVERIFY2(after.count("connectedToDevice") == 1
                     && after.indexOf("updateAvailable") > after.indexOf("connectedToDevice"),
                 qPrintable(after.join(", ")));
    }
    QCOMPARE(rig->cardDifference(Release::firmwareCard()), QString());
}

QTEST_GUILESS_MAIN(UserActionTest)
#include "tst_fault_user.moc"
