#include "privatetemp.h"

#include <QDir>
#include <QFile>
#include <QDirIterator>

PrivateTemp::PrivateTemp()
    : m_previous(qgetenv("TMPDIR"))
    , m_hadPrevious(qEnvironmentVariableIsSet("TMPDIR"))
{
    qputenv("TMPDIR", QFile::encodeName(m_dir.path()));
}

PrivateTemp::~PrivateTemp()
{
    if (m_hadPrevious)
        qputenv("TMPDIR", m_previous);
    else
        qunsetenv("TMPDIR");
}

QString PrivateTemp::path() const
{
    return m_dir.path();
}

QStringList PrivateTemp::leftovers() const
{
    QStringList entries;
    const QDir root(m_dir.path());
    QDirIterator it(m_dir.path(), QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        entries.append(root.relativeFilePath(it.next()));
    entries.sort();
    return entries;
}
