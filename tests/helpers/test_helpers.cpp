#include "helpers/io.h"
#include "helpers/lockedtempdir.h"
#include "helpers/network.h"
#include "helpers/requestqueue.h"
#include "httpfaultserver.h"
#include "logcapture.h"
#include "privatetemp.h"

#include <QBuffer>
#include <QDir>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QtTest>

#include <algorithm>
#include <memory>

namespace {

// A target that takes at most `chunk` bytes per write, and fails every
// write once `capacity` bytes are in.
class NarrowDevice : public QIODevice
{
public:
    NarrowDevice(qint64 chunk, qint64 capacity)
        : m_chunk(chunk)
        , m_capacity(capacity)
    {
        open(QIODevice::WriteOnly);
    }

    QByteArray data;

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *bytes, qint64 size) override
    {
        if (data.size() >= m_capacity) {
            setErrorString(QStringLiteral("device full"));
            return -1;
        }
        const qint64 n = qMin(qMin(size, m_chunk), m_capacity - data.size());
        data.append(bytes, int(n));
        return n;
    }

private:
    qint64 m_chunk;
    qint64 m_capacity;
};

} // namespace

class TestHelpers : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void copy_data();
    void copy();
    void startRemovesOnlyAbandonedDirectories();
    void requestsWaitForAConnection();
    void waitingIsNoStall();
};

void TestHelpers::copy_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("chunk");    // bytes the target takes per write
    QTest::addColumn<int>("capacity"); // bytes the target takes in all
    const int all = 1024 * 1024;
    QTest::newRow("nothing to read") << 0 << all << all;
    QTest::newRow("a few bytes") << 7 << all << all;
    QTest::newRow("target takes a little at a time") << 100000 << 4096 << all;
    QTest::newRow("target fills up") << 50000 << 1000 << 3500;
}

void TestHelpers::copy()
{
    QFETCH(int, size);
    QFETCH(int, chunk);
    QFETCH(int, capacity);
    QByteArray source(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        source[i] = char(i * 131 + i / 251);
    QBuffer from(&source);
    QVERIFY(from.open(QIODevice::ReadOnly));
    NarrowDevice to(chunk, capacity);
    LogCapture log;

    const bool fits = size <= capacity;
    QCOMPARE(Helpers::IO::copy(&from, &to), fits);
    QCOMPARE(to.data, source.left(capacity));
    QCOMPARE(log.contains("bool Helpers::IO::copy(QIODevice*, QIODevice*) "
                          "Failed to write data, update will fail: \"device full\""),
             !fits);
    if (fits) { // nothing left: a second call writes nothing more
        QVERIFY(Helpers::IO::copy(&from, &to));
        QCOMPARE(to.data.size(), size);
    }
}

// Ten requests to one server are on the wire at once, more than one
// manager of Qt sends; requests beyond them wait on our side,
// reach the server as connections come free, and go without a trace when
// abandoned while waiting. A large body comes through a small read buffer
// whole.
void TestHelpers::requestsWaitForAConnection()
{
    HttpFaultServer server;
    QVERIFY(server.listen());
    HttpFaultServer::Response silent;
    silent.fault = HttpFaultServer::StallBeforeHeaders;
    server.setDefaultResponse(silent);
    const QByteArray body(3 * 1024 * 1024 + 17, 'b');
    server.setBody("/big", body);
    QNetworkAccessManager manager;
    const int limit = Helpers::RequestQueue::RequestsPerServer;
    QList<QNetworkReply *> replies;
    for (int i = 0; i < limit + 2; ++i)
        replies.append(Helpers::Network::get(&manager, server.baseUrl() + QStringLiteral("/%1").arg(i)));
    QVERIFY(QTest::qWaitFor([&] { return server.requests().size() == limit; }, 10000));
    QTest::qWait(200);
    QCOMPARE(server.requests().size(), limit);

    // One that waits is abandoned: it ends at once and is never sent.
    QNetworkReply *waiting = replies.takeLast();
    bool ended = false;
    connect(waiting, &QNetworkReply::finished, this, [&] { ended = true; });
    waiting->abort();
    QVERIFY(ended);
    QCOMPARE(waiting->error(), QNetworkReply::OperationCanceledError);
    delete waiting;

    // One that was sent is abandoned: the other waiting one goes out.
    QNetworkReply *sent = replies.takeFirst();
    sent->abort();
    // Abandoned by us, which is no server falling silent.
    QCOMPARE(Helpers::Network::failureText(sent), QStringLiteral("Operation canceled"));
    delete sent;
    QVERIFY(QTest::qWaitFor([&] { return server.requests().size() == limit + 1; }, 10000));
    QCOMPARE(server.requests().last().path, QByteArray::number(limit).prepend('/'));

    // With every connection taken, a large body still gets through once
    // the server answers the others (Qt sends a request again when its
    // connection closes before any answer).
    QNetworkReply *big = Helpers::Network::get(&manager, server.baseUrl() + "/big");
    big->setReadBufferSize(64 * 1024);
    QByteArray received;
    connect(big, &QNetworkReply::readyRead, this, [&] { received += big->readAll(); });
    server.setDefaultResponse(HttpFaultServer::Response{404});
    server.dropConnections();
    QVERIFY(QTest::qWaitFor([&] { return big->isFinished(); }, 10000));
    received += big->readAll();
    QVERIFY(Helpers::Network::succeeded(big));
    QCOMPARE(received.size(), body.size());
    QVERIFY(received == body);
    for (QNetworkReply *reply : qAsConst(replies)) {
        QVERIFY(reply->isFinished());
        QVERIFY(!Helpers::Network::succeeded(reply));
    }
}

// A request's stall timeout counts only once it is on the wire: the ones
// that wait behind ten slow but steady transfers, for far longer than that
// timeout, still come through.
void TestHelpers::waitingIsNoStall()
{
    HttpFaultServer server;
    QVERIFY(server.listen());
    HttpFaultServer::Response steady;
    steady.body = "slow but steady";
    steady.trickleBytes = 1;
    steady.trickleIntervalMs = 100;
    server.setDefaultResponse(steady);
    QNetworkAccessManager manager;
    const int stallTimeout = 1000;
    Helpers::RequestQueue::of(&manager)->setStallTimeout(stallTimeout);
    QList<QNetworkReply *> replies;
    // More than both of the queue's managers put on the wire.
    for (int i = 0; i < 2 * Helpers::RequestQueue::RequestsPerServer; ++i)
        replies.append(Helpers::Network::get(&manager, server.baseUrl() + QStringLiteral("/%1").arg(i)));
    const auto allFinished = [&] {
        return std::all_of(replies.cbegin(), replies.cend(), [](QNetworkReply *reply) { return reply->isFinished(); });
    };
    QVERIFY(QTest::qWaitFor(allFinished, 20000));
    for (QNetworkReply *reply : qAsConst(replies)) {
        QVERIFY2(Helpers::Network::succeeded(reply),
                 qPrintable(reply->url().toString() + QLatin1Char(' ') + Helpers::Network::failureText(reply)));
        QCOMPARE(reply->readAll(), steady.body);
    }
    qDeleteAll(replies);
}

// A directory that looks like one of a copy of the program that ended: the
// lock file names a process that does not exist, in QLockFile's format.
static void makeAbandoned(const QString &path)
{
    QVERIFY(QDir().mkpath(path + "/ANIM"));
    QFile lock(path + "/.zuv-owner.lock");
    QVERIFY(lock.open(QIODevice::WriteOnly));
#ifdef Q_OS_WIN
    const QByteArray host = qgetenv("COMPUTERNAME"); // what QLockFile compares on Windows
#else
    const QByteArray host = QSysInfo::machineHostName().toUtf8();
#endif
    lock.write("2147483646\n" + QCoreApplication::applicationName().toUtf8() + "\n" + host + "\n");
    QFile download(path + "/ANIM/RUN.ANM");
    QVERIFY(download.open(QIODevice::WriteOnly) && download.write("half a download") > 0);
}

// At start the program removes what killed copies of it left in the
// temporary location, and nothing else: not the directory of a copy that
// runs, not one without a lock (being made), not another program's.
void TestHelpers::startRemovesOnlyAbandonedDirectories()
{
    PrivateTemp temp;
    const QString prefix = temp.path() + '/' + QCoreApplication::applicationName();
    makeAbandoned(prefix + "-a1b2c3");
    makeAbandoned(prefix + "-kept-d4e5f6");
    makeAbandoned(temp.path() + "/another program-a1b2c3");
    QVERIFY(QDir().mkpath(prefix + "-g7h8i9")); // no lock yet
    auto running = std::make_unique<Helpers::LockedTempDir>();
    QVERIFY2(running->isValid(), qPrintable(running->errorString()));
    const QString runningName = QFileInfo(running->path()).fileName();

    QCOMPARE(Helpers::LockedTempDir::removeAbandoned(), 2);
    QStringList expected = {"another program-a1b2c3", QCoreApplication::applicationName() + "-g7h8i9", runningName};
    expected.sort();
    QCOMPARE(QDir(temp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name), expected);
    QVERIFY(QFile::exists(running->filePath(".zuv-owner.lock")));
    running.reset();
    QVERIFY(!QFile::exists(temp.path() + '/' + runningName));
}

QTEST_GUILESS_MAIN(TestHelpers)
#include "test_helpers.moc"
