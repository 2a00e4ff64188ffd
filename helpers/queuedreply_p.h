#ifndef ZUV_HELPERS_QUEUEDREPLY_H
#define ZUV_HELPERS_QUEUEDREPLY_H

#include <QNetworkReply>
#include <QPointer>

namespace Helpers {

class RequestQueue;

// The reply to a GET that may still wait in a RequestQueue. It behaves like
// the reply Qt gives once the request is sent: the same signals, headers,
// attributes, errors and body, read from the reply of the request Qt sends.
class QueuedReply : public QNetworkReply
{
    Q_OBJECT

public:
    ~QueuedReply() override;

    void abort() override;
    void setReadBufferSize(qint64 size) override;
    qint64 bytesAvailable() const override;

    // The bytes of the body received so far, for telling a body cut short.
    qint64 bytesReceived() const;
    // A body beyond this size, received or announced, aborts the transfer.
    void setMaximumBodySize(qint64 size);
    bool bodyTooLarge() const;

protected:
    qint64 readData(char *data, qint64 maxSize) override;

private:
    friend class RequestQueue;

    enum State { Waiting, Sent, Done };

    QueuedReply(RequestQueue *queue, QNetworkAccessManager *manager, const QNetworkRequest &request,
                const QString &server);
    void send(QNetworkAccessManager *manager);
    void copyMetaData();
    void sentFinished();
    void sentFailed();
    void takeSentError();
    void giveBackConnection();
    void countProgress(qint64 received, qint64 total);

    QPointer<RequestQueue> m_queue;
    QString m_server;
    // The reply Qt gives once the request is sent. It stays a child of the
    // manager that sent it, which deletes every reply below it when it
    // goes, and is deleted with this one.
    QPointer<QNetworkReply> m_sent;
    State m_state = Waiting;
    bool m_holdsConnection = false;
    bool m_onFirstManager = false;
    qint64 m_bytesReceived = 0;
    qint64 m_maximumBodySize = -1; // none
    bool m_bodyTooLarge = false;
};

} // namespace Helpers

#endif
