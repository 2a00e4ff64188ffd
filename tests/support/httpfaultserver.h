#ifndef ZUV_TESTS_HTTPFAULTSERVER_H
#define ZUV_TESTS_HTTPFAULTSERVER_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QTcpSocket>

class QTcpServer;
class QTimer;

// A small HTTP/1.1 server on 127.0.0.1 for tests that must inject a fault:
// any status, extra headers, a delay, a stall, a reset or a body cut short.
// It can also play a slow link: one bandwidth shared by all answers,
// bodies sent a few bytes at a time or pausing half way. It runs in the thread that creates it, through that thread's
// event loop.
class HttpFaultServer : public QObject
{
    Q_OBJECT

public:
    enum Fault {
        NoFault,
        StallBeforeHeaders, // accept the request, never answer
        StallAfterHeaders,  // send headers and `faultAfterBytes` of the body, then hang
        ResetAfterBytes,    // send headers and `faultAfterBytes` of the body, then reset
        CloseAfterBytes,    // send headers and `faultAfterBytes` of the body, then close cleanly
        PauseAfterBytes     // send headers and `faultAfterBytes` of the body, wait `pauseMs`, send the rest
    };

    struct Response {
        int status = 200;
        QByteArray body;
        QList<QPair<QByteArray, QByteArray>> headers;
        int delayMs = 0; // before the headers
        qint64 announcedLength = -1; // the Content-Length sent, if not the body's
        // NoLength: no Content-Length; the body ends when the connection does.
        static constexpr qint64 NoLength = -2;
        Fault fault = NoFault;
        qint64 faultAfterBytes = 0;
        int pauseMs = 0;
        // When set, the body goes out `trickleBytes` at a time, one portion
        // every `trickleIntervalMs` (the first at once).
        qint64 trickleBytes = 0;
        int trickleIntervalMs = 0;
    };

    struct Request {
        QByteArray method;
        QByteArray path;
        qint64 receivedAtMs = 0;  // since the server started
        qint64 finishedAtMs = -1; // when the answer was written out or the connection ended
        qint64 bodyBytes = 0;     // of the body sent
        qint64 rangeFrom = -1;    // "Range: bytes=N-" asked for the body from N on
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
    // The link: bodies of all answers together get at most this many bytes
    // a second (0: no limit).
    void setBandwidth(qint64 bytesPerSecond);
    // Paths without an answer of their own are served from the files below
    // this directory (404 where there is none), read when asked for.
    void setDocumentRoot(const QString &directory);
    // The answer during which the bodies sent in all reach this many bytes
    // is reset there; once, then the link is sound again.
    void resetAtTotalBytes(qint64 bytes);
    // Whether a request for the body from byte N on ("Range: bytes=N-") is
    // answered 206 with those bytes (the default), or 200 with the whole.
    void setRangesHonoured(bool honoured);
    // Body bytes sent in all, and the time the reset above happened (-1
    // before), both since the server started.
    qint64 bodyBytesSent() const;
    qint64 resetAtMs() const;

    QList<Request> requests() const;
    QList<QByteArray> requestedPaths() const;
    int requestCount(const QByteArray &path) const;
    void clearRequests();

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
    void endBody(QTcpSocket *socket, int requestIndex, Fault fault);
    void pumpBodies();
    Response responseFor(const QByteArray &path) const;

    // A body that goes out over time.
    struct Outgoing {
        QPointer<QTcpSocket> socket;
        int requestIndex = 0;
        Response response;
        qint64 end = 0; // bytes of the body sent before the fault, or all of it
        qint64 sent = 0;
        qint64 resumeAtMs = 0;
        bool paused = false;
    };

    QTcpServer *m_server;
    QElapsedTimer m_clock;
    QHash<QByteArray, Response> m_responses;
    Response m_default;
    QList<Request> m_requests;
    QHash<QTcpSocket *, QByteArray> m_buffers;
    QList<QTcpSocket *> m_open;
    QList<Outgoing> m_outgoing;
    QTimer *m_pump;
    qint64 m_bandwidth = 0;
    double m_allowance = 0; // bytes the link may still carry now
    qint64 m_pumpedAtMs = 0;
    int m_nextTurn = 0;     // the body that is served first on the next tick
    QString m_documentRoot;
    qint64 m_resetAtTotal = -1;
    qint64 m_bodyBytesSent = 0;
    qint64 m_resetAtMs = -1;
    bool m_rangesHonoured = true;
};

#endif
