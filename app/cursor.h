#ifndef ZUV_APP_CURSOR_H
#define ZUV_APP_CURSOR_H

#include <QObject>
#include <QPoint>

// Gives QML the mouse pointer's position in global screen coordinates,
// which the window's header uses to drag the frameless window.
class Cursor : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

public Q_SLOTS:
    QPoint pos();
};

#endif
