#ifndef ZUV_TESTS_FAULTRIG_H
#define ZUV_TESTS_FAULTRIG_H

#include "httpfaultserver.h"
#include "privatetemp.h"
#include "volume.h"

#include <QMap>
#include <QObject>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>

class Updater;

using Files = QMap<QString, QByteArray>;

// The release the fault tests update to. The card holds bootloader B1,
// primary firmware P1 and secondary firmware S1; the server offers P2 and
// S2 (a firmware run of five manifests and seven downloads), or B2 (a
// bootloader run of one manifest and one download).
namespace Release {

extern const QByteArray ChangelistPath;
extern const QByteArray InfoPath;

Files oldCard();
Files firmwareCard();
Files bootloaderCard();

// Server directory ("PrimaryFirmware/P2", "SecondaryFirmware/ANIM", ...)
// to the files it publishes.
QMap<QString, Files> serverDirectories();
// The five directories of a firmware run, and the one of a bootloader run.
QStringList firmwareDirectories();
QString bootloaderDirectory();
// The card directory a server directory is written to ("" for the root).
QString cardDirectory(const QString &serverDirectory);
QByteArray manifestText(const Files &files);
QByteArray manifestPath(const QString &serverDirectory);
QByteArray filePath(const QString &serverDirectory, const QString &file);
int firmwareDownloads();
// Steps of the device writer in a firmware run, and the step that commits it.
constexpr int FirmwareWriterSteps = 24;
constexpr int FirmwareCommitStep = 21;

} // namespace Release

// What a fault does to one answer of the server.
enum class Fault {
    Refused,          // the server stops listening
    Unreachable,      // the server stops accepting: connections wait unanswered
    NotFound,         // 404
    ServerError,      // 500
    MovedPermanently, // 301 to a copy that must not be followed
    Found,            // 302 likewise
    StallBeforeHeaders,
    StallInBody,      // status 200, half the body, then silence
    ResetInBody,      // status 200, half the body, then a reset
    CutShort          // status 200, half the body, then a clean close
};
QString faultName(Fault fault);
QList<Fault> allFaults();

// Where a fault strikes: the change list, the server's FW.ZUV, one manifest
// or the k-th file request (counted from 1 in the order they arrive).
struct FaultTarget {
    enum Kind { Changelist, InfoFile, Manifest, File } kind = Changelist;
    QString directory; // Manifest: its server directory
    int file = 0;      // File: which request
};

// One user, one card, one update server: drives the real Updater through
// the same steps the window takes and records what the user is shown.
class FaultRig : public QObject
{
    Q_OBJECT

public:
    // The signals that end a step of the user's flow with a page of its own.
    static const QStringList Endings;
    static constexpr int SettleMs = 300;
    static constexpr int StallTimeoutMs = 1000;

    FaultRig();
    ~FaultRig() override;

    // Once per test process: private settings location and a short stall timeout.
    static void initProcess();
    // Keeps debug lines in memory, printing them only for a failed test.
    static void printLogIfFailed();

    // Mounts the card with the old release and publishes the new one.
    bool setUp(qint64 cardSize = 8 * 1024 * 1024);

    HttpFaultServer &server() { return *m_server; }
    // The server's address, which stays the same after it stops listening.
    QString baseUrl() const { return m_baseUrl; }
    Volume &card() { return *m_card; }
    PrivateTemp &temp() { return *m_temp; }

    // The server's FW.ZUV offers a new bootloader instead of new firmware.
    void offerBootloader();
    // Every answer of a healthy server, fault hooks removed.
    void publish();
    void setManifest(const QString &serverDirectory, const QByteArray &text);
    void inject(Fault fault, const FaultTarget &target);

    Updater *updater();
    void destroyUpdater();

    // Hooks run just before the driver scans, checks for updates or updates.
    std::function<void()> beforeScan;
    std::function<void()> beforeCheck;
    std::function<void()> beforeUpdate;
    // Run for every request the server reads, before it answers.
    std::function<void(int fileRequest, const QByteArray &path)> onRequest;
    // Run for every signal of the updater, before the driver reacts to it.
    std::function<void(const QString &signal)> onSignal;
    // Whether the driver presses CHECK FOR UPDATES and UPDATE by itself,
    // where the window offers them.
    bool autoDrive = true;

    // Scans and follows the flow to its first ending; returns that signal's
    // name, or an empty string when none came in time. Waits a moment
    // afterwards, so that anything that follows the ending is recorded.
    QString runFlow(int timeoutMs = 60000);
    // The same in two halves: scan, and wait for the first ending of the
    // flow whose signals start at `from`.
    int startFlow();
    QString waitForEnding(int from, int timeoutMs = 60000);
    // Waits for a signal recorded from the index `from` on.
    bool waitFor(const QString &signal, int from = 0, int timeoutMs = 30000);

    QStringList signalLog;
    int endingsSince(int from) const;
    int fileRequests() const { return m_fileRequests; }

    // Empty when the card holds exactly these files.
    QString cardDifference(const Files &expected) const;
    static QString difference(const Files &actual, const Files &expected);
    // Anything beside the card below its mount point's parent, or in the
    // mount point itself once the card is gone.
    QStringList strayFiles() const;
    // What the run left in the temporary location, once every task ended.
    QStringList tempLeftovers();

    // Unmounts the card lazily, keeping a handle on it so that it can be
    // examined and put back in a new slot.
    bool pullCard();
    Files pulledCardFiles() const;
    // Mounts a new card holding these files (the pulled card plugged in again).
    bool insertCard(const Files &files);

    // The next run after an interruption: with every download failing, it
    // only repairs; then a healthy run completes the update. Returns the
    // card state the repair left ("old" or "new"), empty on failure.
    QString repairThenUpdate();

private:
    bool updateOffered() const;
    void onUpdaterSignal(const QString &name);
    void requestReceived(int index);

    std::unique_ptr<PrivateTemp> m_temp;
    std::unique_ptr<HttpFaultServer> m_server;
    std::unique_ptr<Volume> m_card;
    std::unique_ptr<Volume> m_pulledVolume;
    std::unique_ptr<Updater> m_updater;
    QString m_baseUrl;
    QMap<QByteArray, HttpFaultServer::Response> m_published;
    bool m_bootloader = false;
    int m_fileRequests = 0;
    int m_pulledCard = -1;
    QString m_pulledMountPoint;
};

// Acts on the device writer's thread right after a chosen step of its
// write, or holds the writer there until the test has acted itself.
namespace WriterHook {

void atStep(int step, const std::function<void()> &action);
void pauseAt(int step);
bool waitUntilPaused(int timeoutMs = 30000);
void resume();
void clear();

} // namespace WriterHook

#endif
