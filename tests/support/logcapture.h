#ifndef ZUV_TESTS_LOGCAPTURE_H
#define ZUV_TESTS_LOGCAPTURE_H

#include <QMutex>
#include <QStringList>
#include <QtGlobal>

// Collects every line the program logs while it lives (from any thread),
// and still passes them on to the previous handler.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();

    QStringList lines() const;
    bool contains(const QString &text) const;
    int count(const QString &text) const;
    void clear();

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &message);
    QtMessageHandler m_previous;
    mutable QMutex m_mutex;
    QStringList m_lines;
};

#endif
