#include "updaterstandin.h"
#include "updater/updater.h"

#include <QMetaMethod>
#include <QMetaProperty>
#include <QSet>

#include <QDesktopServices>
#include <QPoint>
#include <QQmlContext>
#include <QQmlEngine>
#include <QStringList>
#include <QUrl>
#include <QtQuickTest>

// The global mouse position as the window's header reads it. Dragging is
// tried on the real program (the end-to-end suite).
class CursorStandIn : public QObject
{
    Q_OBJECT

public Q_SLOTS:
    QPoint pos() { return QPoint(); }
};

// Catches the addresses that the window hands to the system's browser.
class UrlLog : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QStringList urls MEMBER m_urls)

public:
    Q_INVOKABLE void clear() { m_urls.clear(); }

public Q_SLOTS:
    void open(const QUrl &url) { m_urls.append(url.toString()); }

private:
    QStringList m_urls;
};

// What the window can see of an object: its properties with their types and
// change signals, its signals and its public slots.
QSet<QString> windowInterface(const QMetaObject *object)
{
    QSet<QString> members;
    for (int i = object->propertyOffset(); i < object->propertyCount(); ++i) {
        const QMetaProperty property = object->property(i);
        members << QStringLiteral("property %1 %2 notify %3")
                       .arg(QLatin1String(property.typeName()), QLatin1String(property.name()),
                            QLatin1String(property.notifySignal().methodSignature()));
    }
    for (int i = object->methodOffset(); i < object->methodCount(); ++i) {
        const QMetaMethod method = object->method(i);
        if (method.access() != QMetaMethod::Public || method.methodType() == QMetaMethod::Constructor)
            continue;
        const char *kind = method.methodType() == QMetaMethod::Signal ? "signal" : "method";
        members << QStringLiteral("%1 %2").arg(QLatin1String(kind), QLatin1String(method.methodSignature()));
    }
    return members;
}

// Keeps the stand-in from drifting away from the real Updater: the tests
// would otherwise drive a window that the program's object cannot.
class UpdaterShape : public QObject
{
    Q_OBJECT

public:
    // Members of one and not the other. The stand-in's own controls (the
    // setters, reset and the call counters) are left out.
    Q_INVOKABLE QStringList differences() const
    {
        QSet<QString> standIn = windowInterface(&UpdaterStandIn::staticMetaObject);
        const QSet<QString> updater = windowInterface(&Updater::staticMetaObject);
        for (auto it = standIn.begin(); it != standIn.end();) {
            const bool control = it->contains(QLatin1String("Calls")) || it->contains(QLatin1String("callsChanged"))
                    || it->startsWith(QLatin1String("method set")) || *it == QLatin1String("method reset()");
            if (control)
                it = standIn.erase(it);
            else
                ++it;
        }
        QStringList found;
        for (const QString &member : updater - standIn)
            found << QStringLiteral("only the Updater has: ") + member;
        for (const QString &member : standIn - updater)
            found << QStringLiteral("only the stand-in has: ") + member;
        found.sort();
        return found;
    }
};

class Setup : public QObject
{
    Q_OBJECT

public Q_SLOTS:
    void applicationAvailable()
    {
        QDesktopServices::setUrlHandler(QStringLiteral("http"), &m_urls, "open");
        QDesktopServices::setUrlHandler(QStringLiteral("https"), &m_urls, "open");
    }

    void qmlEngineAvailable(QQmlEngine *engine)
    {
        engine->addImportPath(QStringLiteral("qrc:/qmlcontrols"));
        engine->rootContext()->setContextProperty(QStringLiteral("Updater"), &m_updater);
        engine->rootContext()->setContextProperty(QStringLiteral("Cursor"), &m_cursor);
        engine->rootContext()->setContextProperty(QStringLiteral("UrlLog"), &m_urls);
        engine->rootContext()->setContextProperty(QStringLiteral("UpdaterShape"), &m_shape);
    }

    void cleanupTestCase()
    {
        QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    }

private:
    UpdaterStandIn m_updater;
    CursorStandIn m_cursor;
    UrlLog m_urls;
    UpdaterShape m_shape;
};

QUICK_TEST_MAIN_WITH_SETUP(qml, Setup)

#include "tst_qml.moc"
