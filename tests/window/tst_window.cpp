#include "programrun.h"
#include "skipsuite.h"
#include "xvfbserver.h"

#include <QDir>
#include <QGuiApplication>
#include <QStandardPaths>
#include <QtTest>

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

int main(int argc, char **argv)
{
    // The X server comes first: the application connects to it on creation.
    XvfbServer server;
    QString whyNot;
    const bool x = server.start(&whyNot);
    qputenv("DISPLAY", server.display().toLocal8Bit());
    qputenv("QT_QPA_PLATFORM", x ? "xcb" : "offscreen");

    QGuiApplication app(argc, argv);
    WindowTest test(server.display(), whyNot);
    return QTest::qExec(&test, argc, argv);
}

#include "tst_window.moc"
