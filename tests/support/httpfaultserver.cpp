#include "httpfaultserver.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

namespace {

// A zero linger time makes the close send a reset, not a FIN.
void resetOnClose(qintptr descriptor)
{
    const linger noLinger{1, 0};
#ifdef Q_OS_WIN
    ::setsockopt(SOCKET(descriptor), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&noLinger),
                 int(sizeof noLinger));
#else
    ::setsockopt(int(descriptor), SOL_SOCKET, SO_LINGER, &noLinger, sizeof noLinger);
#endif
}

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}

QByteArray headerBlock(const HttpFaultServer::Response &response)
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + ' '
        + reasonPhrase(response.status) + "\r\n";
    head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    head += "Connection: close\r\n";
    for (const auto &header : response.headers)
        head += header.first + ": " + header.second + "\r\n";
    return head + "\r\n";
}

} // namespace

HttpFaultServer::HttpFaultServer(QObject *parent)
    : QObject(parent)
    , m_server(new QTcpServer(this))
{
    m_default.status = 404;
    m_default.body = "not found";
    connect(m_server, &QTcpServer::newConnection, this, &HttpFaultServer::acceptConnection);
}

HttpFaultServer::~HttpFaultServer()
{
    dropConnections();
}

bool HttpFaultServer::listen()
{
    m_clock.start();
    return m_server->listen(QHostAddress::LocalHost, 0);
}

quint16 HttpFaultServer::port() const
{
    return m_server->serverPort();
}

QString HttpFaultServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port());
}

void HttpFaultServer::setResponse(const QByteArray &path, const Response &response)
{
    m_responses.insert(path, response);
}

void HttpFaultServer::setBody(const QByteArray &path, const QByteArray &body, int status)
{
    Response response;
    response.status = status;
    response.body = body;
    setResponse(path, response);
}

void HttpFaultServer::setDefaultResponse(const Response &response)
{
    m_default = response;
}

QList<HttpFaultServer::Request> HttpFaultServer::requests() const
{
    return m_requests;
}

QList<QByteArray> HttpFaultServer::requestedPaths() const
{
    QList<QByteArray> paths;
    for (const Request &request : m_requests)
        paths.append(request.path);
    return paths;
}

int HttpFaultServer::requestCount(const QByteArray &path) const
{
    return int(std::count_if(m_requests.cbegin(), m_requests.cend(),
                             [&](const Request &request) { return request.path == path; }));
}

void HttpFaultServer::clearRequests()
{
    m_requests.clear();
}

int HttpFaultServer::pendingAnswers() const
{
    return int(std::count_if(m_requests.cbegin(), m_requests.cend(),
                             [](const Request &request) { return request.finishedAtMs < 0; }));
}

void HttpFaultServer::dropConnections()
{
    const QList<QTcpSocket *> open = m_open;
    m_open.clear();
    for (QTcpSocket *socket : open) {
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
    m_buffers.clear();
}

void HttpFaultServer::stopListening()
{
    m_server->close();
}

void HttpFaultServer::stopAccepting()
{
    m_server->pauseAccepting();
}

void HttpFaultServer::acceptConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        m_open.append(socket);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readRequest(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_open.removeAll(socket);
            m_buffers.remove(socket);
            socket->deleteLater();
        });
    }
}

void HttpFaultServer::readRequest(QTcpSocket *socket)
{
    QByteArray &buffer = m_buffers[socket];
    buffer += socket->readAll();
    const int end = buffer.indexOf("\r\n\r\n");
    if (end < 0)
        return;
    const QList<QByteArray> requestLine = buffer.left(buffer.indexOf("\r\n")).split(' ');
    buffer.clear();
    disconnect(socket, &QTcpSocket::readyRead, this, nullptr);

    Request request;
    request.method = requestLine.value(0);
    request.path = requestLine.value(1);
    request.receivedAtMs = m_clock.elapsed();
    m_requests.append(request);
    emit requestReceived(m_requests.size() - 1);
    if (m_open.contains(socket))
        answer(socket, m_requests.size() - 1);
}

void HttpFaultServer::answer(QTcpSocket *socket, int requestIndex)
{
    const Response response = m_responses.value(m_requests.at(requestIndex).path, m_default);
    if (response.fault == StallBeforeHeaders)
        return;
    if (response.delayMs > 0) {
        QTimer::singleShot(response.delayMs, socket, [this, socket, requestIndex, response] {
            writeAnswer(socket, requestIndex, response);
        });
        return;
    }
    writeAnswer(socket, requestIndex, response);
}

void HttpFaultServer::writeAnswer(QTcpSocket *socket, int requestIndex, const Response &response)
{
    socket->write(headerBlock(response));
    if (response.fault == NoFault) {
        socket->write(response.body);
        connect(socket, &QTcpSocket::bytesWritten, this, [this, socket, requestIndex] {
            if (socket->bytesToWrite() == 0 && m_requests[requestIndex].finishedAtMs < 0) {
                m_requests[requestIndex].finishedAtMs = m_clock.elapsed();
                socket->disconnectFromHost();
            }
        });
        return;
    }

    socket->write(response.body.left(int(response.faultAfterBytes)));
    socket->flush();
    switch (response.fault) {
    case ResetAfterBytes:
        m_requests[requestIndex].finishedAtMs = m_clock.elapsed();
        QTimer::singleShot(50, socket, [socket] {
            resetOnClose(socket->socketDescriptor());
            socket->abort();
        });
        break;
    case CloseAfterBytes:
        m_requests[requestIndex].finishedAtMs = m_clock.elapsed();
        socket->disconnectFromHost();
        break;
    default: // a stall: keep the connection open and quiet
        break;
    }
}
