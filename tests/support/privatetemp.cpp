#include "privatetemp.h"

#include <QDir>
#include <QFile>
#include <QDirIterator>

namespace {

// What QDir::tempPath() reads: TMPDIR on Unix, TMP then TEMP on Windows.
QList<QByteArray> locationVariables()
{
#ifdef Q_OS_WIN
    return {"TMP", "TEMP"};
#else
    return {"TMPDIR"};
#endif
}

} // namespace

PrivateTemp::PrivateTemp()
{
    for (const QByteArray &variable : locationVariables()) {
        if (qEnvironmentVariableIsSet(variable.constData()))
            m_previous.append({variable, qgetenv(variable.constData())});
        else
            m_unset.append(variable);
    }
    pointAt(m_dir.path());
}

PrivateTemp::~PrivateTemp()
{
    for (const auto &previous : qAsConst(m_previous))
        qputenv(previous.first.constData(), previous.second);
    for (const QByteArray &variable : qAsConst(m_unset))
        qunsetenv(variable.constData());
}

void PrivateTemp::pointAt(const QString &location)
{
    for (const QByteArray &variable : locationVariables())
        qputenv(variable.constData(), QFile::encodeName(QDir::toNativeSeparators(location)));
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
