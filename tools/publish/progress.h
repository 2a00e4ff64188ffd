#ifndef ZUV_PUBLISH_PROGRESS_H
#define ZUV_PUBLISH_PROGRESS_H

#include <QElapsedTimer>
#include <QString>

// Tells the user on stderr how far a long run has come: a line when a step
// begins, and while its files are read at most one line a second.
class Progress
{
public:
    explicit Progress(bool quiet = false);

    void note(const QString &text) const;
    void begin(const QString &activity, int fileCount, qint64 byteCount);
    void advance(qint64 bytes);
    void end();

private:
    void report();

    bool m_quiet;
    QString m_activity;
    int m_files = 0;
    int m_fileCount = 0;
    qint64 m_bytes = 0;
    qint64 m_byteCount = 0;
    bool m_reported = false;
    QElapsedTimer m_sinceReport;
};

#endif
