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

protected:
    qint64 readData(char *data, qint64 maxSize) override;

private:
    friend class RequestQueue;

    enum State { Waiting, Sent, Done };

    QueuedReply(RequestQueue *queue, QNetworkAccessManager *manager, const QNetworkRequest &request,
                const QString &server);
    void send();
    void copyMetaData();
    void sentFinished();
    void sentFailed();
    void takeSentError();
    void giveBackConnection();

    QPointer<RequestQueue> m_queue;
    QNetworkAccessManager *m_manager;
    QString m_server;
    // The reply Qt gives once the request is sent. It stays a child of the
    // manager, which deletes every reply below it when it goes, and is
    // deleted with this one.
    QPointer<QNetworkReply> m_sent;
    State m_state = Waiting;
    bool m_holdsConnection = false;
};

} // namespace Helpers

#endif
