#include "xserver.h"

#include <QByteArray>
#include <QStandardPaths>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace
{
const int startTimeoutMs = 20000;
const int stopTimeoutMs = 5000;

void sleepMs(int ms)
{
    const struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}
}

XServer::~XServer()
{
    stop();
}

bool XServer::start()
{
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    if (xvfb.isEmpty()) {
        m_error = QStringLiteral("Xvfb is not installed (Debian package xvfb)");
        return false;
    }

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        m_error = QStringLiteral("cannot create a pipe: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }

    const QByteArray program = xvfb.toLocal8Bit();
    const QByteArray displayFd = QByteArray::number(fds[1]);
    m_pid = fork();
    if (m_pid < 0) {
        m_error = QStringLiteral("cannot start Xvfb: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    if (m_pid == 0) {
        // The server goes with the test, even when the test crashes, and
        // writes its display number to the pipe once it is ready.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        fcntl(fds[1], F_SETFD, 0);
        const int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, STDIN_FILENO);
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
        }
        execl(program.constData(), "Xvfb", "-displayfd", displayFd.constData(),
              "-screen", "0", "1920x1080x24", "-screen", "1", "1280x720x24",
              "-screen", "2", "1080x1920x24", "-nolisten", "tcp", "-noreset",
              static_cast<char *>(nullptr));
        _exit(127);
    }
    close(fds[1]);

    QByteArray number;
    struct pollfd pfd = {fds[0], POLLIN, 0};
    int waited = 0;
    while (!number.endsWith('\n') && waited < startTimeoutMs) {
        const int ready = poll(&pfd, 1, 200);
        waited += 200;
        if (ready > 0) {
            char buffer[16];
            const ssize_t n = read(fds[0], buffer, sizeof buffer);
            if (n <= 0)
                break;
            number.append(buffer, int(n));
        }
    }
    close(fds[0]);

    if (!number.endsWith('\n')) {
        m_error = QStringLiteral("Xvfb did not report a display within %1 ms").arg(startTimeoutMs);
        stop();
        return false;
    }
    m_display = QLatin1Char(':') + QString::fromLatin1(number.trimmed());
    return true;
}

void XServer::stop()
{
    if (m_pid <= 0)
        return;
    kill(m_pid, SIGTERM);
    for (int waited = 0; waited < stopTimeoutMs; waited += 50) {
        if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
            m_pid = -1;
            return;
        }
        sleepMs(50);
    }
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
    m_pid = -1;
}
