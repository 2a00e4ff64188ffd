#include "update/update.h"

#include "helpers/network.h"

#include "httpfaultserver.h"
#include "logcapture.h"
#include "nginxserver.h"
#include "privatetemp.h"
#include "releasetree.h"
#include "volume.h"

#include <QElapsedTimer>

#include <algorithm>
#include <functional>
#include <QNetworkAccessManager>
#include <QThreadPool>
#include <QtTest>

using Files = QMap<QString, QByteArray>;

namespace {

const QByteArray Md5Of(const QByteArray &content)
{
    return ReleaseTree::md5Hex(content);
}

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
    void readsManifestFormats();
    void sharedRootFetchedOnce_data();
    void sharedRootFetchedOnce();
    void rejectsUnsafePaths_data();
    void rejectsUnsafePaths();
    void limitsParallelDownloads();
    void failedTransferEndsRun_data();
    void failedTransferEndsRun();
    void corruptDownloadFailsVerification();
    void corruptEarlyDownloadFailsAfterTheLast();
    void resetStopsHashingOfDownloads();
    void failedCopyKeepsOldRelease_data();
    void failedCopyKeepsOldRelease();
    void repairsInterruptedCopyFirst_data();
    void repairsInterruptedCopyFirst();
    void abandonedRunLeavesNothing_data();
    void abandonedRunLeavesNothing();
    void temporaryDirectoryUnavailable();

private:
    void startRun(const QList<QPair<QString, QString>> &directories);
    QString serve(const Files &files, const std::function<int(const QString &)> &delayMs);
    QString publish(const QString &serverDirectory, const Files &files);
    QString nginxManifest(const QString &serverDirectory) const;
    int nginxRequests(const QString &needle) const;

    QTemporaryDir m_serverRoot;
    QScopedPointer<NginxServer> m_nginx;
    QScopedPointer<ReleaseTree> m_release;
    QScopedPointer<HttpFaultServer> m_fault;
    QScopedPointer<PrivateTemp> m_temp;
    QScopedPointer<Volume> m_volume;
    QScopedPointer<QNetworkAccessManager> m_manager;
    QScopedPointer<Update> m_update;
    QScopedPointer<RunRecorder> m_run;
    QScopedPointer<LogCapture> m_log;
};

void UpdateTest::initTestCase()
{
    if (!Volume::unavailableReason().isEmpty())
        QSKIP(qPrintable(Volume::unavailableReason()));
    m_nginx.reset(new NginxServer(m_serverRoot.path()));
    QString error;
    QVERIFY2(m_nginx->start(&error), qPrintable(error));
}

void UpdateTest::init()
{
    m_temp.reset(new PrivateTemp);
    m_volume.reset(new Volume);
    QVERIFY(m_volume->mount());
    m_volume->writeInfoFile("SN1", "1", "2", "3");
    m_volume->writeFile("ZUV.FW", "flag");
    m_release.reset(new ReleaseTree(m_serverRoot.path(), QTest::currentTestFunction()
                                    + QString::fromLatin1(QTest::currentDataTag()).remove(QLatin1Char(' '))));
    m_fault.reset(new HttpFaultServer);
    QVERIFY(m_fault->listen());
    m_manager.reset(new QNetworkAccessManager);
    m_update.reset(new Update(m_manager.data()));
    m_run.reset(new RunRecorder(m_update.data()));
    m_log.reset(new LogCapture);
    m_update->reset(m_volume->rootPath());
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
    Helpers::Network::setStallTimeout(Helpers::Network::DefaultStallTimeout);
}

void UpdateTest::startRun(const QList<QPair<QString, QString>> &directories)
{
    for (const auto &directory : directories)
        m_update->addUpdateDirectory(directory.first, directory.second);
    m_update->start();
}

// Publishes the files on the fault server below "/r/", each answered after
// its delay; returns the manifest's address.
QString UpdateTest::serve(const Files &files, const std::function<int(const QString &)> &delayMs)
{
    QByteArray manifest;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        HttpFaultServer::Response response;
        response.body = it.value();
        response.delayMs = delayMs(it.key());
        m_fault->setResponse("/r/" + it.key().toLatin1(), response);
        manifest += Md5Of(it.value()) + "  " + it.key().toLatin1() + "\n";
    }
    m_fault->setBody("/r/manifest.txt", manifest);
    return m_fault->baseUrl() + "/r/manifest.txt";
}

QString UpdateTest::publish(const QString &serverDirectory, const Files &files)
{
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        m_release->addFile(serverDirectory, it.key(), it.value());
    m_release->writeManifests();
    return nginxManifest(serverDirectory);
}

QString UpdateTest::nginxManifest(const QString &serverDirectory) const
{
    return m_release->manifestUrl(m_nginx->baseUrl(), serverDirectory);
}

int UpdateTest::nginxRequests(const QString &needle) const
{
    const QString model = m_release->modelPath().mid(m_serverRoot.path().size()) + QLatin1Char('/');
    return m_nginx->accessLog().filter(model).filter(needle).size();
}

void UpdateTest::updatesOnlyWhatDiffers()
{
    m_volume->writeFile("FW.BIN", "old firmware");
    m_volume->writeFile("SAME.BIN", "same");
    m_volume->writeFile("SOUNDS/beep.wav", "same beep");
    const QString primary = publish("PrimaryFirmware/2", {{"FW.BIN", "new firmware"}, {"SAME.BIN", "same"}, {"empty.bin", ""}});
    const QString sounds = publish("SecondaryFirmware/SOUNDS", {{"beep.wav", "same beep"}, {"voices/hello.wav", "hello"},
                                                               {"voices/bye.wav", "bye"}, {"long name.wav", "spaced"}});
    startRun({{"", primary}, {"SOUNDS", sounds}});
    QVERIFY(m_run->waitForEnd());

    QCOMPARE(m_run->events, successfulRun(5));
    QVERIFY(m_run->gap("copying", "ready") >= 250);
    Files card = m_volume->snapshot();
    QVERIFY(!card.contains("ZUV.FW"));
    QCOMPARE(card.value("FW.BIN"), QByteArray("new firmware"));
    QCOMPARE(card.value("SOUNDS/voices/hello.wav"), QByteArray("hello"));
    QCOMPARE(card.value("SOUNDS/long name.wav"), QByteArray("spaced"));
    QVERIFY(card.contains("empty.bin"));
    QCOMPARE(card.size(), 8); // FW.ZUV and the seven files of the release
    QCOMPARE(nginxRequests("SAME.BIN") + nginxRequests("beep.wav"), 0);
    QCOMPARE(m_log->count("void UpdatePrivate::Package::checkFilesForUpdate() Updated version on device"), 2);
}

void UpdateTest::nothingToUpdate()
{
    m_volume->writeFile("FW.BIN", "firmware");
    startRun({{"", publish("PrimaryFirmware/2", {{"FW.BIN", "firmware"}})}});
    QVERIFY(m_run->waitForEnd());
    QCOMPARE(m_run->events, QStringList({"preparing", "ready"}));
    QVERIFY(m_run->gap("preparing", "ready") >= 250);
    QVERIFY(m_volume->exists("ZUV.FW"));
    QCOMPARE(nginxRequests("FW.BIN"), 0);
}

void UpdateTest::readsManifestFormats()
{
    const Files files{{"a.bin", "a"}, {"padded.bin", "p"}, {"inner  space.bin", "i"}};
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        m_release->addFile("PrimaryFirmware/2", it.key(), it.value());
    m_release->writeRawManifest("PrimaryFirmware/2", "\xEF\xBB\xBF" + Md5Of("a") + "  a.bin\r\n\r\n \t \r\n"
                                    + Md5Of("p") + " \t padded.bin \t\r\n" + Md5Of("i") + "  inner  space.bin");
    startRun({{"", nginxManifest("PrimaryFirmware/2")}});
    QVERIFY(m_run->waitForEnd());
    QCOMPARE(m_run->events.last(), QStringLiteral("ready"));
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        QCOMPARE(m_volume->readFile(it.key()), it.value());
}

void UpdateTest::sharedRootFetchedOnce_data()
{
    QTest::addColumn<QByteArray>("secondContent");
    QTest::newRow("same content") << QByteArray("common");
    QTest::newRow("different content") << QByteArray("other");
}

void UpdateTest::sharedRootFetchedOnce()
{
    QFETCH(QByteArray, secondContent);
    const QString primary = publish("PrimaryFirmware/2", {{"common.bin", "common"}, {"p.bin", "p"}});
    const QString secondary = publish("SecondaryFirmware/3", {{"common.bin", secondContent}, {"s.bin", "s"}});
    const Files before = m_volume->snapshot();
    startRun({{"", primary}, {"", secondary}});
    QVERIFY(m_run->waitForEnd());
    if (secondContent == "common") {
        QCOMPARE(m_run->events, successfulRun(3));
        QCOMPARE(nginxRequests("common.bin"), 1);
        QCOMPARE(m_volume->readFile("common.bin"), QByteArray("common"));
    } else {
        QCOMPARE(m_run->events, QStringList({"preparing", "error"}));
        QCOMPARE(nginxRequests(".bin"), 0);
        QCOMPARE(m_volume->snapshot(), before);
    }
}

void UpdateTest::rejectsUnsafePaths_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("parent") << QByteArray("  ../escape.bin");
    QTest::newRow("parent inside") << QByteArray("  SUB/../../escape.bin");
    QTest::newRow("absolute") << QByteArray("  /tmp/escape.bin");
    QTest::newRow("digest only") << QByteArray("   ");
}

void UpdateTest::rejectsUnsafePaths()
{
    QFETCH(QByteArray, line);
    m_release->addFile("PrimaryFirmware", "escape.bin", "escaped");
    m_release->addFile("PrimaryFirmware/2", "fine.bin", "fine");
    m_release->writeRawManifest("PrimaryFirmware/2", Md5Of("fine") + "  fine.bin\n" + Md5Of("escaped") + line + "\n");
    const Files before = m_volume->snapshot();
    startRun({{"", nginxManifest("PrimaryFirmware/2")}});
    QVERIFY(m_run->waitForEnd());
    QCOMPARE(m_run->events, QStringList({"preparing", "error"}));
    QCOMPARE(nginxRequests(".bin"), 0);
    QCOMPARE(m_volume->snapshot(), before);
    QCOMPARE(QDir(m_volume->rootPath() + "/..").entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList("card"));
    QVERIFY(!QFile::exists("/tmp/escape.bin"));
}

// Ten downloads at once, the eleventh when the first has finished.
void UpdateTest::limitsParallelDownloads()
{
    Files files;
    for (char name = 'a'; name <= 'k'; ++name)
        files.insert(QString(name), QByteArray(1000, name));
    const QString manifest = serve(files, [](const QString &name) { return name == "a" ? 100 : 800; });
    int startedAtFirstDownload = -1;
    connect(m_update.data(), &Update::downloadedFiles, this, [&](int count) {
        if (count == 1)
            startedAtFirstDownload = m_log->count("Creating temp file");
    });
    startRun({{"", manifest}});
    QVERIFY(m_run->waitForEnd());

    QCOMPARE(m_run->events, successfulRun(11));
    QCOMPARE(startedAtFirstDownload, 10);
    QCOMPARE(m_log->count("Creating temp file"), 11);
    QCOMPARE(m_fault->requestCount("/r/k"), 1);
    const auto requests = m_fault->requests();
    const auto first = std::find_if(requests.cbegin(), requests.cend(), [](auto r) { return r.path == "/r/a"; });
    const auto last = std::find_if(requests.cbegin(), requests.cend(), [](auto r) { return r.path == "/r/k"; });
    QVERIFY(last->receivedAtMs >= first->finishedAtMs);
}

void UpdateTest::failedTransferEndsRun_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("fault");
    QTest::addColumn<QStringList>("events");
    const QStringList afterOne{"preparing", "downloaded 1/5", "error"};
    QTest::newRow("file 404") << QByteArray("/r/c") << 404 << int(HttpFaultServer::NoFault) << afterOne;
    QTest::newRow("file stalls") << QByteArray("/r/c") << 200 << int(HttpFaultServer::StallAfterHeaders) << afterOne;
    QTest::newRow("file cut short") << QByteArray("/r/c") << 200 << int(HttpFaultServer::CloseAfterBytes) << afterOne;
    QTest::newRow("file reset") << QByteArray("/r/c") << 200 << int(HttpFaultServer::ResetAfterBytes) << afterOne;
    QTest::newRow("manifest 404") << QByteArray("/r/manifest.txt") << 404 << int(HttpFaultServer::NoFault)
                                  << QStringList("error");
    QTest::newRow("manifest redirect") << QByteArray("/r/manifest.txt") << 301 << int(HttpFaultServer::NoFault)
                                       << QStringList("error");
    QTest::newRow("manifest stalls") << QByteArray("/r/manifest.txt") << 200
                                     << int(HttpFaultServer::StallBeforeHeaders) << QStringList("error");
}

void UpdateTest::failedTransferEndsRun()
{
    QFETCH(QByteArray, path);
    Helpers::Network::setStallTimeout(500);
    Files files;
    for (char name = 'a'; name <= 'e'; ++name)
        files.insert(QString(name), QByteArray(4000, name));
    const QString manifest = serve(files, [](const QString &name) { return name == "a" ? 0 : 5000; });
    m_fault->setBody("/other/manifest.txt", "");
    QFETCH(int, status);
    QFETCH(int, fault);
    HttpFaultServer::Response failing;
    failing.status = status;
    failing.body = QByteArray(4000, 'c');
    failing.fault = HttpFaultServer::Fault(fault);
    failing.faultAfterBytes = 100;
    failing.delayMs = path == "/r/c" ? 300 : 0;
    failing.headers = {{"Location", "/other/manifest.txt"}};
    m_fault->setResponse(path, failing);
    const Files before = m_volume->snapshot();

    startRun({{"", manifest}});
    QVERIFY(m_run->waitForEnd());
    QTest::qWait(400); // nothing may follow the error
    QTEST(m_run->events, "events");
    QCOMPARE(m_volume->snapshot(), before);
    QCOMPARE(m_fault->requestCount("/other/manifest.txt"), 0);
}

void UpdateTest::corruptDownloadFailsVerification()
{
    m_release->addFile("PrimaryFirmware/2", "FW.BIN", "tampered");
    m_release->writeRawManifest("PrimaryFirmware/2", Md5Of("genuine") + "  FW.BIN\n");
    const Files before = m_volume->snapshot();
    startRun({{"", nginxManifest("PrimaryFirmware/2")}});
    QVERIFY(m_run->waitForEnd());
    QCOMPARE(m_run->events, QStringList({"preparing", "downloaded 1/1", "verifying", "error"}));
    QVERIFY(m_run->gap("verifying", "error") >= 250);
    QCOMPARE(m_volume->snapshot(), before);
}

// Downloads are hashed as they complete; a mismatch found early still lets
// the others finish and is reported after the verification is announced.
void UpdateTest::corruptEarlyDownloadFailsAfterTheLast()
{
    const QString manifest = serve({{"a", "genuine"}, {"b", "bbbb"}, {"c", "cccc"}},
                                   [](const QString &name) { return name == "a" ? 0 : 500; });
    m_fault->setBody("/r/a", "tampered");
    const Files before = m_volume->snapshot();
    startRun({{"", manifest}});
    QVERIFY(m_run->waitForEnd());
    QCOMPARE(m_run->events, QStringList({"preparing", "downloaded 1/3", "downloaded 2/3", "downloaded 3/3",
                                         "verifying", "error"}));
    QCOMPARE(m_log->count("Downloaded file differs from its manifest"), 1);
    QCOMPARE(m_volume->snapshot(), before);
}

// A reset while a finished download is still being hashed stops the hash
// and has removed the temporary directory when it returns.
void UpdateTest::resetStopsHashingOfDownloads()
{
    m_volume.reset(new Volume(160 * 1024 * 1024));
    QVERIFY(m_volume->mount());
    m_update->reset(m_volume->rootPath());
    const QString manifest = serve({{"big.bin", QByteArray(64 * 1024 * 1024, 'b')}, {"late.bin", "late"}},
                                   [](const QString &name) { return name == "big.bin" ? 0 : 2000; });
    bool reset = false;
    QStringList leftAfterReset;
    connect(m_update.data(), &Update::downloadedFiles, this, [&] {
        m_update->reset(m_volume->rootPath());
        leftAfterReset = m_temp->leftovers();
        reset = true;
    });
    startRun({{"", manifest}});
    QVERIFY(QTest::qWaitFor([&] { return reset; }, 30000));
    QCOMPARE(leftAfterReset, QStringList());
    QTest::qWait(400);
    QCOMPARE(m_run->events, QStringList({"preparing", "downloaded 1/2"}));
}

void UpdateTest::failedCopyKeepsOldRelease_data()
{
    QTest::addColumn<bool>("readOnly");
    QTest::newRow("volume full at the third file") << false;
    QTest::newRow("read-only volume") << true;
}

void UpdateTest::failedCopyKeepsOldRelease()
{
    QFETCH(bool, readOnly);
    m_volume.reset(new Volume(3 * 1024 * 1024));
    QVERIFY(m_volume->mount());
    m_update->reset(m_volume->rootPath());
    Files release;
    for (const char *name : {"1.bin", "2.bin", "3.bin", "4.bin", "5.bin"}) {
        m_volume->writeFile(name, QByteArray("old ") + name);
        release.insert(name, QByteArray("new ") + name);
    }
    m_volume->writeFile("ZUV.FW", "flag");
    release.insert("3.bin", QByteArray(4 * 1024 * 1024, '3'));
    if (readOnly)
        connect(m_update.data(), &Update::copyingFiles, this, [this] { QVERIFY(m_volume->remountReadOnly(true)); });
    const Files before = m_volume->snapshot();
    startRun({{"", publish("PrimaryFirmware/2", release)}});
    QVERIFY(m_run->waitForEnd());
    QCOMPARE(m_run->events.mid(m_run->events.size() - 2), QStringList({"copying", "error"}));
    QCOMPARE(m_volume->snapshot(), before);
    QCOMPARE(m_log->count("bool {anonymous}::copyFiles(const QString&, const QString&, "
                          "const QList<UpdatePrivate::File>&) Unwinding"), 1);
}

void UpdateTest::repairsInterruptedCopyFirst_data()
{
    QTest::addColumn<QByteArray>("state");
    QTest::addColumn<int>("downloads");
    QTest::newRow("uncommitted: back, then updated") << QByteArray("prepared") << 1;
    QTest::newRow("committed: completed") << QByteArray("committed") << 0;
}

void UpdateTest::repairsInterruptedCopyFirst()
{
    QFETCH(QByteArray, state);
    m_volume->writeFile("FW.BIN", "new");
    m_volume->writeFile("FW.BIN.zuv-old", "old");
    m_volume->writeFile("ZUV-UPDATE.JOURNAL", R"({"state":")" + state + R"(","files":[{"path":"FW.BIN","old":true}]})");
    startRun({{"", publish("PrimaryFirmware/2", {{"FW.BIN", "new"}})}});
    QVERIFY(m_run->waitForEnd());
    QCOMPARE(m_run->events.last(), QStringLiteral("ready"));
    QTEST(m_run->events.filter("downloaded").size(), "downloads");
    const Files card = m_volume->snapshot();
    QCOMPARE(card.keys(), QStringList({"FW.BIN", "FW.ZUV"}));
    QCOMPARE(card.value("FW.BIN"), QByteArray("new"));
}

void UpdateTest::abandonedRunLeavesNothing_data()
{
    QTest::addColumn<QString>("phase");
    QTest::addColumn<bool>("destroy");
    for (const char *phase : {"preparing", "downloaded 1/3", "copying"}) {
        QTest::addRow("reset at %s", phase) << phase << false;
        QTest::addRow("destroyed at %s", phase) << phase << true;
    }
}

// However a run is abandoned, no signal follows, nothing stays in the
// temporary directory, and the card holds exactly one of the two releases.
void UpdateTest::abandonedRunLeavesNothing()
{
    QFETCH(QString, phase);
    QFETCH(bool, destroy);
    m_volume.reset(new Volume(160 * 1024 * 1024));
    QVERIFY(m_volume->mount());
    m_volume->writeFile("ZUV.FW", "flag");
    m_update->reset(m_volume->rootPath());
    // Large files keep the check and the copy busy; the large downloads
    // are held back so that the small one completes first.
    const Files release{{"big1.bin", QByteArray(24 * 1024 * 1024, '1')}, {"big2.bin", QByteArray(24 * 1024 * 1024, '2')},
                        {"small.bin", "small"}};
    for (auto it = release.cbegin(); it != release.cend(); ++it)
        m_volume->writeFile(it.key(), QByteArray(it.value().size(), 'o'));
    const QString manifest = serve(release, [](const QString &name) { return name == "small.bin" ? 0 : 300; });
    const Files before = m_volume->snapshot();
    bool abandoned = false;
    auto abandonAt = [&](const QString &event) {
        if (event != phase || abandoned)
            return;
        abandoned = true;
        if (destroy)
            m_update.reset();
        else
            m_update->reset(m_volume->rootPath());
    };
    // A copy is abandoned while it runs; the other phases from inside the
    // signal, unless the object is destroyed, which never happens there.
    const auto type = destroy || phase == "copying" ? Qt::QueuedConnection : Qt::DirectConnection;
    connect(m_update.data(), &Update::preparingDownloadList, this, [&] { abandonAt("preparing"); }, type);
    connect(m_update.data(), &Update::downloadedFiles, this,
            [&](int count, int total) { abandonAt(QStringLiteral("downloaded %1/%2").arg(count).arg(total)); }, type);
    connect(m_update.data(), &Update::copyingFiles, this, [&] { abandonAt("copying"); }, type);
    startRun({{"", manifest}});

    QVERIFY(QTest::qWaitFor([&] { return m_run->events.contains(phase); }, 30000));
    QTest::qWait(700);
    QCOMPARE(m_run->events.last(), phase);
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(m_temp->leftovers(), QStringList());
    Files updated = before;
    updated.remove("ZUV.FW");
    for (auto it = release.cbegin(); it != release.cend(); ++it)
        updated.insert(it.key(), it.value());
    const Files card = m_volume->snapshot();
    QVERIFY(card == before || card == updated);

    if (!destroy) { // the same object runs the next update as if nothing had happened
        m_update->reset(m_volume->rootPath());
        startRun({{"", manifest}});
        QVERIFY(m_run->waitForEnd());
        QCOMPARE(m_run->events.last(), QStringLiteral("ready"));
        QCOMPARE(m_volume->snapshot(), updated);
    }
}

void UpdateTest::temporaryDirectoryUnavailable()
{
    m_fault->setBody("/r/manifest.txt", "");
    qputenv("TMPDIR", QFile::encodeName(m_temp->path() + "/missing"));
    startRun({{"", m_fault->baseUrl() + "/r/manifest.txt"}});
    QVERIFY(m_run->waitForEnd());
    QCOMPARE(m_run->events, QStringList("error"));
    QCOMPARE(m_fault->requests().size(), 0);
}

QTEST_GUILESS_MAIN(UpdateTest)
#include "tst_update.moc"
