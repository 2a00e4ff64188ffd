#include "xvfbdisplay.h"

#include <QDeadlineTimer>

XvfbDisplay::~XvfbDisplay()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

bool XvfbDisplay::start(QString *error)
{
    // With -displayfd Xvfb chooses a free display and writes its number
    // once it accepts connections.
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    m_process.setStandardErrorFile(QProcess::nullDevice());
    m_process.start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                                             QStringLiteral("0"), QStringLiteral("1920x1080x24"),
                                             QStringLiteral("-nolisten"), QStringLiteral("tcp")});
    if (!m_process.waitForStarted(5000)) {
        *error = QStringLiteral("Xvfb did not start: %1").arg(m_process.errorString());
        return false;
    }
    const QDeadlineTimer deadline(15000);
    while (!m_process.canReadLine()) {
        if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning) {
            *error = QStringLiteral("Xvfb did not open a display within 15 s");
            return false;
        }
        m_process.waitForReadyRead(200);
    }
    m_display = QLatin1Char(':') + QString::fromLatin1(m_process.readLine().trimmed());
    return true;
}
