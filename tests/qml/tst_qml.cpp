#include "updaterstandin.h"

#include <QDesktopServices>
#include <QPoint>
#include <QQmlContext>
#include <QQmlEngine>
#include <QStringList>
#include <QUrl>
#include <QtQuickTest>

// The global mouse position as the window's header reads it, set by tests.
class CursorStandIn : public QObject
{
    Q_OBJECT

public:
    Q_INVOKABLE void moveTo(int x, int y) { m_pos = QPoint(x, y); }

public Q_SLOTS:
    QPoint pos() { return m_pos; }

private:
    QPoint m_pos;
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
};

QUICK_TEST_MAIN_WITH_SETUP(qml, Setup)

#include "tst_qml.moc"
