#ifndef ZUV_TESTS_XSERVER_H
#define ZUV_TESTS_XSERVER_H

#include <QString>

#include <sys/types.h>

// An Xvfb server of the test's own. It picks a free display number itself
// and has three screens: 1920x1080, 1280x720 and 1080x1920 (portrait).
// It is started before the test's application object exists, so it uses
// plain processes rather than QProcess.
class XServer
{
public:
    XServer() = default;
    ~XServer();
    XServer(const XServer &) = delete;
    XServer &operator=(const XServer &) = delete;

    // Starts the server and waits (bounded) until it accepts clients.
    // Returns false, with a reason in error(), when that is not possible.
    bool start();
    void stop();

    // ":N", the display of the first screen.
    QString display() const { return m_display; }
    QString error() const { return m_error; }

private:
    pid_t m_pid = -1;
    QString m_display;
    QString m_error;
};

#endif
