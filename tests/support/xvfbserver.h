#ifndef ZUV_TESTS_XVFBSERVER_H
#define ZUV_TESTS_XVFBSERVER_H

#include <QString>

#include <sys/types.h>

// An Xvfb server of the test's own, on a display number it picks itself,
// with three screens: 0 is 1920x1080, 1 is 1280x720, 2 is 1080x1920. It goes
// with the test even when the test crashes. It may be started before the
// test's application object exists, so it uses a plain child process rather
// than QProcess.
class XvfbServer
{
public:
    XvfbServer() = default;
    ~XvfbServer() { stop(); }
    XvfbServer(const XvfbServer &) = delete;
    XvfbServer &operator=(const XvfbServer &) = delete;

    // Starts the server and waits, at most 20 seconds, until it takes
    // clients. False, with the reason in *error, when that is not possible.
    bool start(QString *error);
    void stop();

    // ":N"; ":N.1" and ":N.2" are the other screens.
    QString display() const { return m_display; }

private:
    pid_t m_pid = -1;
    QString m_display;
};

#endif
