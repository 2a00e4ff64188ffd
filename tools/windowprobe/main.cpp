// zuv-window-probe: looks at the program's window on an X display, for
// scripts that drive it (the demo, the Windows program under Wine).
//
//     zuv-window-probe shot FILE X Y WIDTH HEIGHT
//     zuv-window-probe find check|lowest|close X Y WIDTH HEIGHT
//
// X Y WIDTH HEIGHT is the window's place on the screen. "shot" saves a
// picture of it. "find" prints the centre of a button relative to the
// window, or exits with 1 while it does not show: "check" is CHECK FOR
// UPDATES on the device page, "lowest" the lowest button in the middle of
// the page (UPDATE on the device page, OK on a message page), "close" CLOSE
// on the change-list page.

#include "windowpicture.h"

#include <QCoreApplication>
#include <QImage>
#include <QProcess>
#include <QRect>
#include <QTextStream>

#include <cstdio>

namespace
{
constexpr int Missing = 1;
constexpr int Usage = 2;

QImage captureScreen()
{
    QProcess import;
    import.start(QStringLiteral("import"), {QStringLiteral("-window"), QStringLiteral("root"), QStringLiteral("png:-")});
    if (!import.waitForFinished(20000) || import.exitStatus() != QProcess::NormalExit || import.exitCode() != 0)
        return QImage();
    return QImage::fromData(import.readAllStandardOutput(), "PNG");
}

int find(const WindowPicture &picture, const QString &kind)
{
    QPoint centre;
    if (kind == QLatin1String("check")) {
        if (!picture.isDevicePage())
            return Missing;
        centre = WindowPicture::checkForUpdatesButton();
    } else if (kind == QLatin1String("lowest") || kind == QLatin1String("close")) {
        const QRect button = kind == QLatin1String("close") ? picture.changelistCloseButton() : picture.lowestButton();
        if (button.isNull())
            return Missing;
        centre = button.center();
    } else {
        std::fprintf(stderr, "zuv-window-probe: unknown button \"%s\"\n", qPrintable(kind));
        return Usage;
    }
    QTextStream(stdout) << centre.x() << ' ' << centre.y() << '\n';
    return 0;
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    bool ok = arguments.size() == 7;
    QRect place;
    if (ok) {
        int values[4];
        for (int i = 0; i < 4 && ok; ++i)
            values[i] = arguments.at(3 + i).toInt(&ok);
        place = QRect(values[0], values[1], values[2], values[3]);
    }
    const QString command = ok ? arguments.at(1) : QString();
    if (command != QLatin1String("shot") && command != QLatin1String("find")) {
        std::fprintf(stderr, "usage: zuv-window-probe shot FILE|find check|lowest|close X Y WIDTH HEIGHT\n");
        return Usage;
    }
    const QImage screen = captureScreen();
    if (screen.isNull()) {
        std::fprintf(stderr, "zuv-window-probe: cannot capture the screen with import\n");
        return Usage;
    }
    const WindowPicture picture(screen.copy(place));
    if (command == QLatin1String("shot"))
        return picture.image().save(arguments.at(2)) ? 0 : Usage;
    return find(picture, arguments.at(2));
}
