// A program built with release keys against releases published by
// zuv-publish: what a key signed goes onto the card; anything else is
// refused before a firmware file is fetched, the card stays as it was and
// the user is told why.

#include "httpfaultserver.h"
#include "privatetemp.h"
#include "skipsuite.h"
#include "testfiles.h"
#include "update/release/releaserecord.h"
#include "update/release/releasesignature.h"
#include "updater/updater.h"
#include "updater/updater_p.h"
#include "volume.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

// Bound for everything the updater announces; its own delays are 500 ms.
constexpr int SignalWait = 10000;
const QString Model = QStringLiteral("ZUVUpdater/TheOrvik");
const char NotSigned[] = "NOT SIGNED BY A KNOWN KEY";

// Where a release stops being used: nowhere, or at the step that refuses it.
enum class Refused { Never, AtConnect, AtUpdate, AtVerify };

// Changes a published tree (its model directory) after signing; the second
// argument is the same release published with another key.
using Tamper = std::function<void(const QString &model, const QString &otherModel)>;

QString runPublish(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral(ZUV_PUBLISH_EXECUTABLE), arguments);
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return QString();
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return QString();
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

// A release of bootloader 1, primary firmware 4 and secondary firmware 3;
// against a device at 1, 2, 3 only the primary firmware is brought.
void writeRelease(const QString &root)
{
    writeFile(root + "/release.ini",
              "[Release]\nModel=TheOrvik\nBootloader=1\nPrimaryFirmware=4\nSecondaryFirmware=3\n");
    writeFile(root + "/changelist.txt", "Primary firmware 4\n");
    writeFile(root + "/Bootloader/BOOT.BIN", "boot 1");
    writeFile(root + "/PrimaryFirmware/PRIMARY.BIN", "primary 4");
    writeFile(root + "/PrimaryFirmware/CONFIG/DEFAULT.CFG", "mode=4\n");
    writeFile(root + "/SecondaryFirmware/SECONDARY.BIN", "secondary 3");
    for (const char *resource : {"ANIM", "IMAGES", "SOUNDS"})
        QDir().mkpath(root + '/' + resource);
}

// Changes the model's FW.ZUV and signs it again with the secret key.
void resign(const QString &model, const QString &keyFile, const std::function<void(QByteArray *)> &edit)
{
    QByteArray info = readFile(model + "/FW.ZUV");
    edit(&info);
    writeFile(model + "/FW.ZUV", info);
    writeFile(model + "/FW.ZUV.sig",
              ReleaseSignature::sign(info, ReleaseSignature::secretKeyFromText(readFile(keyFile))));
}

// A record that the publisher's key signs, with one text replaced.
template<typename Pattern>
Tamper editRecord(const QString &keyFile, const Pattern &pattern, const QString &replacement)
{
    return [=](const QString &model, const QString &) {
        resign(model, keyFile, [&](QByteArray *info) {
            *info = QString::fromLatin1(*info).replace(pattern, replacement).toLatin1();
        });
    };
}

} // namespace

Q_DECLARE_METATYPE(Refused)
Q_DECLARE_METATYPE(Tamper)
Q_DECLARE_METATYPE(HttpFaultServer::Response)

class TestSignedRelease : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void onlySignedReleasesReachTheCard_data();
    void onlySignedReleasesReachTheCard();
    void serverCannotExhaustTheProgram_data();
    void serverCannotExhaustTheProgram();

private:
    QString serve(const QString &tree);
    void publishSigned(const QString &tree);

    QTemporaryDir m_keys;
    QString m_publicKey;
    QString m_otherPublicKey;
    std::unique_ptr<QTemporaryDir> m_config;
    std::unique_ptr<PrivateTemp> m_temp;
    std::unique_ptr<QTemporaryDir> m_work;
    std::unique_ptr<HttpFaultServer> m_fault;
    std::unique_ptr<Volume> m_volume;
};

void TestSignedRelease::initTestCase()
{
    if (!Volume::unavailableReason().isEmpty())
        skipSuite(Volume::unavailableReason());
    m_config = std::make_unique<QTemporaryDir>();
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config->path()));
    m_publicKey = runPublish({"keygen", m_keys.filePath("release.key")});
    m_otherPublicKey = runPublish({"keygen", m_keys.filePath("other.key")});
    QVERIFY(!m_publicKey.isEmpty() && !m_otherPublicKey.isEmpty());
}

void TestSignedRelease::cleanupTestCase()
{
    ReleaseSignature::setReleaseKeys({});
}

void TestSignedRelease::init()
{
    m_work = std::make_unique<QTemporaryDir>(); // outside the program's temporary location
    m_temp = std::make_unique<PrivateTemp>();
    m_volume = std::make_unique<Volume>(4 * 1024 * 1024);
    QVERIFY(m_volume->mount());
    m_volume->writeInfoFile("SN1", "1", "2", "3");
    m_volume->writeFile("PRIMARY.BIN", "primary 2");
    m_volume->writeFile("ZUV.FW", "flag");
}

void TestSignedRelease::cleanup()
{
    m_volume.reset();
    m_fault.reset();
    QTest::qWait(50); // let deferred deletions of replies and files run
    QVERIFY2(m_temp->leftovers().isEmpty(), qPrintable(m_temp->leftovers().join(", ")));
    m_temp.reset();
    m_work.reset();
}

// Serves the tree and points the program at it; returns an empty string or
// why it cannot be served. (nginx serves releases in the end-to-end runs.)
QString TestSignedRelease::serve(const QString &tree)
{
    // The program asks for "<model>//<file>"; the fixture matches the
    // request target exactly.
    m_fault = std::make_unique<HttpFaultServer>();
    if (!m_fault->listen())
        return QStringLiteral("cannot listen on 127.0.0.1");
    QDirIterator it(tree, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QString target = '/' + QDir(tree).relativeFilePath(it.next());
        target.replace(Model + '/', Model + "//");
        m_fault->setBody(target.toUtf8(), readFile(it.filePath()));
    }
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, "ZUV Systems", "ZUV Update Manager");
    settings.setValue("UpdateServer", m_fault->baseUrl());
    return QString();
}

void TestSignedRelease::onlySignedReleasesReachTheCard_data()
{
    QTest::addColumn<QStringList>("programKeys"); // "release", "other"
    QTest::addColumn<QByteArray>("cardRecord");    // what the card says it holds
    QTest::addColumn<Tamper>("tamper");
    QTest::addColumn<Refused>("refused");
    QTest::addColumn<QString>("reason"); // in the text the user sees

    const QStringList releaseKey{"release"};
    const Tamper none = [](const QString &, const QString &) {};
    const QString primary = "/PrimaryFirmware/4/";
    const QString key = m_keys.filePath("release.key");

    QTest::newRow("signed") << releaseKey << QByteArray() << none << Refused::Never << QString();
    QTest::newRow("second of two keys")
        << QStringList{"other", "release"} << QByteArray() << none << Refused::Never << QString();
    QTest::newRow("a card with this release already") << releaseKey << QByteArray("Model=TheOrvik\nSequence=1\n")
                                                  << none << Refused::Never << QString();
    // What the publisher's key signs, but not for this device, this card or
    // this moment.
    QTest::newRow("another model's release")
        << releaseKey << QByteArray() << editRecord(key, "Model=TheOrvik", "Model=TheNalo")
        << Refused::AtConnect << "THE RELEASE IS FOR THENALO, NOT FOR THIS THEORVIK";
    QTest::newRow("replayed older record")
        << releaseKey << QByteArray("Model=TheOrvik\nSequence=2\n") << none << Refused::AtConnect
        << "IS OLDER THAN THE ONE INSTALLED ON THIS DEVICE";
    QTest::newRow("expired record") << releaseKey << QByteArray()
                                    << editRecord(key, QRegularExpression("Expires=.*\n"),
                                                  "Expires=2020-01-01T00:00:00Z\n")
                                    << Refused::AtConnect << "EXPIRED ON 2020-01-01";
    QTest::newRow("unsigned record")
        << releaseKey << QByteArray() << editRecord(key, QRegularExpression("\n\\[Release\\].*", QRegularExpression::DotMatchesEverythingOption), "\n")
        << Refused::AtConnect << "NO RELEASE RECORD";
    QTest::newRow("record with an unknown key")
        << releaseKey << QByteArray() << editRecord(key, "Sequence=", "Channel=beta\nSequence=")
        << Refused::AtConnect << "UNKNOWN KEY \"CHANNEL\"";
    QTest::newRow("record without expiry") << releaseKey << QByteArray()
                                           << editRecord(key, QRegularExpression("Expires=.*\n"), QString())
                                           << Refused::AtConnect << "RELEASE RECORD LACKS EXPIRES";
    QTest::newRow("sequence not a number") << releaseKey << QByteArray()
                                           << editRecord(key, "Sequence=1", "Sequence=one")
                                           << Refused::AtConnect << "IS NOT A NUMBER";
    QTest::newRow("foreign-key record")
        << releaseKey << QByteArray()
        << Tamper([](const QString &model, const QString &otherModel) {
               writeFile(model + "/FW.ZUV", readFile(otherModel + "/FW.ZUV"));
               writeFile(model + "/FW.ZUV.sig", readFile(otherModel + "/FW.ZUV.sig"));
           })
        << Refused::AtConnect << NotSigned;
    QTest::newRow("change list of another release")
        << releaseKey << QByteArray()
        << Tamper([](const QString &model, const QString &) { writeFile(model + "/changelist.txt", "Primary 5\n"); })
        << Refused::AtConnect << "THE CHANGE LIST IS NOT THE ONE OF THE RELEASE ON OFFER";

    // Pieces of signed releases put together.
    QTest::newRow("manifest served at another path")
        << releaseKey << QByteArray()
        << Tamper([=](const QString &model, const QString &) {
               writeFile(model + primary + "manifest.txt", readFile(model + "/Bootloader/1/manifest.txt"));
               writeFile(model + primary + "BOOT.BIN", readFile(model + "/Bootloader/1/BOOT.BIN"));
           })
        << Refused::AtUpdate << "IS NOT THE ONE THE SIGNED RELEASE RECORD NAMES THERE";
    QTest::newRow("two releases mixed")
        << releaseKey << QByteArray()
        << Tamper([=](const QString &model, const QString &) {
               writeFile(model + primary + "manifest.txt", md5Hex("primary 3") + "  PRIMARY.BIN\n");
               writeFile(model + primary + "PRIMARY.BIN", "primary 3");
           })
        << Refused::AtUpdate << "IS NOT THE ONE THE SIGNED RELEASE RECORD NAMES THERE";
    // As an MD5 twin would pass: the manifest's MD5 is the served file's,
    // and only the SHA-256 the record gives tells them apart.
    QTest::newRow("file replaced together with its MD5")
        << releaseKey << QByteArray()
        << Tamper([=](const QString &model, const QString &) {
               const QByteArray manifest = readFile(model + primary + "manifest.txt");
               const QByteArray twin = QByteArray(manifest).replace(md5Hex("primary 4"), md5Hex("primary X"));
               writeFile(model + primary + "manifest.txt", twin);
               writeFile(model + primary + "PRIMARY.BIN", "primary X");
               resign(model, key, [&](QByteArray *info) {
                   info->replace(ReleaseRecord::sha256Hex(manifest), ReleaseRecord::sha256Hex(twin));
               });
           })
        << Refused::AtVerify << "THE DOWNLOADED FILE \"PRIMARY.BIN\" DID NOT MATCH ITS DIGEST";
}

void TestSignedRelease::onlySignedReleasesReachTheCard()
{
    QFETCH(QStringList, programKeys);
    QFETCH(QByteArray, cardRecord);
    QFETCH(Tamper, tamper);
    QFETCH(Refused, refused);
    QFETCH(QString, reason);

    const QString release = m_work->filePath("release");
    const QString tree = m_work->filePath("tree");
    const QString otherTree = m_work->filePath("other");
    writeRelease(release);
    QVERIFY(!runPublish({"publish", "--sign", m_keys.filePath("release.key"), release, tree}).isEmpty());
    QVERIFY(!runPublish({"publish", "--sign", m_keys.filePath("other.key"), release, otherTree}).isEmpty());
    tamper(tree + '/' + Model, otherTree + '/' + Model);
    const QString problem = serve(tree);
    if (!problem.isEmpty())
        QSKIP(qPrintable(problem));
    QStringList keys;
    for (const QString &name : programKeys)
        keys.append(name == "release" ? m_publicKey : m_otherPublicKey);
    ReleaseSignature::setReleaseKeys(keys);
    if (!cardRecord.isEmpty())
        m_volume->writeFile(ReleaseRecord::cardFileName(), cardRecord);

    const QMap<QString, QByteArray> before = m_volume->snapshot();
    Updater updater;
    QSignalSpy serverError(&updater, &Updater::updateServerConnectionError);
    QSignalSpy connected(&updater, &Updater::connectedToDevice);
    updater.scan();
    QVERIFY(QTest::qWaitFor([&] { return !connected.isEmpty() || !serverError.isEmpty(); }, SignalWait));
    if (refused == Refused::AtConnect) {
        QVERIFY(!serverError.isEmpty());
        QVERIFY2(updater.lastError().contains(reason), qPrintable(updater.lastError()));
        QCOMPARE(updater.changelist(), QString());
        // Even when asked to, it installs nothing without an accepted record.
        QSignalSpy failed(&updater, &Updater::downloadError);
        updater.update();
        QVERIFY(QTest::qWaitFor([&] { return !failed.isEmpty(); }, SignalWait));
        QVERIFY2(updater.updateError().contains("NO SIGNED RELEASE RECORD"), qPrintable(updater.updateError()));
    } else {
        QVERIFY2(serverError.isEmpty(), qPrintable(updater.lastError()));
        QCOMPARE(updater.changelist(), QStringLiteral("PRIMARY FIRMWARE 4\n"));

        QSignalSpy available(&updater, &Updater::updateAvailable);
        updater.checkForUpdates();
        QVERIFY(QTest::qWaitFor([&] { return !available.isEmpty() || !serverError.isEmpty(); }, SignalWait));
        QVERIFY2(serverError.isEmpty(), qPrintable(updater.lastError()));
        QCOMPARE(updater.primaryUpdateVersion(), QStringLiteral("4"));

        QSignalSpy ready(&updater, &Updater::updateReady);
        QSignalSpy failed(&updater, &Updater::downloadError);
        updater.update();
        QVERIFY(QTest::qWaitFor([&] { return !ready.isEmpty() || !failed.isEmpty(); }, SignalWait));
        if (refused == Refused::Never) {
            QVERIFY2(failed.isEmpty(), qPrintable(updater.updateError()));
            QCOMPARE(m_volume->readFile("PRIMARY.BIN"), QByteArray("primary 4"));
            QCOMPARE(m_volume->readFile("CONFIG/DEFAULT.CFG"), QByteArray("mode=4\n"));
            QVERIFY(!m_volume->exists("ZUV.FW"));
            // The card names the release it now holds.
            QCOMPARE(ReleaseRecord::cardSequence(m_volume->rootPath()), quint64(1));
            return;
        }
        QVERIFY2(updater.updateError().contains(reason), qPrintable(updater.updateError()));
    }
    // Refused: nothing on the card changed, and unless the refusal came
    // from the file itself, no firmware file was asked for.
    if (refused != Refused::AtVerify) {
        for (const QByteArray &path : m_fault->requestedPaths()) {
            QVERIFY2(path.endsWith("manifest.txt") || path.endsWith(".sig") || path.endsWith("FW.ZUV")
                         || path.endsWith("changelist.txt"),
                     path.constData());
        }
    }
    QCOMPARE(m_volume->snapshot(), before);
    QVERIFY(m_volume->exists("ZUV.FW"));
}

void TestSignedRelease::publishSigned(const QString &tree)
{
    const QString release = m_work->filePath("release");
    writeRelease(release);
    QVERIFY(!runPublish({"publish", "--sign", m_keys.filePath("release.key"), release, tree}).isEmpty());
}

void TestSignedRelease::serverCannotExhaustTheProgram_data()
{
    using Response = HttpFaultServer::Response;
    QTest::addColumn<QString>("path"); // relative to the model
    QTest::addColumn<Response>("response");
    QTest::addColumn<Refused>("refused");
    QTest::addColumn<QString>("reason");

    // Inflated, 64 MiB: four times what any change list may be.
    Response bomb;
    bomb.body = qCompress(QByteArray(64 * 1024 * 1024, '\0'), 9).mid(4);
    bomb.headers = {{"Content-Encoding", "deflate"}};
    QTest::newRow("deflate bomb as the change list")
        << "changelist.txt" << bomb << Refused::AtConnect << "THE CHANGE LIST IS NOT THE ONE OF THE RELEASE ON OFFER";
    Response trickle;
    trickle.body = QByteArray(1024 * 1024, 'x');
    trickle.trickleBytes = 1;
    trickle.trickleIntervalMs = 100;
    QTest::newRow("change list that never ends")
        << "changelist.txt" << trickle << Refused::AtConnect << "NO COMPLETE ANSWER WITHIN 3 S";
    Response longLine;
    longLine.body = QByteArray(32 * 1024 * 1024, 'a');
    QTest::newRow("one-line manifest") << "PrimaryFirmware/4/manifest.txt" << longLine << Refused::AtUpdate
                                       << "SENT MORE THAN THE FILE'S SIZE";
    Response endless;
    endless.body = QByteArray(16 * 1024 * 1024, 'p');
    endless.announcedLength = Response::NoLength;
    QTest::newRow("file without length, far above its size")
        << "PrimaryFirmware/4/PRIMARY.BIN" << endless << Refused::AtUpdate << "SENT MORE THAN THE FILE'S SIZE";
}

// A keyed program against a server that sends more than it should: each
// transfer ends at the size it may have, the user gets the error page with
// the reason, and the card stays as it was.
void TestSignedRelease::serverCannotExhaustTheProgram()
{
    QFETCH(QString, path);
    QFETCH(HttpFaultServer::Response, response);
    QFETCH(Refused, refused);
    QFETCH(QString, reason);

    const QString tree = m_work->filePath("tree");
    publishSigned(tree);
    QVERIFY(serve(tree).isEmpty());
    m_fault->setResponse(QString('/' + Model + "//" + path).toUtf8(), response);
    ReleaseSignature::setReleaseKeys({m_publicKey});

    const QMap<QString, QByteArray> before = m_volume->snapshot();
    Updater updater;
    UpdaterPrivate::get(&updater)->queryDeadline = 3000;
    QSignalSpy serverError(&updater, &Updater::updateServerConnectionError);
    QSignalSpy connected(&updater, &Updater::connectedToDevice);
    updater.scan();
    QVERIFY(QTest::qWaitFor([&] { return !connected.isEmpty() || !serverError.isEmpty(); }, SignalWait));
    if (refused == Refused::AtConnect) {
        QVERIFY2(updater.lastError().contains(reason), qPrintable(updater.lastError()));
    } else {
        QSignalSpy available(&updater, &Updater::updateAvailable);
        updater.checkForUpdates();
        QVERIFY(QTest::qWaitFor([&] { return !available.isEmpty(); }, SignalWait));
        QSignalSpy failed(&updater, &Updater::downloadError);
        updater.update();
        QVERIFY(QTest::qWaitFor([&] { return !failed.isEmpty(); }, SignalWait));
        QVERIFY2(updater.updateError().contains(reason), qPrintable(updater.updateError()));
    }
    QCOMPARE(m_volume->snapshot(), before);
}

QTEST_GUILESS_MAIN(TestSignedRelease)
#include "test_signedrelease.moc"
