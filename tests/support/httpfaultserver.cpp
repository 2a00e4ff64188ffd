#include "httpfaultserver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <climits>
#include <functional>

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

// How often bodies that go out over time are served, and how much may wait
// in a socket's buffer: the link's pace is set here, not by the kernel.
constexpr int PumpIntervalMs = 5;
constexpr qint64 MaximumQueuedBytes = 64 * 1024;

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 206: return "Partial Content";
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
    const qint64 length = response.announcedLength >= 0 ? response.announcedLength : response.body.size();
    if (response.announcedLength != HttpFaultServer::Response::NoLength)
        head += "Content-Length: " + QByteArray::number(length) + "\r\n";
    head += "Connection: close\r\n";
    for (const auto &header : response.headers)
        head += header.first + ": " + header.second + "\r\n";
    return head + "\r\n";
}

} // namespace

HttpFaultServer::HttpFaultServer(QObject *parent)
    : QObject(parent)
    , m_server(new QTcpServer(this))
    , m_pump(new QTimer(this))
{
    m_pump->setInterval(PumpIntervalMs);
    connect(m_pump, &QTimer::timeout, this, &HttpFaultServer::pumpBodies);
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

void HttpFaultServer::setBandwidth(qint64 bytesPerSecond)
{
    m_bandwidth = bytesPerSecond;
}

void HttpFaultServer::setDocumentRoot(const QString &directory)
{
    m_documentRoot = directory;
}

void HttpFaultServer::resetAtTotalBytes(qint64 bytes)
{
    m_resetAtTotal = bytes;
}

qint64 HttpFaultServer::bodyBytesSent() const
{
    return m_bodyBytesSent;
}

qint64 HttpFaultServer::resetAtMs() const
{
    return m_resetAtMs;
}

HttpFaultServer::Response HttpFaultServer::responseFor(const QByteArray &path) const
{
    const auto own = m_responses.constFind(path);
    if (own != m_responses.cend() || m_documentRoot.isEmpty())
        return own != m_responses.cend() ? *own : m_default;
    const QString relative = QUrl::fromPercentEncoding(path.split('?').first());
    QFile file(m_documentRoot + QDir::cleanPath(QLatin1Char('/') + relative));
    if (!QFileInfo(file).isFile() || !file.open(QIODevice::ReadOnly))
        return m_default;
    Response response;
    response.body = file.readAll();
    return response;
}

void HttpFaultServer::setRangesHonoured(bool honoured)
{
    m_rangesHonoured = honoured;
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
    m_outgoing.clear();
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
    const QList<QByteArray> lines = buffer.left(end).split('\n');
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    qint64 rangeFrom = -1;
    for (const QByteArray &line : lines) {
        const QByteArray header = line.trimmed().toLower();
        if (header.startsWith("range: bytes=") && header.endsWith('-'))
            rangeFrom = header.mid(13, header.size() - 14).toLongLong();
    }
    buffer.clear();
    disconnect(socket, &QTcpSocket::readyRead, this, nullptr);

    Request request;
    request.method = requestLine.value(0);
    request.path = requestLine.value(1);
    request.receivedAtMs = m_clock.elapsed();
    request.rangeFrom = rangeFrom;
    m_requests.append(request);
    emit requestReceived(m_requests.size() - 1);
    if (m_open.contains(socket))
        answer(socket, m_requests.size() - 1);
}

void HttpFaultServer::answer(QTcpSocket *socket, int requestIndex)
{
    Response response = responseFor(m_requests.at(requestIndex).path);
    const qint64 from = m_requests.at(requestIndex).rangeFrom;
    if (from >= 0 && m_rangesHonoured && response.status == 200 && from < response.body.size()) {
        response.status = 206;
        response.headers.append({"Content-Range", "bytes " + QByteArray::number(from) + '-'
                                     + QByteArray::number(response.body.size() - 1) + '/'
                                     + QByteArray::number(response.body.size())});
        response.body = response.body.mid(int(from));
    }
    if (response.fault == StallBeforeHeaders)
        return;
    const int delayMs = response.delayMs;
    if (delayMs > 0) {
        QTimer::singleShot(delayMs, socket, [this, socket, requestIndex, response] {
            writeAnswer(socket, requestIndex, response);
        });
        return;
    }
    writeAnswer(socket, requestIndex, response);
}

void HttpFaultServer::writeAnswer(QTcpSocket *socket, int requestIndex, const Response &response)
{
    socket->write(headerBlock(response));
    const bool cut = response.fault == StallAfterHeaders || response.fault == ResetAfterBytes
        || response.fault == CloseAfterBytes;
    const qint64 end = cut ? qMin(response.faultAfterBytes, qint64(response.body.size())) : response.body.size();
    const bool paced = m_bandwidth > 0 || response.trickleBytes > 0 || response.fault == PauseAfterBytes
        || m_resetAtTotal >= 0;
    if (!paced) {
        socket->write(response.body.left(int(end)));
        m_bodyBytesSent += end;
        m_requests[requestIndex].bodyBytes = end;
        endBody(socket, requestIndex, response.fault);
        return;
    }
    Outgoing outgoing;
    outgoing.socket = socket;
    outgoing.requestIndex = requestIndex;
    outgoing.response = response;
    outgoing.end = end;
    m_outgoing.append(outgoing);
    if (!m_pump->isActive()) {
        m_pumpedAtMs = m_clock.elapsed();
        m_pump->start();
    }
    pumpBodies();
}

// Sends what each paced body may send now: its share of the bandwidth, up
// to its next pause or portion, in turns so that no answer goes first
// every time.
void HttpFaultServer::pumpBodies()
{
    const qint64 now = m_clock.elapsed();
    if (m_bandwidth > 0)
        m_allowance = qMin(m_allowance + (now - m_pumpedAtMs) * m_bandwidth / 1000.0, m_bandwidth / 20.0 + 1);
    m_pumpedAtMs = now;
    const auto gone = [](const Outgoing &o) {
        return !o.socket || o.socket->state() != QAbstractSocket::ConnectedState;
    };
    m_outgoing.erase(std::remove_if(m_outgoing.begin(), m_outgoing.end(), gone), m_outgoing.end());
    QList<int> ready;
    for (int i = 0; i < m_outgoing.size(); ++i) {
        const int k = (m_nextTurn + i) % m_outgoing.size();
        const Outgoing &o = m_outgoing.at(k);
        if (o.resumeAtMs <= now && o.socket->bytesToWrite() < MaximumQueuedBytes)
            ready.append(k);
    }
    ++m_nextTurn;
    const qint64 share = m_bandwidth > 0 ? qint64(m_allowance / qMax(1, ready.size())) : LLONG_MAX;
    QList<int> finished;
    for (const int k : qAsConst(ready)) {
        Outgoing &o = m_outgoing[k];
        const Response &response = o.response;
        qint64 n = qMin(o.end - o.sent, share);
        if (response.fault == PauseAfterBytes && !o.paused)
            n = qMin(n, qMax(qint64(0), response.faultAfterBytes - o.sent));
        if (response.trickleBytes > 0)
            n = qMin(n, response.trickleBytes);
        const bool reset = m_resetAtTotal >= 0 && m_bodyBytesSent + n >= m_resetAtTotal;
        if (reset) {
            n = m_resetAtTotal - m_bodyBytesSent;
            m_resetAtTotal = -1;
            m_resetAtMs = now;
            o.response.fault = ResetAfterBytes;
            o.end = o.sent + n;
        }
        if (n > 0) {
            o.socket->write(response.body.constData() + o.sent, n);
            o.sent += n;
            m_bodyBytesSent += n;
            m_requests[o.requestIndex].bodyBytes += n;
            if (m_bandwidth > 0)
                m_allowance -= n;
            if (response.trickleBytes > 0)
                o.resumeAtMs = now + response.trickleIntervalMs;
        }
        if (response.fault == PauseAfterBytes && !o.paused && o.sent >= response.faultAfterBytes) {
            o.paused = true;
            o.resumeAtMs = now + response.pauseMs;
        }
        if (o.sent >= o.end && (o.paused || response.fault != PauseAfterBytes))
            finished.append(k);
    }
    std::sort(finished.begin(), finished.end(), std::greater<int>());
    for (const int k : qAsConst(finished)) {
        const Outgoing o = m_outgoing.takeAt(k);
        endBody(o.socket, o.requestIndex, o.response.fault);
    }
    if (m_outgoing.isEmpty())
        m_pump->stop();
}

void HttpFaultServer::endBody(QTcpSocket *socket, int requestIndex, Fault fault)
{
    switch (fault) {
    case NoFault:
    case PauseAfterBytes: {
        const auto complete = [this, socket, requestIndex] {
            if (socket->bytesToWrite() == 0 && m_requests[requestIndex].finishedAtMs < 0) {
                m_requests[requestIndex].finishedAtMs = m_clock.elapsed();
                socket->disconnectFromHost();
            }
        };
        connect(socket, &QTcpSocket::bytesWritten, this, complete);
        if (socket->bytesToWrite() == 0)
            complete();
        break;
    }
    case ResetAfterBytes:
        socket->flush();
        m_requests[requestIndex].finishedAtMs = m_clock.elapsed();
        QTimer::singleShot(50, socket, [socket] {
            resetOnClose(socket->socketDescriptor());
            socket->abort();
        });
        break;
    case CloseAfterBytes:
        socket->flush();
        m_requests[requestIndex].finishedAtMs = m_clock.elapsed();
        socket->disconnectFromHost();
        break;
    default: // a stall: keep the connection open and quiet
        socket->flush();
        break;
    }
}
