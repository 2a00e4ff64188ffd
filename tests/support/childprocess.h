#ifndef ZUV_TESTS_CHILDPROCESS_H
#define ZUV_TESTS_CHILDPROCESS_H

#include <QProcess>

// A process that the kernel ends when the test ends, even when the test
// crashes or is killed on a timeout: no Xvfb or program is left running.
class ChildProcess : public QProcess
{
    Q_OBJECT

public:
    using QProcess::QProcess;

protected:
    void setupChildProcess() override;
};

#endif
