#include "../qml/updaterstandin.h"
#include "app/cursor.h"
#include "updater/updater.h"
#include "xserver.h"

#include <QDir>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QProcess>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickItem>
#include <QQuickWindow>
#include <QScreen>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

namespace
{
const QString programPath = QStringLiteral(ZUV_PROGRAM);
const QString screenshotDir = QStringLiteral(ZUV_SCREENSHOTS);
const QRgb logoAmber = qRgb(248, 180, 22);
const QRgb versionAmber = qRgb(0xf6, 0xb4, 0x1a);

// --- X clients -------------------------------------------------------------

QString xdotool(const QStringList &args, const QString &display, bool *ok = nullptr)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), display);
    process.setProcessEnvironment(env);
    process.start(QStringLiteral("xdotool"), args);
    const bool finished = process.waitForFinished(15000);
    if (!finished)
        process.kill();
    if (ok)
        *ok = finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    return QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
}

// The window's frame on its screen, from xdotool's --shell output.
QRect windowGeometry(const QString &window, const QString &display)
{
    const QString out = xdotool({QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), window}, display);
    QHash<QString, int> values;
    for (const QString &line : out.split(QLatin1Char('\n'))) {
        const int eq = line.indexOf(QLatin1Char('='));
        if (eq > 0)
            values.insert(line.left(eq), line.mid(eq + 1).toInt());
    }
    return QRect(values.value(QStringLiteral("X")), values.value(QStringLiteral("Y")),
                 values.value(QStringLiteral("WIDTH")), values.value(QStringLiteral("HEIGHT")));
}

// Presses a button, moves the pointer in two steps and lets go, with short
// pauses so that the program sees each event on its own.
void dragGesture(const QString &display, int screen, int button, QPoint from, QPoint to)
{
    const QString s = QString::number(screen);
    const QPoint half = (from + to) / 2;
    bool ok = false;
    xdotool({QStringLiteral("mousemove"), QStringLiteral("--screen"), s, QString::number(from.x()), QString::number(from.y()),
             QStringLiteral("sleep"), QStringLiteral("0.2"),
             QStringLiteral("mousedown"), QString::number(button),
             QStringLiteral("sleep"), QStringLiteral("0.2"),
             QStringLiteral("mousemove"), QStringLiteral("--screen"), s, QString::number(half.x()), QString::number(half.y()),
             QStringLiteral("sleep"), QStringLiteral("0.2"),
             QStringLiteral("mousemove"), QStringLiteral("--screen"), s, QString::number(to.x()), QString::number(to.y()),
             QStringLiteral("sleep"), QStringLiteral("0.2"),
             QStringLiteral("mouseup"), QString::number(button)},
            display, &ok);
    QVERIFY2(ok, "xdotool could not drag");
}

void clickAt(const QString &display, int screen, QPoint at)
{
    bool ok = false;
    xdotool({QStringLiteral("mousemove"), QStringLiteral("--screen"), QString::number(screen),
             QString::number(at.x()), QString::number(at.y()),
             QStringLiteral("sleep"), QStringLiteral("0.2"), QStringLiteral("click"), QStringLiteral("1")},
            display, &ok);
    QVERIFY2(ok, "xdotool could not click");
}

// --- the window's items ------------------------------------------------------

QQuickItem *findItem(QQuickItem *root, const std::function<bool(QQuickItem *)> &accept)
{
    if (!root)
        return nullptr;
    if (accept(root))
        return root;
    const auto children = root->childItems();
    for (QQuickItem *child : children) {
        if (QQuickItem *found = findItem(child, accept))
            return found;
    }
    return nullptr;
}

QQuickItem *itemWithText(QQuickItem *root, const QString &text, bool button)
{
    return findItem(root, [&](QQuickItem *item) {
        return item->property("text").toString() == text
            && (button ? item->metaObject()->indexOfSignal("clicked()") >= 0 : item->metaObject()->indexOfProperty("lineCount") >= 0);
    });
}

QQuickItem *stackView(QQuickWindow *window)
{
    return findItem(window->contentItem(), [](QQuickItem *item) {
        return item->inherits("QQuickStackView");
    });
}

QQuickItem *page(QQuickWindow *window, const char *name)
{
    return window->property(name).value<QQuickItem *>();
}

// The page the user sees on top of the stack.
QQuickItem *shownPage(QQuickWindow *window)
{
    QQuickItem *top = stackView(window)->property("currentItem").value<QQuickItem *>();
    QQuickItem *progress = page(window, "loading_page");
    return progress->parentItem() == top ? progress : top;
}

void settle(QQuickWindow *window)
{
    QQuickItem *stack = stackView(window);
    QTRY_VERIFY_WITH_TIMEOUT(!stack->property("busy").toBool(), 10000);
    // One more frame so that a grab shows the settled page.
    QTest::qWait(100);
}

void click(QQuickWindow *window, QQuickItem *root, const QString &text)
{
    QQuickItem *button = itemWithText(root, text, true);
    QVERIFY2(button, qPrintable(text));
    const QPointF centre = button->mapToScene(QPointF(button->width() / 2, button->height() / 2));
    QTest::mouseClick(window, Qt::LeftButton, Qt::NoModifier, centre.toPoint());
    settle(window);
}

QImage saveShot(QQuickWindow *window, const QString &name)
{
    const QImage image = window->grabWindow();
    QDir().mkpath(screenshotDir);
    image.save(screenshotDir + QLatin1Char('/') + name);
    return image;
}

int countColour(const QImage &image, QRgb colour, const QRect &area)
{
    int count = 0;
    const QRect r = area.intersected(image.rect());
    for (int y = r.top(); y <= r.bottom(); ++y) {
        for (int x = r.left(); x <= r.right(); ++x) {
            if ((image.pixel(x, y) & 0xffffff) == (colour & 0xffffff))
                ++count;
        }
    }
    return count;
}

// --- the program as a child process ---------------------------------------------

// The program with private configuration, temporary and runtime directories.
// It is started on one screen of the test's X server.
class Program
{
public:
    bool start(const QString &display, int screen)
    {
        if (!m_config.isValid() || !m_temp.isValid() || !m_runtime.isValid())
            return false;
        QDir(m_config.path()).mkpath(QStringLiteral("ZUV Systems"));
        QFile conf(m_config.filePath(QStringLiteral("ZUV Systems/ZUV Update Manager.conf")));
        if (!conf.open(QIODevice::WriteOnly))
            return false;
        // Should a device turn up after all, its queries go nowhere.
        conf.write("[General]\nUpdateServer=http://127.0.0.1:9\n");
        conf.close();

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), display + QLatin1Char('.') + QString::number(screen));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_config.path());
        env.insert(QStringLiteral("TMPDIR"), m_temp.path());
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtime.path());
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.setStandardOutputFile(QProcess::nullDevice());
        m_process.start(programPath, QStringList());
        return m_process.waitForStarted(10000);
    }

    ~Program()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    // The program's visible top-level window, looked for until it shows.
    QString findWindow(const QString &display)
    {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 20000 && m_process.state() == QProcess::Running) {
            const QString found = xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                           QStringLiteral("--pid"), QString::number(m_process.processId()),
                                           QStringLiteral("--name"), QStringLiteral("^ZUV Updater$")},
                                          display);
            if (!found.isEmpty())
                return found.split(QLatin1Char('\n')).first();
            QTest::qWait(100);
        }
        return QString();
    }

    QProcess &process() { return m_process; }
    QString tempPath() const { return m_temp.path(); }

private:
    QTemporaryDir m_config;
    QTemporaryDir m_temp;
    QTemporaryDir m_runtime;
    QProcess m_process;
};
}

// The program's window as the user meets it on an X screen: its size, its
// first page, dragging by the title bar, the close button; and every page
// of the window rendered, saved as screenshots for a person to look at.
class WindowTest : public QObject
{
    Q_OBJECT

public:
    WindowTest(const QString &display, const QString &whyNot)
        : m_display(display)
        , m_whyNot(whyNot)
    {
    }

private Q_SLOTS:
    void initTestCase();
    void program();
    void programScale_data();
    void programScale();
    void firstPageWithProgramObjects();
    void pageTour();

private:
    QString m_display;
    QString m_whyNot;
};

void WindowTest::initTestCase()
{
    if (m_display.isEmpty())
        QSKIP(qPrintable(m_whyNot));
    if (QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
        QSKIP("xdotool is not installed (Debian package xdotool)");
    QVERIFY2(QFile::exists(programPath), qPrintable(programPath));
}

void WindowTest::program()
{
    Program program;
    QVERIFY(program.start(m_display, 0));
    const QString window = program.findWindow(m_display);
    QVERIFY2(!window.isEmpty(), "the program shows no window");

    QRect frame = windowGeometry(window, m_display);
    QCOMPARE(frame.size(), QSize(512, 512));

    // The logo's band shows at its place on the first page.
    QScreen *screen = QGuiApplication::primaryScreen();
    QImage shot;
    QTRY_VERIFY_WITH_TIMEOUT((shot = screen->grabWindow(0, frame.x(), frame.y(), 512, 512).toImage(),
                              (shot.pixel(180, 20 + 100 + 64) & 0xffffff) == (logoAmber & 0xffffff)),
                             10000);
    QDir().mkpath(screenshotDir);
    shot.save(screenshotDir + QStringLiteral("/program-first-page.png"));
    QCOMPARE(shot.pixel(256, 2) & 0xffffff, 0u);     // the title bar is black

    // Left button on the title text and on the bar moves the window by the
    // pointer's way; right and middle buttons do not. Each left drag checks
    // the sum of all moves so far.
    const QPoint start = frame.topLeft();
    dragGesture(m_display, 0, 1, frame.topLeft() + QPoint(20, 10), frame.topLeft() + QPoint(60, 35));
    QTRY_COMPARE_WITH_TIMEOUT(windowGeometry(window, m_display).topLeft(), start + QPoint(40, 25), 5000);

    frame = windowGeometry(window, m_display);
    dragGesture(m_display, 0, 3, frame.topLeft() + QPoint(300, 10), frame.topLeft() + QPoint(400, 90));
    dragGesture(m_display, 0, 2, frame.topLeft() + QPoint(300, 10), frame.topLeft() + QPoint(380, 60));
    dragGesture(m_display, 0, 1, frame.topLeft() + QPoint(300, 10), frame.topLeft() + QPoint(270, 40));
    QTRY_COMPARE_WITH_TIMEOUT(windowGeometry(window, m_display).topLeft(), start + QPoint(10, 55), 5000);
    QCOMPARE(windowGeometry(window, m_display).size(), QSize(512, 512));

    // The close button ends the program normally, leaving no temporary files.
    frame = windowGeometry(window, m_display);
    clickAt(m_display, 0, frame.topLeft() + QPoint(512 - 4 - 8, 10));
    QVERIFY2(program.process().waitForFinished(15000), "the program did not end after the close button");
    QCOMPARE(program.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.process().exitCode(), 0);
    QCOMPARE(QDir(program.tempPath()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden), QStringList());
}

void WindowTest::programScale_data()
{
    QTest::addColumn<int>("screen");
    QTest::addColumn<int>("side");
    QTest::newRow("1280x720") << 1 << 341;
    QTest::newRow("1080x1920 portrait") << 2 << 512;
}

// The window scales with the shorter side of its screen, and the close
// button stays where the scaled window draws it.
void WindowTest::programScale()
{
    QFETCH(int, screen);
    QFETCH(int, side);

    Program program;
    QVERIFY(program.start(m_display, screen));
    const QString window = program.findWindow(m_display);
    QVERIFY2(!window.isEmpty(), "the program shows no window");
    const QRect frame = windowGeometry(window, m_display);
    QCOMPARE(frame.width(), side);
    QCOMPARE(frame.height(), side);

    const qreal s = side / 512.0;
    clickAt(m_display, screen, frame.topLeft() + QPoint(qRound(side - 12 * s), qRound(10 * s)));
    QVERIFY2(program.process().waitForFinished(15000), "the program did not end after the close button");
    QCOMPARE(program.process().exitCode(), 0);
}

// The window as the program builds it, with the program's own Updater and
// Cursor: before the event loop runs it shows the search.
void WindowTest::firstPageWithProgramObjects()
{
    Cursor cursor;
    QQmlApplicationEngine engine;
    engine.rootContext()->setContextProperty(QStringLiteral("Cursor"), &cursor);
    Updater updater;
    engine.rootContext()->setContextProperty(QStringLiteral("Updater"), &updater);
    engine.addImportPath(QStringLiteral("qrc:/qmlcontrols"));
    engine.load(QUrl(QStringLiteral("qrc:/main.qml"), QUrl::TolerantMode));

    QCOMPARE(engine.rootObjects().size(), 1);
    auto *window = qobject_cast<QQuickWindow *>(engine.rootObjects().first());
    QVERIFY(window);
    QCOMPARE(window->size(), QSize(512, 512));
    QCOMPARE(window->property("scaleFactor").toReal(), 1.0);
    QCOMPARE(window->title(), QStringLiteral("ZUV Updater"));
    QVERIFY(window->flags() & Qt::FramelessWindowHint);

    QQuickItem *progress = page(window, "loading_page");
    QCOMPARE(progress->property("text").toString(), QStringLiteral("SEARCHING"));
    QCOMPARE(shownPage(window), progress);
    QVERIFY(itemWithText(window->contentItem(), QStringLiteral("ZUV UPDATE MANAGER 0.9.529"), false));

    // At a scale of 1 the pictures are drawn at their own pixel sizes.
    for (const auto &picture : {qMakePair(QStringLiteral("close.png"), QSize(16, 16)),
                                qMakePair(QStringLiteral("zuv.png"), QSize(164, 84))}) {
        QQuickItem *image = findItem(window->contentItem(), [&](QQuickItem *item) {
            return item->property("source").toUrl().toString().endsWith(picture.first) && item->isVisible();
        });
        QVERIFY2(image, qPrintable(picture.first));
        QCOMPARE(image->size().toSize(), picture.second);
        QCOMPARE(image->property("sourceSize").toSize(), picture.second);
    }

    QVERIFY(QTest::qWaitForWindowExposed(window));
    settle(window);
    saveShot(window, QStringLiteral("program-searching.png"));

    // The scan of this machine's volumes ends in some page over the search.
    QQuickItem *stack = stackView(window);
    QTRY_VERIFY_WITH_TIMEOUT(stack->property("depth").toInt() == 2, 30000);
    settle(window);
    saveShot(window, QStringLiteral("program-after-search.png"));
}

// Every page of the window, reached through the Updater's signals and the
// window's own buttons, saved as a screenshot.
void WindowTest::pageTour()
{
    Cursor cursor;
    QQmlApplicationEngine engine;
    engine.rootContext()->setContextProperty(QStringLiteral("Cursor"), &cursor);
    UpdaterStandIn updater;
    engine.rootContext()->setContextProperty(QStringLiteral("Updater"), &updater);
    engine.addImportPath(QStringLiteral("qrc:/qmlcontrols"));
    engine.load(QUrl(QStringLiteral("qrc:/main.qml"), QUrl::TolerantMode));
    QCOMPARE(engine.rootObjects().size(), 1);
    auto *window = qobject_cast<QQuickWindow *>(engine.rootObjects().first());
    QVERIFY(window);
    QVERIFY(QTest::qWaitForWindowExposed(window));
    settle(window);
    QCOMPARE(updater.scanCalls(), 1);

    QQuickItem *progress = page(window, "loading_page");
    QQuickItem *device = page(window, "device");
    QQuickItem *changelist = page(window, "changelist");
    QQuickItem *message = page(window, "error");
    const QRect availableColumn(346, 20, 100, 472);

    saveShot(window, QStringLiteral("01-searching.png"));

    Q_EMIT updater.noDeviceFound();
    settle(window);
    QCOMPARE(shownPage(window), message);
    saveShot(window, QStringLiteral("02-no-device.png"));
    click(window, message, QStringLiteral("OK"));

    Q_EMIT updater.multipleDevicesFound();
    settle(window);
    saveShot(window, QStringLiteral("03-several-devices.png"));
    click(window, message, QStringLiteral("OK"));
    QCOMPARE(shownPage(window), progress);
    QCOMPARE(updater.scanCalls(), 3);

    Q_EMIT updater.connectingToDevice();
    settle(window);
    saveShot(window, QStringLiteral("04-connecting.png"));
    updater.setDevice(QStringLiteral("1.0.3"), QStringLiteral("2.4.0"), QStringLiteral("3.1.7"));
    QStringList lines;
    for (int i = 20; i > 0; --i)
        lines << QStringLiteral("VERSION 2.%1.0 - <FIXES> & IMPROVEMENTS OF THE FIRMWARE, SOUNDS AND IMAGES").arg(i);
    updater.setChangelist(lines.join(QLatin1Char('\n')));
    Q_EMIT updater.updateInfoChanged();
    Q_EMIT updater.connectedToDevice();
    settle(window);
    QCOMPARE(shownPage(window), device);
    QVERIFY(!itemWithText(device, QStringLiteral("UPDATE"), true)->isVisible());
    QImage shot = saveShot(window, QStringLiteral("05-device.png"));
    QCOMPARE(countColour(shot, versionAmber, availableColumn), 0);

    click(window, device, QStringLiteral("CHANGELIST"));
    QCOMPARE(shownPage(window), changelist);
    saveShot(window, QStringLiteral("06-changelist.png"));
    click(window, changelist, QStringLiteral("CLOSE"));
    QCOMPARE(shownPage(window), device);

    click(window, device, QStringLiteral("CHECK FOR UPDATES"));
    QCOMPARE(shownPage(window), progress);
    QCOMPARE(updater.checkForUpdatesCalls(), 1);
    saveShot(window, QStringLiteral("07-checking.png"));

    updater.setOffer(QStringLiteral("1.0.3"), QStringLiteral("2.5.0"), QStringLiteral("3.1.7"));
    Q_EMIT updater.updateInfoChanged();
    Q_EMIT updater.updateAvailable();
    settle(window);
    QCOMPARE(shownPage(window), device);
    QVERIFY(itemWithText(device, QStringLiteral("UPDATE"), true)->isVisible());
    shot = saveShot(window, QStringLiteral("08-update-available.png"));
    QVERIFY2(countColour(shot, versionAmber, availableColumn) > 0, "the newer version shows in amber");

    click(window, device, QStringLiteral("CHECK FOR UPDATES"));
    updater.setLastError(QStringLiteral("ERROR TRANSFERRING HTTP://UPDATE.ZUV-SYSTEMS.COM/ZUVUPDATER/THEORVIK/FW.ZUV - SERVER REPLIED: NOT FOUND"));
    Q_EMIT updater.updateServerConnectionError();
    settle(window);
    QCOMPARE(shownPage(window), message);
    saveShot(window, QStringLiteral("09-server-error.png"));
    click(window, message, QStringLiteral("OK"));

    Q_EMIT updater.connectedToDevice();
    settle(window);
    click(window, device, QStringLiteral("UPDATE"));
    QCOMPARE(updater.updateCalls(), 1);
    saveShot(window, QStringLiteral("10-preparing-update.png"));
    Q_EMIT updater.preparingDownloadList();
    Q_EMIT updater.downloadedFiles(3, 10);
    settle(window);
    QCOMPARE(progress->property("text").toString(), QStringLiteral("DOWNLOADED 3 OUT OF 10 FILES"));
    saveShot(window, QStringLiteral("11-downloading.png"));
    Q_EMIT updater.veryfingDownloadedFiles();
    Q_EMIT updater.copyingFiles();
    settle(window);
    saveShot(window, QStringLiteral("12-copying.png"));

    const QList<QPair<void (UpdaterStandIn::*)(), QString>> endings = {
        {&UpdaterStandIn::updateReady, QStringLiteral("13-update-ready.png")},
        {&UpdaterStandIn::bootloaderUpdateReady, QStringLiteral("14-bootloader-update-ready.png")},
        {&UpdaterStandIn::downloadError, QStringLiteral("15-download-error.png")},
    };
    for (const auto &ending : endings) {
        if (shownPage(window) != progress || stackView(window)->property("depth").toInt() != 3) {
            Q_EMIT updater.connectedToDevice();
            settle(window);
            click(window, device, QStringLiteral("UPDATE"));
        }
        Q_EMIT (updater.*ending.first)();
        settle(window);
        QCOMPARE(shownPage(window), message);
        saveShot(window, ending.second);
        click(window, message, QStringLiteral("OK"));
        QCOMPARE(shownPage(window), progress);
    }
}

int main(int argc, char **argv)
{
    // The X server comes first: the application connects to it on creation.
    XServer server;
    QString whyNot;
    if (server.start()) {
        qputenv("DISPLAY", server.display().toLocal8Bit());
        qputenv("QT_QPA_PLATFORM", "xcb");
    } else {
        whyNot = server.error();
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }

    // The program's own objects run here too: keep their settings and
    // temporary files private, and point any server query at nothing.
    QTemporaryDir privateDirs;
    if (!privateDirs.isValid())
        return 1;
    QDir(privateDirs.path()).mkpath(QStringLiteral("config/ZUV Systems"));
    QDir(privateDirs.path()).mkpath(QStringLiteral("tmp"));
    QDir(privateDirs.path()).mkpath(QStringLiteral("runtime"));
    QFile::setPermissions(privateDirs.filePath(QStringLiteral("runtime")), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QFile conf(privateDirs.filePath(QStringLiteral("config/ZUV Systems/ZUV Update Manager.conf")));
    if (conf.open(QIODevice::WriteOnly)) {
        conf.write("[General]\nUpdateServer=http://127.0.0.1:9\n");
        conf.close();
    }
    qputenv("XDG_CONFIG_HOME", privateDirs.filePath(QStringLiteral("config")).toLocal8Bit());
    qputenv("TMPDIR", privateDirs.filePath(QStringLiteral("tmp")).toLocal8Bit());
    qputenv("XDG_RUNTIME_DIR", privateDirs.filePath(QStringLiteral("runtime")).toLocal8Bit());

    int result = 0;
    {
        QGuiApplication app(argc, argv);
        QCoreApplication::setOrganizationName(QStringLiteral("ZUV Systems"));
        QCoreApplication::setOrganizationDomain(QStringLiteral("zuv-systems.com"));
        QCoreApplication::setApplicationName(QStringLiteral("ZUV Update Manager"));
        WindowTest test(server.display(), whyNot);
        result = QTest::qExec(&test, argc, argv);
    }
    server.stop();
    return result;
}

#include "tst_window.moc"
