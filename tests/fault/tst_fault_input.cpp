// Malformed input from the card and from the server: information files,
// manifests and change lists that are binary, empty, huge, truncated,
// hostile or merely odd. None may crash or hang the program, write outside
// the card, or change the card unless the input is a sound release.
#include "faultrig.h"

#include "updater/updater.h"

#include <QtTest>

namespace {

const QByteArray SomeDigest = "0123456789abcdef0123456789abcdef";

QByteArray binary(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 37 + 11) & 0xff);
    return bytes;
}

QByteArray hugeInfoFile()
{
    QByteArray text = "SN_PRI=ZUV-0001\nVER_BOOT=B2\nVER_PRI=P2\nVER_SEC=S2\n";
    while (text.size() < 2 * 1024 * 1024)
        text += "; padding that no information file of the device ever has\n";
    return text;
}

} // namespace

class InputFaultTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void deviceInfoFile_data();
    void deviceInfoFile();
    void serverInfoFile_data();
    void serverInfoFile();
    void manifest_data();
    void manifest();
    void changelist_data();
    void changelist();

private:
    bool connectToDevice();

    std::unique_ptr<FaultRig> m_rig;
};

void InputFaultTest::initTestCase()
{
    if (!Volume::unavailableReason().isEmpty())
        QSKIP(qPrintable(Volume::unavailableReason()));
    FaultRig::initProcess();
}

void InputFaultTest::init()
{
    m_rig = std::make_unique<FaultRig>();
    QVERIFY(m_rig->setUp());
}

void InputFaultTest::cleanup()
{
    m_rig.reset();
    FaultRig::printLogIfFailed();
}

bool InputFaultTest::connectToDevice()
{
    m_rig->autoDrive = false;
    const int from = m_rig->startFlow();
    return m_rig->waitFor("connectedToDevice", from);
}

void InputFaultTest::deviceInfoFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("serialNumber"); // empty: not a device
    // Values are opaque text: a NUL byte is kept like any other character.
    QTest::newRow("binary") << binary(4096) << "";
    QTest::newRow("empty") << QByteArray() << "";
    QTest::newRow("huge") << hugeInfoFile() << "";
    QTest::newRow("keys only in a section")
        << QByteArray("[Device]\nSN_PRI=ZUV-0001\nVER_BOOT=B1\nVER_PRI=P1\nVER_SEC=S1\n") << "";
    QTest::newRow("NUL byte in a value")
        << QByteArray("SN_PRI=ZUV\0-0001\nVER_BOOT=B1\nVER_PRI=P1\nVER_SEC=S1\n", 49) << QString::fromLatin1("ZUV\0-0001", 9);
    QTest::newRow("NUL byte instead of a line end")
        << QByteArray("SN_PRI=ZUV-0001\0VER_BOOT=B1\nVER_PRI=P1\nVER_SEC=S1\n", 49) << "";
}

void InputFaultTest::deviceInfoFile()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, serialNumber);
    m_rig->card().writeFile("FW.ZUV", content);
    Files before = Release::oldCard();
    before.insert("FW.ZUV", content);
    m_rig->autoDrive = false;

    const int from = m_rig->startFlow();
    QVERIFY(QTest::qWaitFor([&] {
        return m_rig->signalLog.mid(from).contains("noDeviceFound")
            || m_rig->signalLog.mid(from).contains("connectedToDevice");
    }, 30000));
    if (serialNumber.isEmpty()) {
        QVERIFY(m_rig->signalLog.contains("noDeviceFound"));
        QVERIFY(m_rig->server().requests().isEmpty());
    } else {
        QCOMPARE(m_rig->updater()->devices(), QStringList{"THE ORVIK (" + serialNumber + ")"});
    }
    QCOMPARE(m_rig->cardDifference(before), QString());
    QCOMPARE(m_rig->tempLeftovers(), QStringList());
}

void InputFaultTest::serverInfoFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("offered"); // empty: a server error
    QTest::newRow("binary") << binary(4096) << QStringList{"", "", ""};
    QTest::newRow("empty") << QByteArray() << QStringList{"", "", ""};
    QTest::newRow("larger than an information file") << hugeInfoFile() << QStringList{"", "", ""};
    QTest::newRow("larger than any reply") << QByteArray(17 * 1024 * 1024, 'x') << QStringList();
    QTest::newRow("keys only in a section")
        << QByteArray("[Release]\nVER_BOOT=B1\nVER_PRI=P2\nVER_SEC=S2\n") << QStringList{"", "", ""};
    QTest::newRow("NUL byte in a value")
        << QByteArray("VER_BOOT=B1\nVER_PRI=P\0002\nVER_SEC=S2\n", 34) << QStringList{"B1", QString::fromLatin1("P\0002", 3), "S2"};
}

// What the server offers is shown as it reads; the window offers UPDATE
// only for a version that is there and differs.
void InputFaultTest::serverInfoFile()
{
    QFETCH(QByteArray, content);
    QFETCH(QStringList, offered);
    m_rig->server().setBody(Release::InfoPath, content);
    QVERIFY(connectToDevice());
    const int from = m_rig->signalLog.size();
    m_rig->updater()->checkForUpdates();
    QVERIFY(QTest::qWaitFor([&] {
        return m_rig->signalLog.mid(from).contains("updateAvailable")
            || m_rig->signalLog.mid(from).contains("updateServerConnectionError");
    }, 30000));
    Updater *updater = m_rig->updater();
    if (offered.isEmpty()) {
        QVERIFY(m_rig->signalLog.contains("updateServerConnectionError"));
        QVERIFY(!updater->lastError().isEmpty());
    } else {
        QCOMPARE((QStringList{updater->bootloaderUpdateVersion(), updater->primaryUpdateVersion(),
                              updater->secondaryUpdateVersion()}),
                 offered);
    }
    QCOMPARE(m_rig->cardDifference(Release::oldCard()), QString());
    QCOMPARE(m_rig->tempLeftovers(), QStringList());
}

void InputFaultTest::manifest_data()
{
    QTest::addColumn<QByteArray>("manifest");
    QTest::addColumn<bool>("downloads"); // whether a download may start
    QTest::newRow("climbs out with ..") << SomeDigest + "  ../ESCAPE.BIN\n" << false;
    QTest::newRow("climbs out further down") << SomeDigest + "  LIB/../../ESCAPE.BIN\n" << false;
    QTest::newRow("absolute path") << QByteArray() << false; // filled in below
    QTest::newRow("backslashes climbing out") << SomeDigest + "  ..\\ESCAPE.BIN\n" << false;
    QTest::newRow("NUL byte in a path") << SomeDigest + QByteArray("  NUL\0NAME.BIN\n", 15) << false;
    QTest::newRow("NUL byte in a digest") << QByteArray("0123456789abcdef\0" "123456789abcdef  PRIMARY.BIN\n", 46)
                                          << true;
    QTest::newRow("10 MiB line") << SomeDigest + "  " + QByteArray(10 * 1024 * 1024, 'A') + "\n" << true;
    QByteArray many;
    for (int i = 0; i < 100000; ++i)
        many += SomeDigest + "  F" + QByteArray::number(i).rightJustified(6, '0') + ".BIN\n";
    QTest::newRow("100,000 entries") << many << true;
    QTest::newRow("digests that are not hexadecimal") << QByteArray("zyxwvutsrqponmlkjihgfedcbazyxwvu  PRIMARY.BIN\n")
                                                      << true;
    QTest::newRow("binary") << binary(64 * 1024) << false;
}

// The primary firmware's manifest is replaced; whatever it says, the run
// ends with the error page and the card untouched.
void InputFaultTest::manifest()
{
    QFETCH(QByteArray, manifest);
    QFETCH(bool, downloads);
    const QString outside = QFileInfo(m_rig->card().rootPath()).path() + "/ABSOLUTE.BIN";
    if (manifest.isEmpty())
        manifest = SomeDigest + "  " + QFile::encodeName(outside) + "\n";
    m_rig->setManifest("PrimaryFirmware/P2", manifest);

    QCOMPARE(m_rig->runFlow(), QStringLiteral("downloadError"));
    QCOMPARE(m_rig->endingsSince(0), 1);
    if (!downloads)
        QCOMPARE(m_rig->fileRequests(), 0);
    QVERIFY(m_rig->fileRequests() <= 10);
    QVERIFY(!m_rig->signalLog.contains("copyingFiles"));
    const QString card = m_rig->cardDifference(Release::oldCard());
    QVERIFY2(card.isEmpty(), qPrintable(card));
    QCOMPARE(m_rig->strayFiles(), QStringList());
    QVERIFY(!QFile::exists(outside));
    QCOMPARE(m_rig->tempLeftovers(), QStringList());
}

void InputFaultTest::changelist_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("shown");
    QTest::newRow("16 MiB") << QByteArray(16 * 1024 * 1024, 'v') << QString(16 * 1024 * 1024, 'V');
    QTest::newRow("invalid UTF-8") << QByteArray("fixes \xff\xfe and \xc3") << QString("FIXES \uFFFD\uFFFD AND \uFFFD");
}

void InputFaultTest::changelist()
{
    QFETCH(QByteArray, content);
    m_rig->server().setBody(Release::ChangelistPath, content);
    QVERIFY(connectToDevice());
    QTEST(m_rig->updater()->changelist(), "shown");
    QCOMPARE(m_rig->cardDifference(Release::oldCard()), QString());
    QCOMPARE(m_rig->tempLeftovers(), QStringList());
}

QTEST_GUILESS_MAIN(InputFaultTest)
#include "tst_fault_input.moc"
