#include "xvfbserver.h"

#include <QByteArray>
#include <QStandardPaths>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

bool XvfbServer::start(QString *error)
{
    const QByteArray xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb")).toLocal8Bit();
    int fds[2];
    if (xvfb.isEmpty() || pipe2(fds, O_CLOEXEC) != 0) {
        *error = xvfb.isEmpty() ? QStringLiteral("Xvfb is not installed (Debian package xvfb)")
                                : QStringLiteral("cannot create a pipe: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    const QByteArray displayFd = QByteArray::number(fds[1]);
    m_pid = fork();
    if (m_pid < 0) {
        *error = QStringLiteral("cannot start Xvfb: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    if (m_pid == 0) {
        // With -displayfd Xvfb picks a free display and writes its number
        // to the pipe once it accepts connections.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        fcntl(fds[1], F_SETFD, 0);
        const int null = open("/dev/null", O_RDWR);
        for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
            dup2(null, fd);
        execl(xvfb.constData(), "Xvfb", "-displayfd", displayFd.constData(), "-screen", "0", "1920x1080x24", "-screen",
              "1", "1280x720x24", "-screen", "2", "1080x1920x24", "-nolisten", "tcp", "-noreset",
              static_cast<char *>(nullptr));
        _exit(127);
    }
    close(fds[1]);

    QByteArray number;
    struct pollfd pfd = {fds[0], POLLIN, 0};
    for (int waited = 0; !number.endsWith('\n') && waited < 20000; waited += 200) {
        char buffer[16];
        const ssize_t n = poll(&pfd, 1, 200) > 0 ? read(fds[0], buffer, sizeof buffer) : 0;
        if (n < 0 || (n == 0 && pfd.revents & POLLHUP))
            break;
        number.append(buffer, int(n));
    }
    close(fds[0]);
    if (!number.endsWith('\n')) {
        *error = QStringLiteral("Xvfb did not open a display within 20 s");
        stop();
        return false;
    }
    m_display = QLatin1Char(':') + QString::fromLatin1(number.trimmed());
    return true;
}

void XvfbServer::stop()
{
    if (m_pid <= 0)
        return;
    kill(m_pid, SIGTERM);
    for (int waited = 0; waited < 5000; waited += 50) {
        if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
            m_pid = -1;
            return;
        }
        usleep(50000);
    }
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
    m_pid = -1;
}
