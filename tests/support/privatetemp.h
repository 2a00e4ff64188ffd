#ifndef ZUV_TESTS_PRIVATETEMP_H
#define ZUV_TESTS_PRIVATETEMP_H

#include <QList>
#include <QPair>
#include <QStringList>
#include <QTemporaryDir>

// Points the process's temporary location at a directory of its own
// (TMPDIR; on Windows TMP and TEMP), so a test can tell whether the program
// left anything behind there. The previous location comes back at the end.
class PrivateTemp
{
public:
    PrivateTemp();
    ~PrivateTemp();

    QString path() const;
    // Everything below the directory, as relative paths.
    QStringList leftovers() const;
    // Points the temporary location somewhere else, one that need not exist.
    void pointAt(const QString &location);

private:
    QTemporaryDir m_dir;
    QList<QPair<QByteArray, QByteArray>> m_previous; // variable, value
    QList<QByteArray> m_unset;
};

#endif
