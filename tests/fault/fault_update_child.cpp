// Runs one firmware update of a card the way the updater starts it, for a
// test to kill part way through.
//
//   fault_update_child <card root> <server base address>
#include "update/run/update.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QTimer>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <card root> <server base address>\n", argv[0]);
        return 2;
    }
    const QString root = QString::fromLocal8Bit(argv[1]);
    const QString base = QString::fromLocal8Bit(argv[2]) + QStringLiteral("/ZUVUpdater/TheOrvik/");

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
    return result;
}
