#include "app/cursor.h"
#include "programrun.h"
#include "skipsuite.h"
#include "updater/updater.h"
#include "xvfbserver.h"

#include <QDir>
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickItem>
#include <QQuickWindow>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

namespace
{
const QString screenshotDir = QStringLiteral(ZUV_SCREENSHOTS);

// Presses a button, moves the pointer in two steps and lets go, with short
// pauses so that the program sees each event on its own.
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

QQuickItem *findItem(QQuickItem *root, const std::function<bool(QQuickItem *)> &accept)
{
    if (!root || accept(root))
        return root;
    const auto children = root->childItems();
    for (QQuickItem *child : children) {
        if (QQuickItem *found = findItem(child, accept))
            return found;
    }
    return nullptr;
}

QQuickItem *stackView(QQuickWindow *window)
{
    return findItem(window->contentItem(), [](QQuickItem *item) { return item->inherits("QQuickStackView"); });
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
    QTRY_VERIFY_WITH_TIMEOUT(!stackView(window)->property("busy").toBool(), 10000);
    // One more frame so that a grab shows the settled page.
    QTest::qWait(100);
}

void saveShot(QQuickWindow *window, const QString &name)
{
    window->grabWindow().save(screenshotDir + QLatin1Char('/') + name);
}

// The window as the program loads it, in front of the given Updater.
QQuickWindow *loadWindow(QQmlApplicationEngine &engine, QObject *updater)
{
    engine.rootContext()->setContextProperty(QStringLiteral("Cursor"), new Cursor(&engine));
    engine.rootContext()->setContextProperty(QStringLiteral("Updater"), updater);
    engine.addImportPath(QStringLiteral("qrc:/qmlcontrols"));
    engine.load(QUrl(QStringLiteral("qrc:/main.qml"), QUrl::TolerantMode));
    return engine.rootObjects().size() == 1 ? qobject_cast<QQuickWindow *>(engine.rootObjects().first()) : nullptr;
}
}

// The program's window as the user meets it on an X screen: its size, its
// first page, dragging by the title bar, the close button. The pages and
// their order are the QML suite's part.
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
    void program_data();
    void program();
    void firstPageWithProgramObjects();

private:
    QString m_display;
    QString m_whyNot;
};

void WindowTest::initTestCase()
{
    if (m_display.isEmpty())
        skipSuite(m_whyNot);
    for (const char *tool : {"xdotool", "import"}) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
            skipSuite(QStringLiteral("%1 is not installed").arg(QString::fromLatin1(tool)));
    }
    QDir().mkpath(screenshotDir);
}

void WindowTest::program_data()
{
    QTest::addColumn<int>("screen");
    QTest::addColumn<int>("side");
    QTest::newRow("1920x1080") << 0 << 512;
    QTest::newRow("1280x720") << 1 << 341;
    QTest::newRow("1080x1920 portrait") << 2 << 512;
}

// The real program: the window scales with the shorter side of its screen;
// it moves by the pointer's way when dragged with the left button on the
// title bar, not with the others; its close button ends the program
// normally and leaves no temporary files.
void WindowTest::program()
{
    QFETCH(int, screen);
    QFETCH(int, side);

    ProgramRun run(m_display + QLatin1Char('.') + QString::number(screen), QStringLiteral("http://127.0.0.1:9"));
    QString error;
    QVERIFY2(run.start(&error), qPrintable(error));
    const QRect frame = run.geometry();
    QCOMPARE(frame.size(), QSize(side, side));

    // The first page is drawn, logo and all, before the pointer comes.
    QImage shot;
    QTRY_VERIFY_WITH_TIMEOUT(logoPixels(shot = run.grab().image()) > 1000, 10000);
    shot.save(screenshotDir + QStringLiteral("/program-%1.png").arg(screen));

    // Each left drag checks the sum of all moves so far.
    const QPoint start = frame.topLeft();
    drag(run, screen, 1, start + QPoint(20, 10), start + QPoint(60, 35));
    QTRY_COMPARE_WITH_TIMEOUT(run.geometry().topLeft(), start + QPoint(40, 25), 5000);
    const QPoint onBar = start + QPoint(40, 25) + QPoint(300, 10);
    drag(run, screen, 3, onBar, onBar + QPoint(100, 80));
    drag(run, screen, 2, onBar, onBar + QPoint(80, 50));
    drag(run, screen, 1, onBar, onBar + QPoint(-30, 30));
    QTRY_COMPARE_WITH_TIMEOUT(run.geometry(), QRect(start + QPoint(10, 55), frame.size()), 5000);

    QCOMPARE(run.closeWindow(), 0);
    QCOMPARE(run.leftovers().join(QLatin1String(", ")), QString());
}

// The window with the program's own Updater shows the search first, and
// whatever the scan of this machine's volumes finds over it.
void WindowTest::firstPageWithProgramObjects()
{
    Updater updater;
    QQmlApplicationEngine engine;
    QQuickWindow *window = loadWindow(engine, &updater);
    QVERIFY(window);
    QQuickItem *progress = page(window, "loading_page");
    QCOMPARE(progress->property("text").toString(), QStringLiteral("SEARCHING"));
    QCOMPARE(shownPage(window), progress);

    QVERIFY(QTest::qWaitForWindowExposed(window));
    settle(window);
    saveShot(window, QStringLiteral("program-searching.png"));
    QTRY_VERIFY_WITH_TIMEOUT(stackView(window)->property("depth").toInt() == 2, 30000);
    settle(window);
    saveShot(window, QStringLiteral("program-after-search.png"));
}



int main(int argc, char **argv)
{
    // The X server comes first: the application connects to it on creation.
    XvfbServer server;
    QString whyNot;
    const bool x = server.start(&whyNot);
    qputenv("DISPLAY", server.display().toLocal8Bit());
    qputenv("QT_QPA_PLATFORM", x ? "xcb" : "offscreen");

    // The program's own objects run here too: keep their settings and
    // temporary files private, and point any server query at nothing.
    QTemporaryDir dirs;
    const QProcessEnvironment home = ProgramRun::privateHome(dirs.path(), QStringLiteral("http://127.0.0.1:9"));
    if (!dirs.isValid() || home.isEmpty())
        return 1;
    for (const QString &name : home.keys())
        qputenv(qPrintable(name), home.value(name).toLocal8Bit());

    QGuiApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("ZUV Systems"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("zuv-systems.com"));
    QCoreApplication::setApplicationName(QStringLiteral("ZUV Update Manager"));
    WindowTest test(server.display(), whyNot);
    return QTest::qExec(&test, argc, argv);
}

#include "tst_window.moc"
