#include "serveraddress.h"

#include "update/release/serverlayout.h"

#ifdef Q_OS_WIN
#include <qt_windows.h>
#else
#include <QSettings>
#endif

#ifndef ZUV_UPDATE_SERVER
#define ZUV_UPDATE_SERVER "http://update.zuv-systems.com"
#endif

namespace {

#ifdef Q_OS_WIN
// QSettings opens its registry key for writing and creates it when it is
// missing, so a mere look-up would leave "HKCU\Software\ZUV Systems\ZUV
// Update Manager" behind. The value is read here without opening the key
// for anything but reading: the user's value, else the machine's (where
// QSettings looks too).
QString setting(const wchar_t *name)
{
    const wchar_t key[] = L"Software\\ZUV Systems\\ZUV Update Manager";
    for (HKEY hive : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
        wchar_t value[2048];
        DWORD size = sizeof(value);
        if (::RegGetValueW(hive, key, name, RRF_RT_REG_SZ, nullptr, value, &size) == ERROR_SUCCESS)
            return QString::fromWCharArray(value);
    }
    return QString();
}
#else
// Reading an INI file creates nothing; QSettings writes only what is set.
QString setting(const char *name)
{
    // Organisation and application names are given explicitly, so the
    // lookup does not depend on when the application object set them.
    const QSettings settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("ZUV Systems"),
                             QStringLiteral("ZUV Update Manager"));
    return settings.value(QLatin1String(name)).toString();
}
#endif

} // namespace

namespace ServerAddress {

QString root()
{
#ifdef Q_OS_WIN
    QString server = setting(L"UpdateServer");
#else
    QString server = setting("UpdateServer");
#endif
    if (server.isEmpty())
        server = QStringLiteral(ZUV_UPDATE_SERVER);
    while (server.endsWith(QLatin1Char('/')))
        server.chop(1);
    return server;
}

QString basePattern()
{
    return ServerLayout::basePattern(root());
}

} // namespace ServerAddress
