#ifndef ZUV_TESTS_HTTPFAULTSERVER_H
#define ZUV_TESTS_HTTPFAULTSERVER_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>

class QTcpServer;
class QTcpSocket;

// A small HTTP/1.1 server on 127.0.0.1 for tests that must inject a fault:
// any status, extra headers, a delay, a stall, a reset or a body cut short.
// It runs in the thread that creates it, through that thread's event loop.
class HttpFaultServer : public QObject
{
    Q_OBJECT

public:
    enum Fault {
        NoFault,
        StallBeforeHeaders, // accept the request, never answer
        StallAfterHeaders,  // send headers and `faultAfterBytes` of the body, then hang
        ResetAfterBytes,    // send headers and `faultAfterBytes` of the body, then reset
        CloseAfterBytes     // send headers and `faultAfterBytes` of the body, then close cleanly
    };

    struct Response {
        int status = 200;
        QByteArray body;
        QList<QPair<QByteArray, QByteArray>> headers;
        int delayMs = 0; // before the headers
        Fault fault = NoFault;
        qint64 faultAfterBytes = 0;
    };

    struct Request {
        QByteArray method;
        QByteArray path;
        qint64 receivedAtMs = 0;  // since the server started
        qint64 finishedAtMs = -1; // when the answer was written out or the connection ended
    };

    explicit HttpFaultServer(QObject *parent = nullptr);
    ~HttpFaultServer() override;

    bool listen();
    quint16 port() const;
    QString baseUrl() const; // "http://127.0.0.1:<port>"

    // Answers for a path (exact match on the request target, query included).
    void setResponse(const QByteArray &path, const Response &response);
    void setBody(const QByteArray &path, const QByteArray &body, int status = 200);
    // Answer for every path without its own; a 404 unless set.
    void setDefaultResponse(const Response &response);

    QList<Request> requests() const;
    QList<QByteArray> requestedPaths() const;
    int requestCount(const QByteArray &path) const;
    void clearRequests();
    // Connections whose answer has not been written out yet.
    int pendingAnswers() const;

    // Closes every open connection at once (the stalls included).
    void dropConnections();
    // From now on connections are refused.
    void stopListening();
    // From now on connections wait in the kernel's backlog and are never
    // accepted: a server that is there but does not answer.
    void stopAccepting();

Q_SIGNALS:
    // A request has been read and is about to be answered; a slot may still
    // change the answer for its path, or drop the connection.
    void requestReceived(int requestIndex);

private:
    void acceptConnection();
    void readRequest(QTcpSocket *socket);
    void answer(QTcpSocket *socket, int requestIndex);
    void writeAnswer(QTcpSocket *socket, int requestIndex, const Response &response);

    QTcpServer *m_server;
    QElapsedTimer m_clock;
    QHash<QByteArray, Response> m_responses;
    Response m_default;
    QList<Request> m_requests;
    QHash<QTcpSocket *, QByteArray> m_buffers;
    QList<QTcpSocket *> m_open;
};

#endif
