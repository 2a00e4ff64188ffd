#include "serveraddress.h"

#include "update/serverlayout.h"

#include <QSettings>

#ifndef ZUV_UPDATE_SERVER
#define ZUV_UPDATE_SERVER "http://update.zuv-systems.com"
#endif

namespace ServerAddress {

QString root()
{
    // Organisation and application names are given explicitly, so the
    // lookup does not depend on when the application object set them.
    const QSettings settings(QSettings::NativeFormat, QSettings::UserScope,
                             QStringLiteral("ZUV Systems"), QStringLiteral("ZUV Update Manager"));
    QString server = settings.value(QStringLiteral("UpdateServer"), QStringLiteral(ZUV_UPDATE_SERVER)).toString();
    while (server.endsWith(QLatin1Char('/')))
        server.chop(1);
    return server;
}

QString basePattern()
{
    return ServerLayout::basePattern(root());
}

} // namespace ServerAddress
