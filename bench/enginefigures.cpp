// Measures the update engine against the system tools on the same data:
//   hashing      Md5::hexDigest against md5sum, on one large file;
//   copy         DeviceWriter (staged, synced) against cp followed by a sync
//                of the volume, onto a tmpfs mounted as the device;
//   download     peak resident memory of a whole update run that downloads
//                the same amount from a local nginx, as one file and as ten
//                files at once, above the idle process.
// Run it inside a private mount namespace as root (tests/support/
// in-mount-namespace.sh does that); without one only the hash is measured.
//
//   enginefigures [--size MiB] [--work DIR] [--runs N]

#include "update/devicewriter.h"
#include "update/md5.h"
#include "update/update.h"

#include "nginxserver.h"
#include "releasetree.h"
#include "volume.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

constexpr qint64 MiB = 1024 * 1024;

void writeFile(const QString &path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s", qPrintable(path));
    QByteArray block(int(4 * MiB), Qt::Uninitialized);
    for (qint64 written = 0; written < size; written += block.size()) {
        for (int i = 0; i < block.size(); i += 64)
            block[i] = char(written / MiB + i);
        file.write(block.constData(), qMin<qint64>(block.size(), size - written));
    }
}

// The best of several runs of each, taken in turns: the machine's other
// work only ever slows a run, and it should slow both alike.
QPair<double, double> bestSeconds(int runs, const std::function<void()> &tool, const std::function<void()> &engine)
{
    auto seconds = [](const std::function<void()> &work) {
        QElapsedTimer timer;
        timer.start();
        work();
        return timer.nsecsElapsed() / 1e9;
    };
    QPair<double, double> best{1e9, 1e9};
    for (int i = 0; i < runs; ++i) {
        best.first = std::min(best.first, seconds(tool));
        best.second = std::min(best.second, seconds(engine));
    }
    return best;
}

void runTool(const QString &command)
{
    QProcess process;
    process.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), command});
    if (!process.waitForFinished(600000) || process.exitCode() != 0)
        qFatal("%s failed: %s", qPrintable(command), process.readAllStandardError().constData());
}

qint64 procStatus(const char *key)
{
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(int(qstrlen(key))).trimmed().split(' ').value(0).toLongLong() * 1024;
    }
    return -1;
}

void report(const char *figure, double tool, double engine, qint64 size, double target)
{
    const double rate = size / double(MiB);
    std::printf("%-9s tool %6.3f s (%7.1f MiB/s)  engine %6.3f s (%7.1f MiB/s)  ratio %.3f  target >= %.2f  %s\n",
                figure, tool, rate / tool, engine, rate / engine, tool / engine, target,
                tool / engine >= target ? "met" : "NOT MET");
}

void hashWithQt(const QString &path)
{
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    QCryptographicHash hash(QCryptographicHash::Md5);
    hash.addData(&file);
}

void hashWithEngine(const QString &path)
{
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    if (Md5::hexDigest(&file).isEmpty())
        qFatal("cannot hash %s", qPrintable(path));
}

void measureHash(const QString &path, qint64 size, int runs)
{
    auto md5sum = [&] { runTool(QStringLiteral("md5sum '%1' > /dev/null").arg(path)); };
    const auto engine = bestSeconds(runs, md5sum, [&] { hashWithEngine(path); });
    report("hash", engine.first, engine.second, size, 0.95);
    const auto qt = bestSeconds(runs, md5sum, [&] { hashWithQt(path); });
    std::printf("          for comparison QCryptographicHash::addData(QIODevice*): %.3f s, ratio %.3f\n", qt.second,
                qt.first / qt.second);
}

void measureCopy(const QString &source, const QString &device, qint64 size, int runs)
{
    const QString target = device + QStringLiteral("/FW.BIN");
    const auto times = bestSeconds(
        runs,
        [&] {
            QFile::remove(target);
            runTool(QStringLiteral("cp '%1' '%2' && sync -f '%2'").arg(source, target));
        },
        [&] {
            QFile::remove(target);
            DeviceWriter writer(device);
            writer.addFile(source, QStringLiteral("FW.BIN"));
            if (!writer.write())
                qFatal("copy failed: %s", qPrintable(writer.errorString()));
        });
    report("copy", times.first, times.second, size, 0.8);
}

// The release is split into `files` files of equal size, downloaded in parallel.
void measureDownload(const QString &work, const QString &device, qint64 size, int files)
{
    ReleaseTree release(work + QStringLiteral("/server-%1").arg(files));
    const QString directory = release.modelPath() + QStringLiteral("/PrimaryFirmware/2/");
    QDir().mkpath(directory);
    QByteArray manifest;
    for (int i = 0; i < files; ++i) {
        const QString name = QStringLiteral("FW%1.BIN").arg(i);
        writeFile(directory + name, size / files);
        QFile file(directory + name);
        file.open(QIODevice::ReadOnly);
        manifest += Md5::hexDigest(&file) + "  " + name.toLatin1() + "\n";
        QFile::remove(device + QLatin1Char('/') + name);
    }
    release.writeRawManifest(QStringLiteral("PrimaryFirmware/2"), manifest);
    NginxServer nginx(release.root());
    QString error;
    if (!nginx.start(&error))
        qFatal("%s", qPrintable(error));

    QNetworkAccessManager manager;
    Update update(&manager);
    bool ended = false;
    bool succeeded = false;
    QObject::connect(&update, &Update::updateReady, [&] { ended = succeeded = true; });
    QObject::connect(&update, &Update::downloadError, [&] { ended = true; });
    update.reset(device);
    update.addUpdateDirectory(QString(), release.manifestUrl(nginx.baseUrl(), QStringLiteral("PrimaryFirmware/2")));

    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    if (clearRefs.open(QIODevice::WriteOnly))
        clearRefs.write("5"); // the peak starts again from here
    clearRefs.close();
    const qint64 idle = procStatus("VmRSS:");
    QElapsedTimer timer;
    timer.start();
    update.start();
    if (!QTest::qWaitFor([&] { return ended; }, 600000))
        qFatal("the update run did not end within ten minutes");
    const qint64 peak = procStatus("VmHWM:");
    QDir(release.root()).removeRecursively();
    std::printf("download  %lld MiB in %d file(s) %s in %.2f s, idle RSS %.1f MiB, peak RSS %.1f MiB, "
                "peak above idle %.1f MiB  target < 64 MiB  %s\n",
                size / MiB, files, succeeded ? "succeeded" : "FAILED", timer.elapsed() / 1000.0, idle / double(MiB),
                peak / double(MiB), (peak - idle) / double(MiB), succeeded && peak - idle < 64 * MiB ? "met" : "NOT MET");
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    QCommandLineParser parser;
    parser.addOption({QStringLiteral("size"), QStringLiteral("Size of the test file in MiB."), QStringLiteral("MiB"),
                      QStringLiteral("1024")});
    parser.addOption({QStringLiteral("work"), QStringLiteral("Directory for the source files (a tmpfs)."),
                      QStringLiteral("DIR"), QStringLiteral("/dev/shm")});
    parser.addOption({QStringLiteral("runs"), QStringLiteral("Runs of each measurement."), QStringLiteral("N"),
                      QStringLiteral("5")});
    parser.addHelpOption();
    parser.process(app);
    const qint64 size = parser.value(QStringLiteral("size")).toLongLong() * MiB;
    const int runs = parser.value(QStringLiteral("runs")).toInt();

    QTemporaryDir work(parser.value(QStringLiteral("work")) + QStringLiteral("/enginefigures-XXXXXX"));
    qputenv("TMPDIR", QFile::encodeName(work.path())); // the run's downloads go to the same tmpfs
    const QString source = work.filePath(QStringLiteral("source.bin"));
    writeFile(source, size);
    measureHash(source, size, runs);

    if (!Volume::unavailableReason().isEmpty()) {
        std::printf("copy and download not measured: %s\n", qPrintable(Volume::unavailableReason()));
        return 0;
    }
    Volume device(2 * size + 64 * MiB);
    if (!device.mount())
        qFatal("cannot mount the device volume");
    measureCopy(source, device.rootPath(), size, runs);
    QFile::remove(source);
    measureDownload(work.path(), device.rootPath(), size, 1);
    measureDownload(work.path(), device.rootPath(), size, 10);
    return 0;
}
