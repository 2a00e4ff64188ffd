// Faults of the card: a card that fills up, turns read-only or is pulled
// out at any moment of the run, a temporary location that fills up. The
// user sees the error page, the card never ends half-written, and once the
// card is back in order the next run brings it to exactly one release.
#include "faultrig.h"

#include "updater/updater.h"

#include <QStorageInfo>
#include <QtTest>

#include <sys/mount.h>

class DeviceFaultTest : public FaultTest
{
    Q_OBJECT

private Q_SLOTS:
    void cardFull();
    void temporaryLocationFull();
    void anotherCardAtUpdate();
    void cardFails_data();
    void cardFails();
};

// The new version of a file is staged beside the old one. A card with room
// for only one of them passes the check before the downloads, which cannot
// know the sizes, and the run ends as soon as the downloads announce theirs.
void DeviceFaultTest::cardFull()
{
    Files before = Release::oldCard();
    rig->atSignal("updateAvailable", [&] {
        const qint64 free = QStorageInfo(rig->card().rootPath()).bytesAvailable();
        before.insert("USER/FILLER.BIN", QByteArray(int(free - 64 * 1024), 'f'));
        rig->card().writeFile("USER/FILLER.BIN", before.value("USER/FILLER.BIN"));
    });
    QCOMPARE(rig->runFlow(), QStringLiteral("downloadError"));
    QVERIFY(!rig->signalLog.contains("copyingFiles"));
    QVERIFY2(rig->updater()->updateError().contains(QRegularExpression("^THE CARD NEEDS \\d+ MB MORE FREE SPACE$")),
             qPrintable(rig->updater()->updateError()));
    QCOMPARE(rig->cardDifference(before), QString());
    QCOMPARE(rig->leftovers(), QString());

    // The user makes room and tries again.
    QVERIFY(QFile::remove(rig->card().rootPath() + "/USER/FILLER.BIN"));
    rig->publish();
    QCOMPARE(rig->runFlow(), QStringLiteral("updateReady"));
    QCOMPARE(rig->cardDifference(Release::firmwareCard()), QString());
}

// The downloads go to the temporary location first; when it fills up, the
// run ends there and takes its partial files with it.
void DeviceFaultTest::temporaryLocationFull()
{
    const QByteArray temp = QFile::encodeName(rig->temp().path());
    QVERIFY(::mount("zuvtemp", temp.constData(), "tmpfs", 0, "size=64k,mode=0700") == 0);
    QCOMPARE(rig->runFlow(), QStringLiteral("downloadError"));
    QVERIFY(!rig->signalLog.contains("copyingFiles"));
    QVERIFY2(rig->updater()->updateError().endsWith("NO SPACE LEFT ON DEVICE"), qPrintable(rig->updater()->updateError()));
    QCOMPARE(rig->cardDifference(Release::oldCard()), QString());
    QCOMPARE(rig->leftovers(), QString());
    rig->destroyUpdater();
    QVERIFY(::umount2(temp.constData(), 0) == 0);
}

// The versions on the device page are those of the card found by the scan.
// Another card in its place when UPDATE is pressed (here: another serial
// number at the same mount point) gets nothing of an update chosen for the
// first one, and nothing is downloaded for it; a new search finds it.
void DeviceFaultTest::anotherCardAtUpdate()
{
    Files other = Release::oldCard();
    other.insert("FW.ZUV", "SN_PRI=ZUV-0002\nVER_BOOT=B1\nVER_PRI=P1\nVER_SEC=S0\n");
    rig->atSignal("updateAvailable", [&] { rig->card().writeFile("FW.ZUV", other.value("FW.ZUV")); });
    QCOMPARE(rig->runFlow(), QStringLiteral("downloadError"));
    QCOMPARE(rig->updater()->updateError(), QStringLiteral("THE DEVICE WAS DISCONNECTED OR REPLACED SINCE IT WAS FOUND"));
    QCOMPARE(rig->fileRequests(), 0);
    QCOMPARE(rig->cardDifference(other), QString());
    QCOMPARE(rig->leftovers(), QString());

    rig->publish();
    QCOMPARE(rig->runFlow(), QStringLiteral("updateReady"));
    Files updated = Release::firmwareCard();
    updated.insert("FW.ZUV", other.value("FW.ZUV"));
    QCOMPARE(rig->cardDifference(updated), QString());
}

void DeviceFaultTest::cardFails_data()
{
    QTest::addColumn<bool>("pulled"); // or turned read-only
    QTest::addColumn<QString>("when");
    QTest::addColumn<int>("step"); // of the copy, when not at a signal
    QTest::addColumn<QString>("reason"); // on the error page
    const QString gone = QStringLiteral("THE DEVICE WAS DISCONNECTED DURING THE COPY");
    QTest::newRow("read-only during the copy") << false << "" << 5 << "READ-ONLY FILE SYSTEM";
    const QString replaced = QStringLiteral("THE DEVICE WAS DISCONNECTED OR REPLACED BEFORE THE COPY");
    QTest::newRow("pulled during the check") << true << "preparingDownloadList" << 0 << replaced;
    QTest::newRow("pulled during the downloads") << true << "downloadedFiles 1/" << 0 << replaced;
    for (int step : {1, 5, 12, 20, Release::FirmwareCommitStep, 23})
        QTest::addRow("pulled during the copy, after step %d", step) << true << "" << step << gone;
}

// Pulling the card leaves its mount point behind as an empty directory:
// the run must neither take that for the card nor write anything there.
// Part way through the copy nothing can be undone on a card that is gone
// or read-only: the next run does it.
void DeviceFaultTest::cardFails()
{
    QFETCH(bool, pulled);
    QFETCH(QString, when);
    QFETCH(int, step);
    QFETCH(QString, reason);
    const auto strike = [&] { QVERIFY(pulled ? rig->pullCard() : rig->card().remountReadOnly(true)); };
    if (step > 0)
        WriterHook::atStep(step, strike);
    else
        rig->atSignal(when, strike);
    QCOMPARE(rig->runFlow(), QStringLiteral("downloadError"));
    QVERIFY2(rig->updater()->updateError().contains(reason), qPrintable(rig->updater()->updateError()));
    QCOMPARE(rig->leftovers(), QString());
    const Files left = pulled ? rig->pulledCardFiles() : rig->card().snapshot();
    if (step == 0)
        QCOMPARE(FaultRig::difference(left, Release::oldCard()), QString());

    // Plugged in again, or writable again, the card is repaired and then updated.
    if (pulled)
        rig->destroyUpdater();
    QVERIFY(pulled ? rig->insertCard(left) : rig->card().remountReadOnly(false));
    QCOMPARE(rig->repairThenUpdate(), QString(step >= Release::FirmwareCommitStep ? "new" : "old"));
}

QTEST_GUILESS_MAIN(DeviceFaultTest)
#include "tst_fault_device.moc"
