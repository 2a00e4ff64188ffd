// The whole update through the real program and its real window: a release
// made by the sample generator and published with zuv-publish, served on a
// loopback port, a simulated device on a tmpfs card, and the window on Xvfb
// clicked through with xdotool like a user would.

#include "httpfaultserver.h"
#include "nginxserver.h"
#include "programrun.h"
#include "volume.h"
#include "windowpicture.h"
#include "xvfbdisplay.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFontDatabase>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextLayout>
#include <QtTest>

#include <functional>

namespace {

using Files = QMap<QString, QByteArray>; // relative path -> content

const QString ReadyMessage = QStringLiteral(
    "YOU CAN NOW DISCONNECT DEVICE FROM YOUR COMPUTER AND POWER IT WITH BATTERIES. UPDATE WILL START "
    "IMMEDIATELY. DO NOT INTERUPT THE UPDATE PROCESS.");
const QString BootloaderReadyMessage = QStringLiteral(
    "YOU CAN NOW DISCONNECT DEVICE FROM YOUR COMPUTER AND POWER IT WITH BATTERIES. BOOTLOADER UPDATE WILL "
    "START IMMEDIATELY. DO NOT INTERUPT THE UPDATE PROCESS. AFTER THE UPDATE IS FINISH YOU CAN RECONNECT "
    "DEVICE IN SERVICE MODE TO PROCEED WITH PRIMARY AND SECONDARY FIRMWARE UPDATES.");
const QString DownloadErrorMessage = QStringLiteral("AN ERROR OCCURED WHILE DOWNLOADING UPDATE");

const QString ModelPath = QStringLiteral("ZUVUpdater/TheOrvik");
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

bool runCommand(const QString &program, const QStringList &arguments, QString *output)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    const bool finished = process.waitForFinished(60000);
    *output = QString::fromUtf8(process.readAll());
    return finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

Files filesBelow(const QString &root)
{
    Files files;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        file.open(QIODevice::ReadOnly);
        files.insert(QDir(root).relativeFilePath(file.fileName()), file.readAll());
    }
    return files;
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

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void firmwareUpdate();
    void bootloaderUpdate();
    void fileRemovedFromServer();
    void downloadCutShort();

private:
    QString treePath() const { return m_work->filePath(QStringLiteral("tree")); }
    QString modelPath() const { return treePath() + QLatin1Char('/') + ModelPath; }
    void publishRelease(const QString &bootloader, const QString &primary, const QString &secondary);
    void attachDevice(const QString &bootloader, const QString &primary, const QString &secondary);
    void startProgram(const QString &serverUrl);
    void driveToMessagePage(QRect *okButton, WindowPicture *page);
    void endRun(const QRect &okButton);
    // The card before an update, with the files of the given server
    // directories put in place (device sub-directory -> server directory).
    Files cardAfterUpdate(const Files &before, const QList<QPair<QString, QString>> &directories) const;
    void save(const WindowPicture &picture, const QString &page);

    XvfbDisplay m_display;
    QScopedPointer<QTemporaryDir> m_work;
    QScopedPointer<Volume> m_volume;
    QScopedPointer<ProgramRun> m_run;
    int m_pictures = 0;
};

void TestEndToEnd::initTestCase()
{
    const QString noVolumes = Volume::unavailableReason();
    if (!noVolumes.isEmpty())
        QSKIP(qPrintable(noVolumes));
    for (const char *tool : {"Xvfb", "xdotool", "import"}) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
            QSKIP(qPrintable(QStringLiteral("%1 is not installed").arg(QString::fromLatin1(tool))));
    }
    if (NginxServer::executable().isEmpty())
        QSKIP("nginx is not installed");
    QString error;
    QVERIFY2(m_display.start(&error), qPrintable(error));
    QDir(QStringLiteral(ZUV_E2E_OUTPUT)).removeRecursively();
    QDir().mkpath(QStringLiteral(ZUV_E2E_OUTPUT));

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
        QFile log(QStringLiteral("%1/%2.log").arg(QStringLiteral(ZUV_E2E_OUTPUT),
                                                 QString::fromLatin1(QTest::currentTestFunction())));
        if (log.open(QIODevice::WriteOnly))
            log.write(m_run->log().join(QLatin1Char('\n')).toUtf8());
    }
    m_run.reset();
    m_volume.reset();
    m_work.reset();
}

void TestEndToEnd::publishRelease(const QString &bootloader, const QString &primary, const QString &secondary)
{
    const QString release = m_work->filePath(QStringLiteral("release-%1-%2-%3").arg(bootloader, primary, secondary));
    QString output;
    QVERIFY2(runCommand(QStringLiteral("/usr/bin/python3"),
                        {QStringLiteral(ZUV_SOURCE_DIR "/tools/make-sample-release.py"), QStringLiteral("release"),
                         release, QStringLiteral("--bootloader"), bootloader, QStringLiteral("--primary"), primary,
                         QStringLiteral("--secondary"), secondary},
                        &output),
             qPrintable(output));
    QVERIFY2(runCommand(QStringLiteral(ZUV_PUBLISH), {QStringLiteral("publish"), QStringLiteral("--quiet"), release, treePath()},
                        &output),
             qPrintable(output));
}

void TestEndToEnd::attachDevice(const QString &bootloader, const QString &primary, const QString &secondary)
{
    m_volume.reset(new Volume(32 * 1024 * 1024));
    QVERIFY(m_volume->mount());
    QString output;
    QVERIFY2(runCommand(QStringLiteral("/usr/bin/python3"),
                        {QStringLiteral(ZUV_SOURCE_DIR "/tools/make-sample-release.py"), QStringLiteral("device"),
                         m_volume->rootPath(), QStringLiteral("--bootloader"), bootloader, QStringLiteral("--primary"),
                         primary, QStringLiteral("--secondary"), secondary},
                        &output),
             qPrintable(output));
    QVERIFY(m_volume->exists(QStringLiteral("ZUV.FW")));
}

void TestEndToEnd::startProgram(const QString &serverUrl)
{
    m_run.reset(new ProgramRun(m_display.display(), serverUrl));
    QString error;
    QVERIFY2(m_run->start(&error), qPrintable(error));
}

void TestEndToEnd::driveToMessagePage(QRect *okButton, WindowPicture *page)
{
    ProgramRun &run = *m_run;
    WindowPicture picture;
    QVERIFY2(waitUntil(run, 60000, [&] { return (picture = steadyPicture(run)).isDevicePage(); }),
             "the device page did not show");
    save(picture, QStringLiteral("device"));

    QVERIFY(run.click(WindowPicture::checkForUpdatesButton()));
    QVERIFY2(waitUntil(run, 60000, [&] { return run.logCount(QStringLiteral("void UpdaterPrivate::readUpdateFW()")) > 0; }),
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
                           *okButton = picture.lowestButton();
                           return !picture.isNull() && !picture.isDevicePage() && !okButton->isNull();
                       }),
             "no message page after the update");
    save(picture, QStringLiteral("message"));
    *page = picture;
}

// OK starts a new search; then the user closes the window, and the program
// leaves nothing behind in its temporary directory.
void TestEndToEnd::endRun(const QRect &okButton)
{
    ProgramRun &run = *m_run;
    const int scans = run.logCount(ScanLine);
    QVERIFY(run.click(okButton.center()));
    QVERIFY2(waitUntil(run, 60000, [&] { return run.logCount(ScanLine) > scans; }), "OK did not start a new search");
    QCOMPARE(run.closeWindow(), 0);
    QCOMPARE(run.temporaryLeftovers(), QStringList());
}

Files TestEndToEnd::cardAfterUpdate(const Files &before, const QList<QPair<QString, QString>> &directories) const
{
    Files card = before;
    card.remove(QStringLiteral("ZUV.FW"));
    for (const auto &directory : directories) {
        const Files published = filesBelow(modelPath() + QLatin1Char('/') + directory.second);
        for (auto file = published.cbegin(); file != published.cend(); ++file) {
            if (file.key() == QLatin1String("manifest.txt"))
                continue;
            card.insert(directory.first.isEmpty() ? file.key() : directory.first + QLatin1Char('/') + file.key(),
                        file.value());
        }
    }
    return card;
}

void TestEndToEnd::save(const WindowPicture &picture, const QString &page)
{
    picture.image().save(QStringLiteral("%1/%2-%3-%4.png")
                             .arg(QStringLiteral(ZUV_E2E_OUTPUT), QString::fromLatin1(QTest::currentTestFunction()))
                             .arg(++m_pictures, 2, 10, QLatin1Char('0'))
                             .arg(page));
}

void TestEndToEnd::firmwareUpdate()
{
    publishRelease(QStringLiteral("1.0"), QStringLiteral("1.0"), QStringLiteral("1.0"));
    publishRelease(QStringLiteral("1.0"), QStringLiteral("2.0"), QStringLiteral("2.0"));
    NginxServer server(treePath());
    QString error;
    QVERIFY2(server.start(&error), qPrintable(error));
    attachDevice(QStringLiteral("1.0"), QStringLiteral("1.0"), QStringLiteral("1.0"));
    const Files before = m_volume->snapshot();
    startProgram(server.baseUrl());

    QRect ok;
    WindowPicture page;
    driveToMessagePage(&ok, &page);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(page.messageLineCount(ok), expectedLineCount(ReadyMessage));

    // Exactly the published files on the card, FW.ZUV left to the device,
    // ZUV.FW gone.
    const Files expected = cardAfterUpdate(before, {{QString(), QStringLiteral("PrimaryFirmware/2.0")},
                                                    {QString(), QStringLiteral("SecondaryFirmware/2.0")},
                                                    {QStringLiteral("ANIM"), QStringLiteral("SecondaryFirmware/ANIM")},
                                                    {QStringLiteral("IMAGES"), QStringLiteral("SecondaryFirmware/IMAGES")},
                                                    {QStringLiteral("SOUNDS"), QStringLiteral("SecondaryFirmware/SOUNDS")}});
    QCOMPARE(m_volume->snapshot(), expected);
    QCOMPARE(m_volume->readFile(QStringLiteral("FW.ZUV")), before.value(QStringLiteral("FW.ZUV")));

    // Only the files that differ were fetched, each once.
    int changed = 0;
    for (auto file = expected.cbegin(); file != expected.cend(); ++file)
        changed += before.value(file.key()) != file.value() ? 1 : 0;
    QStringList fetched;
    for (const QString &line : server.accessLog()) {
        if (!line.endsWith(QLatin1String("/manifest.txt")) && !line.endsWith(QLatin1String("/FW.ZUV"))
            && !line.endsWith(QLatin1String("/changelist.txt")))
            fetched.append(line);
    }
    QVERIFY(changed > 0);
    QCOMPARE(fetched.size(), changed);
    QVERIFY2(fetched.filter(QRegularExpression(QStringLiteral("^200 "))).size() == changed, qPrintable(fetched.join(QLatin1Char('\n'))));

    endRun(ok);
}

void TestEndToEnd::bootloaderUpdate()
{
    publishRelease(QStringLiteral("2.0"), QStringLiteral("2.0"), QStringLiteral("2.0"));
    NginxServer server(treePath());
    QString error;
    QVERIFY2(server.start(&error), qPrintable(error));
    attachDevice(QStringLiteral("1.0"), QStringLiteral("1.0"), QStringLiteral("1.0"));
    const Files before = m_volume->snapshot();
    startProgram(server.baseUrl());

    QRect ok;
    WindowPicture page;
    driveToMessagePage(&ok, &page);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(page.messageLineCount(ok), expectedLineCount(BootloaderReadyMessage));

    // The bootloader alone, though the firmware differs too.
    QCOMPARE(m_volume->snapshot(), cardAfterUpdate(before, {{QString(), QStringLiteral("Bootloader/2.0")}}));
    const QStringList log = server.accessLog();
    QVERIFY2(log.filter(QStringLiteral("Firmware/")).isEmpty(), qPrintable(log.join(QLatin1Char('\n'))));

    endRun(ok);
}

void TestEndToEnd::fileRemovedFromServer()
{
    publishRelease(QStringLiteral("1.0"), QStringLiteral("2.0"), QStringLiteral("2.0"));
    const QString lost = QStringLiteral("SecondaryFirmware/2.0/SECONDARY.BIN");
    QVERIFY(QFile::remove(modelPath() + QLatin1Char('/') + lost));
    QString report;
    QVERIFY(!runCommand(QStringLiteral(ZUV_PUBLISH), {QStringLiteral("verify"), QStringLiteral("--quiet"), treePath()},
                        &report));
    QVERIFY2(report.contains(QLatin1String("\"SECONDARY.BIN\" is listed but missing")), qPrintable(report));

    NginxServer server(treePath());
    QString error;
    QVERIFY2(server.start(&error), qPrintable(error));
    attachDevice(QStringLiteral("1.0"), QStringLiteral("1.0"), QStringLiteral("1.0"));
    const Files before = m_volume->snapshot();
    startProgram(server.baseUrl());

    QRect ok;
    WindowPicture page;
    driveToMessagePage(&ok, &page);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(page.messageLineCount(ok), expectedLineCount(DownloadErrorMessage));
    QCOMPARE(m_volume->snapshot(), before);
    QVERIFY(server.accessLog().contains(QStringLiteral("404 /") + ModelPath + QStringLiteral("//") + lost));

    endRun(ok);
}

void TestEndToEnd::downloadCutShort()
{
    publishRelease(QStringLiteral("1.0"), QStringLiteral("2.0"), QStringLiteral("2.0"));
    // The server sends half of the primary firmware, announced in full,
    // and closes the connection.
    HttpFaultServer server;
    QVERIFY(server.listen());
    const Files published = filesBelow(modelPath());
    const QByteArray prefix = "/" + ModelPath.toUtf8() + "//";
    for (auto file = published.cbegin(); file != published.cend(); ++file)
        server.setBody(prefix + file.key().toUtf8(), file.value());
    const QByteArray cut = prefix + "PrimaryFirmware/2.0/PRIMARY.BIN";
    HttpFaultServer::Response half;
    half.body = published.value(QStringLiteral("PrimaryFirmware/2.0/PRIMARY.BIN"));
    half.fault = HttpFaultServer::CloseAfterBytes;
    half.faultAfterBytes = half.body.size() / 2;
    server.setResponse(cut, half);

    attachDevice(QStringLiteral("1.0"), QStringLiteral("1.0"), QStringLiteral("1.0"));
    const Files before = m_volume->snapshot();
    startProgram(server.baseUrl());

    QRect ok;
    WindowPicture page;
    driveToMessagePage(&ok, &page);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(page.messageLineCount(ok), expectedLineCount(DownloadErrorMessage));
    QCOMPARE(m_volume->snapshot(), before);
    QCOMPARE(server.requestCount(cut), 1);

    endRun(ok);
}

QTEST_MAIN(TestEndToEnd)
#include "test_endtoend.moc"
