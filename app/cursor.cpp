#include "cursor.h"

#include <QCursor>

QPoint Cursor::pos()
{
    return QCursor::pos();
}
