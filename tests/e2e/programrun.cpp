#include "programrun.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcessEnvironment>
#include <QTest>

namespace {

// Runs an X client on the display; its standard output.
QByteArray runOnDisplay(const QString &display, const QString &program, const QStringList &arguments, bool *ok)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), display);
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    const bool finished = process.waitForFinished(20000);
    if (ok)
        *ok = finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    return process.readAllStandardOutput();
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

QProcessEnvironment ProgramRun::privateHome(const QString &home, const QString &serverUrl)
{
    const QDir dir(home);
    for (const char *path : {"config/ZUV Systems", "runtime", "tmp"})
        dir.mkpath(QString::fromLatin1(path));
    QFile::setPermissions(dir.filePath(QStringLiteral("runtime")), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QFile settings(dir.filePath(QStringLiteral("config/ZUV Systems/ZUV Update Manager.conf")));
    QProcessEnvironment environment;
    if (settings.open(QIODevice::WriteOnly)
        && settings.write(QStringLiteral("[General]\nUpdateServer=%1\n").arg(serverUrl).toUtf8()) > 0) {
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config")));
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.filePath(QStringLiteral("runtime")));
        environment.insert(QStringLiteral("TMPDIR"), dir.filePath(QStringLiteral("tmp")));
        environment.insert(QStringLiteral("XDG_CACHE_HOME"), dir.filePath(QStringLiteral("cache")));
        environment.insert(QStringLiteral("XDG_DATA_HOME"), dir.filePath(QStringLiteral("data")));
        environment.insert(QStringLiteral("HOME"), dir.path());
    }
    return environment;
}

bool ProgramRun::start(QString *error)
{
    const QProcessEnvironment home = privateHome(m_home.path(), m_serverUrl);
    if (home.isEmpty()) {
        *error = QStringLiteral("cannot make the program's directories in %1").arg(m_home.path());
        return false;
    }
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(home);
    environment.insert(QStringLiteral("DISPLAY"), m_display);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
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
        m_window = xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--pid"),
                            QString::number(m_process.processId()), QStringLiteral("--name"), QStringLiteral("^ZUV Updater$")})
                       .section(QLatin1Char('\n'), 0, 0);
    }
    return true;
}

QRect ProgramRun::geometry() const
{
    QMap<QString, int> values;
    const QStringList lines = xdotool({QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), m_window})
                                  .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &line : lines)
        values.insert(line.section(QLatin1Char('='), 0, 0), line.section(QLatin1Char('='), 1).toInt());
    return QRect(values.value(QStringLiteral("X")), values.value(QStringLiteral("Y")), values.value(QStringLiteral("WIDTH")),
                 values.value(QStringLiteral("HEIGHT")));
}

WindowPicture ProgramRun::grab() const
{
    bool ok = false;
    const QByteArray png = runOnDisplay(m_display, QStringLiteral("import"),
                                        {QStringLiteral("-window"), QStringLiteral("root"), QStringLiteral("png:-")}, &ok);
    return ok ? WindowPicture(QImage::fromData(png, "PNG").copy(geometry())) : WindowPicture();
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
    if (isRunning()) {
        // 12 and 10 pixels from the top right corner at a scale of 1.
        const int side = geometry().width();
        click(QPoint(qRound(side - 12 * side / 512.0), qRound(10 * side / 512.0)));
        const QDeadlineTimer deadline(15000);
        while (isRunning() && !deadline.hasExpired())
            QTest::qWait(100);
        if (isRunning())
            return -1;
        readLog();
    }
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

QStringList ProgramRun::leftovers() const
{
    // Its settings file is ours, the runtime directory the session's, and
    // the shader cache Mesa's: the system's GL driver keeps it for every
    // program that draws with it.
    const QStringList ours{QStringLiteral("config"), QStringLiteral("config/ZUV Systems"),
                           QStringLiteral("config/ZUV Systems/ZUV Update Manager.conf"), QStringLiteral("runtime"),
                           QStringLiteral("tmp")};
    QStringList found;
    const QDir home(m_home.path());
    QDirIterator it(home.path(), QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = home.relativeFilePath(it.next());
        if (!ours.contains(path) && !path.startsWith(QLatin1String("runtime/")) && path != QLatin1String("cache")
            && !path.startsWith(QLatin1String("cache/mesa_shader_cache")))
            found.append(path);
    }
    found.sort();
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
    return QString::fromUtf8(runOnDisplay(m_display, QStringLiteral("xdotool"), arguments, ok));
}
