#include "update/update.h"

#include "httpfaultserver.h"
#include "logcapture.h"
#include "privatetemp.h"
#include "releasetree.h"
#include "volume.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QThreadPool>
#include <QtTest>

#include <algorithm>
#include <functional>

using Files = QMap<QString, QByteArray>;

namespace {

// Everything an Update announces, in order, with the time of each signal.
class RunRecorder : public QObject
{
public:
    explicit RunRecorder(Update *update)
    {
        m_clock.start();
        connect(update, &Update::preparingDownloadList, this, [this] { record("preparing"); });
        connect(update, &Update::downloadedFiles, this,
                [this](int count, int total) { record(QStringLiteral("downloaded %1/%2").arg(count).arg(total)); });
        connect(update, &Update::veryfingDownloadedFiles, this, [this] { record("verifying"); });
        connect(update, &Update::copyingFiles, this, [this] { record("copying"); });
        connect(update, &Update::updateReady, this, [this] { record("ready"); });
        connect(update, &Update::downloadError, this, [this] { record("error"); });
    }

    QStringList events;

    bool waitForEnd() const
    {
        return QTest::qWaitFor([this] { return events.contains("ready") || events.contains("error"); }, 30000);
    }
    qint64 gap(const QString &from, const QString &to) const { return m_at.value(to) - m_at.value(from); }

private:
    void record(const QString &event)
    {
        events.append(event);
        m_at.insert(event, m_clock.elapsed());
    }

    QElapsedTimer m_clock;
    QHash<QString, qint64> m_at;
};

// What a successful run of total downloads announces.
QStringList successfulRun(int total)
{
    QStringList events{"preparing"};
    for (int count = 1; count <= total; ++count)
        events.append(QStringLiteral("downloaded %1/%2").arg(count).arg(total));
    return events + QStringList{"verifying", "copying", "ready"};
}

} // namespace

class UpdateTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void updatesOnlyWhatDiffers();
    void nothingToUpdate();
    void sharedRootFetchedOnce_data();
    void sharedRootFetchedOnce();
    void rejectsUnsafePaths_data();
    void rejectsUnsafePaths();
    void limitsParallelDownloads();
    void failedDownloadEndsRun();
    void corruptDownloadFailsAfterTheLast();
    void abandonedRunLeavesNothing_data();
    void abandonedRunLeavesNothing();
    void temporaryDirectoryUnavailable();

private:
    void useVolume(qint64 size);
    void startRun(const QList<QPair<QString, QString>> &directories);
    bool runToEnd(const QList<QPair<QString, QString>> &directories);
    QString serve(const QString &directory, const Files &files, const std::function<int(const QString &)> &delayMs = nullptr);
    int requests(const QByteArray &needle) const;

    QScopedPointer<HttpFaultServer> m_fault;
    QScopedPointer<PrivateTemp> m_temp;
    QScopedPointer<Volume> m_volume;
    QScopedPointer<QNetworkAccessManager> m_manager;
    QScopedPointer<Update> m_update;
    QScopedPointer<RunRecorder> m_run;
    QScopedPointer<LogCapture> m_log;
    Files m_before; // the card when the last run started
};

void UpdateTest::initTestCase()
{
    if (!Volume::unavailableReason().isEmpty())
        QSKIP(qPrintable(Volume::unavailableReason()));
}

void UpdateTest::init()
{
    m_temp.reset(new PrivateTemp);
    m_fault.reset(new HttpFaultServer);
    QVERIFY(m_fault->listen());
    m_manager.reset(new QNetworkAccessManager);
    m_update.reset(new Update(m_manager.data()));
    m_run.reset(new RunRecorder(m_update.data()));
    m_log.reset(new LogCapture);
    useVolume(64 * 1024 * 1024);
}

void UpdateTest::cleanup()
{
    m_update.reset();
    QThreadPool::globalInstance()->waitForDone();
    if (m_temp)
        QCOMPARE(m_temp->leftovers(), QStringList());
    m_log.reset();
    m_run.reset();
    m_manager.reset();
    m_fault.reset();
    m_volume.reset();
    m_temp.reset();
}

// A card of the given size that holds the device's files, ready for a run.
void UpdateTest::useVolume(qint64 size)
{
    m_volume.reset(new Volume(size));
    QVERIFY(m_volume->mount());
    m_volume->writeInfoFile("SN1", "1", "2", "3");
    m_volume->writeFile("ZUV.FW", "flag");
    m_update->reset(m_volume->rootPath());
}

void UpdateTest::startRun(const QList<QPair<QString, QString>> &directories)
{
    m_before = m_volume->snapshot();
    for (const auto &directory : directories)
        m_update->addUpdateDirectory(directory.first, directory.second);
    m_update->start();
}

bool UpdateTest::runToEnd(const QList<QPair<QString, QString>> &directories)
{
    startRun(directories);
    return m_run->waitForEnd();
}

// Publishes the files below "/<directory>/" with their manifest, each
// answered after its delay; returns the manifest's address. The manifest is
// written the way an editor on Windows may leave it: a byte order mark, CR
// LF line ends, a line of white space only and a last line without its end.
QString UpdateTest::serve(const QString &directory, const Files &files, const std::function<int(const QString &)> &delayMs)
{
    const QByteArray root = '/' + directory.toUtf8() + '/';
    QByteArrayList lines;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        HttpFaultServer::Response response;
        response.body = it.value();
        response.delayMs = delayMs ? delayMs(it.key()) : 0;
        m_fault->setResponse(root + QUrl::toPercentEncoding(it.key(), "/!$&'()*+,;=:@"), response);
        lines.append(ReleaseTree::md5Hex(it.value()) + "  " + it.key().toUtf8());
    }
    lines.insert(qMin(1, lines.size()), " \t ");
    m_fault->setBody(root + "manifest.txt", "\xEF\xBB\xBF" + lines.join("\r\n"));
    return m_fault->baseUrl() + root + "manifest.txt";
}

// How many requests asked for a path that holds the needle.
int UpdateTest::requests(const QByteArray &needle) const
{
    const QList<QByteArray> paths = m_fault->requestedPaths();
    return int(std::count_if(paths.cbegin(), paths.cend(), [&](const QByteArray &path) { return path.contains(needle); }));
}

void UpdateTest::updatesOnlyWhatDiffers()
{
    m_volume->writeFile("FW.BIN", "old firmware");
    m_volume->writeFile("SAME.BIN", "same");
    m_volume->writeFile("SOUNDS/beep.wav", "same beep");
    const QString primary = serve("PrimaryFirmware/2", {{"FW.BIN", "new firmware"}, {"SAME.BIN", "same"}, {"empty.bin", ""}});
    const QString sounds = serve("SecondaryFirmware/SOUNDS", {{"beep.wav", "same beep"}, {"voices/hello.wav", "hello"},
                                                             {"voices/bye.wav", "bye"}, {"long name.wav", "spaced"},
                                                             {"A(1)+B,C=D.wav", "marks"}, {"x#y.wav", "hash"}});
    QVERIFY(runToEnd({{"", primary}, {"SOUNDS", sounds}}));

    QCOMPARE(m_run->events, successfulRun(7));
    QVERIFY(m_run->gap("copying", "ready") >= 250);
    Files card = m_volume->snapshot();
    QVERIFY(!card.contains("ZUV.FW"));
    QCOMPARE(card.value("FW.BIN"), QByteArray("new firmware"));
    QCOMPARE(card.value("SOUNDS/voices/hello.wav"), QByteArray("hello"));
    QCOMPARE(card.value("SOUNDS/long name.wav"), QByteArray("spaced"));
    QVERIFY(card.contains("empty.bin"));
    QCOMPARE(card.value("SOUNDS/x#y.wav"), QByteArray("hash"));
    QCOMPARE(card.size(), 10); // FW.ZUV and the nine files of the release
    QCOMPARE(requests("SAME.BIN") + requests("beep.wav"), 0);
    QCOMPARE(requests("long%20name.wav"), 1);
    QCOMPARE(requests("/A(1)+B,C=D.wav"), 1); // requested as named, not escaped
    QCOMPARE(requests("x%23y.wav"), 1);
    QCOMPARE(m_log->count("void UpdatePrivate::Package::checkFilesForUpdate() Updated version on device"), 2);
}

void UpdateTest::nothingToUpdate()
{
    m_volume->writeFile("FW.BIN", "firmware");
    QVERIFY(runToEnd({{"", serve("PrimaryFirmware/2", {{"FW.BIN", "firmware"}})}}));
    QCOMPARE(m_run->events, QStringList({"preparing", "ready"}));
    QVERIFY(m_run->gap("preparing", "ready") >= 250);
    QVERIFY(m_volume->exists("ZUV.FW"));
    QCOMPARE(requests("FW.BIN"), 0);
}

void UpdateTest::sharedRootFetchedOnce_data()
{
    QTest::addColumn<QString>("secondName");
    QTest::addColumn<QByteArray>("secondContent");
    QTest::newRow("same content") << "common.bin" << QByteArray("common");
    QTest::newRow("same content, other letter case") << "Common.BIN" << QByteArray("common");
    QTest::newRow("different content") << "common.bin" << QByteArray("other");
}

void UpdateTest::sharedRootFetchedOnce()
{
    QFETCH(QString, secondName);
    QFETCH(QByteArray, secondContent);
    const QString primary = serve("PrimaryFirmware/2", {{"common.bin", "common"}, {"p.bin", "p"}});
    const QString secondary = serve("SecondaryFirmware/3", {{secondName, secondContent}, {"s.bin", "s"}});
    QVERIFY(runToEnd({{"", primary}, {"", secondary}}));
    if (secondContent == "common") {
        QCOMPARE(m_run->events, successfulRun(3));
        QCOMPARE(requests("common.bin") + requests("Common.BIN"), 1);
        // Written once, under either spelling: one name on a FAT card.
        const Files card = m_volume->snapshot();
        QCOMPARE(card.value("common.bin") + card.value("Common.BIN"), QByteArray("common"));
    } else {
        QCOMPARE(m_run->events, QStringList({"preparing", "error"}));
        QVERIFY2(m_update->errorString().contains("two different files for \"common.bin\""),
                 qPrintable(m_update->errorString()));
        QCOMPARE(requests(".bin"), 0);
        QCOMPARE(m_volume->snapshot(), m_before);
    }
}

void UpdateTest::rejectsUnsafePaths_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::newRow("leads out with ..") << QByteArray("SUB/../../escape.bin");
    QTest::newRow("NUL byte") << QByteArray("nul\0name.bin", 12);
}

// One line that leads out of the card, or that no card could hold, rejects
// the whole manifest before anything is fetched.
void UpdateTest::rejectsUnsafePaths()
{
    QFETCH(QByteArray, path);
    HttpFaultServer::Response escaped; // whatever is asked for
    escaped.body = "escaped";
    m_fault->setDefaultResponse(escaped);
    const QString manifest = serve("r/2", {{"fine.bin", "fine"}});
    m_fault->setBody("/r/2/manifest.txt",
                     ReleaseTree::md5Hex("fine") + "  fine.bin\n" + ReleaseTree::md5Hex("escaped") + "  " + path + "\n");
    QVERIFY(runToEnd({{"", manifest}}));
    QCOMPARE(m_run->events, QStringList({"preparing", "error"}));
    QCOMPARE(requests(".bin"), 0);
    QCOMPARE(m_volume->snapshot(), m_before);
    QCOMPARE(QDir(m_volume->rootPath() + "/..").entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList("card"));
}

// Ten downloads at once, the eleventh when the first has finished.
void UpdateTest::limitsParallelDownloads()
{
    Files files;
    for (char name = 'a'; name <= 'k'; ++name)
        files.insert(QString(name), QByteArray(1000, name));
    const QString manifest = serve("r", files, [](const QString &name) { return name == "a" ? 100 : 800; });
    int startedAtFirstDownload = -1;
    connect(m_update.data(), &Update::downloadedFiles, this, [&](int count) {
        if (count == 1)
            startedAtFirstDownload = m_log->count("Creating temp file");
    });
    QVERIFY(runToEnd({{"", manifest}}));

    QCOMPARE(m_run->events, successfulRun(11));
    QCOMPARE(startedAtFirstDownload, 10);
    QCOMPARE(m_log->count("Creating temp file"), 11);
    QCOMPARE(m_fault->requestCount("/r/k"), 1);
    const auto requests = m_fault->requests();
    const auto first = std::find_if(requests.cbegin(), requests.cend(), [](auto r) { return r.path == "/r/a"; });
    const auto last = std::find_if(requests.cbegin(), requests.cend(), [](auto r) { return r.path == "/r/k"; });
    QVERIFY(last->receivedAtMs >= first->finishedAtMs);
}

// The first failed download ends the run at once, while the other
// downloads are still under way.
void UpdateTest::failedDownloadEndsRun()
{
    Files files;
    for (char name = 'a'; name <= 'e'; ++name)
        files.insert(QString(name), QByteArray(4000, name));
    const QString manifest = serve("r", files, [](const QString &name) { return name == "a" ? 0 : 5000; });
    HttpFaultServer::Response missing;
    missing.status = 404;
    missing.delayMs = 300;
    m_fault->setResponse("/r/c", missing);

    QVERIFY(runToEnd({{"", manifest}}));
    QTest::qWait(400); // nothing may follow the error
    QCOMPARE(m_run->events, QStringList({"preparing", "downloaded 1/5", "error"}));
    QCOMPARE(m_volume->snapshot(), m_before);
}

// Downloads are hashed as they complete; a mismatch found early still lets
// the others finish and is reported after the verification is announced.
void UpdateTest::corruptDownloadFailsAfterTheLast()
{
    const QString manifest = serve("r", {{"a", "genuine"}, {"b", "bbbb"}, {"c", "cccc"}},
                                   [](const QString &name) { return name == "a" ? 0 : 500; });
    m_fault->setBody("/r/a", "tampered");
    QVERIFY(runToEnd({{"", manifest}}));
    QCOMPARE(m_run->events, QStringList({"preparing", "downloaded 1/3", "downloaded 2/3", "downloaded 3/3",
                                         "verifying", "error"}));
    QVERIFY(m_run->gap("verifying", "error") >= 250);
    QCOMPARE(m_log->count("Downloaded file differs from its manifest"), 1);
    QCOMPARE(m_volume->snapshot(), m_before);
}

void UpdateTest::abandonedRunLeavesNothing_data()
{
    QTest::addColumn<QString>("phase");
    for (const char *phase : {"preparing", "downloaded 1/3"})
        QTest::addRow("reset at %s", phase) << phase;
}

// A run abandoned from inside the signal that starts a phase announces
// nothing more and leaves the card as it was, and the same object runs the
// next update as if nothing had happened. Once downloads began, the reset
// has removed the temporary directory when it returns, even while the
// download that has just finished is still being hashed.
void UpdateTest::abandonedRunLeavesNothing()
{
    QFETCH(QString, phase);
    useVolume(160 * 1024 * 1024);
    // Large files keep the check and the hashing busy; the first large
    // download completes first.
    const Files release{{"big1.bin", QByteArray(24 * 1024 * 1024, '1')}, {"big2.bin", QByteArray(24 * 1024 * 1024, '2')},
                        {"small.bin", "small"}};
    for (auto it = release.cbegin(); it != release.cend(); ++it)
        m_volume->writeFile(it.key(), QByteArray(it.value().size(), 'o'));
    const QString manifest = serve("r", release, [](const QString &name) { return name == "big1.bin" ? 0 : 1000; });
    bool abandoned = false;
    QStringList leftAfterReset;
    auto abandonAt = [&](const QString &event) {
        if (event != phase || abandoned)
            return;
        abandoned = true;
        m_update->reset(m_volume->rootPath());
        leftAfterReset = m_temp->leftovers();
    };
    connect(m_update.data(), &Update::preparingDownloadList, this, [&] { abandonAt("preparing"); });
    connect(m_update.data(), &Update::downloadedFiles, this,
            [&](int count, int total) { abandonAt(QStringLiteral("downloaded %1/%2").arg(count).arg(total)); });
    startRun({{"", manifest}});

    QVERIFY(QTest::qWaitFor([&] { return abandoned; }, 30000));
    if (phase.startsWith("downloaded"))
        QCOMPARE(leftAfterReset, QStringList());
    QTest::qWait(700);
    QCOMPARE(m_run->events.last(), phase);
    QThreadPool::globalInstance()->waitForDone();
    QCOMPARE(m_temp->leftovers(), QStringList());
    QCOMPARE(m_volume->snapshot(), m_before);

    Files updated = m_before;
    updated.remove("ZUV.FW");
    updated.insert(release);
    m_update->reset(m_volume->rootPath());
    QVERIFY(runToEnd({{"", manifest}}));
    QCOMPARE(m_run->events.last(), QStringLiteral("ready"));
    QCOMPARE(m_volume->snapshot(), updated);
}

void UpdateTest::temporaryDirectoryUnavailable()
{
    const QString manifest = serve("r", {});
    m_temp->pointAt(m_temp->path() + "/missing");
    QVERIFY(runToEnd({{"", manifest}}));
    QCOMPARE(m_run->events, QStringList("error"));
    QCOMPARE(m_fault->requests().size(), 0);
}

QTEST_GUILESS_MAIN(UpdateTest)
#include "tst_update.moc"
