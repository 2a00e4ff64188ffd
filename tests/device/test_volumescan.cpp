#include "device/volumescan.h"
#include "volume.h"

#include <QDir>
#include <QtTest>

#include <memory>

class TestVolumeScan : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void oneRecordPerVolumeInMountOrder();
};

void TestVolumeScan::initTestCase()
{
    const QString reason = Volume::unavailableReason();
    if (!reason.isEmpty())
        QSKIP(qPrintable(reason));
    // The machine itself must not look like a device, or the records below
    // would say nothing.
    for (const Device::Info &info : Device::scanVolumes())
        QVERIFY2(!info.isValid(), "a mounted volume of this machine carries FW.ZUV");
}

// Every mounted volume gets a record, only a complete FW.ZUV makes it a
// device, and each scan sees the volumes mounted at that moment.
void TestVolumeScan::oneRecordPerVolumeInMountOrder()
{
    std::vector<std::unique_ptr<Volume>> volumes;
    QStringList roots;
    for (int i = 0; i < 5; ++i) {
        volumes.push_back(std::make_unique<Volume>(1024 * 1024));
        QVERIFY(volumes.back()->mount());
        roots.append(volumes.back()->rootPath());
    }
    volumes[0]->writeInfoFile("A", "1", "1", "1");
    // volumes[1] stays blank
    volumes[2]->writeFile("FW.ZUV", "SN_PRI=SN2\nVER_BOOT=1\nVER_PRI=2\n");
    QVERIFY(QDir(roots[3]).mkdir("FW.ZUV"));
    volumes[4]->writeInfoFile("B", "1", "1", "1");

    const auto scan = [&] { // our volumes: "index,type,validity,serial,primary"
        QStringList seen;
        for (const Device::Info &info : Device::scanVolumes()) {
            const int index = roots.indexOf(info.rootPath);
            if (index >= 0)
                seen.append(QStringList{QString::number(index), Device::typeName(info.type), info.isValid() ? "valid" : "-",
                                        info.serialNumber, info.primaryVersion}.join(','));
        }
        return seen;
    };
    const QStringList after{"1,Invalid,-,,", "2,Invalid,-,SN2,2", "3,Invalid,-,,", "4,TheOrvik,valid,B,1"};
    QCOMPARE(scan(), QStringList("0,TheOrvik,valid,A,1") + after);
    QVERIFY(volumes[0]->unmount());
    QCOMPARE(scan(), after);
}

QTEST_GUILESS_MAIN(TestVolumeScan)
#include "test_volumescan.moc"
