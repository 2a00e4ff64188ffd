#include "device/volumescan.h"
#include "volume.h"

#include <QDir>
#include <QtTest>

#include <memory>

namespace {

// The records of the scan that stand for the given volumes, in scan order.
QList<Device::Info> recordsOf(const QList<Device::Info> &scan, const QStringList &roots)
{
    QList<Device::Info> records;
    for (const Device::Info &info : scan) {
        if (roots.contains(info.rootPath))
            records.append(info);
    }
    return records;
}

QList<Device::Info> validRecords(const QList<Device::Info> &scan)
{
    QList<Device::Info> valid;
    for (const Device::Info &info : scan) {
        if (info.isValid())
            valid.append(info);
    }
    return valid;
}

} // namespace

class TestVolumeScan : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void oneRecordPerVolume();
    void twoDevicesInMountOrder();
    void scansAreIndependent();

private:
    std::unique_ptr<Volume> mountVolume();
    std::vector<std::unique_ptr<Volume>> m_volumes;
};

void TestVolumeScan::initTestCase()
{
    const QString reason = Volume::unavailableReason();
    if (!reason.isEmpty())
        QSKIP(qPrintable(reason));
}

void TestVolumeScan::init()
{
    // The machine itself must not look like a device, or the counts below
    // would say nothing.
    QVERIFY2(validRecords(Device::scanVolumes()).isEmpty(), "a mounted volume of this machine carries FW.ZUV");
}

void TestVolumeScan::cleanup()
{
    m_volumes.clear();
}

std::unique_ptr<Volume> TestVolumeScan::mountVolume()
{
    auto volume = std::make_unique<Volume>(1024 * 1024);
    if (!volume->mount())
        return nullptr;
    return volume;
}

void TestVolumeScan::oneRecordPerVolume()
{
    auto device = mountVolume();
    auto blank = mountVolume();
    auto incomplete = mountVolume();
    auto irregular = mountVolume();
    QVERIFY(device && blank && incomplete && irregular);
    device->writeInfoFile("SN1", "1", "2", "3");
    incomplete->writeFile("FW.ZUV", "SN_PRI=SN2\nVER_BOOT=1\nVER_PRI=2\n");
    QVERIFY(QDir(irregular->rootPath()).mkdir("FW.ZUV"));

    const QStringList roots{device->rootPath(), blank->rootPath(), incomplete->rootPath(), irregular->rootPath()};
    const QList<Device::Info> records = recordsOf(Device::scanVolumes(), roots);
    QCOMPARE(records.size(), 4);
    for (const Device::Info &info : records) {
        const bool isDevice = info.rootPath == device->rootPath();
        QCOMPARE(info.isValid(), isDevice);
        QCOMPARE(info.type, isDevice ? TheOrvik : Invalid);
    }
    QCOMPARE(recordsOf(records, {incomplete->rootPath()}).first().primaryVersion, QStringLiteral("2"));
}

void TestVolumeScan::twoDevicesInMountOrder()
{
    auto first = mountVolume();
    auto second = mountVolume();
    QVERIFY(first && second);
    first->writeInfoFile("A", "1", "1", "1");
    second->writeInfoFile("B", "1", "1", "1");

    const QList<Device::Info> valid = validRecords(Device::scanVolumes());
    QCOMPARE(valid.size(), 2);
    QCOMPARE(valid.at(0).serialNumber, QStringLiteral("A"));
    QCOMPARE(valid.at(1).serialNumber, QStringLiteral("B"));
}

void TestVolumeScan::scansAreIndependent()
{
    auto volume = mountVolume();
    QVERIFY(volume);
    volume->writeInfoFile("A", "1", "1", "1");
    QCOMPARE(validRecords(Device::scanVolumes()).size(), 1);

    QVERIFY(volume->unmount());
    QCOMPARE(validRecords(Device::scanVolumes()).size(), 0);
}

QTEST_GUILESS_MAIN(TestVolumeScan)
#include "test_volumescan.moc"
