#include "helpers/network.h"
#include "httpfaultserver.h"
#include "privatetemp.h"
#include "updater/updater.h"
#include "volume.h"

#include <QElapsedTimer>
#include <QSettings>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

const QByteArray ChangelistPath = "/ZUVUpdater/TheOrvik//changelist.txt";
const QByteArray InfoPath = "/ZUVUpdater/TheOrvik//FW.ZUV";

// Bound for everything the updater announces; its own delays are 500 ms.
constexpr int SignalWait = 5000;

QByteArray infoFile(const QString &boot, const QString &primary, const QString &secondary)
{
    return QStringLiteral("VER_BOOT=%1\nVER_PRI=%2\nVER_SEC=%3\n").arg(boot, primary, secondary).toUtf8();
}

QByteArray manifestPath(const QString &directory)
{
    return QStringLiteral("/ZUVUpdater/TheOrvik//%1/manifest.txt").arg(directory).toUtf8();
}

QList<QByteArray> manifestRequests(const HttpFaultServer &server)
{
    QList<QByteArray> paths;
    for (const QByteArray &path : server.requestedPaths()) {
        if (path.endsWith("/manifest.txt"))
            paths.append(path);
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

} // namespace

class TestUpdater : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void startsEmpty();
    void scanWithoutDeviceReportsNone();
    void scanWithTwoDevicesConnectsToNeither();
    void scanWithOneDeviceConnects();
    void secondScanSupersedesTheFirst();
    void changelistIsCutAtZeroAndUpperCased();
    void serverFailuresSetLastError_data();
    void serverFailuresSetLastError();
    void unreachableServer();
    void stalledTransferFails();
    void checkForUpdatesReadsTheServerCopy();
    void checkBeforeConnectingAsksForInvalidModel();
    void missingTemporaryLocationIsReported();
    void updateChoosesTheRun_data();
    void updateChoosesTheRun();
    void successIsAnnouncedOnce();
    void firmwareRunThenBootloaderRun();

private:
    void writeServerSetting(const QString &root);
    std::unique_ptr<Updater> connectedUpdater(const QString &boot, const QString &primary, const QString &secondary);
    void offer(Updater &updater, const QString &boot, const QString &primary, const QString &secondary);

    std::unique_ptr<PrivateTemp> m_temp;
    std::unique_ptr<QTemporaryDir> m_config;
    std::unique_ptr<HttpFaultServer> m_server;
    std::vector<std::unique_ptr<Volume>> m_volumes;
};

void TestUpdater::initTestCase()
{
    QCoreApplication::setOrganizationName("ZUV Systems");
    QCoreApplication::setApplicationName("ZUV Update Manager");
    m_config = std::make_unique<QTemporaryDir>();
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config->path()));
}

void TestUpdater::init()
{
    m_temp = std::make_unique<PrivateTemp>();
    m_server = std::make_unique<HttpFaultServer>();
    QVERIFY(m_server->listen());
    writeServerSetting(m_server->baseUrl());
    m_server->setBody(ChangelistPath, "Fixes\nMore fixes\n");
}

void TestUpdater::cleanup()
{
    m_volumes.clear();
    m_server.reset();
    QTest::qWait(50); // let deferred deletions of replies and files run
    QVERIFY2(m_temp->leftovers().isEmpty(), qPrintable(m_temp->leftovers().join(", ")));
    m_temp.reset();
    Helpers::Network::setStallTimeout(Helpers::Network::DefaultStallTimeout);
}

void TestUpdater::writeServerSetting(const QString &root)
{
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, "ZUV Systems", "ZUV Update Manager");
    settings.setValue("UpdateServer", root);
    settings.sync();
}

std::unique_ptr<Updater> TestUpdater::connectedUpdater(const QString &boot, const QString &primary,
                                                       const QString &secondary)
{
    if (!Volume::unavailableReason().isEmpty())
        return nullptr;
    auto volume = std::make_unique<Volume>(1024 * 1024);
    if (!volume->mount())
        return nullptr;
    volume->writeInfoFile("sn1", boot, primary, secondary);
    m_volumes.push_back(std::move(volume));

    auto updater = std::make_unique<Updater>();
    QSignalSpy connected(updater.get(), &Updater::connectedToDevice);
    updater->scan();
    if (!connected.wait(SignalWait))
        return nullptr;
    return updater;
}

void TestUpdater::offer(Updater &updater, const QString &boot, const QString &primary, const QString &secondary)
{
    m_server->setBody(InfoPath, infoFile(boot, primary, secondary));
    QSignalSpy available(&updater, &Updater::updateAvailable);
    updater.checkForUpdates();
    QVERIFY(available.wait(SignalWait));
}

void TestUpdater::startsEmpty()
{
    Updater updater;
    QCOMPARE(updater.version(), QStringLiteral("0.9.529"));
    QCOMPARE(updater.property("version").toString(), QStringLiteral("0.9.529"));
    for (const char *name : {"bootloaderVersion", "primaryVersion", "secondaryVersion", "bootloaderUpdateVersion",
                             "primaryUpdateVersion", "secondaryUpdateVersion", "changelist", "lastError"})
        QVERIFY2(updater.property(name).toString().isEmpty(), name);
    QVERIFY(updater.devices().isEmpty());
}

void TestUpdater::scanWithoutDeviceReportsNone()
{
    Updater updater;
    QSignalSpy none(&updater, &Updater::noDeviceFound);
    QSignalSpy connecting(&updater, &Updater::connectingToDevice);
    QElapsedTimer clock;
    clock.start();
    updater.scan();
    QVERIFY(none.wait(SignalWait));
    QVERIFY(clock.elapsed() >= 450);
    QVERIFY(updater.devices().isEmpty());
    QCOMPARE(connecting.count(), 0);
    QVERIFY(m_server->requests().isEmpty());
}

void TestUpdater::scanWithTwoDevicesConnectsToNeither()
{
    if (!Volume::unavailableReason().isEmpty())
        QSKIP(qPrintable(Volume::unavailableReason()));
    for (const char *serial : {"first-a", "second-b"}) {
        m_volumes.push_back(std::make_unique<Volume>(1024 * 1024));
        QVERIFY(m_volumes.back()->mount());
        m_volumes.back()->writeInfoFile(serial, "1", "2", "3");
    }
    // A volume whose file lacks a key is no device.
    m_volumes.push_back(std::make_unique<Volume>(1024 * 1024));
    QVERIFY(m_volumes.back()->mount());
    m_volumes.back()->writeFile("FW.ZUV", "SN_PRI=x\nVER_BOOT=1\nVER_PRI=2\n");

    Updater updater;
    QSignalSpy multiple(&updater, &Updater::multipleDevicesFound);
    QSignalSpy connecting(&updater, &Updater::connectingToDevice);
    updater.scan();
    QVERIFY(multiple.wait(SignalWait));
    QCOMPARE(updater.devices(), (QStringList{"THE ORVIK (FIRST-A)", "THE ORVIK (SECOND-B)"}));
    QCOMPARE(updater.devices(), updater.devices());

    updater.connectToDevice();
    QTest::qWait(100);
    QCOMPARE(connecting.count(), 0);
    QVERIFY(updater.primaryVersion().isEmpty());
    QVERIFY(m_server->requests().isEmpty());
}

void TestUpdater::scanWithOneDeviceConnects()
{
    if (!Volume::unavailableReason().isEmpty())
        QSKIP(qPrintable(Volume::unavailableReason()));
    m_volumes.push_back(std::make_unique<Volume>(1024 * 1024));
    QVERIFY(m_volumes.back()->mount());
    m_volumes.back()->writeInfoFile("sn1", "b1", "p1", "s1");

    Updater updater;
    QSignalSpy connecting(&updater, &Updater::connectingToDevice);
    QSignalSpy info(&updater, &Updater::updateInfoChanged);
    QSignalSpy connected(&updater, &Updater::connectedToDevice);
    updater.scan();
    QVERIFY(connected.wait(SignalWait));
    QCOMPARE(connecting.count(), 1);
    QCOMPARE(info.count(), 1);
    QCOMPARE(m_server->requestedPaths(), QList<QByteArray>{ChangelistPath});
    // Connected is announced half a second after the change list arrived.
    const qint64 answeredAt = m_server->requests().first().finishedAtMs;
    QVERIFY(answeredAt >= 0);
    QCOMPARE(updater.changelist(), QStringLiteral("FIXES\nMORE FIXES\n"));
    QCOMPARE(updater.bootloaderVersion(), QStringLiteral("b1"));
    QCOMPARE(updater.primaryVersion(), QStringLiteral("p1"));
    QCOMPARE(updater.secondaryVersion(), QStringLiteral("s1"));
    QCOMPARE(updater.devices(), QStringList{"THE ORVIK (SN1)"});

    // A later scan that finds nothing keeps the connected device.
    m_volumes.clear();
    QSignalSpy none(&updater, &Updater::noDeviceFound);
    updater.scan();
    QVERIFY(none.wait(SignalWait));
    QVERIFY(updater.devices().isEmpty());
    QCOMPARE(updater.primaryVersion(), QStringLiteral("p1"));
}

void TestUpdater::secondScanSupersedesTheFirst()
{
    Updater updater;
    QSignalSpy none(&updater, &Updater::noDeviceFound);
    updater.scan();
    updater.scan();
    QVERIFY(none.wait(SignalWait));
    QTest::qWait(1000);
    QCOMPARE(none.count(), 1);
}

void TestUpdater::changelistIsCutAtZeroAndUpperCased()
{
    m_server->setBody(ChangelistPath, QByteArray("Version 2: <b>Gr\xc3\xbc\xc3\x9f" "e</b>\0hidden tail", 31));
    auto updater = connectedUpdater("1", "2", "3");
    if (!updater)
        QSKIP("no device volume");
    QCOMPARE(updater->changelist(), QStringLiteral("VERSION 2: <B>GRÜSSE</B>"));
}

void TestUpdater::serverFailuresSetLastError_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("fault");
    QTest::addColumn<QString>("reason");
    QTest::newRow("404") << 404 << int(HttpFaultServer::NoFault) << "SERVER REPLIED: NOT FOUND";
    QTest::newRow("500") << 500 << int(HttpFaultServer::NoFault) << "SERVER REPLIED: INTERNAL SERVER ERROR";
    QTest::newRow("301 is not followed") << 301 << int(HttpFaultServer::NoFault) << "";
    QTest::newRow("too large") << 200 << int(HttpFaultServer::NoFault) << "LARGER THAN";
    QTest::newRow("body cut short under 200") << 200 << int(HttpFaultServer::CloseAfterBytes) << "";
    QTest::newRow("reset under 200") << 200 << int(HttpFaultServer::ResetAfterBytes) << "";
}

void TestUpdater::serverFailuresSetLastError()
{
    QFETCH(int, status);
    QFETCH(int, fault);
    QFETCH(QString, reason);
    if (!Volume::unavailableReason().isEmpty())
        QSKIP(qPrintable(Volume::unavailableReason()));

    HttpFaultServer::Response response;
    response.status = status;
    response.fault = HttpFaultServer::Fault(fault);
    response.body = "A change list that never arrives whole";
    response.faultAfterBytes = 10;
    if (status == 301)
        response.headers.append(qMakePair(QByteArray("Location"), QByteArray("/elsewhere.txt")));
    if (reason == "LARGER THAN")
        response.body = QByteArray(17 * 1024 * 1024, 'a');
    m_server->setResponse(ChangelistPath, response);
    m_server->setBody("/elsewhere.txt", "moved");

    m_volumes.push_back(std::make_unique<Volume>(1024 * 1024));
    QVERIFY(m_volumes.back()->mount());
    m_volumes.back()->writeInfoFile("sn1", "1", "2", "3");

    Updater updater;
    QSignalSpy failed(&updater, &Updater::updateServerConnectionError);
    QSignalSpy connected(&updater, &Updater::connectedToDevice);
    updater.scan();
    QVERIFY(failed.wait(SignalWait));
    QTest::qWait(700);
    QCOMPARE(connected.count(), 0);
    QCOMPARE(failed.count(), 1);
    QVERIFY(updater.changelist().isEmpty());

    const QString url = (m_server->baseUrl() + ChangelistPath).toUpper();
    QVERIFY2(updater.lastError().startsWith(url + ": "), qPrintable(updater.lastError()));
    QVERIFY2(updater.lastError().contains(reason), qPrintable(updater.lastError()));
    QCOMPARE(updater.lastError(), updater.lastError().toUpper());
    QCOMPARE(m_server->requestCount("/elsewhere.txt"), 0);
}

void TestUpdater::unreachableServer()
{
    quint16 closedPort = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        closedPort = probe.serverPort();
    }
    writeServerSetting(QStringLiteral("http://127.0.0.1:%1").arg(closedPort));
    Updater updater;
    QSignalSpy failed(&updater, &Updater::updateServerConnectionError);
    updater.checkForUpdates();
    QVERIFY(failed.wait(SignalWait));
    QCOMPARE(updater.lastError(),
             QStringLiteral("HTTP://127.0.0.1:%1/ZUVUPDATER/INVALID//FW.ZUV: CONNECTION REFUSED").arg(closedPort));
}

void TestUpdater::stalledTransferFails()
{
    Helpers::Network::setStallTimeout(300);
    HttpFaultServer::Response stall;
    stall.fault = HttpFaultServer::StallAfterHeaders;
    stall.body = infoFile("1", "2", "3");
    stall.faultAfterBytes = 5;
    m_server->setResponse("/ZUVUpdater/Invalid//FW.ZUV", stall);

    Updater updater;
    QSignalSpy failed(&updater, &Updater::updateServerConnectionError);
    QSignalSpy available(&updater, &Updater::updateAvailable);
    updater.checkForUpdates();
    QVERIFY(failed.wait(SignalWait));
    QCOMPARE(available.count(), 0);
    QVERIFY(!updater.lastError().isEmpty());
}

void TestUpdater::checkForUpdatesReadsTheServerCopy()
{
    auto updater = connectedUpdater("1", "2", "3");
    if (!updater)
        QSKIP("no device volume");

    m_server->setBody(InfoPath, "SN_PRI=ignored\nVER_BOOT=1\nVER_PRI=2b\n");
    QSignalSpy info(updater.get(), &Updater::updateInfoChanged);
    QSignalSpy available(updater.get(), &Updater::updateAvailable);
    QElapsedTimer clock;
    clock.start();
    updater->checkForUpdates();
    QVERIFY(available.wait(SignalWait));
    QVERIFY(clock.elapsed() >= 450);
    QCOMPARE(info.count(), 1);
    QCOMPARE(updater->bootloaderUpdateVersion(), QStringLiteral("1"));
    QCOMPARE(updater->primaryUpdateVersion(), QStringLiteral("2b"));
    QVERIFY(updater->secondaryUpdateVersion().isEmpty());

    // Equal versions still announce availability; reconnecting clears them.
    offer(*updater, "1", "2", "3");
    QCOMPARE(updater->secondaryUpdateVersion(), QStringLiteral("3"));
    QSignalSpy connected(updater.get(), &Updater::connectedToDevice);
    updater->scan();
    QVERIFY(connected.wait(SignalWait));
    QVERIFY(updater->bootloaderUpdateVersion().isEmpty());
    QVERIFY(updater->secondaryUpdateVersion().isEmpty());
}

void TestUpdater::missingTemporaryLocationIsReported()
{
    m_server->setBody("/ZUVUpdater/Invalid//FW.ZUV", infoFile("9", "9", "9"));
    const QByteArray previous = qgetenv("TMPDIR");
    qputenv("TMPDIR", "/nonexistent/zuv-temp");
    Updater updater;
    QSignalSpy failed(&updater, &Updater::updateServerConnectionError);
    updater.checkForUpdates();
    QVERIFY(failed.wait(SignalWait));
    qputenv("TMPDIR", previous);
    QVERIFY2(updater.lastError().startsWith("CREATING TEMPORARY FILE: "), qPrintable(updater.lastError()));
    QVERIFY(updater.bootloaderUpdateVersion().isEmpty());
}

void TestUpdater::checkBeforeConnectingAsksForInvalidModel()
{
    m_server->setBody("/ZUVUpdater/Invalid//FW.ZUV", infoFile("9", "9", "9"));
    Updater updater;
    QSignalSpy available(&updater, &Updater::updateAvailable);
    updater.checkForUpdates();
    QVERIFY(available.wait(SignalWait));
    QCOMPARE(m_server->requestedPaths(), QList<QByteArray>{"/ZUVUpdater/Invalid//FW.ZUV"});
    QCOMPARE(updater.bootloaderUpdateVersion(), QStringLiteral("9"));
}

void TestUpdater::updateChoosesTheRun_data()
{
    QTest::addColumn<QStringList>("offered");
    QTest::addColumn<QStringList>("manifests");
    QTest::addColumn<QString>("announcedBy");

    // The device holds bootloader "1", primary "2", secondary "3".
    QTest::newRow("bootloader differs, alone") << QStringList{"2", "5", "5"}
                                               << QStringList{"Bootloader/2"} << "bootloaderUpdateReady";
    QTest::newRow("primary differs") << QStringList{"1", "2a", "3"} << QStringList{"PrimaryFirmware/2a"}
                                     << "updateReady";
    QTest::newRow("older secondary differs")
        << QStringList{"1", "2", "2"}
        << QStringList{"SecondaryFirmware/2", "SecondaryFirmware/ANIM", "SecondaryFirmware/IMAGES",
                       "SecondaryFirmware/SOUNDS"}
        << "updateReady";
    // Quoted, so that the INI reader keeps the blank.
    QTest::newRow("a trailing blank counts")
        << QStringList{"1", "\"2 \"", "3"} << QStringList{"PrimaryFirmware/2 "} << "updateReady";
    QTest::newRow("primary and secondary")
        << QStringList{"1", "4", "5"}
        << QStringList{"PrimaryFirmware/4", "SecondaryFirmware/5", "SecondaryFirmware/ANIM",
                       "SecondaryFirmware/IMAGES", "SecondaryFirmware/SOUNDS"}
        << "updateReady";
    QTest::newRow("nothing differs") << QStringList{"1", "2", "3"} << QStringList{} << "nothingToUpdate";
}

void TestUpdater::updateChoosesTheRun()
{
    QFETCH(QStringList, offered);
    QFETCH(QStringList, manifests);
    QFETCH(QString, announcedBy);

    auto updater = connectedUpdater("1", "2", "3");
    if (!updater)
        QSKIP("no device volume");
    offer(*updater, offered.at(0), offered.at(1), offered.at(2));
    HttpFaultServer::Response empty; // every manifest is empty: nothing to fetch
    m_server->setDefaultResponse(empty);
    m_server->clearRequests();

    QSignalSpy ready(updater.get(), &Updater::updateReady);
    QSignalSpy bootloaderReady(updater.get(), &Updater::bootloaderUpdateReady);
    QSignalSpy nothing(updater.get(), &Updater::nothingToUpdate);
    QSignalSpy failed(updater.get(), &Updater::downloadError);
    updater->update();

    if (announcedBy == "nothingToUpdate") {
        QCOMPARE(nothing.count(), 1);
        QTest::qWait(700);
        QVERIFY(m_server->requests().isEmpty());
        QCOMPARE(ready.count() + bootloaderReady.count(), 0);
        return;
    }
    QSignalSpy &expected = announcedBy == "updateReady" ? ready : bootloaderReady;
    QVERIFY(expected.wait(SignalWait));
    QTest::qWait(400);
    QCOMPARE(ready.count(), announcedBy == "updateReady" ? 1 : 0);
    QCOMPARE(bootloaderReady.count(), announcedBy == "updateReady" ? 0 : 1);
    QCOMPARE(failed.count(), 0);
    QCOMPARE(nothing.count(), 0);

    QList<QByteArray> expectedPaths;
    for (const QString &directory : manifests)
        expectedPaths.append(manifestPath(directory).replace(' ', "%20"));
    std::sort(expectedPaths.begin(), expectedPaths.end());
    QCOMPARE(manifestRequests(*m_server), expectedPaths);
}

void TestUpdater::successIsAnnouncedOnce()
{
    auto updater = connectedUpdater("1", "2", "3");
    if (!updater)
        QSKIP("no device volume");
    offer(*updater, "1", "9", "3");
    m_server->setDefaultResponse(HttpFaultServer::Response());

    QSignalSpy ready(updater.get(), &Updater::updateReady);
    updater->update();
    updater->update();
    QVERIFY(ready.wait(SignalWait));
    QTest::qWait(800);
    QCOMPARE(ready.count(), 1);
}

void TestUpdater::firmwareRunThenBootloaderRun()
{
    auto updater = connectedUpdater("1", "2", "3");
    if (!updater)
        QSKIP("no device volume");
    m_server->setDefaultResponse(HttpFaultServer::Response());
    QSignalSpy ready(updater.get(), &Updater::updateReady);
    QSignalSpy bootloaderReady(updater.get(), &Updater::bootloaderUpdateReady);

    offer(*updater, "1", "9", "3");
    updater->update();
    QVERIFY(ready.wait(SignalWait));

    offer(*updater, "7", "9", "3");
    updater->update();
    QVERIFY(bootloaderReady.wait(SignalWait));
    QTest::qWait(400);
    QCOMPARE(ready.count(), 1);
    QCOMPARE(bootloaderReady.count(), 1);
}

QTEST_GUILESS_MAIN(TestUpdater)
#include "test_updater.moc"
