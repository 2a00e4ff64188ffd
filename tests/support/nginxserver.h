#ifndef ZUV_TESTS_NGINXSERVER_H
#define ZUV_TESTS_NGINXSERVER_H

#include "childprocess.h"

#include <QString>
#include <QTemporaryDir>

// nginx serving a directory tree on a free loopback port, the way the
// update server publishes a release. Stopped when destroyed.
class NginxServer
{
public:
    explicit NginxServer(const QString &documentRoot);
    ~NginxServer();

    static QString executable(); // empty when nginx is not installed

    bool start(QString *error = nullptr);
    void stop();
    quint16 port() const { return m_port; }
    QString baseUrl() const; // "http://127.0.0.1:<port>"
    // The access log, one line per request: "<status> <request path>".
    QStringList accessLog() const;

private:
    QString m_documentRoot;
    QTemporaryDir m_prefix;
    ChildProcess m_process;
    quint16 m_port = 0;
};

#endif
