#include "cursor.h"
#include "updater/updater.h"

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QUrl>

int main(int argc, char **argv)
{
    // The program writes nothing but temporary files and the card: Qt keeps
    // neither compiled QML nor compiled shaders in the user's cache
    // directory. The window's own QML is compiled into the program; Qt's
    // controls and shaders are compiled as they load, in a few milliseconds.
    qputenv("QML_DISABLE_DISK_CACHE", "1");
    QCoreApplication::setAttribute(Qt::AA_DisableShaderDiskCache);
    QGuiApplication application(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("ZUV Systems"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("zuv-systems.com"));
    QCoreApplication::setApplicationName(QStringLiteral("ZUV Update Manager"));

    Cursor cursor;
    QQmlApplicationEngine engine;
    engine.rootContext()->setContextProperty(QStringLiteral("Cursor"), &cursor);

    Updater updater;
    engine.rootContext()->setContextProperty(QStringLiteral("Updater"), &updater);

    engine.addImportPath(QStringLiteral("qrc:/qmlcontrols"));
    engine.load(QUrl(QStringLiteral("qrc:/main.qml"), QUrl::TolerantMode));
    // Without a window (a Qt Quick module missing at run time, say) there is
    // nothing the user could close: end at once instead of idling unseen.
    if (engine.rootObjects().isEmpty())
        return 1;

    return application.exec();
}
