// Every fault an update server or the network between can produce, at
// every step of the user's way: the change list, the server's FW.ZUV, each
// manifest and the k-th download. Whatever fails, the user sees one error
// page, the card keeps its old release byte for byte, and nothing stays in
// the temporary location.
#include "faultrig.h"

#include "updater/updater.h"

#include <QtTest>

namespace {

void addFaultRows(const QString &where, const QList<Fault> &faults, const FaultTarget &target)
{
    for (Fault fault : faults)
        QTest::addRow("%s, %s", qPrintable(where), qPrintable(faultName(fault))) << int(fault) << target;
}

QList<Fault> httpFaults()
{
    QList<Fault> faults = allFaults();
    faults.removeAll(Fault::Refused);
    faults.removeAll(Fault::Unreachable);
    return faults;
}

} // namespace

Q_DECLARE_METATYPE(FaultTarget)

class ServerFaultTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void queryFails_data();
    void queryFails();
    void manifestFails_data();
    void manifestFails();
    void downloadFails_data();
    void downloadFails();

private:
    void verifyNothingChanged();

    std::unique_ptr<FaultRig> m_rig;
};

void ServerFaultTest::initTestCase()
{
    if (!Volume::unavailableReason().isEmpty())
        QSKIP(qPrintable(Volume::unavailableReason()));
    FaultRig::initProcess();
}

void ServerFaultTest::init()
{
    m_rig = std::make_unique<FaultRig>();
    QVERIFY(m_rig->setUp());
}

void ServerFaultTest::cleanup()
{
    m_rig.reset();
    FaultRig::printLogIfFailed();
}

void ServerFaultTest::verifyNothingChanged()
{
    const QString card = m_rig->cardDifference(Release::oldCard());
    QVERIFY2(card.isEmpty(), qPrintable(card));
    QCOMPARE(m_rig->strayFiles(), QStringList());
    QCOMPARE(m_rig->tempLeftovers(), QStringList());
    m_rig->destroyUpdater();
    QCOMPARE(m_rig->tempLeftovers(), QStringList());
    for (const QByteArray &path : m_rig->server().requestedPaths())
        QVERIFY2(!path.endsWith("?moved"), path.constData());
}

void ServerFaultTest::queryFails_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<FaultTarget>("target");
    FaultTarget changelist;
    changelist.kind = FaultTarget::Changelist;
    addFaultRows("change list", allFaults(), changelist);
    FaultTarget info;
    info.kind = FaultTarget::InfoFile;
    addFaultRows("FW.ZUV", allFaults(), info);
}

// The change list and the server's FW.ZUV are the updater's own queries:
// a failure shows the server error page with the address and the reason.
void ServerFaultTest::queryFails()
{
    QFETCH(int, fault);
    QFETCH(FaultTarget, target);
    m_rig->inject(Fault(fault), target);

    QCOMPARE(m_rig->runFlow(), QStringLiteral("updateServerConnectionError"));
    QCOMPARE(m_rig->endingsSince(0), 1);
    const bool atChangelist = target.kind == FaultTarget::Changelist;
    QCOMPARE(m_rig->signalLog.contains("connectedToDevice"), !atChangelist);
    QVERIFY(!m_rig->signalLog.contains("updateAvailable"));
    const QString lastError = m_rig->updater()->lastError();
    const QByteArray path = atChangelist ? Release::ChangelistPath : Release::InfoPath;
    QVERIFY2(lastError.startsWith((m_rig->baseUrl() + path).toUpper() + ": "), qPrintable(lastError));
    QVERIFY2(lastError.size() > m_rig->baseUrl().size() + path.size() + 2, qPrintable(lastError));
    QCOMPARE(lastError, lastError.toUpper());
    // Nobody cancelled anything: a server that stops answering is named as such.
    const bool silent = Fault(fault) == Fault::Unreachable || Fault(fault) == Fault::StallBeforeHeaders
        || Fault(fault) == Fault::StallInBody;
    QVERIFY2(lastError.contains("NO ANSWER") == silent, qPrintable(lastError));
    QVERIFY2(!lastError.contains("CANCEL"), qPrintable(lastError));
    if (!atChangelist) // the device page still shows the device
        QCOMPARE(m_rig->updater()->primaryVersion(), QStringLiteral("P1"));
    QVERIFY(m_rig->updater()->primaryUpdateVersion().isEmpty());
    for (const QByteArray &requested : m_rig->server().requestedPaths())
        QVERIFY2(!requested.endsWith("manifest.txt"), requested.constData());
    verifyNothingChanged();
}

void ServerFaultTest::manifestFails_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<FaultTarget>("target");
    // Every fault on a manifest of the root, of a resource directory and of
    // a bootloader run; the three others with a few.
    QStringList directories = Release::firmwareDirectories();
    directories.append(Release::bootloaderDirectory());
    const QStringList everyFault{"PrimaryFirmware/P2", "SecondaryFirmware/SOUNDS", Release::bootloaderDirectory()};
    for (const QString &directory : qAsConst(directories)) {
        FaultTarget target;
        target.kind = FaultTarget::Manifest;
        target.directory = directory;
        addFaultRows(directory + " manifest",
                     everyFault.contains(directory)
                         ? httpFaults()
                         : QList<Fault>{Fault::NotFound, Fault::StallInBody, Fault::ResetInBody},
                     target);
    }
    // Manifests are asked for all at once: a server that goes away goes
    // away for all of them.
    FaultTarget all;
    all.kind = FaultTarget::Manifest;
    all.directory = Release::firmwareDirectories().first();
    addFaultRows("every manifest", {Fault::Refused, Fault::Unreachable}, all);
}

void ServerFaultTest::manifestFails()
{
    QFETCH(int, fault);
    QFETCH(FaultTarget, target);
    if (target.directory == Release::bootloaderDirectory())
        m_rig->offerBootloader();
    m_rig->inject(Fault(fault), target);

    QCOMPARE(m_rig->runFlow(), QStringLiteral("downloadError"));
    QCOMPARE(m_rig->endingsSince(0), 1);
    QVERIFY(m_rig->signalLog.contains("updateAvailable"));
    QVERIFY(!m_rig->signalLog.contains("preparingDownloadList"));
    QCOMPARE(m_rig->fileRequests(), 0);
    verifyNothingChanged();
}

void ServerFaultTest::downloadFails_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<FaultTarget>("target");
    // Every fault on the first and on the last download, a few in between.
    const int last = Release::firmwareDownloads();
    for (int k : {1, 4, last}) {
        FaultTarget target;
        target.kind = FaultTarget::File;
        target.file = k;
        addFaultRows(QStringLiteral("file %1 of %2").arg(k).arg(last),
                     k == 4 ? QList<Fault>{Fault::Refused, Fault::NotFound, Fault::CutShort} : allFaults(), target);
    }
}

// A download that fails ends the run before anything reaches the card;
// once the server is sound again the same update goes through.
void ServerFaultTest::downloadFails()
{
    QFETCH(int, fault);
    QFETCH(FaultTarget, target);
    m_rig->inject(Fault(fault), target);

    QCOMPARE(m_rig->runFlow(), QStringLiteral("downloadError"));
    QCOMPARE(m_rig->endingsSince(0), 1);
    QVERIFY(m_rig->signalLog.contains("preparingDownloadList"));
    QVERIFY(m_rig->fileRequests() >= target.file);
    QVERIFY(!m_rig->signalLog.contains(QStringLiteral("downloadedFiles %1/%1").arg(Release::firmwareDownloads())));
    QVERIFY(!m_rig->signalLog.contains("veryfingDownloadedFiles"));
    QVERIFY(!m_rig->signalLog.contains("copyingFiles"));
    const QString card = m_rig->cardDifference(Release::oldCard());
    QVERIFY2(card.isEmpty(), qPrintable(card));
    QCOMPARE(m_rig->tempLeftovers(), QStringList());

    if (target.file != Release::firmwareDownloads() || Fault(fault) == Fault::Refused
        || Fault(fault) == Fault::Unreachable) {
        verifyNothingChanged();
        return;
    }
    m_rig->publish();
    const int from = m_rig->signalLog.size();
    QCOMPARE(m_rig->runFlow(), QStringLiteral("updateReady"));
    QCOMPARE(m_rig->endingsSince(from), 1);
    const QString updated = m_rig->cardDifference(Release::firmwareCard());
    QVERIFY2(updated.isEmpty(), qPrintable(updated));
    QCOMPARE(m_rig->strayFiles(), QStringList());
    m_rig->destroyUpdater();
    QCOMPARE(m_rig->tempLeftovers(), QStringList());
}

QTEST_GUILESS_MAIN(ServerFaultTest)
#include "tst_fault_server.moc"
