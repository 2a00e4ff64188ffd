#ifndef ZUV_TESTS_FAULTRIG_H
#define ZUV_TESTS_FAULTRIG_H

#include "httpfaultserver.h"
#include "logcapture.h"
#include "privatetemp.h"
#include "testfiles.h"
#include "volume.h"

#include <QMap>
#include <QObject>
#include <QStringList>

#include <functional>
#include <memory>

class Updater;

// The release the fault tests update to. The card holds bootloader B1,
// primary firmware P1 and secondary firmware S1; the server offers P2 and
// S2 (a firmware run of five manifests and seven downloads), or B2 (a
// bootloader run of one manifest and one download).
namespace Release {

extern const QByteArray ChangelistPath;
extern const QByteArray InfoPath;
constexpr int FirmwareDownloads = 7;
// The step of the device writer that commits a firmware run.
constexpr int FirmwareCommitStep = 22;

Files oldCard();
Files firmwareCard();
// Server directory ("PrimaryFirmware/P2", "SecondaryFirmware/ANIM", ...)
// to the files it publishes.
QMap<QString, Files> serverDirectories();
QByteArray manifestText(const Files &files);
QByteArray filePath(const QString &serverDirectory, const QString &file);
inline QByteArray manifestPath(const QString &serverDirectory)
{
    return filePath(serverDirectory, QStringLiteral("manifest.txt"));
}

} // namespace Release

// One user, one card, one update server: drives the real Updater through
// the same steps the window takes and records what the user is shown.
class FaultRig : public QObject
{
    Q_OBJECT

public:
    static constexpr int SettleMs = 300;

    ~FaultRig() override;
    // Mounts the card with the old release and publishes the new one.
    bool setUp();

    HttpFaultServer &server() { return *m_server; }
    // The server's address, which stays the same after it stops listening.
    QString baseUrl() const { return m_baseUrl; }
    Volume &card() { return *m_card; }
    PrivateTemp &temp() { return *m_temp; }
    QStringList logLines() const { return m_log.lines(); }

    // Every answer of a healthy server, the hooks below removed.
    void publish();
    QByteArray published(const QByteArray &path) const { return m_published.value(path); }

    Updater *updater();
    void destroyUpdater();

    // Run for every request the server reads, before it answers. File
    // requests are counted from 1 in the order they arrive; others are 0.
    std::function<void(int fileRequest, const QByteArray &path)> onRequest;
    // Runs the action once, at the first signal of the updater whose name
    // starts with `prefix`, before the driver reacts to that signal.
    void atSignal(const QString &prefix, const std::function<void()> &action);
    // Whether the driver presses CHECK FOR UPDATES and UPDATE by itself,
    // where the window offers them.
    bool autoDrive = true;

    // Scans and follows the flow until it ends. Returns the endings that
    // came (", "-separated: one, unless something is wrong), or an empty
    // string when none came in time; waits a moment after the first, so
    // that anything that follows it is recorded.
    QString runFlow() { return waitForEnding(startFlow()); }
    // Scans; returns where the flow's signals start.
    int startFlow();
    // Waits for one of these signals recorded from the index `from` on;
    // returns the one that came, or an empty string.
    QString waitFor(const QStringList &names, int from = 0);

    QStringList signalLog;
    int fileRequests() const { return m_fileRequests; }

    // Empty when the card holds exactly these files.
    QString cardDifference(const Files &expected) const { return difference(m_card->snapshot(), expected); }
    static QString difference(const Files &actual, const Files &expected);
    // Empty when nothing is beside the card below its mount point's parent,
    // in the mount point of a pulled card, or in the temporary location
    // once every task ended. The verified downloads a failed run keeps for
    // the next attempt are left out unless asked for; they must be gone
    // once the program is closed.
    QString leftovers(bool withKeptFiles = false);

    // Unmounts the card lazily, keeping a handle on it so that it can be
    // examined and put back in a new slot.
    bool pullCard();
    Files pulledCardFiles() const;
    // Mounts a new card holding these files (the pulled card plugged in again).
    bool insertCard(const Files &files);

    // The next run after an interruption: with every download failing, it
    // only repairs (unless the files the failed run kept let it go on to
    // the update); then a healthy run completes the update. Returns the
    // card state the repair left ("old" or "new"), or what went wrong.
    QString repairThenUpdate();

private Q_SLOTS:
    void recordSignal();

private:
    void record(const QString &name);
    QString waitForEnding(int from);
    bool updateOffered() const;

    LogCapture m_log;
    std::unique_ptr<PrivateTemp> m_temp;
    std::unique_ptr<HttpFaultServer> m_server;
    std::unique_ptr<Volume> m_card;
    std::unique_ptr<Updater> m_updater;
    std::function<void(const QString &)> m_onSignal;
    QString m_baseUrl;
    QMap<QByteArray, QByteArray> m_published;
    int m_fileRequests = 0;
    int m_pulledCard = -1;
    QString m_pulledMountPoint;
};

// The frame of every fault test case: a fresh rig, the program's log shown
// only when the case fails, and nothing left behind once it passed.
class FaultTest : public QObject
{
    Q_OBJECT

protected:
    std::unique_ptr<FaultRig> rig;

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

private:
    void verifyNothingLeft();
};

// Runs an action in the test's thread right after a chosen step of the
// device writer's write, holding the writer there until it is done.
namespace WriterHook {
void atStep(int step, const std::function<void()> &action);
}

#endif
