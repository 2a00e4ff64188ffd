// The whole update through the real program and its real window: a release
// made by the sample generator and published with zuv-publish, served on a
// loopback port, a simulated device on a tmpfs card, and the window on Xvfb
// clicked through with xdotool like a user would.

#include "httpfaultserver.h"
#include "nginxserver.h"
#include "programrun.h"
#include "skipsuite.h"
#include "testfiles.h"
#include "volume.h"
#include "windowpicture.h"
#include "xvfbserver.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextLayout>
#include <QtTest>

#include <cstdio>
#include <functional>

namespace {

// Runs on other cards keep their pictures apart.
QString outputDirectory()
{
    const QString card = qEnvironmentVariable("ZUV_TEST_CARD");
    return QStringLiteral(ZUV_E2E_OUTPUT) + (card.isEmpty() ? QString() : QLatin1Char('-') + card);
}

const QString ReadyMessage = QStringLiteral(
    "YOU CAN NOW DISCONNECT DEVICE FROM YOUR COMPUTER AND POWER IT WITH BATTERIES. UPDATE WILL START "
    "IMMEDIATELY. DO NOT INTERUPT THE UPDATE PROCESS.");
const QString BootloaderReadyMessage = QStringLiteral(
    "YOU CAN NOW DISCONNECT DEVICE FROM YOUR COMPUTER AND POWER IT WITH BATTERIES. BOOTLOADER UPDATE WILL "
    "START IMMEDIATELY. DO NOT INTERUPT THE UPDATE PROCESS. AFTER THE UPDATE IS FINISH YOU CAN RECONNECT "
    "DEVICE IN SERVICE MODE TO PROCEED WITH PRIMARY AND SECONDARY FIRMWARE UPDATES.");
const QString DownloadErrorMessage = QStringLiteral("AN ERROR OCCURED WHILE DOWNLOADING UPDATE");

const QString ModelPath = QStringLiteral("ZUVUpdater/TheOrvik");
const QByteArray ServedModel = "/" + ModelPath.toUtf8() + "//"; // as the program asks for it
const QString ScanLine = QStringLiteral("void UpdaterPrivate::scanFinished()");

// Where the message page's text wraps: 16-pixel letters of the window's
// font in a column 352 pixels wide.
int expectedLineCount(const QString &text)
{
    static const int font = QFontDatabase::addApplicationFont(QStringLiteral(ZUV_SOURCE_DIR "/qml/fonts/E4_2017.TTF"));
    QFont letters(QFontDatabase::applicationFontFamilies(font).value(0));
    letters.setPixelSize(16);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    option.setUseDesignMetrics(true);
    QTextLayout layout(text, letters);
    layout.setTextOption(option);
    layout.beginLayout();
    int lines = 0;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(352);
        ++lines;
    }
    layout.endLayout();
    return lines;
}

// Runs a tool of the build or the source tree, which must succeed.
void runTool(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    const bool finished = process.waitForFinished(60000);
    QVERIFY2(finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0,
             qPrintable(QString::fromUtf8(process.readAll())));
}

// Makes a sample release or device card with the versions "bootloader
// primary secondary", e.g. "1.0 2.0 2.0".
void makeSample(const char *kind, const QString &path, const char *versions)
{
    const QStringList v = QString::fromLatin1(versions).split(QLatin1Char(' '));
    runTool(QStringLiteral("/usr/bin/python3"),
            {QStringLiteral(ZUV_SOURCE_DIR "/tools/make-sample-release.py"), QString::fromLatin1(kind), path,
             QStringLiteral("--bootloader"), v.value(0), QStringLiteral("--primary"), v.value(1), QStringLiteral("--secondary"),
             v.value(2)});
}

// Polls until the condition holds, the program ends, or time runs out.
bool waitUntil(const ProgramRun &run, int milliseconds, const std::function<bool()> &condition)
{
    QDeadlineTimer deadline(milliseconds);
    while (!deadline.hasExpired() && run.isRunning()) {
        if (condition())
            return true;
        QTest::qWait(200);
    }
    return false;
}

// A picture of a page that stands still, not one in a transition.
WindowPicture steadyPicture(const ProgramRun &run)
{
    const WindowPicture first = run.grab();
    QTest::qWait(300);
    const WindowPicture second = run.grab();
    return first == second ? second : WindowPicture();
}

// The reason the engine gave for ending a run, from its log line.
QString failureReason(const QStringList &log)
{
    const QString prefix = QStringLiteral("void UpdatePrivate::failRun(const QString&) \"");
    const QStringList lines = log.filter(prefix);
    if (lines.isEmpty())
        return QString();
    QString quoted = lines.last().mid(lines.last().indexOf(prefix) + prefix.size());
    quoted.chop(1);
    return quoted.replace(QLatin1String("\\\""), QLatin1String("\"")).replace(QLatin1String("\\\\"), QLatin1String("\\"));
}

// The pixels of the logo's amber.
int logoPixels(const QImage &image)
{
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x)
            count += (image.pixel(x, y) & 0xffffff) == 0xf8b416 ? 1 : 0;
    }
    return count;
}

// Presses a button on the screen, moves the pointer in two steps and lets
// go, with short pauses so that the program sees each event on its own.
void drag(const ProgramRun &run, int screen, int button, QPoint from, QPoint to)
{
    const auto moveTo = [&](QPoint at) {
        return QStringList{QStringLiteral("mousemove"), QStringLiteral("--screen"), QString::number(screen),
                           QString::number(at.x()), QString::number(at.y()), QStringLiteral("sleep"), QStringLiteral("0.2")};
    };
    const QString b = QString::number(button);
    bool ok = false;
    run.xdotool(moveTo(from) + QStringList{QStringLiteral("mousedown"), b, QStringLiteral("sleep"), QStringLiteral("0.2")}
                    + moveTo((from + to) / 2) + moveTo(to) + QStringList{QStringLiteral("mouseup"), b},
                &ok);
    QVERIFY2(ok, "xdotool could not drag");
}

} // namespace

// The window on each of the X server's screens; then updates: each case
// publishes releases, attaches a device with version 1.0 of everything, lets
// the program update it through the window, and checks the message, the
// card and what was fetched; then OK and the close button.
class TestEndToEnd : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void window_data();
    void window();
    void update_data();
    void update();
    void retryAfterFailure();

private:
    QString treePath() const { return m_work->filePath(QStringLiteral("tree")); }
    QString modelPath() const { return treePath() + QLatin1Char('/') + ModelPath; }
    void publishRelease(const char *versions);
    // The case's file in the output: "<function>-<row><suffix>".
    QString outputFile(const QString &suffix) const
    {
        return QStringLiteral("%1/%2-%3%4")
            .arg(outputDirectory(), QString::fromLatin1(QTest::currentTestFunction()), QString::fromLatin1(QTest::currentDataTag()), suffix);
    }
    // Serves the published tree with nginx, or from `server` when given,
    // and clicks through the update up to its message page. False when
    // that failed or the message is not the expected one.
    bool runUpdate(const QString &message, HttpFaultServer *server = nullptr);
    // From the device page: CHECK FOR UPDATES, UPDATE, and the message page.
    void updateFromDevicePage(const QString &message);
    // A fault server with every published file of the model.
    void serveRelease(HttpFaultServer *server, const Files &published);
    void endRun();
    void save(const WindowPicture &picture, const QString &page);

    XvfbServer m_x;
    QScopedPointer<QTemporaryDir> m_work;
    QScopedPointer<NginxServer> m_nginx;
    QScopedPointer<Volume> m_volume;
    QScopedPointer<ProgramRun> m_run;
    Files m_before;
    QRect m_ok;
    int m_pictures = 0;
};

void TestEndToEnd::initTestCase()
{
    const QString noVolumes = Volume::unavailableReason();
    if (!noVolumes.isEmpty())
        skipSuite(noVolumes);
    for (const char *tool : {"Xvfb", "xdotool", "import"}) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
            skipSuite(QStringLiteral("%1 is not installed").arg(QString::fromLatin1(tool)));
    }
    if (NginxServer::executable().isEmpty())
        skipSuite(QStringLiteral("nginx is not installed"));
    QString error;
    QVERIFY2(m_x.start(&error), qPrintable(error));
    QDir(outputDirectory()).removeRecursively();
    QDir().mkpath(outputDirectory());

    // The pages are told apart by the length of their messages.
    const int ready = expectedLineCount(ReadyMessage);
    const int bootloader = expectedLineCount(BootloaderReadyMessage);
    const int error_ = expectedLineCount(DownloadErrorMessage);
    QVERIFY2(ready != bootloader && ready != error_ && bootloader != error_,
             qPrintable(QStringLiteral("messages wrap to %1, %2 and %3 lines").arg(ready).arg(bootloader).arg(error_)));
}

void TestEndToEnd::init()
{
    m_work.reset(new QTemporaryDir);
    QVERIFY(m_work->isValid());
    m_pictures = 0;
}

void TestEndToEnd::cleanup()
{
    if (m_run) {
        QFile log(outputFile(QStringLiteral(".log")));
        if (log.open(QIODevice::WriteOnly))
            log.write(m_run->log().join(QLatin1Char('\n')).toUtf8());
    }
    m_run.reset();
    m_volume.reset();
    m_nginx.reset();
    m_work.reset();
}

void TestEndToEnd::publishRelease(const char *versions)
{
    const QString release = m_work->filePath(QStringLiteral("release-%1").arg(QString::fromLatin1(versions)));
    makeSample("release", release, versions);
    if (!QTest::currentTestFailed())
        runTool(QStringLiteral(ZUV_PUBLISH), {QStringLiteral("publish"), QStringLiteral("--quiet"), release, treePath()});
}

bool TestEndToEnd::runUpdate(const QString &message, HttpFaultServer *server)
{
    [&] {
        if (QTest::currentTestFailed())
            return; // no release to serve
        QString error;
        if (!server) {
            m_nginx.reset(new NginxServer(treePath()));
            QVERIFY2(m_nginx->start(&error), qPrintable(error));
        }
        m_volume.reset(new Volume(32 * 1024 * 1024));
        QVERIFY(m_volume->mount());
        makeSample("device", m_volume->rootPath(), "1.0 1.0 1.0");
        QVERIFY(m_volume->exists(QStringLiteral("ZUV.FW")));
        m_before = m_volume->snapshot();
        m_run.reset(new ProgramRun(m_x.display(), server ? server->baseUrl() : m_nginx->baseUrl()));
        QVERIFY2(m_run->start(&error), qPrintable(error));

        updateFromDevicePage(message);
    }();
    return !QTest::currentTestFailed();
}

void TestEndToEnd::updateFromDevicePage(const QString &message)
{
    ProgramRun &run = *m_run;
    const QString readLine = QStringLiteral("void UpdaterPrivate::readUpdateFW()");
    const int reads = run.logCount(readLine);
    [&] {
        WindowPicture picture;
        QVERIFY2(waitUntil(run, 60000, [&] { return (picture = steadyPicture(run)).isDevicePage(); }),
                 "the device page did not show");
        save(picture, QStringLiteral("device"));

        QVERIFY(run.click(WindowPicture::checkForUpdatesButton()));
        QVERIFY2(waitUntil(run, 60000, [&] { return run.logCount(readLine) > reads; }),
                 "the server's FW.ZUV was not read");
        QRect update;
        QVERIFY2(waitUntil(run, 60000,
                           [&] {
                               picture = steadyPicture(run);
                               update = picture.lowestButton();
                               return picture.isDevicePage() && !update.isNull();
                           }),
                 "the device page offers no UPDATE");
        save(picture, QStringLiteral("update-available"));

        QVERIFY(run.click(update.center()));
        QVERIFY2(waitUntil(run, 180000,
                           [&] {
                               picture = steadyPicture(run);
                               m_ok = picture.lowestButton();
                               return !picture.isNull() && !picture.isDevicePage() && !m_ok.isNull();
                           }),
                 "no message page after the update");
        save(picture, QStringLiteral("message"));
        // A failed run says why on a line of its own below the message.
        const QString shown = message == DownloadErrorMessage
            ? message + QLatin1Char('\n') + failureReason(run.log()).toUpper()
            : message;
        QCOMPARE(picture.messageLineCount(m_ok), expectedLineCount(shown));
    }();
}

void TestEndToEnd::serveRelease(HttpFaultServer *server, const Files &published)
{
    QVERIFY(server->listen());
    for (auto each = published.cbegin(); each != published.cend(); ++each)
        server->setBody(ServedModel + each.key().toUtf8(), each.value());
}

// OK starts a new search; then the user closes the window, and the program
// leaves nothing behind in its temporary directory.
void TestEndToEnd::endRun()
{
    ProgramRun &run = *m_run;
    const int scans = run.logCount(ScanLine);
    QVERIFY(run.click(m_ok.center()));
    QVERIFY2(waitUntil(run, 60000, [&] { return run.logCount(ScanLine) > scans; }), "OK did not start a new search");
    QCOMPARE(run.closeWindow(), 0);
    QCOMPARE(run.leftovers().join(QLatin1String(", ")), QString());
}

void TestEndToEnd::save(const WindowPicture &picture, const QString &page)
{
    picture.image().save(outputFile(QStringLiteral("-%1-%2.png").arg(++m_pictures, 2, 10, QLatin1Char('0')).arg(page)));
}

void TestEndToEnd::window_data()
{
    QTest::addColumn<int>("screen");
    QTest::addColumn<int>("side");
    QTest::newRow("1920x1080") << 0 << 512;
    QTest::newRow("1280x720") << 1 << 341;
    QTest::newRow("1080x1920 portrait") << 2 << 512;
}

// The window as the user meets it, without a device or a server: it scales
// with the shorter side of its screen and draws its first page; it moves by
// the pointer's way when dragged with the left button on the title bar, not
// with the others; its close button ends the program normally and leaves no
// temporary files.
void TestEndToEnd::window()
{
    QFETCH(int, screen);
    QFETCH(int, side);
    m_run.reset(new ProgramRun(m_x.display() + QLatin1Char('.') + QString::number(screen), QStringLiteral("http://127.0.0.1:9")));
    QString error;
    QVERIFY2(m_run->start(&error), qPrintable(error));
    const QRect frame = m_run->geometry();
    QCOMPARE(frame.size(), QSize(side, side));
    // The first page is drawn, logo and all, before the pointer comes.
    WindowPicture picture;
    QTRY_VERIFY_WITH_TIMEOUT(logoPixels((picture = m_run->grab()).image()) > 1000, 10000);
    save(picture, QStringLiteral("first"));

    // Each left drag checks the sum of all moves so far.
    const QPoint start = frame.topLeft();
    drag(*m_run, screen, 1, start + QPoint(20, 10), start + QPoint(60, 35));
    QTRY_COMPARE_WITH_TIMEOUT(m_run->geometry().topLeft(), start + QPoint(40, 25), 5000);
    const QPoint onBar = start + QPoint(40, 25) + QPoint(300, 10);
    drag(*m_run, screen, 3, onBar, onBar + QPoint(100, 80));
    drag(*m_run, screen, 2, onBar, onBar + QPoint(80, 50));
    drag(*m_run, screen, 1, onBar, onBar + QPoint(-30, 30));
    QTRY_COMPARE_WITH_TIMEOUT(m_run->geometry(), QRect(start + QPoint(10, 55), frame.size()), 5000);
    QCOMPARE(m_run->closeWindow(), 0);
    QCOMPARE(m_run->leftovers().join(QLatin1String(", ")), QString());
}

void TestEndToEnd::update_data()
{
    QTest::addColumn<QStringList>("releases");
    QTest::addColumn<QString>("message");
    // "device sub-directory=server directory" for each directory installed.
    QTest::addColumn<QStringList>("installed");
    QTest::newRow("firmware") << QStringList{QStringLiteral("1.0 1.0 1.0"), QStringLiteral("1.0 2.0 2.0")} << ReadyMessage
                              << QStringList{QStringLiteral("=PrimaryFirmware/2.0"), QStringLiteral("=SecondaryFirmware/2.0"),
                                             QStringLiteral("ANIM=SecondaryFirmware/ANIM"),
                                             QStringLiteral("IMAGES=SecondaryFirmware/IMAGES"),
                                             QStringLiteral("SOUNDS=SecondaryFirmware/SOUNDS")};
    // The bootloader alone, though the firmware differs too.
    QTest::newRow("bootloader") << QStringList{QStringLiteral("2.0 2.0 2.0")} << BootloaderReadyMessage
                                << QStringList{QStringLiteral("=Bootloader/2.0")};
}

// Exactly the published files on the card, FW.ZUV left to the device,
// ZUV.FW gone; only the files that differ were fetched, each once.
void TestEndToEnd::update()
{
    QFETCH(QStringList, releases);
    QFETCH(QString, message);
    QFETCH(QStringList, installed);
    for (const QString &versions : releases)
        publishRelease(qPrintable(versions));
    if (!runUpdate(message))
        return;

    Files expected = m_before;
    expected.remove(QStringLiteral("ZUV.FW"));
    for (const QString &directory : installed) {
        const QString onDevice = directory.section(QLatin1Char('='), 0, 0);
        const Files published = filesBelow(modelPath() + QLatin1Char('/') + directory.section(QLatin1Char('='), 1));
        for (auto file = published.cbegin(); file != published.cend(); ++file) {
            if (file.key() != QLatin1String("manifest.txt"))
                expected.insert(onDevice.isEmpty() ? file.key() : onDevice + QLatin1Char('/') + file.key(), file.value());
        }
    }
    QCOMPARE(m_volume->snapshot(), expected);

    int changed = 0;
    for (auto file = expected.cbegin(); file != expected.cend(); ++file)
        changed += m_before.value(file.key()) != file.value() ? 1 : 0;
    const QStringList fetched = m_nginx->accessLog().filter(
        QRegularExpression(QStringLiteral("/(?!manifest\\.txt$|FW\\.ZUV$|changelist\\.txt$)[^/]+$")));
    QVERIFY(changed > 0);
    QCOMPARE(fetched.size(), changed);
    QVERIFY2(fetched.filter(QRegularExpression(QStringLiteral("^200 "))).size() == changed, qPrintable(fetched.join(QLatin1Char('\n'))));
    endRun();
}

// The connection breaks half way through one file, after the others have
// arrived. The user presses OK, CHECK FOR UPDATES and UPDATE again: no file
// that arrived is fetched again, the broken one only from where it
// stopped, and the card ends with the new release. Closing the program
// then leaves its temporary location empty.
void TestEndToEnd::retryAfterFailure()
{
    publishRelease("1.0 2.0 2.0");
    HttpFaultServer server;
    const Files published = filesBelow(modelPath());
    serveRelease(&server, published);
    const QString file = QStringLiteral("PrimaryFirmware/2.0/PRIMARY.BIN");
    const QByteArray path = ServedModel + file.toUtf8();
    HttpFaultServer::Response broken;
    broken.body = published.value(file);
    broken.delayMs = 1000;
    broken.fault = HttpFaultServer::CloseAfterBytes;
    broken.faultAfterBytes = broken.body.size() / 2;
    server.setResponse(path, broken);
    if (!runUpdate(DownloadErrorMessage, &server))
        return;
    QCOMPARE(m_volume->snapshot(), m_before);

    server.setBody(path, broken.body);
    const int firstRequests = server.requests().size();
    const int scans = m_run->logCount(ScanLine);
    QVERIFY(m_run->click(m_ok.center()));
    QVERIFY2(waitUntil(*m_run, 60000, [&] { return m_run->logCount(ScanLine) > scans; }), "OK did not start a new search");
    updateFromDevicePage(ReadyMessage);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(m_volume->readFile(file.section(QLatin1Char('/'), 2)), broken.body);
    QVERIFY(!m_volume->exists(QStringLiteral("ZUV.FW")));
    const QList<HttpFaultServer::Request> again = server.requests().mid(firstRequests);
    QStringList files;
    for (const HttpFaultServer::Request &request : again) {
        if (!request.path.endsWith("/manifest.txt") && !request.path.endsWith("/FW.ZUV")
            && !request.path.endsWith("/changelist.txt")) {
            files.append(QString::fromUtf8(request.path));
            QCOMPARE(request.rangeFrom, qint64(broken.faultAfterBytes));
        }
    }
    QCOMPARE(files, QStringList(QString::fromUtf8(path)));
    endRun();
}

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    // CTest's skip code: a card that cannot be mounted here is no pass.
    if (!Volume::unavailableReason().isEmpty()) {
        std::printf("SKIP: %s\n", qPrintable(Volume::unavailableReason()));
        return 77;
    }
    TestEndToEnd test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_endtoend.moc"
