#include "workload.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

namespace {

constexpr qint64 KiB = 1024;
constexpr qint64 MiB = 1024 * KiB;

// Every file below a directory with the MD5 of its content.
QMap<QString, QByteArray> digests(const QString &root)
{
    QMap<QString, QByteArray> result;
    QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        file.open(QIODevice::ReadOnly);
        QCryptographicHash hash(QCryptographicHash::Md5);
        hash.addData(&file);
        result.insert(QDir(root).relativeFilePath(file.fileName()), hash.result().toHex());
    }
    return result;
}

} // namespace

class WorkloadTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void releaseHasTheAgreedShape();
    void scalingKeepsTheTotal();
    void contentFollowsTheSeed();
};

void WorkloadTest::releaseHasTheAgreedShape()
{
    const Workload release = Workload::release(7);
    QCOMPARE(release.files.size(), 2000);
    QCOMPARE(release.totalBytes(), 512 * MiB);
    const auto [smallest, largest] = std::minmax_element(
        release.files.cbegin(), release.files.cend(),
        [](const Workload::File &a, const Workload::File &b) { return a.size < b.size; });
    QCOMPARE(smallest->size, KiB);
    QCOMPARE(largest->size, 64 * MiB);
    QCOMPARE(release.filesToFetch(), 1000);
    // About half the bytes stay the same too, not only half the files.
    QVERIFY(release.bytesToFetch() > 200 * MiB && release.bytesToFetch() < 312 * MiB);
    QSet<QString> places;
    for (const Workload::File &file : release.files)
        places.insert(file.devicePath().toLower());
    QCOMPARE(places.size(), release.files.size());
    // A firmware run: the primary firmware, the three resource directories
    // and the secondary firmware, addressed as the program does.
    const auto directories = release.updateDirectories(QStringLiteral("http://127.0.0.1:1"));
    QCOMPARE(directories.size(), 5);
    QCOMPARE(directories.first().second,
             QStringLiteral("http://127.0.0.1:1/ZUVUpdater/TheOrvik//PrimaryFirmware/2.0/manifest.txt"));
    QCOMPARE(directories.at(1).first, QStringLiteral("ANIM"));
}

void WorkloadTest::scalingKeepsTheTotal()
{
    for (int count : {100, 1000, 10000}) {
        const Workload workload = Workload::scaling(1, count);
        QCOMPARE(workload.files.size(), count);
        QCOMPARE(workload.totalBytes(), 128 * MiB);
        QCOMPARE(workload.bytesToFetch(), 128 * MiB);
    }
}

void WorkloadTest::contentFollowsTheSeed()
{
    QTemporaryDir work;
    QString error;
    for (const char *name : {"a", "b"}) {
        QVERIFY2(Workload::smoke(3).writeRelease(work.filePath(QLatin1String(name)), &error), qPrintable(error));
        QVERIFY2(Workload::smoke(3).writeDevice(work.filePath(QLatin1String(name) + QStringLiteral("-card")), &error),
                 qPrintable(error));
    }
    QVERIFY(Workload::smoke(4).writeRelease(work.filePath(QStringLiteral("c")), &error));
    const auto a = digests(work.filePath(QStringLiteral("a")));
    QCOMPARE(a.size(), 32); // 30 files, release.ini and changelist.txt
    QCOMPARE(digests(work.filePath(QStringLiteral("b"))), a);
    QCOMPARE(digests(work.filePath(QStringLiteral("b-card"))), digests(work.filePath(QStringLiteral("a-card"))));
    const auto c = digests(work.filePath(QStringLiteral("c")));
    QCOMPARE(c.keys(), a.keys());
    QVERIFY(c.value(QStringLiteral("PrimaryFirmware/PRI/D00/F0000.BIN"))
            != a.value(QStringLiteral("PrimaryFirmware/PRI/D00/F0000.BIN")));
    // The card holds the new version of unchanged files and another one of
    // outdated files.
    const Workload smoke = Workload::smoke(3);
    const auto card = digests(work.filePath(QStringLiteral("a-card")));
    for (const Workload::File &file : smoke.files) {
        const QByteArray released = a.value(file.releaseDirectory + QLatin1Char('/') + file.path);
        const QByteArray held = card.value(file.devicePath());
        QCOMPARE(held.isEmpty(), file.onDevice == Workload::Absent);
        if (file.onDevice != Workload::Absent)
            QCOMPARE(held == released, file.onDevice == Workload::Unchanged);
    }
}

QTEST_GUILESS_MAIN(WorkloadTest)
#include "tst_workload.moc"
