#include "helpers/dir.h"
#include "helpers/io.h"
#include "logcapture.h"

#include <QBuffer>
#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

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
    int writes = 0;

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *bytes, qint64 size) override
    {
        ++writes;
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

QByteArray pattern(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(i * 131 + i / 251);
    return bytes;
}

} // namespace

class TestHelpers : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void copyMovesEverything_data();
    void copyMovesEverything();
    void copyKeepsWritingIntoANarrowTarget();
    void copyReportsAFailingTarget();
    void createPathMakesEveryLevel();
};

void TestHelpers::copyMovesEverything_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("nothing to read") << 0;
    QTest::newRow("a few bytes") << 7;
    QTest::newRow("several buffers") << 9 * 1024 * 1024 + 3;
}

void TestHelpers::copyMovesEverything()
{
    QFETCH(int, size);
    QByteArray source = pattern(size);
    QBuffer from(&source);
    QVERIFY(from.open(QIODevice::ReadOnly));
    QByteArray target;
    QBuffer to(&target);
    QVERIFY(to.open(QIODevice::WriteOnly));

    QVERIFY(Helpers::IO::copy(&from, &to));
    QCOMPARE(target, source);
    // Nothing left: a second call writes nothing more.
    QVERIFY(Helpers::IO::copy(&from, &to));
    QCOMPARE(target.size(), size);
}

void TestHelpers::copyKeepsWritingIntoANarrowTarget()
{
    QByteArray source = pattern(100000);
    QBuffer from(&source);
    QVERIFY(from.open(QIODevice::ReadOnly));
    NarrowDevice to(4096, source.size());

    QVERIFY(Helpers::IO::copy(&from, &to));
    QCOMPARE(to.data, source);
    QVERIFY(to.writes >= 25);
}

void TestHelpers::copyReportsAFailingTarget()
{
    QByteArray source = pattern(50000);
    QBuffer from(&source);
    QVERIFY(from.open(QIODevice::ReadOnly));
    NarrowDevice to(1000, 3500);

    LogCapture log;
    QVERIFY(!Helpers::IO::copy(&from, &to));
    QCOMPARE(to.data, source.left(3500));
    QVERIFY(log.contains("bool Helpers::IO::copy(QIODevice*, QIODevice*) "
                         "Failed to write data, update will fail: \"device full\""));
}

void TestHelpers::createPathMakesEveryLevel()
{
    QTemporaryDir root;
    const QString deep = root.filePath("SOUNDS/a b/c/d");
    LogCapture log;
    QVERIFY(Helpers::Dir::createPath(deep));
    QVERIFY(QFileInfo(deep).isDir());
    QVERIFY(log.contains(QStringLiteral("bool Helpers::Dir::createPath(QDir&) \"%1\"").arg(deep)));

    // An existing directory is fine and is logged the same way.
    log.clear();
    QDir existing(deep);
    QVERIFY(Helpers::Dir::createPath(existing));
    QCOMPARE(log.count("createPath"), 1);

    // A file standing where a directory should be cannot become one.
    QFile blocker(root.filePath("file"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    QVERIFY(!Helpers::Dir::createPath(root.filePath("file/below")));
}

QTEST_GUILESS_MAIN(TestHelpers)
#include "test_helpers.moc"
