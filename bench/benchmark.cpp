// How fast and how lean an update is, side by side with the standard tools.
//
// For each workload: writes the release and the card (workload.cpp),
// publishes the release with zuv-publish, serves it with nginx on a
// loopback port, mounts a tmpfs as the card, then runs the update in turns
// (A B A B ...): A is the program's engine in zuv-bench-driver, B the
// pipeline of standard tools in baseline.sh. The card is put back to its
// starting state before every run and checked after it. Prints the medians
// and writes them, with the targets, to the report.
//
// Run it in a private mount namespace (bench/run.sh does that); without
// one the card is a plain directory, and the report says so.
//
//   zuv-bench [--report FILE] [--pairs N] [--only NAME,...] [--seed N] [--smoke]
//             [--settle SECONDS] [--tools-first] [--driver-option OPTION]
//             [--driver-wrapper COMMAND]

#include "workload.h"

#include "update/release/serverlayout.h"

#include "update/card/devicewriter.h"
#include "device/deviceinfo.h"

#include "httpfaultserver.h"
#include "nginxserver.h"
#include "volume.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>

namespace {

constexpr qint64 MiB = 1024 * 1024;
constexpr int RunTimeoutSeconds = 600;
// The work area holds the published tree, the card's starting state and
// the downloads of one run at a time; a tmpfs only takes what is written.
constexpr qint64 WorkAreaSize = 16LL * 1024 * MiB;

// Targets of the figures.
constexpr double ReleaseWallRatio = 1.0;     // engine / tools, wall time
constexpr double ManySmallMsPerFile = 2.0;   // engine wall time per file
constexpr double HashRateRatio = 0.95;       // engine / md5sum throughput
constexpr double CopyRateRatio = 0.8;        // engine / cp + sync throughput
constexpr double PeakRssAboveIdleMiB = 64.0; // driver's peak above its idle size
constexpr double LongestStallMs = 50.0;      // main thread
constexpr double HomeLinkWallRatio = 1.05;   // engine / curl at the same capped rate
constexpr double FarLinkWallRatio = 1.10;    // engine / curl over the same far link
constexpr double RetryBytesRatio = 0.15;     // second attempt / first, in bytes

QTextStream out(stdout);

void say(const QString &text)
{
    out << "[bench] " << text << Qt::endl;
}

[[noreturn]] void fatal(const QString &text)
{
    out << "[bench] FAILED: " << text << Qt::endl;
    std::exit(1);
}

// The figures of one run; -1 where a pipeline has no such figure.
struct Run {
    bool ok = false;
    QString failure;
    double wallMs = -1, checkMs = -1, downloadMs = -1, verifyMs = -1, copyMs = -1;
    double peakAboveIdleMiB = -1;
    double longestStallMs = -1;
    int files = -1;
    // A run tried twice: the wall time and the body bytes of each attempt.
    double firstMs = -1, secondMs = -1;
    double firstBytes = -1, secondBytes = -1;
};

// The update server behind a slow link: the fault server with a bandwidth
// for all connections together, serving the published tree from a thread
// of its own, since this thread waits for the pipelines it measures.
class LinkServer
{
public:
    LinkServer(const QString &documentRoot, qint64 bytesPerSecond)
        : m_server(new HttpFaultServer)
    {
        m_server->setDocumentRoot(documentRoot);
        m_server->setBandwidth(bytesPerSecond);
        m_server->moveToThread(&m_thread);
        m_thread.start();
    }
    ~LinkServer()
    {
        call([](HttpFaultServer *server) { delete server; });
        m_thread.quit();
        m_thread.wait();
    }

    bool start(QString *error)
    {
        bool listening = false;
        call([&](HttpFaultServer *server) { listening = server->listen(); });
        if (!listening)
            *error = QStringLiteral("the link server cannot listen");
        return listening;
    }
    QString baseUrl()
    {
        QString url;
        call([&](HttpFaultServer *server) { url = server->baseUrl(); });
        return url;
    }
    // Runs `work` on the server's thread and waits for it.
    void call(const std::function<void(HttpFaultServer *)> &work)
    {
        HttpFaultServer *server = m_server;
        QMetaObject::invokeMethod(m_server, [&] { work(server); }, Qt::BlockingQueuedConnection);
    }

private:
    QThread m_thread;
    HttpFaultServer *m_server;
};

// A link far from the server: bench/far-link.py relays every connection
// to nginx with a delay each way and one bandwidth for all of them, the
// same for curl and the engine.
class FarLink
{
public:
    ~FarLink()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    bool start(quint16 target, int delayMs, qint64 bytesPerSecond, QString *error)
    {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral("python3"),
                        {QStringLiteral(ZUV_BENCH_SOURCE_DIR "/far-link.py"), QString::number(target),
                         QString::number(delayMs), QString::number(bytesPerSecond)});
        for (int i = 0; i < 100 && !m_process.canReadLine(); ++i)
            m_process.waitForReadyRead(100);
        m_port = m_process.readLine().trimmed().toUShort();
        if (m_port == 0)
            *error = QStringLiteral("the far-link relay did not start");
        return m_port != 0;
    }
    QString baseUrl() const { return QStringLiteral("http://127.0.0.1:%1").arg(m_port); }

private:
    QProcess m_process;
    quint16 m_port = 0;
};

double median(QList<double> values)
{
    values.erase(std::remove_if(values.begin(), values.end(), [](double v) { return v < 0 || std::isnan(v); }),
                 values.end());
    if (values.isEmpty())
        return -1;
    std::sort(values.begin(), values.end());
    const int n = values.size();
    return n % 2 ? values.at(n / 2) : (values.at(n / 2 - 1) + values.at(n / 2)) / 2;
}

double maximum(const QList<double> &values)
{
    double result = -1;
    for (const double value : values)
        result = qMax(result, value);
    return result;
}

QString loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("?");
    return QString::fromLatin1(file.readAll()).section(QLatin1Char(' '), 0, 2);
}

QString sibling(const QString &name)
{
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + name;
}

// Runs a program to its end, within the time limit.
bool runProgram(const QString &program, const QStringList &arguments, QByteArray *output, QString *error,
                const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment(),
                int timeoutSeconds = RunTimeoutSeconds, bool forwardErrors = false)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(forwardErrors ? QProcess::ForwardedErrorChannel : QProcess::SeparateChannels);
    process.start(program, arguments);
    if (!process.waitForStarted(10000)) {
        *error = QStringLiteral("%1 did not start: %2").arg(program, process.errorString());
        return false;
    }
    if (!process.waitForFinished(timeoutSeconds * 1000)) {
        process.kill();
        process.waitForFinished(5000);
        *error = QStringLiteral("%1 did not end within %2 s").arg(QFileInfo(program).fileName()).arg(timeoutSeconds);
        return false;
    }
    if (output)
        *output = process.readAllStandardOutput();
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        *error = QStringLiteral("%1 failed (exit %2): %3")
                     .arg(QFileInfo(program).fileName())
                     .arg(process.exitCode())
                     .arg(QString::fromLocal8Bit(process.readAllStandardError()).trimmed().right(400));
        return false;
    }
    return true;
}

bool removeContents(const QString &directory)
{
    bool ok = true;
    const QFileInfoList entries =
        QDir(directory).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries)
        ok = (entry.isDir() && !entry.isSymLink() ? QDir(entry.filePath()).removeRecursively()
                                                  : QFile::remove(entry.filePath()))
            && ok;
    return ok;
}

class Bench
{
public:
    struct Options {
        bool mountedVolumes = true;
        int pairs = 0;              // 0: the workload's own number
        unsigned long settleMs = 0; // the pause before each run
        bool toolsFirst = false;    // B A B A instead of A B A B
        QStringList driverOptions;  // passed on to zuv-bench-driver
        QStringList driverWrapper;  // a command to run the driver under, such as a profiler
        bool signedRelease = false; // published signed, run with its release record
    };

    Bench(const QString &workRoot, const Options &options)
        : m_work(workRoot)
        , m_options(options)
    {
    }

    struct Result {
        Workload workload;
        QList<Run> engine;
        QList<Run> tools;
        // The copy alone, seconds of the engine's safe write and of cp +
        // sync per pair: both writing into memory just freed (the old
        // version removed first), and both writing beside the old version
        // (cp to a new name).
        QList<double> copyAloneEngine, copyAloneTools;
        QList<double> copyBesideEngine, copyBesideTools;
        QString loadBefore, loadAfter;
        QString failure;
    };

    Result measure(const Workload &workload);

private:
    bool prepare(const Workload &workload, QString *error);
    bool restoreCard(QString *error);
    Run runEngine(const Workload &workload, const QString &serverRoot, const QStringList &driverOptions = {});
    void runRetry(const Workload &workload, LinkServer *link, Run *run);
    Run runTools();
    QString checkCard(const Workload &workload, bool full);
    void measureCopyAlone(const Workload &workload, bool removeOld, Result *result);
    bool mountCard(const Workload &workload, QString *error);
    void writePlan(const QList<QPair<QString, QString>> &directories);
    bool runOnce(const Workload &workload, bool engine, bool fullCheck, const QString &serverRoot, LinkServer *link,
                 Run *run, QString *error);
    void reportRun(const Workload &workload, int pair, bool engine, const Run &run);

    QString path(const QString &name) const { return m_work + QLatin1Char('/') + name; }
    int pairsFor(const Workload &workload) const { return m_options.pairs > 0 ? m_options.pairs : workload.pairs; }

    QString m_work;
    Options m_options;
    QString m_card;
    std::unique_ptr<Volume> m_volume;
};

bool Bench::prepare(const Workload &workload, QString *error)
{
    QElapsedTimer timer;
    timer.start();
    say(QStringLiteral("%1: writing %2 files (%3 MiB) and the card")
            .arg(workload.name)
            .arg(workload.files.size())
            .arg(workload.totalBytes() / double(MiB), 0, 'f', 0));
    if (!workload.writeRelease(path(QStringLiteral("release")), error)
        || !workload.writeDevice(path(QStringLiteral("pristine-card")), error)) {
        return false;
    }
    say(QStringLiteral("%1: publishing with zuv-publish").arg(workload.name));
    const QString publish = sibling(QStringLiteral("../tools/zuv-publish"));
    const QString key = path(QStringLiteral("release.key"));
    QStringList options{QStringLiteral("publish"), QStringLiteral("--quiet")};
    if (m_options.signedRelease) {
        if (!QFileInfo::exists(key) && !runProgram(publish, {QStringLiteral("keygen"), key}, nullptr, error))
            return false;
        options << QStringLiteral("--sign") << key;
    }
    if (!runProgram(publish, options + QStringList{path(QStringLiteral("release")), path(QStringLiteral("tree"))},
                    nullptr, error)) {
        return false;
    }
    QDir(path(QStringLiteral("release"))).removeRecursively();

    // The card's full check: every file of the run against its manifest.
    QFile list(path(QStringLiteral("card.md5")));
    if (!list.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *error = list.errorString();
        return false;
    }
    const QList<QPair<QString, QString>> directories = workload.updateDirectories(QString());
    for (const auto &directory : directories) {
        const QString manifestPath = path(QStringLiteral("tree")) + QUrl(directory.second).path();
        QFile manifest(QDir::cleanPath(manifestPath));
        if (!manifest.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("no manifest at \"%1\"").arg(manifest.fileName());
            return false;
        }
        const QString prefix = directory.first.isEmpty() ? QString() : directory.first + QLatin1Char('/');
        while (!manifest.atEnd()) {
            const QByteArray line = manifest.readLine().trimmed();
            if (line.size() > 34)
                list.write(line.left(32) + "  " + QFile::encodeName(m_card + QLatin1Char('/') + prefix) + line.mid(34) + '\n');
        }
    }
    say(QStringLiteral("%1: ready in %2 s").arg(workload.name).arg(timer.elapsed() / 1000.0, 0, 'f', 1));
    return true;
}

bool Bench::restoreCard(QString *error)
{
    if (!removeContents(m_card)) {
        *error = QStringLiteral("cannot empty the card");
        return false;
    }
    return runProgram(QStringLiteral("cp"), {QStringLiteral("-a"), path(QStringLiteral("pristine-card/.")), m_card},
                      nullptr, error);
}

// Cheap checks after every run, the full MD5 check when asked: every file
// of the release in place, "ZUV.FW" gone, nothing of the safe write left.
QString Bench::checkCard(const Workload &workload, bool full)
{
    for (const Workload::File &file : workload.files) {
        const QFileInfo info(m_card + QLatin1Char('/') + file.devicePath());
        if (!info.isFile() || info.size() != file.size)
            return QStringLiteral("card: \"%1\" missing or of the wrong size").arg(file.devicePath());
    }
    if (QFileInfo::exists(m_card + QStringLiteral("/ZUV.FW")))
        return QStringLiteral("card: ZUV.FW still there");
    if (!QFileInfo::exists(m_card + QStringLiteral("/FW.ZUV")))
        return QStringLiteral("card: FW.ZUV gone");
    QDirIterator it(m_card, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString name = QFileInfo(it.next()).fileName();
        if (name.endsWith(QLatin1String(".zuv-new")) || name.endsWith(QLatin1String(".zuv-old"))
            || name.startsWith(QLatin1String("ZUV-UPDATE.JOURNAL"))) {
            return QStringLiteral("card: \"%1\" left behind").arg(name);
        }
    }
    QString error;
    if (full
        && !runProgram(QStringLiteral("md5sum"),
                       {QStringLiteral("-c"), QStringLiteral("--quiet"), path(QStringLiteral("card.md5"))}, nullptr,
                       &error)) {
        return QStringLiteral("card: content differs from the release: %1").arg(error);
    }
    return QString();
}

Run Bench::runEngine(const Workload &workload, const QString &serverRoot, const QStringList &driverOptions)
{
    Run run;
    const QString temporary = path(QStringLiteral("engine-tmp"));
    QDir().mkpath(temporary);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TMPDIR"), temporary);
    QStringList arguments{QStringLiteral("--device"), m_card, QStringLiteral("--timeout"),
                          QString::number(RunTimeoutSeconds)};
    const QList<QPair<QString, QString>> directories = workload.updateDirectories(serverRoot);
    for (const auto &directory : directories)
        arguments << QStringLiteral("--directory") << directory.first << directory.second;
    // The record the program holds once FW.ZUV's signature is checked.
    if (m_options.signedRelease) {
        arguments << QStringLiteral("--record")
                  << ServerLayout::modelDirectory(path(QStringLiteral("tree")), Workload::model()) + QStringLiteral("/FW.ZUV")
                  << ServerLayout::basePattern(serverRoot).arg(Workload::model());
    }
    QByteArray output;
    QString error;
    QString program = sibling(QStringLiteral("zuv-bench-driver"));
    arguments = arguments + driverOptions + m_options.driverOptions;
    if (!m_options.driverWrapper.isEmpty()) {
        arguments.prepend(program);
        arguments = m_options.driverWrapper.mid(1) + arguments;
        program = m_options.driverWrapper.first();
    }
    const bool ended = runProgram(program, arguments, &output, &error, environment, RunTimeoutSeconds + 60, true);
    const QJsonObject figures = QJsonDocument::fromJson(output.trimmed().split('\n').last()).object();
    if (!ended) {
        run.failure = figures.isEmpty() ? error : QStringLiteral("the run ended with %1").arg(figures.value(QStringLiteral("result")).toString());
        return run;
    }
    run.wallMs = figures.value(QStringLiteral("wallMs")).toDouble();
    run.checkMs = figures.value(QStringLiteral("checkMs")).toDouble();
    run.downloadMs = figures.value(QStringLiteral("downloadMs")).toDouble();
    run.verifyMs = figures.value(QStringLiteral("verifyMs")).toDouble();
    run.copyMs = figures.value(QStringLiteral("copyMs")).toDouble();
    run.files = figures.value(QStringLiteral("downloads")).toInt();
    run.peakAboveIdleMiB = (figures.value(QStringLiteral("peakRssKiB")).toDouble()
                            - figures.value(QStringLiteral("idleRssKiB")).toDouble())
        / 1024.0;
    run.longestStallMs = figures.value(QStringLiteral("longestStallMs")).toDouble();
    const QJsonArray attempts = figures.value(QStringLiteral("attemptMs")).toArray();
    if (attempts.size() == 2) {
        run.firstMs = attempts.at(0).toDouble();
        run.secondMs = attempts.at(1).toDouble();
    }
    const QStringList leftovers = QDir(temporary).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    if (!leftovers.isEmpty()) {
        run.failure = QStringLiteral("left in the temporary directory: %1").arg(leftovers.join(QStringLiteral(", ")));
        removeContents(temporary);
        return run;
    }
    run.ok = true;
    return run;
}

Run Bench::runTools()
{
    Run run;
    const QString work = path(QStringLiteral("tools-work"));
    QDir(work).removeRecursively();
    QDir().mkpath(work);
    QByteArray output;
    QString error;
    const bool ended = runProgram(QStringLiteral(ZUV_BENCH_SOURCE_DIR "/baseline.sh"),
                                  {path(QStringLiteral("plan.tsv")), m_card, work}, &output, &error);
    QDir(work).removeRecursively();
    if (!ended) {
        run.failure = error;
        return run;
    }
    QHash<QString, double> figures;
    const QList<QByteArray> lines = output.split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> parts = line.split(' ');
        if (parts.size() == 2)
            figures.insert(QString::fromLatin1(parts.at(0)), parts.at(1).toDouble());
    }
    run.wallMs = figures.value(QStringLiteral("wall"), -0.001) * 1000;
    run.checkMs = figures.value(QStringLiteral("check"), -0.001) * 1000;
    run.downloadMs = figures.value(QStringLiteral("download"), -0.001) * 1000;
    run.verifyMs = figures.value(QStringLiteral("verify"), -0.001) * 1000;
    run.copyMs = figures.value(QStringLiteral("copy"), -0.001) * 1000;
    run.files = int(figures.value(QStringLiteral("files"), -1));
    run.ok = true;
    return run;
}

// A run of the engine writes its new versions beside the old ones, into
// memory the card has not used, while cp overwrites in place, into memory
// it has just freed. On a tmpfs in a virtual machine fresh memory is
// several times slower to write, so the workload's copy phase measures that
// more than the copying. Here both copy one file onto the card alike: with
// removeOld after its old version has been removed, so both write into
// memory just freed; without it beside the old version (cp to a new name),
// so both write into fresh memory.
void Bench::measureCopyAlone(const Workload &workload, bool removeOld, Result *result)
{
    const Workload::File &file = workload.files.first();
    const QString source = path(QStringLiteral("tree")) + QStringLiteral("/ZUVUpdater/%1/%2/%3/%4")
                                                             .arg(Workload::model(), file.releaseDirectory,
                                                                  Workload::newVersion(), file.path);
    const QString target = m_card + QLatin1Char('/') + file.devicePath();
    const QString toolsTarget = removeOld ? target : target + QStringLiteral(".new");
    QList<double> &engineSeconds = removeOld ? result->copyAloneEngine : result->copyBesideEngine;
    QList<double> &toolsSeconds = removeOld ? result->copyAloneTools : result->copyBesideTools;
    QString error;
    const int pairs = pairsFor(workload);
    for (int pair = 0; pair < pairs; ++pair) {
        for (const bool engine : {true, false}) {
            if (!restoreCard(&error))
                return;
            QThread::msleep(m_options.settleMs);
            if (removeOld)
                QFile::remove(target);
            QElapsedTimer timer;
            timer.start();
            bool ok;
            if (engine) {
                DeviceWriter writer(m_card);
                writer.addFile(source, file.devicePath());
                writer.setRemovedAfterCommit({QLatin1String(Device::InstallMarkFileName)});
                ok = writer.write();
            } else {
                ok = runProgram(QStringLiteral("/bin/sh"),
                                {QStringLiteral("-c"), QStringLiteral("cp \"$0\" \"$1\" && sync -f \"$1\""), source,
                                 toolsTarget},
                                nullptr, &error);
            }
            const double seconds = timer.nsecsElapsed() / 1e9;
            (engine ? engineSeconds : toolsSeconds).append(ok ? seconds : -1);
            QFile::remove(target + QStringLiteral(".new"));
            say(QStringLiteral("%1: copy %2 %3/%4 %5 %6")
                    .arg(workload.name)
                    .arg(removeOld ? QStringLiteral("into freed memory") : QStringLiteral("beside the old version"))
                    .arg(pair + 1)
                    .arg(pairs)
                    .arg(engine ? QStringLiteral("engine") : QStringLiteral("tools "))
                    .arg(ok ? QStringLiteral("%1 s").arg(seconds, 0, 'f', 2) : QStringLiteral("FAILED")));
        }
    }
}

// The engine alone, tried twice on one Update: the link breaks once the
// workload's share of the bytes to fetch has gone through, and the second
// attempt must fetch only what the first did not complete. The bytes of
// each attempt are counted by the server, split at the moment it broke.
void Bench::runRetry(const Workload &workload, LinkServer *link, Run *run)
{
    qint64 manifestBytes = 0;
    for (const auto &directory : workload.updateDirectories(QString()))
        manifestBytes += QFileInfo(QDir::cleanPath(path(QStringLiteral("tree")) + QUrl(directory.second).path())).size();
    link->call([&](HttpFaultServer *server) {
        server->clearRequests();
        server->resetAtTotalBytes(server->bodyBytesSent() + manifestBytes
                                  + qint64(workload.failAtFraction * workload.bytesToFetch()));
    });
    *run = runEngine(workload, link->baseUrl(), {QStringLiteral("--attempts"), QStringLiteral("2")});
    qint64 first = 0, second = 0;
    qint64 brokeAt = -1;
    link->call([&](HttpFaultServer *server) {
        brokeAt = server->resetAtMs();
        for (const HttpFaultServer::Request &request : server->requests())
            (request.receivedAtMs <= brokeAt ? first : second) += request.bodyBytes;
        server->resetAtTotalBytes(-1);
    });
    if (run->ok && (brokeAt < 0 || run->secondMs < 0)) {
        run->ok = false;
        run->failure = QStringLiteral("the first attempt did not fail");
    }
    run->firstBytes = double(first);
    run->secondBytes = double(second);
}

bool Bench::mountCard(const Workload &workload, QString *error)
{
    m_volume.reset(new Volume(workload.volumeSize()));
    if (!m_options.mountedVolumes) {
        QDir().mkpath(m_volume->rootPath());
    } else if (!m_volume->mount()) {
        *error = QStringLiteral("cannot mount the card");
        return false;
    }
    m_card = m_volume->rootPath();
    return true;
}

// The update directories, as the engine's driver reads them.
void Bench::writePlan(const QList<QPair<QString, QString>> &directories)
{
    QFile plan(path(QStringLiteral("plan.tsv")));
    plan.open(QIODevice::WriteOnly | QIODevice::Truncate);
    for (const auto &directory : directories)
        plan.write((directory.first + QLatin1Char('|') + directory.second + QLatin1Char('\n')).toUtf8());
}

// One run of a pair, by the engine or by the tools, from a restored card;
// false when the card could not be restored.
bool Bench::runOnce(const Workload &workload, bool engine, bool fullCheck, const QString &serverRoot,
                    LinkServer *link, Run *run, QString *error)
{
    if (!restoreCard(error))
        return false;
    // Memory just freed is several times faster to write again than
    // memory the machine has not touched for a while (on a virtual
    // machine the host takes freed memory back within a second or
    // two). Without a pause the second run of a pair would write into
    // what the first one freed; with it, both start alike.
    QThread::msleep(m_options.settleMs);
    if (workload.failAtFraction > 0)
        runRetry(workload, link, run);
    else
        *run = engine ? runEngine(workload, serverRoot) : runTools();
    if (run->ok) {
        const QString wrong = checkCard(workload, fullCheck);
        if (!wrong.isEmpty()) {
            run->ok = false;
            run->failure = wrong;
        }
    }
    if (run->ok && run->files != workload.filesToFetch()) {
        run->ok = false;
        run->failure = QStringLiteral("fetched %1 files instead of %2").arg(run->files).arg(workload.filesToFetch());
    }
    return true;
}

void Bench::reportRun(const Workload &workload, int pair, bool engine, const Run &run)
{
    QString figures;
    if (!run.ok)
        figures = QStringLiteral("FAILED: ") + run.failure;
    else if (engine)
        figures = QStringLiteral("%1 s, peak RSS +%2 MiB, longest stall %3 ms")
                      .arg(run.wallMs / 1000, 0, 'f', 2)
                      .arg(run.peakAboveIdleMiB, 0, 'f', 1)
                      .arg(run.longestStallMs, 0, 'f', 0);
    else
        figures = QStringLiteral("%1 s").arg(run.wallMs / 1000, 0, 'f', 2);
    if (run.ok && workload.failAtFraction > 0)
        figures += QStringLiteral("; attempts %1 s and %2 s, %3 MiB and %4 MiB")
                       .arg(run.firstMs / 1000, 0, 'f', 2)
                       .arg(run.secondMs / 1000, 0, 'f', 2)
                       .arg(run.firstBytes / MiB, 0, 'f', 1)
                       .arg(run.secondBytes / MiB, 0, 'f', 1);
    say(QStringLiteral("%1: pair %2/%3 %4 %5")
            .arg(workload.name)
            .arg(pair + 1)
            .arg(pairsFor(workload))
            .arg(engine ? QStringLiteral("engine") : QStringLiteral("tools "), figures));
}

Bench::Result Bench::measure(const Workload &workload)
{
    Result result;
    result.workload = workload;
    result.loadBefore = loadAverage();
    removeContents(m_work);
    if (!mountCard(workload, &result.failure) || !prepare(workload, &result.failure))
        return result;
    NginxServer nginx(path(QStringLiteral("tree")));
    std::unique_ptr<LinkServer> link;
    FarLink far;
    if (workload.linkDelayMs > 0) {
        if (!nginx.start(&result.failure)
            || !far.start(nginx.port(), workload.linkDelayMs, workload.linkBytesPerSecond, &result.failure))
            return result;
    } else if (workload.linkBytesPerSecond > 0) {
        link.reset(new LinkServer(path(QStringLiteral("tree")), workload.linkBytesPerSecond));
        if (!link->start(&result.failure))
            return result;
    } else if (!nginx.start(&result.failure)) {
        return result;
    }
    const QString serverRoot = link ? link->baseUrl() : workload.linkDelayMs > 0 ? far.baseUrl() : nginx.baseUrl();
    writePlan(workload.updateDirectories(serverRoot));

    for (int pair = 0; pair < pairsFor(workload); ++pair) {
        for (const bool first : {true, false}) {
            const bool engine = first != m_options.toolsFirst;
            if (workload.failAtFraction > 0 && !engine)
                continue; // a retry is the engine's alone
            Run run;
            if (!runOnce(workload, engine, pair == 0, serverRoot, link.get(), &run, &result.failure))
                return result;
            reportRun(workload, pair, engine, run);
            (engine ? result.engine : result.tools).append(run);
        }
    }
    nginx.stop();
    link.reset();
    if (workload.files.size() == 1) {
        measureCopyAlone(workload, true, &result);
        measureCopyAlone(workload, false, &result);
    }
    m_volume.reset();
    removeContents(m_work);
    result.loadAfter = loadAverage();
    return result;
}

// ---------------------------------------------------------------- report

QString number(double value, int decimals = 2)
{
    return value < 0 ? QStringLiteral("—") : QString::number(value, 'f', decimals);
}

QList<double> pick(const QList<Run> &runs, double Run::*field)
{
    QList<double> values;
    for (const Run &run : runs)
        values.append(run.ok ? run.*field : -1);
    return values;
}

// Per pair, engine over tools, where both runs succeeded.
QList<double> ratios(const Bench::Result &result, double Run::*field)
{
    QList<double> values;
    for (int i = 0; i < qMin(result.engine.size(), result.tools.size()); ++i) {
        const Run &a = result.engine.at(i);
        const Run &b = result.tools.at(i);
        values.append(a.ok && b.ok && b.*field > 0 ? a.*field / (b.*field) : -1);
    }
    return values;
}

double rateMiBs(qint64 bytes, double ms)
{
    return bytes <= 0 || ms <= 0 ? -1 : bytes / double(MiB) / (ms / 1000.0);
}

QString ratioList(const QList<double> &values)
{
    QStringList texts;
    for (const double value : values)
        texts.append(number(value));
    return texts.join(QStringLiteral(", "));
}

struct Target {
    QString what;
    QString figure;
    bool met;
    QString margin;
};

// "met (by 12 %)" or "missed by 12 %", for a figure that must stay at or
// below (or at or above) its limit.
Target judge(const QString &what, double value, double limit, bool atMost, const QString &figure)
{
    if (value < 0)
        return {what, figure, false, QStringLiteral("not measured")};
    const bool met = atMost ? value <= limit : value >= limit;
    const double off = std::abs(value - limit) / limit * 100;
    return {what, figure, met,
            met ? QStringLiteral("met, %1 % to spare").arg(off, 0, 'f', 0)
                : QStringLiteral("missed by %1 %").arg(off, 0, 'f', 0)};
}

QString table(const QList<Bench::Result> &results)
{
    QString text;
    QTextStream s(&text);
    s << "| Workload | Run | Wall s | Check s | Download s | Verify s | Copy s | Hashing the card MiB/s "
         "| Hashing the downloads MiB/s | Peak RSS above idle MiB | Longest stall ms (median; largest) | A/B wall per pair |\n";
    s << "|---|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|---|\n";
    for (const Bench::Result &result : results) {
        const Workload &w = result.workload;
        for (const bool engine : {true, false}) {
            const QList<Run> &runs = engine ? result.engine : result.tools;
            const double check = median(pick(runs, &Run::checkMs));
            const double verify = median(pick(runs, &Run::verifyMs));
            // The engine hashes each download as soon as it is complete, so
            // with several files most of it happens in the download phase.
            const QString verifyRate = engine && w.filesToFetch() > 1
                ? QStringLiteral("in download")
                : number(rateMiBs(w.bytesToFetch(), verify), 0);
            s << "| " << (engine ? w.name : QString()) << " | " << (engine ? "A engine" : "B tools") << " | "
              << number(median(pick(runs, &Run::wallMs)) / 1000) << " | " << number(check / 1000) << " | "
              << number(median(pick(runs, &Run::downloadMs)) / 1000) << " | " << number(verify / 1000) << " | "
              << number(median(pick(runs, &Run::copyMs)) / 1000) << " | "
              << number(rateMiBs(w.deviceBytesChecked(), check), 0) << " | "
              << verifyRate << " | "
              << number(median(pick(runs, &Run::peakAboveIdleMiB)), 1) << " | "
              << number(median(pick(runs, &Run::longestStallMs)), 1) << "; "
              << number(maximum(pick(runs, &Run::longestStallMs)), 1) << " | "
              << (engine ? ratioList(ratios(result, &Run::wallMs)) : QString()) << " |\n";
        }
    }
    return text;
}

// The retry workload: what the second attempt fetched against the first.
Target retryTarget(const Bench::Result &result)
{
    QList<double> bytes, times;
    for (const Run &run : result.engine) {
        bytes.append(run.ok && run.firstBytes > 0 ? run.secondBytes / run.firstBytes : -1);
        times.append(run.ok && run.firstMs > 0 ? run.secondMs / run.firstMs : -1);
    }
    return judge(QStringLiteral("retry after a failure at 90 %: second attempt's bytes ≤ 0.15 × the first's"),
                 median(bytes), RetryBytesRatio, true,
                 QStringLiteral("%1 × the bytes (%2 of %3 MiB), %4 × the time (%5 s against %6 s)")
                     .arg(number(median(bytes), 3), number(median(pick(result.engine, &Run::secondBytes)) / MiB, 1),
                          number(median(pick(result.engine, &Run::firstBytes)) / MiB, 1), number(median(times)),
                          number(median(pick(result.engine, &Run::secondMs)) / 1000),
                          number(median(pick(result.engine, &Run::firstMs)) / 1000)));
}

// The one-big workload: hashing and copying against md5sum, cp and sync.
QList<Target> oneBigTargets(const Bench::Result &result)
{
    QList<Target> list;
    // Throughput ratios are the inverse of the time ratios.
    QList<double> check, verify, copy;
    for (const double r : ratios(result, &Run::checkMs))
        check.append(r > 0 ? 1 / r : -1);
    for (const double r : ratios(result, &Run::verifyMs))
        verify.append(r > 0 ? 1 / r : -1);
    for (const double r : ratios(result, &Run::copyMs))
        copy.append(r > 0 ? 1 / r : -1);
    list.append(judge(QStringLiteral("one big: hashing the card ≥ 0.95 × md5sum"), median(check),
                      HashRateRatio, false, QStringLiteral("%1 ×").arg(number(median(check)))));
    list.append(judge(QStringLiteral("one big: hashing the download ≥ 0.95 × md5sum"), median(verify),
                      HashRateRatio, false, QStringLiteral("%1 ×").arg(number(median(verify)))));
    list.append(judge(QStringLiteral("one big: copy ≥ 0.8 × cp + sync"), median(copy), CopyRateRatio, false,
                      QStringLiteral("%1 ×").arg(number(median(copy)))));
    const auto compare = [&](const QList<double> &engine, const QList<double> &tools, const QString &how) {
        QList<double> ratio;
        for (int i = 0; i < qMin(engine.size(), tools.size()); ++i)
            ratio.append(engine.at(i) > 0 && tools.at(i) > 0 ? tools.at(i) / engine.at(i) : -1);
        if (ratio.isEmpty())
            return;
        list.append(judge(QStringLiteral("one big, for comparison: the copy alone, %1, ≥ 0.8 × cp + sync").arg(how),
                          median(ratio), CopyRateRatio, false,
                          QStringLiteral("%1 × (%2 s against %3 s)")
                              .arg(number(median(ratio)), number(median(engine)), number(median(tools)))));
    };
    compare(result.copyAloneEngine, result.copyAloneTools, QStringLiteral("both into memory just freed"));
    compare(result.copyBesideEngine, result.copyBesideTools,
            QStringLiteral("both beside the old version, into fresh memory"));
    return list;
}

QList<Target> targets(const QList<Bench::Result> &results)
{
    QList<Target> list;
    for (const Bench::Result &result : results) {
        const Workload &w = result.workload;
        if (w.name == QLatin1String("release")) {
            const double ratio = median(ratios(result, &Run::wallMs));
            list.append(judge(QStringLiteral("release: engine wall time ≤ 1.0 × tools (median of the pairs)"), ratio,
                              ReleaseWallRatio, true, QStringLiteral("%1 ×").arg(number(ratio))));
        } else if (w.name == QLatin1String("home-link")) {
            const double ratio = median(ratios(result, &Run::wallMs));
            list.append(judge(QStringLiteral("home link: engine wall time ≤ 1.05 × curl at the same rate (median of the pairs)"),
                              ratio, HomeLinkWallRatio, true,
                              QStringLiteral("%1 × (%2 s against %3 s)")
                                  .arg(number(ratio), number(median(pick(result.engine, &Run::wallMs)) / 1000),
                                       number(median(pick(result.tools, &Run::wallMs)) / 1000))));
        } else if (w.linkDelayMs > 0) {
            const double ratio = median(ratios(result, &Run::wallMs));
            list.append(judge(QStringLiteral("%1: engine wall time ≤ 1.10 × curl on the same far link (median of the pairs)")
                                  .arg(w.name),
                              ratio, FarLinkWallRatio, true,
                              QStringLiteral("%1 × (%2 s against %3 s)")
                                  .arg(number(ratio), number(median(pick(result.engine, &Run::wallMs)) / 1000),
                                       number(median(pick(result.tools, &Run::wallMs)) / 1000))));
        } else if (w.name == QLatin1String("retry")) {
            list.append(retryTarget(result));
        } else if (w.name == QLatin1String("many-small")) {
            const double perFile = median(pick(result.engine, &Run::wallMs)) / w.files.size();
            list.append(judge(QStringLiteral("many small: engine time per file ≤ 2 ms"), perFile, ManySmallMsPerFile,
                              true, QStringLiteral("%1 ms").arg(number(perFile, 3))));
        } else if (w.name == QLatin1String("one-big")) {
            list.append(oneBigTargets(result));
        }
    }
    for (const Bench::Result &result : results) {
        const double peak = maximum(pick(result.engine, &Run::peakAboveIdleMiB));
        list.append(judge(QStringLiteral("%1: peak RSS ≤ 64 MiB above idle (largest run)").arg(result.workload.name),
                          peak, PeakRssAboveIdleMiB, true, QStringLiteral("%1 MiB").arg(number(peak, 1))));
    }
    for (const Bench::Result &result : results) {
        const QList<double> stalls = pick(result.engine, &Run::longestStallMs);
        list.append(judge(QStringLiteral("%1: longest main-thread stall ≤ 50 ms (largest run; median)")
                              .arg(result.workload.name),
                          maximum(stalls), LongestStallMs, true,
                          QStringLiteral("%1 ms; %2 ms").arg(number(maximum(stalls), 1), number(median(stalls), 1))));
    }
    return list;
}

QString report(const QList<Bench::Result> &results, bool mountedVolumes, const QString &loadBefore,
               const QString &loadAfter, qint64 elapsedMs)
{
    QString text;
    QTextStream s(&text);
    s << "# Update engine benchmark\n\n";
    s << QDateTime::currentDateTime().toString(Qt::ISODate) << ", " << QThread::idealThreadCount()
      << " cores, load average " << loadBefore << " before and " << loadAfter << " after; "
      << QString::number(elapsedMs / 60000.0, 'f', 1) << " minutes.\n\n";
    s << "A is the program's update engine (`Update`, driven by `zuv-bench-driver` as the program drives it); "
         "B is the standard tools: `md5sum -c` over the card, `curl --parallel --parallel-max 10` for what "
         "differs, `md5sum -c` over the downloads, `cp` and `sync -f` onto the card. Runs alternate A B A B; "
         "the table gives the medians.\n\n";
    s << "## Workloads\n\n";
    for (const Bench::Result &result : results) {
        const Workload &w = result.workload;
        s << "- **" << w.name << "**: " << w.description << "; " << result.engine.size() << " pairs; fetches "
          << w.filesToFetch() << " files, "
          << QString::number(w.bytesToFetch() / double(MiB), 'f', 1) << " MiB, hashes "
          << QString::number(w.deviceBytesChecked() / double(MiB), 'f', 1)
          << " MiB on the card (load average " << result.loadBefore << QStringLiteral(" → ") << result.loadAfter << ")";
        if (!result.failure.isEmpty())
            s << ". **Not measured: " << result.failure << "**";
        s << "\n";
    }
    s << "\n## Figures\n\n" << table(results) << "\n";
    QStringList failures;
    for (const Bench::Result &result : results) {
        for (const bool engine : {true, false}) {
            const QList<Run> &runs = engine ? result.engine : result.tools;
            for (int i = 0; i < runs.size(); ++i) {
                if (!runs.at(i).ok)
                    failures.append(QStringLiteral("%1, pair %2, %3: %4")
                                        .arg(result.workload.name)
                                        .arg(i + 1)
                                        .arg(engine ? QStringLiteral("A") : QStringLiteral("B"), runs.at(i).failure));
            }
        }
    }
    if (!failures.isEmpty())
        s << "Failed runs (left out of the medians):\n\n- " << failures.join(QStringLiteral("\n- ")) << "\n\n";
    s << "## Targets\n\n| Target | Figure | Verdict |\n|---|---|---|\n";
    for (const Target &target : targets(results))
        s << "| " << target.what << " | " << target.figure << " | " << (target.met ? "" : "**") << target.margin
          << (target.met ? "" : "**") << " |\n";
    s << "\n## How it is measured\n\n";
    s << "- Wall time runs from `start()` to `updateReady()`, and so includes the fixed 300 ms the program "
         "waits before it announces the end of a run. Check runs from `start()` to the request of the first "
         "file (manifests and hashing of the card), download to `veryfingDownloadedFiles()`, verify to "
         "`copyingFiles()`, copy to `updateReady()` less those 300 ms. For B the same phases are timed in "
         "the script; B's check includes fetching the manifests with curl.\n";
    s << "- Hashing MiB/s: the bytes hashed on the card over the check phase, and the bytes downloaded over "
         "the verify phase. The engine hashes each download as soon as it is complete, while the others go "
         "on, so with more than one file its verify phase is only what is left after the last download, and "
         "its hashing is part of the download phase.\n";
    s << "- Peak RSS: VmHWM of the driver, reset when the run starts, less its VmRSS just before (the idle "
         "driver with its event loop, network manager and `Update` built). Longest stall: the largest gap "
         "between the ticks of a 10 ms timer on the driver's main thread during the run.\n";
    s << "- The driver drops debug lines with a message handler, as a user's release build shows none; "
         "warnings still go to stderr. The lines are formatted all the same.\n";
    s << "- "
      << (mountedVolumes ? "The card is a tmpfs mounted in a private mount namespace; the published tree, the "
                           "downloads of both pipelines and the engine's temporary directory are on another "
                           "tmpfs, so the figures measure the programs, not a disk."
                         : "No private mount namespace was available: the card is a plain directory.")
      << " nginx serves the tree on a loopback port. Qt's network access manager opens at most 6 "
         "connections to one host; curl is given 10. The card is restored before every run and checked "
         "after it (the first pair in full with md5sum), and the engine's temporary directory must be empty "
         "after every run.\n";
    s << "- home link and retry: the fault server of the tests serves the tree in place of nginx, with one "
         "bandwidth for all its connections together, from a thread of its own; curl and the engine meet "
         "the same link. In retry the server resets the transfer under way once 90 % of the bytes to fetch "
         "have gone out; the driver then starts the run again on the same `Update`, as a user presses OK "
         "and UPDATE. Its bytes are the body bytes the server sent in each attempt.\n";
    s << "- Before every run the machine is left alone for a few seconds. Memory that was just freed is "
         "several times faster to write again than memory not touched for a while (a virtual machine's host "
         "takes freed memory back within a second or two); without the pause the second run of each pair "
         "would write into what the first one freed.\n";
    QFile notes(QStringLiteral(ZUV_BENCH_SOURCE_DIR "/engine-notes.md"));
    if (notes.open(QIODevice::ReadOnly))
        s << "\n" << QString::fromUtf8(notes.readAll());
    return text;
}

} // namespace

void addOptions(QCommandLineParser *parser)
{
    parser->setApplicationDescription(QStringLiteral("Measures the update engine against the standard tools."));
    parser->addHelpOption();
    parser->addOption({QStringLiteral("report"), QStringLiteral("Write the report to FILE."), QStringLiteral("FILE")});
    parser->addOption({QStringLiteral("pairs"),
                       QStringLiteral("Runs of each pipeline per workload (default: 5 for release, 3 for the others)."),
                       QStringLiteral("N")});
    parser->addOption({QStringLiteral("only"), QStringLiteral("Measure only these workloads (comma-separated)."),
                       QStringLiteral("NAMES")});
    parser->addOption({QStringLiteral("seed"), QStringLiteral("Seed of the generated data."), QStringLiteral("N"),
                       QStringLiteral("20240611")});
    parser->addOption({QStringLiteral("smoke"), QStringLiteral("One pair of a tiny workload; fails on any fault.")});
    parser->addOption({QStringLiteral("driver-option"),
                       QStringLiteral("Pass OPTION on to zuv-bench-driver (e.g. --stalls=20); repeatable."),
                       QStringLiteral("OPTION")});
    parser->addOption({QStringLiteral("driver-wrapper"),
                       QStringLiteral("Run zuv-bench-driver under COMMAND (blank-separated), e.g. a profiler."),
                       QStringLiteral("COMMAND")});
    parser->addOption({QStringLiteral("settle"), QStringLiteral("Pause before each run, in seconds."),
                       QStringLiteral("SECONDS"), QStringLiteral("3")});
    parser->addOption({QStringLiteral("tools-first"), QStringLiteral("Alternate B A B A instead of A B A B.")});
    parser->addOption({QStringLiteral("signed"),
                       QStringLiteral("Publish signed and run with the release record, as a program with keys.")});
}

QList<Workload> chosenWorkloads(const QCommandLineParser &parser)
{
    const quint64 seed = parser.value(QStringLiteral("seed")).toULongLong();
    QList<Workload> workloads;
    if (parser.isSet(QStringLiteral("smoke"))) {
        workloads = {Workload::smoke(seed)};
    } else {
        workloads = {Workload::release(seed),         Workload::manySmall(seed),
                     Workload::oneBig(seed),          Workload::scaling(seed, 100),
                     Workload::scaling(seed, 1000),   Workload::scaling(seed, 10000),
                     Workload::homeLink(seed),        Workload::retry(seed),
                     Workload::farLink(seed),         Workload::farSmall(seed)};
    }
    if (parser.isSet(QStringLiteral("only"))) {
        const QStringList only = parser.value(QStringLiteral("only")).split(QLatin1Char(','));
        workloads.erase(std::remove_if(workloads.begin(), workloads.end(),
                                       [&](const Workload &w) { return !only.contains(w.name); }),
                        workloads.end());
    }
    return workloads;
}

Bench::Options chosenOptions(const QCommandLineParser &parser, bool mountedVolumes)
{
    const bool smoke = parser.isSet(QStringLiteral("smoke"));
    Bench::Options options;
    options.mountedVolumes = mountedVolumes;
    options.pairs = parser.isSet(QStringLiteral("pairs")) ? qMax(1, parser.value(QStringLiteral("pairs")).toInt()) : 0;
    options.settleMs = smoke ? 0 : (unsigned long)qMax(0.0, parser.value(QStringLiteral("settle")).toDouble() * 1000);
    options.toolsFirst = parser.isSet(QStringLiteral("tools-first"));
    options.signedRelease = parser.isSet(QStringLiteral("signed"));
    for (const QString &option : parser.values(QStringLiteral("driver-option"))) {
        options.driverOptions += option.section(QLatin1Char('='), 0, 0);
        if (option.contains(QLatin1Char('=')))
            options.driverOptions += option.section(QLatin1Char('='), 1);
    }
    options.driverWrapper =
        parser.value(QStringLiteral("driver-wrapper")).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    return options;
}

// Prints the table and the targets, and writes the report where asked.
void publishResults(const QCommandLineParser &parser, const QString &reportText, const QList<Bench::Result> &results)
{
    out << "\n" << table(results) << "\n";
    for (const Target &target : targets(results))
        out << (target.met ? "  met     " : "  MISSED  ") << target.what << ": " << target.figure << " ("
            << target.margin << ")\n";
    out.flush();
    if (!parser.isSet(QStringLiteral("report")))
        return;
    const QString reportPath = parser.value(QStringLiteral("report"));
    QDir().mkpath(QFileInfo(reportPath).absolutePath());
    QFile file(reportPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(reportText.toUtf8()) < 0)
        fatal(QStringLiteral("cannot write %1").arg(reportPath));
    say(QStringLiteral("report written to %1").arg(QFileInfo(reportPath).absoluteFilePath()));
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // The engine's debug lines (of the copy measured here) are not wanted.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &message) {
        if (type != QtDebugMsg)
            std::fprintf(stderr, "%s\n", qPrintable(message));
    });
    QCommandLineParser parser;
    addOptions(&parser);
    parser.process(app);
    const QList<Workload> workloads = chosenWorkloads(parser);

    for (const char *tool : {"curl", "md5sum", "cp", "sync"}) {
        if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty())
            fatal(QStringLiteral("%1 is not installed").arg(QLatin1String(tool)));
    }
    if (NginxServer::executable().isEmpty()) {
        say(QStringLiteral("SKIP: nginx is not installed"));
        return parser.isSet(QStringLiteral("smoke")) ? 77 : 1;
    }
    const bool mountedVolumes = Volume::unavailableReason().isEmpty();
    if (!mountedVolumes)
        say(QStringLiteral("no private mount namespace: the card is a plain directory (%1)")
                .arg(Volume::unavailableReason()));

    // The work area: a tmpfs of our own where we may mount, else /tmp.
    Volume workVolume(WorkAreaSize);
    QTemporaryDir workDirectory(QDir::tempPath() + QStringLiteral("/zuv-bench-XXXXXX"));
    QString work = workDirectory.path();
    if (mountedVolumes) {
        if (!workVolume.mount())
            fatal(QStringLiteral("cannot mount the work area"));
        work = workVolume.rootPath();
    }

    const QString loadBefore = loadAverage();
    QElapsedTimer elapsed;
    elapsed.start();
    Bench bench(work, chosenOptions(parser, mountedVolumes));
    QList<Bench::Result> results;
    bool allOk = true;
    for (const Workload &workload : workloads) {
        results.append(bench.measure(workload));
        const Bench::Result &result = results.last();
        allOk = allOk && result.failure.isEmpty();
        for (const Run &run : result.engine + result.tools)
            allOk = allOk && run.ok;
        if (!result.failure.isEmpty())
            say(QStringLiteral("%1: FAILED: %2").arg(workload.name, result.failure));
    }
    publishResults(parser, report(results, mountedVolumes, loadBefore, loadAverage(), elapsed.elapsed()), results);
    return allOk ? 0 : 1;
}
