#include "device/deviceinfo.h"
#include "logcapture.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

void writeText(const QString &path, const QByteArray &text)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text);
}

} // namespace

class TestDeviceInfo : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void readsTheFourKeys_data();
    void readsTheFourKeys();
    void missingFileMakesAnInvalidRecord();
    void oversizedOrIrregularFileIsNotRead();
    void logsRootExistenceAndKeys();
    void serverCopyOverwritesUpdateVersions();
    void namesOfModels();
};

void TestDeviceInfo::readsTheFourKeys_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QStringList>("values"); // serial, boot, primary, secondary

    QTest::newRow("all keys, any text") << QByteArray("SN_PRI=abc 1\nVER_BOOT=x\nVER_PRI=2.0-rc\nVER_SEC=03\n")
                                         << true << QStringList{"abc 1", "x", "2.0-rc", "03"};
    QTest::newRow("CR LF and extra keys") << QByteArray("SN_PRI=7\r\nVER_BOOT=1\r\nVER_PRI=2\r\nVER_SEC=3\r\nOTHER=9\r\n")
                                          << true << QStringList{"7", "1", "2", "3"};
    QTest::newRow("secondary missing") << QByteArray("SN_PRI=7\nVER_BOOT=1\nVER_PRI=2\n")
                                       << false << QStringList{"7", "1", "2", ""};
    QTest::newRow("secondary empty") << QByteArray("SN_PRI=7\nVER_BOOT=1\nVER_PRI=2\nVER_SEC=\n")
                                     << false << QStringList{"7", "1", "2", ""};
    QTest::newRow("General section counts as top level")
        << QByteArray("[General]\nSN_PRI=7\nVER_BOOT=1\nVER_PRI=2\nVER_SEC=3\n") << true
        << QStringList{"7", "1", "2", "3"};
    QTest::newRow("keys in a named section are not found")
        << QByteArray("[Device]\nSN_PRI=7\nVER_BOOT=1\nVER_PRI=2\nVER_SEC=3\n") << false
        << QStringList{"", "", "", ""};
    QTest::newRow("binary garbage") << QByteArray("\x00\xff\x01=\x02\n\x00", 7) << false
                                    << QStringList{"", "", "", ""};
}

void TestDeviceInfo::readsTheFourKeys()
{
    QFETCH(QByteArray, file);
    QFETCH(bool, valid);
    QFETCH(QStringList, values);

    QTemporaryDir root;
    writeText(root.filePath("FW.ZUV"), file);
    const Device::Info info(root.path());

    QCOMPARE(info.isValid(), valid);
    QCOMPARE(info.type, valid ? TheOrvik : Invalid);
    QCOMPARE(info.rootPath, root.path());
    QCOMPARE(info.serialNumber, values.at(0));
    QCOMPARE(info.bootloaderVersion, values.at(1));
    QCOMPARE(info.primaryVersion, values.at(2));
    QCOMPARE(info.secondaryVersion, values.at(3));
    QVERIFY(info.primaryUpdateVersion.isEmpty());
}

void TestDeviceInfo::missingFileMakesAnInvalidRecord()
{
    QTemporaryDir root;
    const Device::Info info(root.path());
    QVERIFY(!info.isValid());
    QCOMPARE(info.type, Invalid);
    QCOMPARE(info.rootPath, root.path());
    QVERIFY(info.serialNumber.isEmpty() && info.bootloaderVersion.isEmpty()
            && info.primaryVersion.isEmpty() && info.secondaryVersion.isEmpty());
}

void TestDeviceInfo::oversizedOrIrregularFileIsNotRead()
{
    QTemporaryDir directoryRoot;
    QVERIFY(QDir(directoryRoot.path()).mkdir("FW.ZUV"));
    QVERIFY(!Device::Info(directoryRoot.path()).isValid());

    QTemporaryDir hugeRoot;
    QByteArray huge("SN_PRI=7\nVER_BOOT=1\nVER_PRI=2\nVER_SEC=3\n");
    huge += QByteArray(int(Device::MaximumInfoFileSize), '#');
    writeText(hugeRoot.filePath("FW.ZUV"), huge);
    const Device::Info info(hugeRoot.path());
    QVERIFY(!info.isValid());
    QVERIFY(info.serialNumber.isEmpty());
}

void TestDeviceInfo::logsRootExistenceAndKeys()
{
    QTemporaryDir root;
    writeText(root.filePath("FW.ZUV"), "SN_PRI=7\nVER_BOOT=1\n");
    LogCapture log;
    const Device::Info withFile(root.path());
    Q_UNUSED(withFile)
    const QStringList lines = log.lines();
    QVERIFY(lines.size() >= 3);
    QCOMPARE(lines.at(0), QStringLiteral("\"%1\"").arg(root.path()));
    QCOMPARE(lines.at(1), QStringLiteral("true"));
    QCOMPARE(lines.at(2), QStringLiteral("(\"SN_PRI\", \"VER_BOOT\")"));

    log.clear();
    QTemporaryDir empty;
    const Device::Info withoutFile(empty.path());
    Q_UNUSED(withoutFile)
    QCOMPARE(log.lines().mid(1, 2), (QStringList{"false", "()"}));
}

void TestDeviceInfo::serverCopyOverwritesUpdateVersions()
{
    QTemporaryDir dir;
    Device::Info info;
    info.serialNumber = "S";
    info.primaryVersion = "1";
    info.rootPath = "/somewhere";

    writeText(dir.filePath("server.zuv"), "SN_PRI=other\nVER_BOOT=b2\nVER_PRI=p2\nVER_SEC=s2\n");
    info.readUpdateInfo(dir.filePath("server.zuv"));
    QCOMPARE(info.bootloaderUpdateVersion, QStringLiteral("b2"));
    QCOMPARE(info.primaryUpdateVersion, QStringLiteral("p2"));
    QCOMPARE(info.secondaryUpdateVersion, QStringLiteral("s2"));
    QCOMPARE(info.serialNumber, QStringLiteral("S"));

    writeText(dir.filePath("server.zuv"), "VER_BOOT=b3\nVER_PRI=p3\n");
    info.readUpdateInfo(dir.filePath("server.zuv"));
    QCOMPARE(info.bootloaderUpdateVersion, QStringLiteral("b3"));
    QVERIFY(info.secondaryUpdateVersion.isEmpty());

    info.readUpdateInfo(dir.filePath("missing.zuv"));
    QVERIFY(info.bootloaderUpdateVersion.isEmpty() && info.primaryUpdateVersion.isEmpty());
    QCOMPARE(info.primaryVersion, QStringLiteral("1"));
    QCOMPARE(info.rootPath, QStringLiteral("/somewhere"));
}

void TestDeviceInfo::namesOfModels()
{
    QCOMPARE(Device::typeName(TheOrvik), QStringLiteral("TheOrvik"));
    QCOMPARE(Device::typeName(TheNalo), QStringLiteral("TheNalo"));
    QCOMPARE(Device::typeName(DeviceType(7)), QStringLiteral("Invalid"));
    QCOMPARE(Device::typeName(DeviceType(-1)), QStringLiteral("Invalid"));

    Device::Info info;
    QCOMPARE(info.displayName(), QStringLiteral("Invalid ()"));
    info.type = TheNalo;
    info.serialNumber = "sn-1";
    QCOMPARE(info.displayName(), QStringLiteral("The Nalo (sn-1)"));
    info.type = DeviceType(3);
    QCOMPARE(info.displayName(), QStringLiteral("Invalid (sn-1)"));
}

QTEST_GUILESS_MAIN(TestDeviceInfo)
#include "test_deviceinfo.moc"
