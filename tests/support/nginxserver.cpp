#include "nginxserver.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

namespace {

quint16 freeLoopbackPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

bool portAnswers(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(200);
}

QString configuration(const QString &prefix, const QString &root, quint16 port)
{
    return QStringLiteral(
        "daemon off;\n"
        "master_process off;\n"
        "worker_processes 1;\n"
        "pid %1/nginx.pid;\n"
        "error_log %1/error.log warn;\n"
        "events { worker_connections 256; }\n"
        "http {\n"
        "    log_format zuv '$status $request_uri';\n"
        "    access_log %1/access.log zuv;\n"
        "    client_body_temp_path %1/body;\n"
        "    proxy_temp_path %1/proxy;\n"
        "    fastcgi_temp_path %1/fastcgi;\n"
        "    uwsgi_temp_path %1/uwsgi;\n"
        "    scgi_temp_path %1/scgi;\n"
        "    types { text/plain txt ZUV; }\n"
        "    default_type application/octet-stream;\n"
        "    sendfile on;\n"
        "    server {\n"
        "        listen 127.0.0.1:%3;\n"
        "        root %2;\n"
        "    }\n"
        "}\n")
        .arg(prefix, root)
        .arg(port);
}

} // namespace

NginxServer::NginxServer(const QString &documentRoot)
    : m_documentRoot(QDir(documentRoot).absolutePath())
{
}

NginxServer::~NginxServer()
{
    stop();
}

QString NginxServer::executable()
{
    const QString inPath = QStandardPaths::findExecutable(QStringLiteral("nginx"));
    if (!inPath.isEmpty())
        return inPath;
    return QStandardPaths::findExecutable(QStringLiteral("nginx"), {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
}

bool NginxServer::start(QString *error)
{
    const QString program = executable();
    if (program.isEmpty()) {
        if (error)
            *error = QStringLiteral("nginx is not installed");
        return false;
    }
    // A port found free may be taken by someone else before nginx binds it:
    // try a few times.
    for (int attempt = 0; attempt < 5; ++attempt) {
        m_port = freeLoopbackPort();
        const QString conf = m_prefix.filePath(QStringLiteral("nginx.conf"));
        QFile file(conf);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            if (error)
                *error = QStringLiteral("cannot write %1").arg(conf);
            return false;
        }
        file.write(configuration(m_prefix.path(), m_documentRoot, m_port).toUtf8());
        file.close();

        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(program, {QStringLiteral("-p"), m_prefix.path(), QStringLiteral("-c"), conf});
        if (!m_process.waitForStarted(5000))
            continue;
        QDeadlineTimer deadline(5000);
        while (!deadline.hasExpired() && m_process.state() == QProcess::Running) {
            if (portAnswers(m_port))
                return true;
            QThread::msleep(20);
        }
        stop();
    }
    if (error)
        *error = QStringLiteral("nginx did not start; see %1/error.log").arg(m_prefix.path());
    return false;
}

void NginxServer::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

QString NginxServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_port);
}

QStringList NginxServer::accessLog() const
{
    QFile file(m_prefix.filePath(QStringLiteral("access.log")));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}
