// Runs one firmware update of a card the way the updater starts it, and
// dies by SIGKILL right after the chosen step of the write onto the card
// (0: never). Prints how many steps the write took and at which one it was
// committed, so the test knows the kill points it may choose from.
//
//   fault_update_child <card root> <server base address> <kill step>
#include "update/card/devicewriter_p.h"
#include "update/run/update.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

int killAt = 0;
int steps = 0;
int committedAt = 0;

void step(int number, const char *what)
{
    steps = number;
    if (std::strcmp(what, "journal committed") == 0)
        committedAt = number;
    if (number == killAt)
        ::raise(SIGKILL);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <card root> <server base address> <kill step>\n", argv[0]);
        return 2;
    }
    const QString root = QString::fromLocal8Bit(argv[1]);
    const QString base = QString::fromLocal8Bit(argv[2]) + QStringLiteral("/ZUVUpdater/TheOrvik/");
    killAt = QByteArray(argv[3]).toInt();
    DeviceWriterPrivate::setStepHook(step);

    QNetworkAccessManager manager;
    Update update(&manager);
    update.reset(root);
    update.addUpdateDirectory(QString(), base + QStringLiteral("/PrimaryFirmware/P2/manifest.txt"));
    for (const char *directory : {"ANIM", "IMAGES", "SOUNDS"}) {
        update.addUpdateDirectory(QLatin1String(directory),
                                  base + QStringLiteral("/SecondaryFirmware/%1/manifest.txt").arg(QLatin1String(directory)));
    }
    update.addUpdateDirectory(QString(), base + QStringLiteral("/SecondaryFirmware/S2/manifest.txt"));

    int result = 3;
    QObject::connect(&update, &Update::updateReady, &app, [&] {
        result = 0;
        app.quit();
    });
    QObject::connect(&update, &Update::downloadError, &app, [&] {
        result = 1;
        app.quit();
    });
    QTimer::singleShot(60000, &app, &QCoreApplication::quit);
    update.start();
    app.exec();
    std::printf("steps %d committed at %d\n", steps, committedAt);
    return result;
}
