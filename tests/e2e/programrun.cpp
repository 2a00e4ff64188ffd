#include "programrun.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcessEnvironment>
#include <QTest>

namespace {

QString homePath(const QTemporaryDir &home, const char *name)
{
    return home.filePath(QString::fromLatin1(name));
}

} // namespace

ProgramRun::ProgramRun(const QString &display, const QString &serverUrl)
    : m_display(display)
    , m_serverUrl(serverUrl)
{
    connect(&m_process, &QProcess::readyReadStandardError, this, &ProgramRun::readLog);
}

ProgramRun::~ProgramRun()
{
    if (isRunning()) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

bool ProgramRun::start(QString *error)
{
    const QString config = homePath(m_home, "config");
    const QString runtime = homePath(m_home, "runtime");
    const QString temp = homePath(m_home, "tmp");
    QDir().mkpath(config + QStringLiteral("/ZUV Systems"));
    QDir().mkpath(runtime);
    QDir().mkpath(temp);
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QFile settings(config + QStringLiteral("/ZUV Systems/ZUV Update Manager.conf"));
    if (!settings.open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("cannot write %1").arg(settings.fileName());
        return false;
    }
    settings.write(QStringLiteral("[General]\nUpdateServer=%1\n").arg(m_serverUrl).toUtf8());
    settings.close();

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), m_display);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    environment.insert(QStringLiteral("TMPDIR"), temp);
    m_process.setProcessEnvironment(environment);
    m_process.setStandardOutputFile(QProcess::nullDevice());
    m_process.start(QStringLiteral(ZUV_PROGRAM), QStringList());
    if (!m_process.waitForStarted(10000)) {
        *error = QStringLiteral("the program did not start: %1").arg(m_process.errorString());
        return false;
    }

    const QDeadlineTimer deadline(30000);
    while (m_window.isEmpty()) {
        if (deadline.hasExpired() || !isRunning()) {
            *error = QStringLiteral("no program window within 30 s; log:\n%1").arg(m_log.join(QLatin1Char('\n')));
            return false;
        }
        QTest::qWait(100);
        m_window = xdotool({QStringLiteral("search"), QStringLiteral("--name"), QStringLiteral("^ZUV Updater$")})
                       .section(QLatin1Char('\n'), 0, 0);
    }
    QMap<QString, int> values;
    const QStringList lines = xdotool({QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), m_window})
                                  .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &line : lines)
        values.insert(line.section(QLatin1Char('='), 0, 0), line.section(QLatin1Char('='), 1).toInt());
    m_geometry = QRect(values.value(QStringLiteral("X")), values.value(QStringLiteral("Y")),
                       values.value(QStringLiteral("WIDTH")), values.value(QStringLiteral("HEIGHT")));
    if (m_geometry.width() != 512 || m_geometry.height() != 512) {
        *error = QStringLiteral("the window measures %1 x %2, not 512 x 512").arg(m_geometry.width()).arg(m_geometry.height());
        return false;
    }
    return true;
}

int ProgramRun::logCount(const QString &text) const
{
    int count = 0;
    for (const QString &line : m_log)
        count += line.contains(text) ? 1 : 0;
    return count;
}

WindowPicture ProgramRun::grab() const
{
    QProcess import;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), m_display);
    import.setProcessEnvironment(environment);
    import.start(QStringLiteral("import"), {QStringLiteral("-window"), QStringLiteral("root"), QStringLiteral("png:-")});
    if (!import.waitForFinished(20000) || import.exitCode() != 0)
        return WindowPicture();
    const QImage screen = QImage::fromData(import.readAllStandardOutput(), "PNG");
    return WindowPicture(screen.copy(m_geometry));
}

bool ProgramRun::click(const QPoint &inWindow)
{
    bool ok = false;
    xdotool({QStringLiteral("mousemove"), QStringLiteral("--window"), m_window, QString::number(inWindow.x()),
             QString::number(inWindow.y()), QStringLiteral("click"), QStringLiteral("1")},
            &ok);
    return ok;
}

int ProgramRun::closeWindow()
{
    if (!isRunning())
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    click(WindowPicture::closeButton());
    const QDeadlineTimer deadline(15000);
    while (isRunning() && !deadline.hasExpired())
        QTest::qWait(100);
    if (isRunning())
        return -1;
    readLog();
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

QStringList ProgramRun::temporaryLeftovers() const
{
    QStringList found;
    const QString temp = homePath(m_home, "tmp");
    QDirIterator it(temp, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        found.append(QDir(temp).relativeFilePath(it.next()));
    return found;
}

void ProgramRun::readLog()
{
    m_partialLine += m_process.readAllStandardError();
    int end;
    while ((end = m_partialLine.indexOf('\n')) >= 0) {
        m_log.append(QString::fromUtf8(m_partialLine.left(end)));
        m_partialLine.remove(0, end + 1);
    }
}

QString ProgramRun::xdotool(const QStringList &arguments, bool *ok) const
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), m_display);
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral("xdotool"), arguments);
    const bool finished = process.waitForFinished(10000);
    if (ok)
        *ok = finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    return QString::fromUtf8(process.readAllStandardOutput());
}
