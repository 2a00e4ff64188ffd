#ifndef ZUV_TESTS_PROGRAMRUN_H
#define ZUV_TESTS_PROGRAMRUN_H

#include "childprocess.h"
#include "windowpicture.h"

#include <QObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRect>
#include <QStringList>
#include <QTemporaryDir>

// The real program on an X screen (":N" or ":N.S"), pointed at an update
// server through its "UpdateServer" setting in a configuration directory of
// its own, with its own temporary directory so that what it leaves behind
// can be seen. Its debug log (stderr) is collected line by line.
class ProgramRun : public QObject
{
    Q_OBJECT

public:
    ProgramRun(const QString &display, const QString &serverUrl);
    ~ProgramRun() override;

    // Makes configuration, runtime and temporary directories below `home`,
    // with the update server in the settings. The variables that point the
    // program at them; none when that failed.
    static QProcessEnvironment privateHome(const QString &home, const QString &serverUrl);

    // Starts the program and waits, at most 30 seconds, for its window.
    bool start(QString *error);
    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }

    QStringList log() const { return m_log; }
    int logCount(const QString &text) const { return m_log.filter(text).size(); }

    // The window's frame on its screen, as it is now.
    QRect geometry() const;
    WindowPicture grab() const;
    bool click(const QPoint &inWindow);
    // Clicks the window's close button, wherever the window's scale puts
    // it, and waits, at most 15 seconds, for the program to end. The exit
    // code, or -1 when it crashed or hung.
    int closeWindow();

    // What the program wrote to its home, temporary, cache and data
    // directories and left there: it keeps nothing but its settings.
    QStringList leftovers() const;

    // xdotool's output on the program's screen.
    QString xdotool(const QStringList &arguments, bool *ok = nullptr) const;

private:
    void readLog();

    QString m_display;
    QString m_serverUrl;
    QTemporaryDir m_home;
    ChildProcess m_process;
    QByteArray m_partialLine;
    QStringList m_log;
    QString m_window;
};

#endif
