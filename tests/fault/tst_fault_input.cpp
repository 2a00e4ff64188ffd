// Malformed input from the server (the card's information file is the
// device suite's): information files, manifests and change lists that are binary, empty, huge, truncated,
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

class InputFaultTest : public FaultTest
{
    Q_OBJECT

private Q_SLOTS:
    void serverInfoFile_data();
    void serverInfoFile();
    void manifest_data();
    void manifest();
    void changelist_data();
    void changelist();

private:
    // Scans and stops where the device page shows, or no device is found.
    QString connectToDevice()
    {
        rig->autoDrive = false;
        return rig->waitFor({"connectedToDevice", "noDeviceFound"}, rig->startFlow());
    }
};

void InputFaultTest::serverInfoFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("offered"); // empty: a server error
    QTest::newRow("binary") << binary(4096) << QStringList{"", "", ""};
    QTest::newRow("larger than an information file") << hugeInfoFile() << QStringList();
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
    rig->server().setBody(Release::InfoPath, content);
    QCOMPARE(connectToDevice(), QStringLiteral("connectedToDevice"));
    const int from = rig->signalLog.size();
    Updater *updater = rig->updater();
    updater->checkForUpdates();
    const QString page = rig->waitFor({"updateAvailable", "updateServerConnectionError"}, from);
    if (offered.isEmpty()) {
        QCOMPARE(page, QStringLiteral("updateServerConnectionError"));
        QVERIFY2(updater->lastError().contains("LARGER THAN"), qPrintable(updater->lastError()));
    } else {
        QCOMPARE(page, QStringLiteral("updateAvailable"));
        QCOMPARE((QStringList{updater->bootloaderUpdateVersion(), updater->primaryUpdateVersion(),
                              updater->secondaryUpdateVersion()}),
                 offered);
    }
    QCOMPARE(rig->cardDifference(Release::oldCard()), QString());
}

void InputFaultTest::manifest_data()
{
    QTest::addColumn<QByteArray>("manifest");
    QTest::addColumn<bool>("downloads"); // whether a download may start
    QTest::newRow("10 MiB line") << SomeDigest + "  " + QByteArray(10 * 1024 * 1024, 'A') + "\n" << true;
    QByteArray many;
    for (int i = 0; i < 100000; ++i)
        many += SomeDigest + "  F" + QByteArray::number(i).rightJustified(6, '0') + ".BIN\n";
    QTest::newRow("100,000 entries") << many << true;
    // Digests are compared as written.
    const Files primary = Release::serverDirectories().value("PrimaryFirmware/P2");
    QTest::newRow("upper-case digests") << Release::manifestText(primary).toUpper() << true;
    QTest::newRow("binary") << binary(64 * 1024) << false;
}

// The primary firmware's manifest is replaced; whatever it says, the run
// ends with the error page and the card untouched.
void InputFaultTest::manifest()
{
    QFETCH(QByteArray, manifest);
    QFETCH(bool, downloads);
    rig->server().setBody(Release::manifestPath("PrimaryFirmware/P2"), manifest);

    QCOMPARE(rig->runFlow(), QStringLiteral("downloadError"));
    QVERIFY(rig->fileRequests() <= (downloads ? 10 : 0));
    QVERIFY(!rig->signalLog.contains("copyingFiles"));
    QCOMPARE(rig->cardDifference(Release::oldCard()), QString());
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
    rig->server().setBody(Release::ChangelistPath, content);
    QCOMPARE(connectToDevice(), QStringLiteral("connectedToDevice"));
    QTEST(rig->updater()->changelist(), "shown");
    QCOMPARE(rig->cardDifference(Release::oldCard()), QString());
}

QTEST_GUILESS_MAIN(InputFaultTest)
#include "tst_fault_input.moc"
