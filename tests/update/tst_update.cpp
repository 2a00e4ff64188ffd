#include "update/run/update.h"

#include "device/deviceinfo.h"

#include "helpers/requestqueue.h"

#include "httpfaultserver.h"
#include "logcapture.h"
#include "privatetemp.h"
#include "testfiles.h"
#include "volume.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QThreadPool>
#include <QtTest>

#include <cstdio>

#include <algorithm>
#include <functional>

#ifdef Q_OS_LINUX
#include <sys/mount.h>
#endif

namespace {

// The stall time of the tests on slow links; their bodies trickle at a
// third of it.
constexpr int TestStallMs = 1000;

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
    void refusesWritesOffTheCard_data();
    void refusesWritesOffTheCard();
    void limitsParallelDownloads();
    void otherCardAtTheCopy();
    void cardWithoutRoomFailsBeforeDownloads();
    void corruptDownloadFailsAfterTheLast();
    void failuresNameNativePaths_data();
    void failuresNameNativePaths();
    void unsteadyLink_data();
    void unsteadyLink();
    void retryFetchesOnlyWhatIsMissing_data();
    void retryFetchesOnlyWhatIsMissing();

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
        QCOMPARE(m_temp->leftovers().join(QLatin1String(", ")), QString());
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
        lines.append(md5Hex(it.value()) + "  " + it.key().toUtf8());
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
                                                             {"A(1)+B,C=D.wav", "marks"}, {"x#y.wav", "hash"},
                                                             {"voices\\hi.wav", "hi"}});
    QVERIFY(runToEnd({{"", primary}, {"SOUNDS", sounds}}));

    QCOMPARE(m_run->events, successfulRun(8));
    QVERIFY(m_run->gap("copying", "ready") >= 250);
    Files card = m_volume->snapshot();
    QVERIFY(!card.contains("ZUV.FW"));
    QCOMPARE(card.value("FW.BIN"), QByteArray("new firmware"));
    QCOMPARE(card.value("SOUNDS/voices/hello.wav"), QByteArray("hello"));
    QCOMPARE(card.value("SOUNDS/long name.wav"), QByteArray("spaced"));
    QVERIFY(card.contains("empty.bin"));
    QCOMPARE(card.value("SOUNDS/x#y.wav"), QByteArray("hash"));
    QCOMPARE(card.value("SOUNDS/voices/hi.wav"), QByteArray("hi")); // "\\" separates, as on the device
    QCOMPARE(card.size(), 11); // FW.ZUV and the ten files of the release
    QCOMPARE(requests("SAME.BIN") + requests("beep.wav"), 0);
    QCOMPARE(requests("long%20name.wav"), 1);
    QCOMPARE(requests("/A(1)+B,C=D.wav"), 1); // requested as named, not escaped
    QCOMPARE(requests("x%23y.wav"), 1);
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
    QTest::newRow("device name a card cannot hold") << QByteArray("IMAGES/Con.bmp");
    QTest::newRow("colon a card cannot hold") << QByteArray("SOUNDS/a:b.wav");
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
                     md5Hex("fine") + "  fine.bin\n" + md5Hex("escaped") + "  " + path + "\n");
    QVERIFY(runToEnd({{"", manifest}}));
    QCOMPARE(m_run->events, QStringList({"preparing", "error"}));
    QCOMPARE(requests(".bin"), 0);
    QCOMPARE(m_volume->snapshot(), m_before);
    QCOMPARE(QDir(m_volume->rootPath() + "/..").entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList("card"));
}

// Too many files for their clusters alone: the card cannot hold the staged
// files, the run says how much room is missing and ends before it asks for
// anything. (A card that turns out too small once the sizes are announced
// is the fault suite's.)
void UpdateTest::cardWithoutRoomFailsBeforeDownloads()
{
    if (!Volume::faultsUnavailableReason().isEmpty())
        QSKIP(qPrintable(Volume::faultsUnavailableReason()));
    useVolume(256 * 1024);
    Files files;
    for (int i = 0; i < 200; ++i)
        files.insert(QStringLiteral("SOUNDS/%1.wav").arg(i), "x");
    QVERIFY(runToEnd({{"", serve("r", files)}}));
    QCOMPARE(m_run->events, QStringList({"preparing", "error"}));
    QCOMPARE(requests(".wav"), 0);
    QVERIFY2(m_update->errorString().contains(QRegularExpression("^The card needs [1-9][0-9]* MB more free space$")),
             qPrintable(m_update->errorString()));
    QCOMPARE(m_volume->snapshot(), m_before);
}

void UpdateTest::refusesWritesOffTheCard_data()
{
    QTest::addColumn<QString>("place");  // what stands on the card
    QTest::addColumn<QString>("reason"); // in Update::errorString()
    QTest::addColumn<int>("hashed");     // card files read for their MD5
    QTest::newRow("directory linked to a folder outside") << "directory link" << "\"ANIM\" on the card is a link" << 0;
    QTest::newRow("file linked to a file outside") << "file link" << "\"ANIM/RUN.ANM\" on the card is a link" << 0;
    QTest::newRow("link at a staging name") << "staging link" << "\"ANIM/NEW.ANM.zuv-new\" on the card is a link" << 1;
    QTest::newRow("volume mounted below the root") << "mount" << "\"ANIM\" on the card is another volume" << 0;
    QTest::newRow("FW.ZUV a link") << "info link" << "\"FW.ZUV\" on the card is a link" << 1;
}

// A link or another volume below the card's root would carry the write onto
// whatever lies behind it, the user's own files included. The run ends
// before anything is fetched, files behind a link are not even read, and
// neither the card nor the folder outside changes.
void UpdateTest::refusesWritesOffTheCard()
{
    QFETCH(QString, place);
    QFETCH(QString, reason);
    QFETCH(int, hashed);
#ifndef Q_OS_LINUX
    Q_UNUSED(place) Q_UNUSED(reason) Q_UNUSED(hashed)
    QSKIP("links and mounts below the card are made here with Linux's own calls");
#else
    QTemporaryDir outside(QStringLiteral("/tmp/zuv-outside-XXXXXX"));
    QVERIFY(writeFile(outside.filePath("RUN.ANM"), "the user's own file"));
    QVERIFY(writeFile(outside.filePath("FW.ZUV"), m_volume->readFile("FW.ZUV")));
    const QString root = m_volume->rootPath();
    const QString anim = root + "/ANIM";
    if (place == "directory link") {
        QVERIFY(QFile::link(outside.path(), anim));
    } else if (place == "mount") {
        QVERIFY(QDir().mkdir(anim));
        QVERIFY(::mount("zuvinner", QFile::encodeName(anim).constData(), "tmpfs", 0, "size=1m") == 0);
        m_volume->writeFile("ANIM/RUN.ANM", "old run");
    } else {
        QVERIFY(QDir().mkdir(anim));
        if (place == "file link")
            QVERIFY(QFile::link(outside.filePath("RUN.ANM"), anim + "/RUN.ANM"));
        else
            m_volume->writeFile("ANIM/RUN.ANM", "old run");
        if (place == "staging link")
            QVERIFY(QFile::link(outside.filePath("RUN.ANM"), anim + "/NEW.ANM.zuv-new"));
        if (place == "info link")
            QVERIFY(QFile::remove(root + "/FW.ZUV") && QFile::link(outside.filePath("FW.ZUV"), root + "/FW.ZUV"));
    }
    const Files outsideBefore = filesBelow(outside.path());

    QVERIFY(runToEnd({{"ANIM", serve("r/2", {{"RUN.ANM", "new run"}, {"NEW.ANM", "new"}})}}));
    QCOMPARE(m_run->events, QStringList({"preparing", "error"}));
    QCOMPARE(m_fault->requestedPaths(), QList<QByteArray>{"/r/2/manifest.txt"});
    QVERIFY2(m_update->errorString().contains(reason), qPrintable(m_update->errorString()));
    QCOMPARE(m_log->count("Checking md5 of"), hashed);
    QCOMPARE(m_volume->snapshot(), m_before);
    QCOMPARE(filesBelow(outside.path()), outsideBefore);
    if (place == "mount")
        QCOMPARE(::umount2(QFile::encodeName(anim).constData(), 0), 0);
#endif
}

// The card the update was chosen for must still be in place when the copy
// begins: another card in its slot (its FW.ZUV rewritten while the run
// verifies) ends the run with the card as it was.
void UpdateTest::otherCardAtTheCopy()
{
    const QString root = m_volume->rootPath();
    m_update->reset(root, Device::infoFileSnapshot(root));
    connect(m_update.data(), &Update::veryfingDownloadedFiles, this,
            [this] { m_volume->writeInfoFile("SN2", "1", "2", "3"); });
    QVERIFY(runToEnd({{"", serve("PrimaryFirmware/2", {{"FW.BIN", "new firmware"}})}}));

    QCOMPARE(m_run->events, QStringList({"preparing", "downloaded 1/1", "verifying", "copying", "error"}));
    QCOMPARE(m_update->errorString(), QStringLiteral("The device was disconnected or replaced before the copy"));
    Files expected = m_before;
    expected.insert("FW.ZUV", m_volume->readFile("FW.ZUV"));
    QCOMPARE(m_volume->snapshot(), expected);
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
    QCOMPARE(m_volume->snapshot(), m_before);
}

// A failure names the place it concerns the way the user's system writes
// paths ("E:\SUB\FILE.BIN" on Windows): the temporary location that is
// missing, the card's file that cannot be written.
void UpdateTest::failuresNameNativePaths_data()
{
    QTest::addColumn<QString>("fault");
    QTest::newRow("temporary location missing") << "temporary location";
    QTest::newRow("directory where a file goes") << "card";
}

void UpdateTest::failuresNameNativePaths()
{
    QFETCH(QString, fault);
    const QString manifest = serve("r", {{"SUB/FILE.BIN", "new"}});
    QString path;
    if (fault == "temporary location") {
        path = m_temp->path() + "/missing";
        m_temp->pointAt(path);
    } else {
        path = m_volume->rootPath() + "/SUB/FILE.BIN";
        QVERIFY(QDir().mkpath(path));
    }
    QVERIFY(runToEnd({{"", manifest}}));
    QCOMPARE(m_run->events.last(), QStringLiteral("error"));
    const QString quoted = '"' + QDir::toNativeSeparators(path) + '"';
    QVERIFY2(m_update->errorString().contains(quoted), qPrintable(m_update->errorString()));
    if (fault == "temporary location")
        QCOMPARE(m_fault->requests().size(), 0);
}

enum LinkFault { Steady, ShortPause, LongerThanAnnounced };

void UpdateTest::unsteadyLink_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<bool>("completes");
    QTest::newRow("steady trickle") << int(Steady) << true;
    QTest::newRow("pause shorter than the stall time") << int(ShortPause) << true;
    // A stall, a reset and a short body are the fault matrix's.
    QTest::newRow("body longer than announced") << int(LongerThanAnnounced) << false;
}

// Eight files on a slow link: the first six trickle a byte at a time for
// twice the stall time, and the last two wait that long for a connection,
// which must not count as a stall. The first file carries the row's fault.
void UpdateTest::unsteadyLink()
{
    QFETCH(int, fault);
    QFETCH(bool, completes);
    Helpers::RequestQueue::of(m_manager.data())->setStallTimeout(TestStallMs);
    Files files;
    for (char name = 'a'; name <= 'h'; ++name)
        files.insert(QString(name), QByteArray(6, name));
    const QString manifest = serve("r", files);
    for (char name = 'a'; name <= 'f'; ++name) {
        HttpFaultServer::Response response;
        response.body = files.value(QString(name));
        response.trickleBytes = 1;
        response.trickleIntervalMs = TestStallMs / 3;
        response.faultAfterBytes = 3;
        if (name == 'a') {
            response.fault = fault == ShortPause ? HttpFaultServer::PauseAfterBytes : HttpFaultServer::NoFault;
            response.pauseMs = TestStallMs / 2;
            if (fault == LongerThanAnnounced)
                response.announcedLength = response.body.size() - 2;
        }
        m_fault->setResponse("/r/" + QByteArray(1, name), response);
    }
    QVERIFY(runToEnd({{"", manifest}}));

    for (char name = 'a'; name <= 'h'; ++name)
        QVERIFY(m_fault->requestCount("/r/" + QByteArray(1, name)) <= 1);
    if (completes) {
        QCOMPARE(m_run->events, successfulRun(8));
        QCOMPARE(m_volume->readFile("a"), files.value("a"));
        QCOMPARE(m_volume->readFile("h"), files.value("h"));
        return;
    }
    QCOMPARE(m_run->events.last(), QStringLiteral("error"));
    QVERIFY(!m_run->events.contains("copying"));
    QCOMPARE(m_volume->snapshot(), m_before);
}

void UpdateTest::retryFetchesOnlyWhatIsMissing_data()
{
    QTest::addColumn<bool>("alterKeptFiles");
    QTest::addColumn<bool>("rangesHonoured");
    QTest::addColumn<bool>("wrongRange"); // the rest is answered from another byte
    QTest::newRow("kept files intact") << false << true << false;
    QTest::newRow("kept files altered") << true << true << false;
    QTest::newRow("server without ranges") << false << false << false;
    QTest::newRow("rest from the wrong byte") << false << true << true;
}

// A run fails in the middle of its last file; the next attempt of the same
// Update takes the verified files of the first from the temporary location
// and fetches only the rest of the last one (all of it from a server that
// does not serve ranges), and a kept file that no longer matches its
// digest again. Nothing is left there once the release is on the card.
// A rest that starts at another byte ends the run with the card untouched.
void UpdateTest::retryFetchesOnlyWhatIsMissing()
{
    QFETCH(bool, alterKeptFiles);
    QFETCH(bool, rangesHonoured);
    QFETCH(bool, wrongRange);
    m_fault->setRangesHonoured(rangesHonoured);
    Files files;
    for (char name = 'a'; name <= 'e'; ++name)
        files.insert(QStringLiteral("SUB/") + name, QByteArray(3000, name));
    const QString manifest = serve("r", files, [](const QString &name) { return name.endsWith('e') ? 500 : 0; });
    HttpFaultServer::Response broken;
    broken.body = files.value("SUB/e");
    broken.delayMs = 500;
    broken.fault = HttpFaultServer::ResetAfterBytes;
    broken.faultAfterBytes = 1000;
    m_fault->setResponse("/r/SUB/e", broken);
    QVERIFY(runToEnd({{"", manifest}}));
    QCOMPARE(m_run->events.last(), QStringLiteral("error"));
    QCOMPARE(m_volume->snapshot(), m_before);
    QThreadPool::globalInstance()->waitForDone();
    const QStringList kept = m_temp->leftovers();
    QCOMPARE(kept.filter(QRegularExpression("/[0-9a-f]{32}$")).size(), 4);
    QCOMPARE(kept.filter(QRegularExpression("/[0-9a-f]{32}.part$")).size(), 1);
    if (alterKeptFiles) {
        for (const QString &path : kept.filter(QRegularExpression("/[0-9a-f]{32}$"))) {
            QFile file(m_temp->path() + '/' + path);
            QVERIFY(file.open(QIODevice::Append) && file.write("x") == 1);
        }
    }

    m_fault->setBody("/r/SUB/e", files.value("SUB/e"));
    if (wrongRange) {
        HttpFaultServer::Response whole;
        whole.status = 206;
        whole.body = files.value("SUB/e");
        whole.headers.append(qMakePair(QByteArray("Content-Range"), QByteArray("bytes 0-2999/3000")));
        m_fault->setResponse("/r/SUB/e", whole);
    }
    m_fault->clearRequests();
    m_run->events.clear();
    m_update->reset(m_volume->rootPath());
    QVERIFY(runToEnd({{"", manifest}}));
    if (wrongRange) {
        QCOMPARE(m_run->events.last(), QStringLiteral("error"));
        QVERIFY2(m_update->errorString().contains("got the range"), qPrintable(m_update->errorString()));
        QCOMPARE(m_volume->snapshot(), m_before);
        return;
    }
    QCOMPARE(m_run->events.last(), QStringLiteral("ready"));
    QList<QByteArray> fetched = m_fault->requestedPaths();
    const auto notAFile = [](const QByteArray &path) { return !path.contains("/SUB/"); };
    fetched.erase(std::remove_if(fetched.begin(), fetched.end(), notAFile), fetched.end());
    QCOMPARE(fetched.size(), alterKeptFiles ? 5 : 1);
    QCOMPARE(QSet<QByteArray>(fetched.cbegin(), fetched.cend()).size(), fetched.size());
    const auto requests = m_fault->requests();
    const auto last = std::find_if(requests.cbegin(), requests.cend(), [](auto r) { return r.path == "/r/SUB/e"; });
    QCOMPARE(last->rangeFrom, 1000);
    QCOMPARE(last->bodyBytes, rangesHonoured ? 2000 : 3000);
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        QCOMPARE(m_volume->readFile(it.key()), it.value());
    QThreadPool::globalInstance()->waitForDone();
    QCOMPARE(m_temp->leftovers(), QStringList());
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (!Volume::unavailableReason().isEmpty()) {
        std::printf("SKIP: %s\n", qPrintable(Volume::unavailableReason()));
        return 77; // CTest's skip code for this suite
    }
    UpdateTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_update.moc"
