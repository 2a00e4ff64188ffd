// Faults of the card and of the release's content: a card that fills up,
// turns read-only or is pulled out at any moment of the run, a FW.ZUV that
// vanishes, downloads that do not match their manifest. The user sees the
// error page, the card never ends half-written, and once the card is back
// in order the next run brings it to exactly one release.
#include "faultrig.h"

#include "update/devicewriter.h"
#include "updater/updater.h"

#include <QStorageInfo>
#include <QtTest>

#include <sys/mount.h>

class DeviceFaultTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void contentFails_data();
    void contentFails();
    void cardFull();
    void temporaryLocationFull();
    void cardReadOnly_data();
    void cardReadOnly();
    void cardPulled_data();
    void cardPulled();
    void infoFileVanishes();

private:
    std::unique_ptr<FaultRig> m_rig;
};

void DeviceFaultTest::initTestCase()
{
    if (!Volume::unavailableReason().isEmpty())
        QSKIP(qPrintable(Volume::unavailableReason()));
    FaultRig::initProcess();
}

void DeviceFaultTest::init()
{
    m_rig = std::make_unique<FaultRig>();
    QVERIFY(m_rig->setUp());
}

void DeviceFaultTest::cleanup()
{
    m_rig.reset();
    FaultRig::printLogIfFailed();
}

void DeviceFaultTest::contentFails_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("downloads");
    QTest::newRow("download does not match its digest") << "mismatch" << true;
    QTest::newRow("upper-case digests") << "upper case" << true;
    QTest::newRow("two manifests, one path, two digests") << "conflict" << false;
}

void DeviceFaultTest::contentFails()
{
    QFETCH(QString, fault);
    const QMap<QString, Files> release = Release::serverDirectories();
    if (fault == "mismatch") {
        m_rig->server().setBody(Release::filePath("SecondaryFirmware/ANIM", "OUTRO.ANI"), "not the animation");
    } else if (fault == "upper case") {
        m_rig->setManifest("SecondaryFirmware/SOUNDS",
                           Release::manifestText(release.value("SecondaryFirmware/SOUNDS")).toUpper());
    } else {
        Files primary = release.value("PrimaryFirmware/P2");
        primary.insert("SHARED.BIN", "primary's version");
        Files secondary = release.value("SecondaryFirmware/S2");
        secondary.insert("SHARED.BIN", "secondary's version");
        m_rig->setManifest("PrimaryFirmware/P2", Release::manifestText(primary));
        m_rig->setManifest("SecondaryFirmware/S2", Release::manifestText(secondary));
    }

    QCOMPARE(m_rig->runFlow(), QStringLiteral("downloadError"));
    QCOMPARE(m_rig->endingsSince(0), 1);
    QFETCH(bool, downloads);
    QCOMPARE(m_rig->fileRequests() > 0, downloads);
    QCOMPARE(m_rig->signalLog.contains("veryfingDownloadedFiles"), downloads);
    QVERIFY(!m_rig->signalLog.contains("copyingFiles"));
    const QString card = m_rig->cardDifference(Release::oldCard());
    QVERIFY2(card.isEmpty(), qPrintable(card));
    QCOMPARE(m_rig->strayFiles(), QStringList());
    QCOMPARE(m_rig->tempLeftovers(), QStringList());
}

// The new version of a file is staged beside the old one, so a card with
// room for only one of them fills up part way through the copy.
void DeviceFaultTest::cardFull()
{
    Files before = Release::oldCard();
    m_rig->beforeUpdate = [&] {
        const qint64 free = QStorageInfo(m_rig->card().rootPath()).bytesAvailable();
        const QByteArray filler(int(free - 24 * 1024), 'f');
        m_rig->card().writeFile("USER/FILLER.BIN", filler);
        before.insert("USER/FILLER.BIN", filler);
    };
    QCOMPARE(m_rig->runFlow(), QStringLiteral("downloadError"));
    QVERIFY(m_rig->signalLog.contains("copyingFiles"));
    QString card = m_rig->cardDifference(before);
    QVERIFY2(card.isEmpty(), qPrintable(card));
    QCOMPARE(m_rig->tempLeftovers(), QStringList());

    // The user makes room and tries again.
    QVERIFY(QFile::remove(m_rig->card().rootPath() + "/USER/FILLER.BIN"));
    m_rig->publish();
    QCOMPARE(m_rig->runFlow(), QStringLiteral("updateReady"));
    card = m_rig->cardDifference(Release::firmwareCard());
    QVERIFY2(card.isEmpty(), qPrintable(card));
    QCOMPARE(m_rig->strayFiles(), QStringList());
}

// The downloads go to the temporary location first; when it fills up, the
// run ends there and takes its partial files with it.
void DeviceFaultTest::temporaryLocationFull()
{
    const QByteArray temp = QFile::encodeName(m_rig->temp().path());
    QVERIFY(::mount("zuvtemp", temp.constData(), "tmpfs", 0, "size=64k,mode=0700") == 0);
    QCOMPARE(m_rig->runFlow(), QStringLiteral("downloadError"));
    QCOMPARE(m_rig->endingsSince(0), 1);
    QVERIFY(!m_rig->signalLog.contains("copyingFiles"));
    const QString card = m_rig->cardDifference(Release::oldCard());
    QVERIFY2(card.isEmpty(), qPrintable(card));
    QCOMPARE(m_rig->tempLeftovers(), QStringList());
    m_rig->destroyUpdater();
    QVERIFY(::umount2(temp.constData(), 0) == 0);
}

void DeviceFaultTest::cardReadOnly_data()
{
    QTest::addColumn<QString>("when");
    QTest::newRow("before the update") << "update";
    QTest::newRow("during the downloads") << "downloads";
    QTest::newRow("during the copy") << "copy";
}

void DeviceFaultTest::cardReadOnly()
{
    QFETCH(QString, when);
    Volume &card = m_rig->card();
    if (when == "update") {
        m_rig->beforeUpdate = [&] { QVERIFY(card.remountReadOnly(true)); };
    } else if (when == "downloads") {
        m_rig->onSignal = [&](const QString &signal) {
            if (signal.startsWith("downloadedFiles 1/"))
                QVERIFY(card.remountReadOnly(true));
        };
    } else {
        WriterHook::atStep(5, [&] { card.remountReadOnly(true); });
    }
    QCOMPARE(m_rig->runFlow(), QStringLiteral("downloadError"));
    QCOMPARE(m_rig->endingsSince(0), 1);
    QCOMPARE(m_rig->tempLeftovers(), QStringList());
    QVERIFY(card.remountReadOnly(false));
    if (when == "copy") {
        // Part way through, nothing could be undone on a read-only card;
        // the next run does it.
        QCOMPARE(m_rig->repairThenUpdate(), QStringLiteral("old"));
    } else {
        const QString difference = m_rig->cardDifference(Release::oldCard());
        QVERIFY2(difference.isEmpty(), qPrintable(difference));
        m_rig->publish();
        QCOMPARE(m_rig->runFlow(), QStringLiteral("updateReady"));
        const QString updated = m_rig->cardDifference(Release::firmwareCard());
        QVERIFY2(updated.isEmpty(), qPrintable(updated));
    }
    QCOMPARE(m_rig->strayFiles(), QStringList());
}

void DeviceFaultTest::cardPulled_data()
{
    QTest::addColumn<QString>("when");
    QTest::addColumn<int>("step");
    QTest::newRow("during the check") << "preparingDownloadList" << 0;
    QTest::newRow("during the downloads") << "downloadedFiles 1/" << 0;
    for (int step : {1, 5, 12, 20, Release::FirmwareCommitStep, 23})
        QTest::addRow("during the copy, after step %d", step) << "copy" << step;
}

// Pulling the card leaves its mount point behind as an empty directory:
// the run must neither take that for the card nor write anything there.
void DeviceFaultTest::cardPulled()
{
    QFETCH(QString, when);
    QFETCH(int, step);
    if (step > 0) {
        WriterHook::atStep(step, [&] { m_rig->pullCard(); });
    } else {
        m_rig->onSignal = [&](const QString &signal) {
            if (signal.startsWith(when))
                QVERIFY(m_rig->pullCard());
        };
    }
    QCOMPARE(m_rig->runFlow(), QStringLiteral("downloadError"));
    QCOMPARE(m_rig->endingsSince(0), 1);
    QCOMPARE(m_rig->strayFiles(), QStringList());
    QCOMPARE(m_rig->tempLeftovers(), QStringList());
    QVERIFY(!m_rig->card().isMounted());
    const Files pulled = m_rig->pulledCardFiles();
    if (step == 0)
        QCOMPARE(FaultRig::difference(pulled, Release::oldCard()), QString());

    // Plugged in again, the card is repaired and then updated.
    m_rig->destroyUpdater();
    QVERIFY(m_rig->insertCard(pulled));
    QCOMPARE(m_rig->repairThenUpdate(), QString(step >= Release::FirmwareCommitStep ? "new" : "old"));
}

// FW.ZUV is what makes the volume this device; without it the run does
// not write to the volume.
void DeviceFaultTest::infoFileVanishes()
{
    m_rig->onSignal = [&](const QString &signal) {
        if (signal.startsWith("downloadedFiles 1/"))
            QVERIFY(QFile::remove(m_rig->card().rootPath() + "/FW.ZUV"));
    };
    QCOMPARE(m_rig->runFlow(), QStringLiteral("downloadError"));
    QCOMPARE(m_rig->endingsSince(0), 1);
    Files expected = Release::oldCard();
    expected.remove("FW.ZUV");
    const QString card = m_rig->cardDifference(expected);
    QVERIFY2(card.isEmpty(), qPrintable(card));
    QCOMPARE(m_rig->strayFiles(), QStringList());
    QCOMPARE(m_rig->tempLeftovers(), QStringList());
}

QTEST_GUILESS_MAIN(DeviceFaultTest)
#include "tst_fault_device.moc"
