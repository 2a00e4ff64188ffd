#include "device/deviceinfo.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QByteArray NoFile = "<no file>";
const QByteArray DirectoryInstead = "<directory>";
const QByteArray LinkInstead = "<link>"; // to a valid information file beside it

const QByteArray Keys = "SN_PRI=7\nVER_BOOT=1\nVER_PRI=2\nVER_SEC=3\n";

void writeText(const QString &path, const QByteArray &text)
{
    if (text == DirectoryInstead) {
        QVERIFY(QDir().mkdir(path));
        return;
    }
    if (text == LinkInstead) {
        writeText(path + ".real", Keys);
        QVERIFY(QFile::link(path + ".real", path));
        return;
    }
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
    void readsTheFileAsItIsNow();
};

void TestDeviceInfo::readsTheFourKeys_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QStringList>("values"); // serial, boot, primary, secondary
    QTest::addColumn<bool>("valid");

    const auto row = [](const char *name, const QByteArray &file, const QStringList &values, bool valid) {
        QTest::newRow(name) << file << values << valid;
    };
    const QStringList none{"", "", "", ""};
    const QByteArray keys = Keys;
    row("all keys, any text", "SN_PRI=abc 1\nVER_BOOT=x\nVER_PRI=2.0-rc\nVER_SEC=03\n", {"abc 1", "x", "2.0-rc", "03"}, true);
    row("CR LF and extra keys", "SN_PRI=7\r\nVER_BOOT=1\r\nVER_PRI=2\r\nVER_SEC=3\r\nOTHER=9\r\n", {"7", "1", "2", "3"}, true);
    row("secondary missing", "SN_PRI=7\nVER_BOOT=1\nVER_PRI=2\n", {"7", "1", "2", ""}, false);
    row("secondary empty", "SN_PRI=7\nVER_BOOT=1\nVER_PRI=2\nVER_SEC=\n", {"7", "1", "2", ""}, false);
    row("General section counts as top level", "[General]\n" + keys, {"7", "1", "2", "3"}, true);
    row("keys in a named section are not found", "[Device]\n" + keys, none, false);
    // Values are opaque text: a NUL byte is kept like any other character.
    row("NUL byte in a value", QByteArray("SN_PRI=7\0-1\nVER_BOOT=1\nVER_PRI=2\nVER_SEC=3\n", 43),
        {QString::fromLatin1("7\0-1", 4), "1", "2", "3"}, true);
    row("NUL byte instead of a line end", QByteArray("SN_PRI=7\0VER_BOOT=1\nVER_PRI=2\nVER_SEC=3\n", 40),
        {QString::fromLatin1("7\0VER_BOOT=1", 12), "", "2", "3"}, false);
    row("binary garbage", QByteArray("\x00\xff\x01=\x02\n\x00", 7), none, false);
    row("no file", NoFile, none, false);
    row("a directory in its place", DirectoryInstead, none, false);
    row("a link to a valid file", LinkInstead, none, false);
    row("larger than an information file", keys + QByteArray(int(Device::MaximumInfoFileSize), '#'), none, false);
}

void TestDeviceInfo::readsTheFourKeys()
{
    QFETCH(QByteArray, file);
    QFETCH(QStringList, values);
    QFETCH(bool, valid);

    QTemporaryDir root;
    if (file != NoFile)
        writeText(root.filePath("FW.ZUV"), file);
    const Device::Info info(root.path());

    QCOMPARE(info.isValid(), valid);
    QCOMPARE(info.type, valid ? TheOrvik : Invalid);
    QCOMPARE(info.rootPath, root.path());
    QCOMPARE((QStringList{info.serialNumber, info.bootloaderVersion, info.primaryVersion, info.secondaryVersion}), values);
    QVERIFY(info.primaryUpdateVersion.isEmpty());
}

// Two cards in turn at one mount point: same path, same size, and a time
// that FAT's two-second steps make equal.
void TestDeviceInfo::readsTheFileAsItIsNow()
{
    QTemporaryDir root;
    const QString path = root.filePath("FW.ZUV");
    const QDateTime time = QDateTime::currentDateTime().addSecs(-60);
    for (const QByteArray serial : {"AAAA", "BBBB", "AAAA", "BBBB"}) {
        writeText(path, "SN_PRI=" + serial + "\nVER_BOOT=1\nVER_PRI=2\nVER_SEC=3\n");
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(time, QFileDevice::FileModificationTime));
        file.close();
        const Device::Info info(root.path());
        QCOMPARE(info.serialNumber, QString::fromLatin1(serial));

        Device::Info server;
        server.readUpdateInfo(path);
        QCOMPARE(server.bootloaderUpdateVersion, QStringLiteral("1"));
    }
}

QTEST_GUILESS_MAIN(TestDeviceInfo)
#include "test_deviceinfo.moc"
