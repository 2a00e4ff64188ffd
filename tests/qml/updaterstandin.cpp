#include "updaterstandin.h"

void UpdaterStandIn::reset()
{
    m_current.clear();
    m_offered.clear();
    m_changelist.clear();
    m_lastError.clear();
    m_updateError.clear();
    m_scanCalls = m_checkCalls = m_updateCalls = 0;
    Q_EMIT callsChanged();
}
