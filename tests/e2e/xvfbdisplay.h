#ifndef ZUV_TESTS_XVFBDISPLAY_H
#define ZUV_TESTS_XVFBDISPLAY_H

#include "childprocess.h"

#include <QString>

// A virtual X screen of 1920 x 1080 pixels for the program's window, on a
// display number Xvfb picks itself. Stopped when destroyed.
class XvfbDisplay
{
public:
    XvfbDisplay() = default;
    ~XvfbDisplay();
    XvfbDisplay(const XvfbDisplay &) = delete;
    XvfbDisplay &operator=(const XvfbDisplay &) = delete;

    // Starts Xvfb and waits, at most 15 seconds, until it takes clients.
    bool start(QString *error);
    QString display() const { return m_display; } // ":N"

private:
    ChildProcess m_process;
    QString m_display;
};

#endif
