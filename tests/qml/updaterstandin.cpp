#include "updaterstandin.h"

void UpdaterStandIn::setDevice(const QString &bootloader, const QString &primary, const QString &secondary)
{
    m_current = QStringList{bootloader, primary, secondary};
}

void UpdaterStandIn::setOffer(const QString &bootloader, const QString &primary, const QString &secondary)
{
    m_offered = QStringList{bootloader, primary, secondary};
}

void UpdaterStandIn::setChangelist(const QString &text)
{
    m_changelist = text;
}

void UpdaterStandIn::setLastError(const QString &text)
{
    m_lastError = text;
}

void UpdaterStandIn::reset()
{
    m_current.clear();
    m_offered.clear();
    m_changelist.clear();
    m_lastError.clear();
    m_scanCalls = m_checkCalls = m_updateCalls = 0;
    Q_EMIT callsChanged();
}

void UpdaterStandIn::scan()
{
    ++m_scanCalls;
    Q_EMIT callsChanged();
}

void UpdaterStandIn::connectToDevice()
{
}

void UpdaterStandIn::checkForUpdates()
{
    ++m_checkCalls;
    Q_EMIT callsChanged();
}

void UpdaterStandIn::update()
{
    ++m_updateCalls;
    Q_EMIT callsChanged();
}
