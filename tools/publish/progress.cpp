#include "progress.h"

#include <cstdio>

namespace {

constexpr qint64 ReportInterval = 1000; // milliseconds

QString megabytes(qint64 bytes)
{
    return QString::number(double(bytes) / (1024.0 * 1024.0), 'f', 1);
}

QString size(qint64 bytes)
{
    if (bytes < 1024 * 1024)
        return QStringLiteral("%1 KB").arg((bytes + 1023) / 1024);
    return QStringLiteral("%1 MB").arg(megabytes(bytes));
}

} // namespace

Progress::Progress(bool quiet)
    : m_quiet(quiet)
{
}

void Progress::note(const QString &text) const
{
    if (m_quiet)
        return;
    std::fprintf(stderr, "%s\n", qPrintable(text));
    std::fflush(stderr);
}

void Progress::begin(const QString &activity, int fileCount, qint64 byteCount)
{
    m_activity = activity;
    m_files = 0;
    m_fileCount = fileCount;
    m_bytes = 0;
    m_byteCount = byteCount;
    m_reported = false;
    note(QStringLiteral("%1: %2 files, %3").arg(activity).arg(fileCount).arg(size(byteCount)));
    m_sinceReport.start();
}

void Progress::advance(qint64 bytes)
{
    ++m_files;
    m_bytes += bytes;
    if (m_sinceReport.elapsed() >= ReportInterval)
        report();
}

void Progress::end()
{
    if (m_reported)
        report();
}

void Progress::report()
{
    note(QStringLiteral("%1: %2 of %3 files, %4 of %5 MB")
             .arg(m_activity)
             .arg(m_files)
             .arg(m_fileCount)
             .arg(megabytes(m_bytes), megabytes(m_byteCount)));
    m_reported = true;
    m_sinceReport.restart();
}
