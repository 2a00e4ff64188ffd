#ifndef ZUV_TESTS_PRIVATETEMP_H
#define ZUV_TESTS_PRIVATETEMP_H

#include <QStringList>
#include <QTemporaryDir>

// Points the process's temporary location (TMPDIR) at a directory of its
// own, so a test can tell whether the program left anything behind there.
class PrivateTemp
{
public:
    PrivateTemp();
    ~PrivateTemp();

    QString path() const;
    // Everything below the directory, as relative paths.
    QStringList leftovers() const;

private:
    QTemporaryDir m_dir;
    QByteArray m_previous;
    bool m_hadPrevious;
};

#endif
