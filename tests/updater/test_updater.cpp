#include "httpfaultserver.h"
#include "privatetemp.h"
#include "updater/updater.h"
#include "volume.h"

#include <QElapsedTimer>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

const QByteArray ChangelistPath = "/ZUVUpdater/TheOrvik//changelist.txt";
const QByteArray InfoPath = "/ZUVUpdater/TheOrvik//FW.ZUV";
const QByteArray InvalidInfoPath = "/ZUVUpdater/Invalid//FW.ZUV";

// Bound for everything the updater announces; its own delays are 500 ms.
constexpr int SignalWait = 5000;

QByteArray infoFile(const QString &boot, const QString &primary, const QString &secondary)
{
    return QStringLiteral("VER_BOOT=%1\nVER_PRI=%2\nVER_SEC=%3\n").arg(boot, primary, secondary).toUtf8();
}

} // namespace

class TestUpdater : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void scanConnectsOnlyToASingleDevice();
    void checkBeforeConnectingAsksForInvalidModel();
    void checkForUpdatesReadsTheServerCopy();
    void updateChoosesTheRun_data();
    void updateChoosesTheRun();
    void eachRunIsAnnouncedOnce();

private:
    void mountDevice(const QString &serial, const QString &boot, const QString &primary, const QString &secondary);
    std::unique_ptr<Updater> connectedUpdater();
    void offer(Updater &updater, const QString &boot, const QString &primary, const QString &secondary);

    std::unique_ptr<PrivateTemp> m_temp;
    std::unique_ptr<QTemporaryDir> m_config;
    std::unique_ptr<HttpFaultServer> m_server;
    std::vector<std::unique_ptr<Volume>> m_volumes;
};

void TestUpdater::initTestCase()
{
    if (!Volume::unavailableReason().isEmpty())
        QSKIP(qPrintable(Volume::unavailableReason()));
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
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, "ZUV Systems", "ZUV Update Manager");
    settings.setValue("UpdateServer", m_server->baseUrl());
    m_server->setBody(ChangelistPath, "Fixes\nMore fixes\n");
}

void TestUpdater::cleanup()
{
    m_volumes.clear();
    m_server.reset();
    QTest::qWait(50); // let deferred deletions of replies and files run
    QVERIFY2(m_temp->leftovers().isEmpty(), qPrintable(m_temp->leftovers().join(", ")));
    m_temp.reset();
}

void TestUpdater::mountDevice(const QString &serial, const QString &boot, const QString &primary,
                              const QString &secondary)
{
    m_volumes.push_back(std::make_unique<Volume>(1024 * 1024));
    QVERIFY(m_volumes.back()->mount());
    m_volumes.back()->writeInfoFile(serial, boot, primary, secondary);
}

// An updater connected to a device holding bootloader "1", primary "2" and
// secondary "3"; null when it does not connect.
std::unique_ptr<Updater> TestUpdater::connectedUpdater()
{
    mountDevice("sn1", "1", "2", "3");
    auto updater = std::make_unique<Updater>();
    QSignalSpy connected(updater.get(), &Updater::connectedToDevice);
    updater->scan();
    return connected.wait(SignalWait) ? std::move(updater) : nullptr;
}

void TestUpdater::offer(Updater &updater, const QString &boot, const QString &primary, const QString &secondary)
{
    m_server->setBody(InfoPath, infoFile(boot, primary, secondary));
    QSignalSpy available(&updater, &Updater::updateAvailable);
    updater.checkForUpdates();
    QVERIFY(available.wait(SignalWait));
}

// No device: reported once, even when a second scan replaces the first.
// Two devices: the user must choose, and nothing is asked of the server.
// One device: connected at once. None again: the connected device stays.
void TestUpdater::scanConnectsOnlyToASingleDevice()
{
    Updater updater;
    QCOMPARE(updater.version(), QStringLiteral("0.9.529"));
    QSignalSpy none(&updater, &Updater::noDeviceFound);
    QSignalSpy multiple(&updater, &Updater::multipleDevicesFound);
    QSignalSpy connecting(&updater, &Updater::connectingToDevice);
    QSignalSpy info(&updater, &Updater::updateInfoChanged);
    QSignalSpy connected(&updater, &Updater::connectedToDevice);
    QElapsedTimer clock;
    clock.start();
    updater.scan();
    updater.scan();
    QVERIFY(none.wait(SignalWait));
    QVERIFY(clock.elapsed() >= 450);
    QTest::qWait(1000);
    QCOMPARE(none.count(), 1);
    QVERIFY(updater.devices().isEmpty());

    mountDevice("first-a", "1", "2", "3");
    mountDevice("second-b", "b1", "p1", "s1");
    mountDevice("third", "1", "2", ""); // a volume whose file lacks a key is no device
    updater.scan();
    QVERIFY(multiple.wait(SignalWait));
    QCOMPARE(updater.devices(), (QStringList{"THE ORVIK (FIRST-A)", "THE ORVIK (SECOND-B)"}));
    updater.connectToDevice();
    QTest::qWait(100);
    QCOMPARE(connecting.count(), 0);
    QVERIFY(updater.primaryVersion().isEmpty());
    QVERIFY(m_server->requests().isEmpty());

    // The change list is shown in upper case and ends at a zero byte.
    m_server->setBody(ChangelistPath, QByteArray("Version 2: <b>Gr\xc3\xbc\xc3\x9f" "e</b>\0hidden tail", 31));
    m_volumes.erase(m_volumes.begin());
    updater.scan();
    QVERIFY(connected.wait(SignalWait));
    QCOMPARE(connecting.count(), 1);
    QCOMPARE(info.count(), 1);
    QCOMPARE(m_server->requestedPaths(), QList<QByteArray>{ChangelistPath});
    QCOMPARE(updater.changelist(), QStringLiteral("VERSION 2: <B>GRÜSSE</B>"));
    QCOMPARE((QStringList{updater.bootloaderVersion(), updater.primaryVersion(), updater.secondaryVersion()}),
             (QStringList{"b1", "p1", "s1"}));
    QCOMPARE(updater.devices(), QStringList{"THE ORVIK (SECOND-B)"});

    m_volumes.clear();
    updater.scan();
    QVERIFY(none.wait(SignalWait));
    QVERIFY(updater.devices().isEmpty());
    QCOMPARE(updater.primaryVersion(), QStringLiteral("p1"));
}

// Before connecting, the check asks for the invalid model's FW.ZUV; when
// its copy cannot be stored, the error names the cause.
void TestUpdater::checkBeforeConnectingAsksForInvalidModel()
{
    m_server->setBody(InvalidInfoPath, infoFile("9", "9", "9"));
    Updater updater;
    QSignalSpy available(&updater, &Updater::updateAvailable);
    updater.checkForUpdates();
    QVERIFY(available.wait(SignalWait));
    QCOMPARE(m_server->requestedPaths(), QList<QByteArray>{InvalidInfoPath});
    QCOMPARE(updater.bootloaderUpdateVersion(), QStringLiteral("9"));

    const QByteArray previous = qgetenv("TMPDIR");
    qputenv("TMPDIR", "/nonexistent/zuv-temp");
    QSignalSpy failed(&updater, &Updater::updateServerConnectionError);
    updater.checkForUpdates();
    QVERIFY(failed.wait(SignalWait));
    qputenv("TMPDIR", previous);
    QVERIFY2(updater.lastError().startsWith("CREATING TEMPORARY FILE: "), qPrintable(updater.lastError()));
    QCOMPARE(updater.bootloaderUpdateVersion(), QStringLiteral("9"));

    // A temporary volume too full for the copy: no cut-off versions.
    Volume full(64 * 1024);
    QVERIFY(full.mount());
    full.writeFile("filler", QByteArray(60 * 1024, 'x'));
    m_server->setBody(InvalidInfoPath, infoFile("8", "8", "8") + "; " + QByteArray(200 * 1024, 'p') + "\n");
    qputenv("TMPDIR", QFile::encodeName(full.rootPath()));
    updater.checkForUpdates();
    QVERIFY(failed.wait(SignalWait));
    qputenv("TMPDIR", previous);
    QVERIFY2(updater.lastError().startsWith("WRITING TEMPORARY FILE: "), qPrintable(updater.lastError()));
    QCOMPARE(updater.bootloaderUpdateVersion(), QStringLiteral("9"));
}

// Equal versions still announce availability; a later copy lacking a key
// empties what an earlier one set; the device's own record stays; and
// reconnecting clears the versions offered.
void TestUpdater::checkForUpdatesReadsTheServerCopy()
{
    auto updater = connectedUpdater();
    QVERIFY(updater);
    offer(*updater, "1", "2", "3");
    QCOMPARE(updater->secondaryUpdateVersion(), QStringLiteral("3"));

    m_server->setBody(InfoPath, "SN_PRI=ignored\nVER_BOOT=1\nVER_PRI=2b\n");
    QSignalSpy info(updater.get(), &Updater::updateInfoChanged);
    QSignalSpy available(updater.get(), &Updater::updateAvailable);
    QElapsedTimer clock;
    clock.start();
    updater->checkForUpdates();
    QVERIFY(available.wait(SignalWait));
    QVERIFY(clock.elapsed() >= 450);
    QCOMPARE(info.count(), 1);
    QCOMPARE((QStringList{updater->bootloaderUpdateVersion(), updater->primaryUpdateVersion(),
                          updater->secondaryUpdateVersion()}),
             (QStringList{"1", "2b", ""}));
    QCOMPARE(updater->primaryVersion(), QStringLiteral("2"));
    QCOMPARE(updater->devices(), QStringList{"THE ORVIK (SN1)"});

    QSignalSpy connected(updater.get(), &Updater::connectedToDevice);
    updater->scan();
    QVERIFY(connected.wait(SignalWait));
    QVERIFY(updater->bootloaderUpdateVersion().isEmpty());
    QVERIFY(updater->primaryUpdateVersion().isEmpty());
}

void TestUpdater::updateChoosesTheRun_data()
{
    QTest::addColumn<QStringList>("offered");
    QTest::addColumn<QStringList>("manifests");
    QTest::addColumn<QString>("announcedBy");

    // The device holds bootloader "1", primary "2", secondary "3".
    const QStringList secondary{"SecondaryFirmware/ANIM", "SecondaryFirmware/IMAGES", "SecondaryFirmware/SOUNDS"};
    QTest::newRow("bootloader differs, alone") << QStringList{"2", "5", "5"} << QStringList{"Bootloader/2"}
                                               << "bootloaderUpdateReady";
    // Quoted, so that the INI reader keeps the blank.
    QTest::newRow("primary differs by a trailing blank")
        << QStringList{"1", "\"2 \"", "3"} << QStringList{"PrimaryFirmware/2 "} << "updateReady";
    QTest::newRow("older secondary differs") << QStringList{"1", "2", "2"} << QStringList("SecondaryFirmware/2") + secondary
                                             << "updateReady";
    QTest::newRow("nothing differs") << QStringList{"1", "2", "3"} << QStringList{} << "nothingToUpdate";
}

void TestUpdater::updateChoosesTheRun()
{
    QFETCH(QStringList, offered);
    QFETCH(QStringList, manifests);
    QFETCH(QString, announcedBy);

    auto updater = connectedUpdater();
    QVERIFY(updater);
    offer(*updater, offered.at(0), offered.at(1), offered.at(2));
    m_server->setDefaultResponse(HttpFaultServer::Response()); // every manifest is empty: nothing to fetch
    m_server->clearRequests();

    QSignalSpy ready(updater.get(), &Updater::updateReady);
    QSignalSpy bootloaderReady(updater.get(), &Updater::bootloaderUpdateReady);
    QSignalSpy nothing(updater.get(), &Updater::nothingToUpdate);
    QSignalSpy failed(updater.get(), &Updater::downloadError);
    updater->update();
    if (announcedBy == "nothingToUpdate")
        QCOMPARE(nothing.count(), 1);
    else
        QVERIFY((announcedBy == "updateReady" ? ready : bootloaderReady).wait(SignalWait));
    QTest::qWait(700);
    QCOMPARE(ready.count(), announcedBy == "updateReady" ? 1 : 0);
    QCOMPARE(bootloaderReady.count(), announcedBy == "bootloaderUpdateReady" ? 1 : 0);
    QCOMPARE(nothing.count(), announcedBy == "nothingToUpdate" ? 1 : 0);
    QCOMPARE(failed.count(), 0);

    QStringList requested; // the directories whose manifests were asked for
    for (const QByteArray &path : m_server->requestedPaths())
        requested.append(QUrl::fromPercentEncoding(path.mid(path.indexOf("//") + 2)).remove("/manifest.txt"));
    requested.sort();
    manifests.sort();
    QCOMPARE(requested, manifests);
}

// However often UPDATE is pressed, a run announces its end once; a second
// run on the same connection may be the bootloader's.
void TestUpdater::eachRunIsAnnouncedOnce()
{
    auto updater = connectedUpdater();
    QVERIFY(updater);
    m_server->setDefaultResponse(HttpFaultServer::Response());
    QSignalSpy ready(updater.get(), &Updater::updateReady);
    QSignalSpy bootloaderReady(updater.get(), &Updater::bootloaderUpdateReady);

    offer(*updater, "1", "9", "3");
    updater->update();
    updater->update();
    QVERIFY(ready.wait(SignalWait));
    QTest::qWait(800);
    QCOMPARE(ready.count(), 1);

    offer(*updater, "7", "9", "3");
    updater->update();
    QVERIFY(bootloaderReady.wait(SignalWait));
    QTest::qWait(400);
    QCOMPARE(ready.count(), 1);
    QCOMPARE(bootloaderReady.count(), 1);
}

QTEST_GUILESS_MAIN(TestUpdater)
#include "test_updater.moc"
