// Every fault an update server or the network between can produce, at
// every step of the user's way: the change list, the server's FW.ZUV, each
// manifest and the k-th download. Whatever fails, the user sees one error
// page, the card keeps its old release byte for byte, and nothing stays in
// the temporary location.
#include "faultrig.h"

#include "updater/updater.h"

#include <QtTest>

namespace {

// What a fault does to one answer: a status other than 200 (a redirection
// points to an address that must not be asked for), or a 200 that breaks
// off half way through the body. The first two take the whole server away:
// it stops listening, or stops accepting so that connections wait unanswered.
// Any status other than 200 fails alike; one error and one redirection stand
// for the others.
const char NoAnswer[] = "NO ANSWER FROM THE SERVER FOR 1 S"; // the stall time of the fault tests
enum FaultKind { Refused, Unreachable, NotFound, MovedPermanently, StallBeforeHeaders, StallInBody, ResetInBody,
                 CutShort, FaultCount };
const struct {
    const char *name;
    int status;
    HttpFaultServer::Fault fault;
    const char *reason; // in the server error page's text; Qt names none for a redirection
} Faults[FaultCount] = {{"refused", 0, HttpFaultServer::NoFault, "CONNECTION REFUSED"},
                        {"unreachable", 0, HttpFaultServer::StallBeforeHeaders, NoAnswer},
                        {"404", 404, HttpFaultServer::NoFault, "SERVER REPLIED: NOT FOUND"},
                        {"301", 301, HttpFaultServer::NoFault, ""},
                        {"stall before headers", 200, HttpFaultServer::StallBeforeHeaders, NoAnswer},
                        {"stall in body", 200, HttpFaultServer::StallAfterHeaders, NoAnswer},
                        {"reset in body", 200, HttpFaultServer::ResetAfterBytes, "CONNECTION CLOSED"},
                        {"cut short", 200, HttpFaultServer::CloseAfterBytes, "CONNECTION CLOSED"}};

// The faults from `first` to the last.
QList<int> faultsFrom(int first)
{
    QList<int> faults;
    for (int fault = first; fault < FaultCount; ++fault)
        faults.append(fault);
    return faults;
}

void addRows(const QString &where, const QByteArray &path, int file, const QList<int> &faults)
{
    for (int fault : faults)
        QTest::addRow("%s, %s", qPrintable(where), Faults[fault].name) << fault << path << file;
}

void addColumns()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<QByteArray>("path"); // the request that fails
    QTest::addColumn<int>("file");        // or the k-th file request
}

} // namespace

class ServerFaultTest : public FaultTest
{
    Q_OBJECT

private Q_SLOTS:
    void queryFails_data();
    void queryFails();
    void manifestFails_data();
    void manifestFails();
    void downloadFails_data();
    void downloadFails();

private:
    void inject(int fault, const QByteArray &path, int file);
    void verifyNothingChanged();
    void verifyUpdateError(int fault, const QByteArray &path);
};

void ServerFaultTest::inject(int fault, const QByteArray &path, int file)
{
    HttpFaultServer &server = rig->server();
    if (Faults[fault].status == 0) {
        // The server goes away before the scan, before the check for updates
        // or before the update, or just as the k-th file is asked for.
        const auto away = [&server, fault] { fault == Refused ? server.stopListening() : server.stopAccepting(); };
        if (path == Release::ChangelistPath)
            away();
        else if (file == 0)
            rig->atSignal(path == Release::InfoPath ? "connectedToDevice" : "updateAvailable", away);
        else
            rig->onRequest = [&server, away, fault, file](int fileRequest, const QByteArray &requested) {
                if (fileRequest != file)
                    return;
                away();
                HttpFaultServer::Response silent;
                silent.fault = Faults[fault].fault;
                fault == Refused ? server.dropConnections() : server.setResponse(requested, silent);
            };
        return;
    }
    rig->onRequest = [this, &server, fault, path, file](int fileRequest, const QByteArray &requested) {
        if (file ? fileRequest != file : requested != path)
            return;
        HttpFaultServer::Response response;
        response.status = Faults[fault].status;
        response.body = rig->published(requested);
        if (response.status / 100 == 3)
            response.headers.append({"Location", requested + "?moved"});
        response.fault = Faults[fault].fault;
        response.faultAfterBytes = response.body.size() / 2;
        server.setResponse(requested, response);
    };
}

void ServerFaultTest::verifyNothingChanged()
{
    QCOMPARE(rig->cardDifference(Release::oldCard()), QString());
    for (const QByteArray &path : rig->server().requestedPaths())
        QVERIFY2(!path.endsWith("?moved"), path.constData());
}

// The error page says what failed and why: the address and the server's
// reason, in capitals.
void ServerFaultTest::verifyUpdateError(int fault, const QByteArray &path)
{
    const QString error = rig->updater()->updateError();
    const int status = Faults[fault].status;
    const QString reason = status != 0 && status != 200 ? QStringLiteral("SERVER ANSWERED HTTP STATUS %1").arg(status)
                                                        : QString(Faults[fault].reason);
    // A server that goes away as a file is asked for may also cut the
    // connection it had already accepted.
    const bool named = error.contains(reason) || (fault == Refused && error.contains("CONNECTION CLOSED"));
    QVERIFY2(named && error == error.toUpper() && error.contains(QString(path).toUpper()), qPrintable(error));
}

void ServerFaultTest::queryFails_data()
{
    addColumns();
    addRows("change list", Release::ChangelistPath, 0, faultsFrom(Refused));
    addRows("FW.ZUV", Release::InfoPath, 0, faultsFrom(Refused));
}

// The change list and the server's FW.ZUV are the updater's own queries:
// a failure shows the server error page with the address and the reason.
void ServerFaultTest::queryFails()
{
    QFETCH(int, fault);
    QFETCH(QByteArray, path);
    inject(fault, path, 0);

    QCOMPARE(rig->runFlow(), QStringLiteral("updateServerConnectionError"));
    const bool atChangelist = path == Release::ChangelistPath;
    QCOMPARE(rig->signalLog.contains("connectedToDevice"), !atChangelist);
    QVERIFY(!rig->signalLog.contains("updateAvailable"));
    // The address and the reason in capitals; a server that stops answering
    // is named as such, not as a transfer somebody cancelled.
    const QString error = rig->updater()->lastError();
    const QString prefix = (rig->baseUrl() + path).toUpper() + ": ";
    QVERIFY2(error.startsWith(prefix) && error.size() > prefix.size() && error.contains(Faults[fault].reason)
                 && error == error.toUpper(),
             qPrintable(error));
    if (!atChangelist) // the device page still shows the device
        QCOMPARE(rig->updater()->primaryVersion(), QStringLiteral("P1"));
    QVERIFY(rig->updater()->primaryUpdateVersion().isEmpty());
    verifyNothingChanged();
}

void ServerFaultTest::manifestFails_data()
{
    addColumns();
    // Every fault on a manifest of a firmware run and of a bootloader run; a
    // missing manifest for the others, whose failure takes the same way.
    for (const char *directory : {"PrimaryFirmware/P2", "Bootloader/B2"})
        addRows(QString(directory) + " manifest", Release::manifestPath(directory), 0, faultsFrom(NotFound));
    for (const char *directory :
         {"SecondaryFirmware/S2", "SecondaryFirmware/ANIM", "SecondaryFirmware/IMAGES", "SecondaryFirmware/SOUNDS"})
        addRows(QString(directory) + " manifest", Release::manifestPath(directory), 0, {NotFound});
    // Manifests are asked for all at once: a server that goes away goes
    // away for all of them.
    addRows("every manifest", Release::manifestPath("PrimaryFirmware/P2"), 0, {Refused, Unreachable});
}

void ServerFaultTest::manifestFails()
{
    QFETCH(int, fault);
    QFETCH(QByteArray, path);
    if (path.contains("/Bootloader/"))
        rig->server().setBody(Release::InfoPath, "VER_BOOT=B2\nVER_PRI=P2\nVER_SEC=S2\n");
    inject(fault, path, 0);

    QCOMPARE(rig->runFlow(), QStringLiteral("downloadError"));
    QVERIFY(!rig->signalLog.contains("preparingDownloadList") && rig->fileRequests() == 0);
    verifyNothingChanged();
    verifyUpdateError(fault, fault == Refused || fault == Unreachable ? QByteArray("/manifest.txt") : path);
}

void ServerFaultTest::downloadFails_data()
{
    addColumns();
    // Every fault on the first and on the last download, a few in between.
    for (int k : {1, 4, Release::FirmwareDownloads}) {
        addRows(QStringLiteral("file %1 of %2").arg(k).arg(Release::FirmwareDownloads), QByteArray(), k,
                k == 4 ? QList<int>{Refused, NotFound, CutShort} : faultsFrom(Refused));
    }
}

// A download that fails ends the run before anything reaches the card;
// once the server is sound again the same update goes through.
void ServerFaultTest::downloadFails()
{
    QFETCH(int, fault);
    QFETCH(int, file);
    inject(fault, QByteArray(), file);

    QCOMPARE(rig->runFlow(), QStringLiteral("downloadError"));
    const QStringList later{QStringLiteral("downloadedFiles %1/%1").arg(Release::FirmwareDownloads),
                            "veryfingDownloadedFiles", "copyingFiles"};
    for (const QString &signal : later)
        QVERIFY2(!rig->signalLog.contains(signal), qPrintable(signal));
    verifyNothingChanged();
    verifyUpdateError(fault, rig->baseUrl().toUtf8());
    if (file < Release::FirmwareDownloads || fault == Refused || fault == Unreachable)
        return;
    QCOMPARE(rig->leftovers(), QString());
    rig->publish();
    QCOMPARE(rig->runFlow(), QStringLiteral("updateReady"));
    QCOMPARE(rig->cardDifference(Release::firmwareCard()), QString());
}

QTEST_GUILESS_MAIN(ServerFaultTest)
#include "tst_fault_server.moc"
