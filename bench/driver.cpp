// Runs one update the way the program does and measures it: the device at
// --device, the update directories given as --directory pairs, driven
// through Update::reset(), addUpdateDirectory(), start() and the run's
// signals on a QCoreApplication event loop. Prints one JSON object:
//
//   {"result": "updateReady" | "downloadError" | "timeout",
//    "wallMs", "checkMs", "downloadMs", "verifyMs", "copyMs",
//    "downloads", "idleRssKiB", "peakRssKiB", "longestStallMs", ...}
//
// The phases come from the run's signals. The end of the check is the
// moment the first file is requested (the run asks for its files as soon
// as its check is done), seen through the network access manager. The
// copy ends 300 ms before updateReady(), which the run announces after
// that fixed delay; copyMs leaves the delay out, wallMs keeps it.
//
// Debug lines are dropped, as in a release build nobody reads them;
// warnings and worse go to stderr. --log FILE keeps them in a file instead.
//
// With --attempts N a run that ends with downloadError() is started again
// on the same Update, as a user presses OK and UPDATE again, up to N runs
// in all; "attemptMs" lists the wall time of each, and the other figures
// are those of the last.
//
//   zuv-bench-driver --device PATH --directory DIR URL [--directory DIR URL]...
//                    [--timeout SECONDS] [--log FILE] [--stalls MS] [--attempts N]
//                    [--record FW.ZUV MODEL-BASE-URL]
//
// --record gives the run the release record of that FW.ZUV, as the program
// does once it has checked its signature, with the model's base address.

#include "helpers/requestqueue.h"
#include "update/release/releaserecord.h"
#include "update/run/update.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTextStream>
#include <QTimer>

#include <cstdio>
#include <ctime>

namespace {

// How long updateReady() follows the end of the copy.
constexpr qint64 RunEndDelayMs = 300;
constexpr int TickMs = 10;

// Written from every thread of the run; stdio locks each call.
std::FILE *logFile = nullptr;

void messageHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtDebugMsg) {
        if (logFile)
            std::fprintf(logFile, "%s\n", qPrintable(message));
        return;
    }
    std::fprintf(stderr, "%s\n", qPrintable(message));
}

qint64 statusKiB(const char *key)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith(key))
            return line.mid(int(qstrlen(key))).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Starts the peak resident size (VmHWM) again from the present size.
void resetPeakRss()
{
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    if (clearRefs.open(QIODevice::WriteOnly))
        clearRefs.write("5");
}

// The program's network access manager, unchanged, except that it notes
// when the requests go out.
class ObservedManager : public QNetworkAccessManager
{
public:
    QList<qint64> requestTimes;
    const QElapsedTimer *clock = nullptr;
    // Where a second manager, sending the requests beyond the first one's
    // connections, notes its requests too.
    QList<qint64> *notedIn = &requestTimes;

protected:
    QNetworkReply *createRequest(Operation op, const QNetworkRequest &request, QIODevice *data) override
    {
        notedIn->append(clock->nsecsElapsed());
        return QNetworkAccessManager::createRequest(op, request, data);
    }
};

// The largest gap between the ticks of a 10 ms timer: the longest time the
// event loop was kept from its work.
class StallMeter : public QObject
{
public:
    StallMeter()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(TickMs);
        connect(&m_timer, &QTimer::timeout, this, [this] { tick(); });
    }

    void start()
    {
        m_last.start();
        m_lastCpu = threadCpuNs();
        m_lastWaited = reportAboveNs >= 0 ? runQueueWaitNs() : 0;
        m_timer.start();
    }
    void stop()
    {
        tick();
        m_timer.stop();
    }
    qint64 longestGapNs() const { return m_longest; }
    int ticks() const { return m_ticks; }
    // With --stalls MS, every gap longer than that is written to stderr
    // with what the run announced last, to find where the time went, and
    // the processor time the main thread had in it and the time it was
    // ready but waited for a processor: a gap with little of the first is
    // no work of the thread's own, and with much of the second it was
    // kept waiting by other threads and programs on a busy machine.
    qint64 reportAboveNs = -1;
    const char *lastEvent = "start";

private:
    void tick()
    {
        const qint64 gap = m_last.nsecsElapsed();
        const qint64 cpu = threadCpuNs();
        const qint64 waited = reportAboveNs >= 0 ? runQueueWaitNs() : 0;
        if (reportAboveNs >= 0 && gap > reportAboveNs)
            std::fprintf(stderr, "stall %.1f ms after %s (%.1f ms of processor time, %.1f ms waiting for one)\n",
                         gap / 1e6, lastEvent, (cpu - m_lastCpu) / 1e6, (waited - m_lastWaited) / 1e6);
        m_longest = qMax(m_longest, gap);
        m_last.start();
        m_lastCpu = cpu;
        m_lastWaited = waited;
        ++m_ticks;
    }

    static qint64 threadCpuNs()
    {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
    }

    // The time this thread has spent ready to run but waiting for a
    // processor (the second field of the scheduler's statistics), 0 where
    // the kernel gives none.
    static qint64 runQueueWaitNs()
    {
        std::FILE *file = std::fopen("/proc/thread-self/schedstat", "r");
        if (!file)
            return 0;
        unsigned long long onCpu = 0, waiting = 0;
        const bool read = std::fscanf(file, "%llu %llu", &onCpu, &waiting) == 2;
        std::fclose(file);
        return read ? qint64(waiting) : 0;
    }

    QTimer m_timer;
    QElapsedTimer m_last;
    qint64 m_lastCpu = 0;
    qint64 m_lastWaited = 0;
    qint64 m_longest = 0;
    int m_ticks = 0;
};

double ms(qint64 ns)
{
    return ns / 1e6;
}

int usage(const char *why)
{
    std::fprintf(stderr,
                 "zuv-bench-driver: %s\n"
                 "usage: zuv-bench-driver --device PATH --directory DIR URL [--directory DIR URL]...\n"
                 "                        [--timeout SECONDS] [--log FILE] [--stalls MS] [--attempts N]\n",
                 why);
    return 2;
}

} // namespace

struct Arguments
{
    QString devicePath;
    QList<QPair<QString, QString>> directories;
    int timeoutSeconds = 600;
    int stallReportMs = -1;
    int attempts = 1;
    QString recordFile;
    QString recordBase;
};

// Reads the command line into arguments; an empty string, or what is wrong.
QString parseArguments(const QStringList &args, Arguments *out)
{
    for (int i = 1; i < args.size(); ++i) {
        const QString &arg = args.at(i);
        const bool hasValue = i + 1 < args.size();
        if (arg == QLatin1String("--device") && hasValue) {
            out->devicePath = args.at(++i);
        } else if (arg == QLatin1String("--directory") && i + 2 < args.size()) {
            out->directories.append({args.at(i + 1), args.at(i + 2)});
            i += 2;
        } else if (arg == QLatin1String("--timeout") && hasValue) {
            out->timeoutSeconds = args.at(++i).toInt();
        } else if (arg == QLatin1String("--attempts") && hasValue) {
            out->attempts = qMax(1, args.at(++i).toInt());
        } else if (arg == QLatin1String("--record") && i + 2 < args.size()) {
            out->recordFile = args.at(i + 1);
            out->recordBase = args.at(i + 2);
            i += 2;
        } else if (arg == QLatin1String("--stalls") && hasValue) {
            out->stallReportMs = args.at(++i).toInt();
        } else if (arg == QLatin1String("--log") && hasValue) {
            logFile = std::fopen(QFile::encodeName(args.at(++i)).constData(), "w");
            if (!logFile)
                return QStringLiteral("cannot write the log file");
        } else {
            return QStringLiteral("unknown or incomplete argument \"%1\"").arg(arg);
        }
    }
    if (out->devicePath.isEmpty() || out->directories.isEmpty() || out->timeoutSeconds <= 0)
        return QStringLiteral("a device, at least one directory and a positive timeout are needed");
    return QString();
}

// When the phases of the current attempt began, from the engine's signals,
// in nanoseconds of the attempt's clock.
struct Moments
{
    qint64 preparedAt = -1;
    qint64 verifyingAt = -1;
    qint64 copyingAt = -1;
    qint64 endAt = -1;
    int downloads = 0;
    int announcedTotal = 0;

    void watch(Update *update, const QElapsedTimer *clock, StallMeter *stalls)
    {
        QObject::connect(update, &Update::preparingDownloadList, [this, clock, stalls] {
            preparedAt = clock->nsecsElapsed();
            stalls->lastEvent = "preparingDownloadList";
        });
        QObject::connect(update, &Update::downloadedFiles, [this, stalls](int count, int total) {
            downloads = count;
            announcedTotal = total;
            stalls->lastEvent = "downloadedFiles";
        });
        QObject::connect(update, &Update::veryfingDownloadedFiles, [this, clock, stalls] {
            verifyingAt = clock->nsecsElapsed();
            stalls->lastEvent = "veryfingDownloadedFiles";
        });
        QObject::connect(update, &Update::copyingFiles, [this, clock, stalls] {
            copyingAt = clock->nsecsElapsed();
            stalls->lastEvent = "copyingFiles";
        });
    }
};

QJsonObject figures(const QString &result, const Moments &at, const ObservedManager &manager, int manifests,
                    const StallMeter &stalls, qint64 idleRss, const QJsonArray &attemptMs)
{
    const qint64 checkedAt = manager.requestTimes.size() > manifests ? manager.requestTimes.at(manifests) : -1;
    const bool copied = at.copyingAt >= 0 && result == QLatin1String("updateReady");
    return QJsonObject{
        {QStringLiteral("result"), result},
        {QStringLiteral("wallMs"), ms(at.endAt)},
        {QStringLiteral("manifestsMs"), ms(at.preparedAt)},
        {QStringLiteral("checkMs"), checkedAt < 0 ? -1 : ms(checkedAt)},
        {QStringLiteral("downloadMs"), checkedAt < 0 || at.verifyingAt < 0 ? -1 : ms(at.verifyingAt - checkedAt)},
        {QStringLiteral("verifyMs"), at.verifyingAt < 0 || at.copyingAt < 0 ? -1 : ms(at.copyingAt - at.verifyingAt)},
        {QStringLiteral("copyMs"), copied ? ms(at.endAt - at.copyingAt) - RunEndDelayMs : -1},
        {QStringLiteral("downloads"), at.downloads},
        {QStringLiteral("announcedTotal"), at.announcedTotal},
        {QStringLiteral("requests"), manager.requestTimes.size()},
        {QStringLiteral("idleRssKiB"), idleRss},
        {QStringLiteral("peakRssKiB"), statusKiB("VmHWM:")},
        {QStringLiteral("longestStallMs"), ms(stalls.longestGapNs())},
        {QStringLiteral("ticks"), stalls.ticks()},
        {QStringLiteral("attemptMs"), attemptMs},
    };
}

// Both managers of the run note their requests in the first one's list.
void observeRequests(ObservedManager *manager, QElapsedTimer *clock)
{
    manager->clock = clock;
    auto *overflow = new ObservedManager;
    overflow->clock = clock;
    overflow->notedIn = &manager->requestTimes;
    Helpers::RequestQueue::of(manager)->setOverflowManager(overflow);
}

QString readRecord(const QString &fileName, ReleaseRecord *record)
{
    QFile file(fileName);
    QString problem;
    if (!file.open(QIODevice::ReadOnly) || !record->parse(file.readAll(), &problem))
        return QStringLiteral("--record: %1").arg(problem.isEmpty() ? file.errorString() : problem);
    return QString();
}

void startRun(Update *update, const Arguments &arguments, const ReleaseRecord &record)
{
    update->reset(arguments.devicePath);
    for (const auto &directory : qAsConst(arguments.directories))
        update->addUpdateDirectory(directory.first, directory.second);
    if (!arguments.recordFile.isEmpty())
        update->setReleaseRecord(record, arguments.recordBase);
    update->start();
}

// Prints the figures as one line of JSON; the exit code tells how the run ended.
int finish(const QString &result, const QJsonObject &figures)
{
    std::printf("%s\n", QJsonDocument(figures).toJson(QJsonDocument::Compact).constData());
    if (logFile)
        std::fclose(logFile);
    return result == QLatin1String("updateReady") ? 0 : result == QLatin1String("timeout") ? 3 : 1;
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(messageHandler);
    Arguments arguments;
    const QString wrong = parseArguments(app.arguments(), &arguments);
    if (!wrong.isEmpty())
        return usage(qPrintable(wrong));

    QElapsedTimer clock;
    ObservedManager manager;
    observeRequests(&manager, &clock);
    StallMeter stalls;
    stalls.reportAboveNs = arguments.stallReportMs < 0 ? -1 : arguments.stallReportMs * 1000000LL;
    Moments at; // outlives the engine that reports to it
    Update update(&manager);
    at.watch(&update, &clock, &stalls);
    ReleaseRecord record;
    const QString recordProblem = arguments.recordFile.isEmpty() ? QString() : readRecord(arguments.recordFile, &record);
    if (!recordProblem.isEmpty())
        return usage(qPrintable(recordProblem));

    QString result;
    QJsonArray attemptMs;
    qint64 idleRss = 0;
    auto start = [&] {
        clock.start();
        manager.requestTimes.clear();
        startRun(&update, arguments, record);
    };
    auto end = [&](const QString &how) {
        if (!result.isEmpty())
            return; // an end after the end: the time limit
        at.endAt = clock.nsecsElapsed();
        attemptMs.append(ms(at.endAt));
        if (how == QLatin1String("downloadError") && attemptMs.size() < arguments.attempts) {
            at.preparedAt = at.verifyingAt = at.copyingAt = at.endAt = -1;
            QTimer::singleShot(0, &app, start);
            return;
        }
        result = how;
        stalls.stop();
        app.quit();
    };
    QObject::connect(&update, &Update::updateReady, [&] { end(QStringLiteral("updateReady")); });
    QObject::connect(&update, &Update::downloadError, [&] { end(QStringLiteral("downloadError")); });
    QTimer::singleShot(arguments.timeoutSeconds * 1000, &app, [&] { end(QStringLiteral("timeout")); });

    // Idle: everything built, the event loop running, nothing asked yet.
    QTimer::singleShot(100, &app, [&] {
        idleRss = statusKiB("VmRSS:");
        resetPeakRss();
        stalls.start();
        start();
    });
    app.exec();

    return finish(result, figures(result, at, manager, arguments.directories.size(), stalls, idleRss, attemptMs));
}
