#include "faultrig.h"

#include "helpers/network.h"
#include "update/devicewriter.h"
#include "updater/updater.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QMutex>
#include <QSemaphore>
#include <QSettings>
#include <QThreadPool>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <fcntl.h>
#include <unistd.h>

namespace Release {

const QByteArray ChangelistPath = "/ZUVUpdater/TheOrvik//changelist.txt";
const QByteArray InfoPath = "/ZUVUpdater/TheOrvik//FW.ZUV";

namespace {

// Content that differs from byte to byte, so that a file cut short or
// shifted never hashes like the whole one.
QByteArray content(char seed, int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((seed * 131 + i * 7 + (i >> 8)) & 0xff);
    return bytes;
}

Files withRelease(const QStringList &directories)
{
    Files card = oldCard();
    card.remove(QStringLiteral("ZUV.FW"));
    const QMap<QString, Files> server = serverDirectories();
    for (const QString &directory : directories) {
        const QString prefix = cardDirectory(directory).isEmpty() ? QString() : cardDirectory(directory) + '/';
        const Files files = server.value(directory);
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            card.insert(prefix + it.key(), it.value());
    }
    return card;
}

} // namespace

Files oldCard()
{
    return {{"FW.ZUV", "SN_PRI=ZUV-0001\nVER_BOOT=B1\nVER_PRI=P1\nVER_SEC=S1\n"},
            {"ZUV.FW", "install on the next start\n"},
            {"BOOT.BIN", content('b', 8192)},
            {"PRIMARY.BIN", content('p', 40 * 1024)},
            {"SECONDARY.BIN", content('s', 30 * 1024)},
            {"ANIM/INTRO.ANI", content('i', 5000)},
            {"IMAGES/LOGO.IMG", content('l', 6000)},
            {"SOUNDS/BEEP.SND", content('e', 3000)},
            {"USER/NOTES.TXT", "The user's own notes.\n"}};
}

QMap<QString, Files> serverDirectories()
{
    return {{"Bootloader/B2", {{"BOOT.BIN", content('B', 9000)}}},
            {"PrimaryFirmware/P2", {{"PRIMARY.BIN", content('P', 48 * 1024)}, {"LIB/PRIMARY.LIB", content('L', 7000)}}},
            {"SecondaryFirmware/S2", {{"SECONDARY.BIN", content('S', 32 * 1024)}}},
            {"SecondaryFirmware/ANIM", {{"INTRO.ANI", content('I', 5100)}, {"OUTRO.ANI", content('O', 4000)}}},
            {"SecondaryFirmware/IMAGES", {{"LOGO.IMG", content('l', 6000)}}},
            {"SecondaryFirmware/SOUNDS", {{"BEEP.SND", content('E', 3300)}, {"VOICE/HELLO.SND", content('H', 2500)}}}};
}

QStringList firmwareDirectories()
{
    return {"PrimaryFirmware/P2", "SecondaryFirmware/S2", "SecondaryFirmware/ANIM", "SecondaryFirmware/IMAGES",
            "SecondaryFirmware/SOUNDS"};
}

QString bootloaderDirectory()
{
    return QStringLiteral("Bootloader/B2");
}

Files firmwareCard()
{
    return withRelease(firmwareDirectories());
}

Files bootloaderCard()
{
    return withRelease({bootloaderDirectory()});
}

QString cardDirectory(const QString &serverDirectory)
{
    const QString name = serverDirectory.section(QLatin1Char('/'), -1);
    if (QStringList{"ANIM", "IMAGES", "SOUNDS"}.contains(name))
        return name;
    return QString();
}

QByteArray manifestText(const Files &files)
{
    QByteArray text;
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        text += QCryptographicHash::hash(it.value(), QCryptographicHash::Md5).toHex() + "  " + it.key().toUtf8() + '\n';
    return text;
}

QByteArray manifestPath(const QString &serverDirectory)
{
    return "/ZUVUpdater/TheOrvik//" + serverDirectory.toUtf8() + "/manifest.txt";
}

QByteArray filePath(const QString &serverDirectory, const QString &file)
{
    return "/ZUVUpdater/TheOrvik//" + serverDirectory.toUtf8() + '/' + file.toUtf8();
}

int firmwareDownloads()
{
    const Files before = oldCard();
    const Files after = firmwareCard();
    int count = 0;
    for (auto it = after.cbegin(); it != after.cend(); ++it)
        count += before.value(it.key()) != it.value() ? 1 : 0;
    return count;
}

} // namespace Release

QString faultName(Fault fault)
{
    switch (fault) {
    case Fault::Refused: return QStringLiteral("refused");
    case Fault::Unreachable: return QStringLiteral("unreachable");
    case Fault::NotFound: return QStringLiteral("404");
    case Fault::ServerError: return QStringLiteral("500");
    case Fault::MovedPermanently: return QStringLiteral("301");
    case Fault::Found: return QStringLiteral("302");
    case Fault::StallBeforeHeaders: return QStringLiteral("stall before headers");
    case Fault::StallInBody: return QStringLiteral("stall in body");
    case Fault::ResetInBody: return QStringLiteral("reset in body");
    case Fault::CutShort: return QStringLiteral("cut short");
    }
    return QString();
}

QList<Fault> allFaults()
{
    return {Fault::Refused,   Fault::Unreachable,        Fault::NotFound,    Fault::ServerError, Fault::MovedPermanently,
            Fault::Found,     Fault::StallBeforeHeaders, Fault::StallInBody, Fault::ResetInBody, Fault::CutShort};
}

// ---------------------------------------------------------------- log

namespace {

// The program logs every step; a test shows those lines only when it fails.
QMutex logMutex;
QStringList logLines;
QtMessageHandler previousHandler = nullptr;
constexpr int KeptLogLines = 300;

void keepLog(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtDebugMsg || type == QtInfoMsg) {
        QMutexLocker lock(&logMutex);
        logLines.append(message.left(300));
        if (logLines.size() > KeptLogLines)
            logLines.removeFirst();
        return;
    }
    if (previousHandler)
        previousHandler(type, context, message);
}

} // namespace

// ---------------------------------------------------------------- rig

const QStringList FaultRig::Endings{"noDeviceFound",  "multipleDevicesFound", "updateServerConnectionError",
                                    "nothingToUpdate", "downloadError",        "updateReady",
                                    "bootloaderUpdateReady"};

FaultRig::FaultRig() = default;

FaultRig::~FaultRig()
{
    destroyUpdater();
    WriterHook::clear();
    if (m_pulledCard >= 0)
        ::close(m_pulledCard);
}

void FaultRig::initProcess()
{
    static QTemporaryDir config(QDir::tempPath() + QStringLiteral("/zuv-fault-config-XXXXXX"));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    Helpers::Network::setStallTimeout(StallTimeoutMs);
    previousHandler = qInstallMessageHandler(keepLog);
}

void FaultRig::printLogIfFailed()
{
    QMutexLocker lock(&logMutex);
    if (QTest::currentTestFailed()) {
        fprintf(stderr, "Last lines of the program's log:\n");
        for (const QString &line : qAsConst(logLines))
            fprintf(stderr, "  %s\n", qPrintable(line));
    }
    logLines.clear();
}

bool FaultRig::setUp(qint64 cardSize)
{
    m_temp = std::make_unique<PrivateTemp>();
    m_card = std::make_unique<Volume>(cardSize);
    if (!m_card->mount())
        return false;
    const Files card = Release::oldCard();
    for (auto it = card.cbegin(); it != card.cend(); ++it)
        m_card->writeFile(it.key(), it.value());
    m_server = std::make_unique<HttpFaultServer>();
    if (!m_server->listen())
        return false;
    m_baseUrl = m_server->baseUrl();
    connect(m_server.get(), &HttpFaultServer::requestReceived, this, &FaultRig::requestReceived);
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, "ZUV Systems", "ZUV Update Manager");
    settings.setValue("UpdateServer", m_server->baseUrl());
    settings.sync();
    publish();
    return settings.status() == QSettings::NoError;
}

void FaultRig::offerBootloader()
{
    m_bootloader = true;
    publish();
}

void FaultRig::publish()
{
    beforeScan = nullptr;
    beforeCheck = nullptr;
    beforeUpdate = nullptr;
    onRequest = nullptr;
    onSignal = nullptr;
    m_published.clear();
    auto add = [this](const QByteArray &path, const QByteArray &body) {
        HttpFaultServer::Response response;
        response.body = body;
        m_published.insert(path, response);
        // The target of a redirection, which the program must not follow.
        m_published.insert(path + "?moved", response);
    };
    add(Release::ChangelistPath, "Version 2\nFaster start-up\nQuieter fan\n");
    add(Release::InfoPath, m_bootloader ? "VER_BOOT=B2\nVER_PRI=P2\nVER_SEC=S2\n" : "VER_BOOT=B1\nVER_PRI=P2\nVER_SEC=S2\n");
    const QMap<QString, Files> directories = Release::serverDirectories();
    for (auto dir = directories.cbegin(); dir != directories.cend(); ++dir) {
        add(Release::manifestPath(dir.key()), Release::manifestText(dir.value()));
        for (auto file = dir->cbegin(); file != dir->cend(); ++file)
            add(Release::filePath(dir.key(), file.key()), file.value());
    }
    for (auto it = m_published.cbegin(); it != m_published.cend(); ++it)
        m_server->setResponse(it.key(), it.value());
}

void FaultRig::setManifest(const QString &serverDirectory, const QByteArray &text)
{
    HttpFaultServer::Response response;
    response.body = text;
    m_published.insert(Release::manifestPath(serverDirectory), response);
    m_server->setResponse(Release::manifestPath(serverDirectory), response);
}

void FaultRig::inject(Fault fault, const FaultTarget &target)
{
    if (fault == Fault::Refused || fault == Fault::Unreachable) {
        auto cut = [this, fault] {
            if (fault == Fault::Refused)
                m_server->stopListening();
            else
                m_server->stopAccepting();
        };
        switch (target.kind) {
        case FaultTarget::Changelist:
            beforeScan = cut;
            return;
        case FaultTarget::InfoFile:
            beforeCheck = cut;
            return;
        case FaultTarget::Manifest:
            beforeUpdate = cut;
            return;
        case FaultTarget::File:
            // The server goes away just as the k-th file is asked for.
            onRequest = [this, fault, cut, target](int fileRequest, const QByteArray &path) {
                if (fileRequest != target.file)
                    return;
                cut();
                if (fault == Fault::Refused) {
                    m_server->dropConnections();
                } else {
                    HttpFaultServer::Response silent;
                    silent.fault = HttpFaultServer::StallBeforeHeaders;
                    m_server->setResponse(path, silent);
                }
            };
            return;
        }
    }

    onRequest = [this, fault, target](int fileRequest, const QByteArray &path) {
        bool hit = false;
        switch (target.kind) {
        case FaultTarget::Changelist: hit = path == Release::ChangelistPath; break;
        case FaultTarget::InfoFile: hit = path == Release::InfoPath; break;
        case FaultTarget::Manifest: hit = path == Release::manifestPath(target.directory); break;
        case FaultTarget::File: hit = fileRequest == target.file; break;
        }
        if (!hit)
            return;
        HttpFaultServer::Response response = m_published.value(path);
        const qint64 half = response.body.size() / 2;
        switch (fault) {
        case Fault::NotFound:
            response.status = 404;
            response.body = "Not here";
            break;
        case Fault::ServerError:
            response.status = 500;
            response.body = "Broken";
            break;
        case Fault::MovedPermanently:
        case Fault::Found:
            response.status = fault == Fault::Found ? 302 : 301;
            response.headers.append({"Location", path + "?moved"});
            response.body = "Moved";
            break;
        case Fault::StallBeforeHeaders:
            response.fault = HttpFaultServer::StallBeforeHeaders;
            break;
        case Fault::StallInBody:
            response.fault = HttpFaultServer::StallAfterHeaders;
            response.faultAfterBytes = half;
            break;
        case Fault::ResetInBody:
            response.fault = HttpFaultServer::ResetAfterBytes;
            response.faultAfterBytes = half;
            break;
        case Fault::CutShort:
            response.fault = HttpFaultServer::CloseAfterBytes;
            response.faultAfterBytes = half;
            break;
        case Fault::Refused:
        case Fault::Unreachable:
            break;
        }
        m_server->setResponse(path, response);
    };
}

void FaultRig::requestReceived(int index)
{
    const QByteArray path = m_server->requests().at(index).path;
    const bool file = path.startsWith("/ZUVUpdater/TheOrvik//") && !path.endsWith("/manifest.txt")
        && path != Release::ChangelistPath && path != Release::InfoPath && !path.endsWith("?moved");
    const int fileRequest = file ? ++m_fileRequests : 0;
    if (onRequest)
        onRequest(fileRequest, path);
}

Updater *FaultRig::updater()
{
    if (m_updater)
        return m_updater.get();
    m_updater = std::make_unique<Updater>();
    Updater *updater = m_updater.get();
    const QList<QPair<QString, void (Updater::*)()>> plain{
        {"noDeviceFound", &Updater::noDeviceFound},
        {"multipleDevicesFound", &Updater::multipleDevicesFound},
        {"connectingToDevice", &Updater::connectingToDevice},
        {"connectedToDevice", &Updater::connectedToDevice},
        {"updateAvailable", &Updater::updateAvailable},
        {"updateInfoChanged", &Updater::updateInfoChanged},
        {"updateServerConnectionError", &Updater::updateServerConnectionError},
        {"nothingToUpdate", &Updater::nothingToUpdate},
        {"preparingDownloadList", &Updater::preparingDownloadList},
        {"downloadError", &Updater::downloadError},
        {"updateReady", &Updater::updateReady},
        {"bootloaderUpdateReady", &Updater::bootloaderUpdateReady},
        {"veryfingDownloadedFiles", &Updater::veryfingDownloadedFiles},
        {"copyingFiles", &Updater::copyingFiles}};
    for (const auto &signal : plain) {
        const QString name = signal.first;
        connect(updater, signal.second, this, [this, name] { onUpdaterSignal(name); });
    }
    connect(updater, &Updater::downloadedFiles, this, [this](int count, int total) {
        onUpdaterSignal(QStringLiteral("downloadedFiles %1/%2").arg(count).arg(total));
    });
    return updater;
}

void FaultRig::destroyUpdater()
{
    m_updater.reset();
}

// Presses the buttons the way a user would, as soon as each page offers them.
void FaultRig::onUpdaterSignal(const QString &name)
{
    signalLog.append(name);
    if (onSignal)
        onSignal(name);
    if (!autoDrive)
        return;
    if (name == QLatin1String("connectedToDevice")) {
        QTimer::singleShot(0, this, [this] {
            if (!m_updater)
                return;
            if (beforeCheck)
                beforeCheck();
            m_updater->checkForUpdates();
        });
    } else if (name == QLatin1String("updateAvailable")) {
        QTimer::singleShot(0, this, [this] {
            if (!m_updater || !updateOffered())
                return;
            if (beforeUpdate)
                beforeUpdate();
            m_updater->update();
        });
    }
}

// The device page shows UPDATE only for a version the server names and the
// device does not have.
bool FaultRig::updateOffered() const
{
    const auto differs = [](const QString &offered, const QString &current) {
        return !offered.isEmpty() && offered != current;
    };
    return differs(m_updater->bootloaderUpdateVersion(), m_updater->bootloaderVersion())
        || differs(m_updater->primaryUpdateVersion(), m_updater->primaryVersion())
        || differs(m_updater->secondaryUpdateVersion(), m_updater->secondaryVersion());
}

int FaultRig::endingsSince(int from) const
{
    int count = 0;
    for (int i = from; i < signalLog.size(); ++i)
        count += Endings.contains(signalLog.at(i)) ? 1 : 0;
    return count;
}

QString FaultRig::runFlow(int timeoutMs)
{
    return waitForEnding(startFlow(), timeoutMs);
}

int FaultRig::startFlow()
{
    const int from = signalLog.size();
    if (beforeScan)
        beforeScan();
    updater()->scan();
    return from;
}

QString FaultRig::waitForEnding(int from, int timeoutMs)
{
    if (!QTest::qWaitFor([&] { return endingsSince(from) > 0; }, timeoutMs))
        return QString();
    QTest::qWait(SettleMs);
    for (int i = from; i < signalLog.size(); ++i) {
        if (Endings.contains(signalLog.at(i)))
            return signalLog.at(i);
    }
    return QString();
}

bool FaultRig::waitFor(const QString &signal, int from, int timeoutMs)
{
    return QTest::qWaitFor([&] { return signalLog.mid(from).contains(signal); }, timeoutMs);
}

QString FaultRig::difference(const Files &actual, const Files &expected)
{
    QStringList differences;
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        if (!actual.contains(it.key()))
            differences.append(QStringLiteral("missing %1").arg(it.key()));
        else if (actual.value(it.key()) != it.value())
            differences.append(QStringLiteral("%1 differs (%2 bytes, expected %3)")
                                   .arg(it.key())
                                   .arg(actual.value(it.key()).size())
                                   .arg(it.value().size()));
    }
    for (auto it = actual.cbegin(); it != actual.cend(); ++it) {
        if (!expected.contains(it.key()))
            differences.append(QStringLiteral("unexpected %1").arg(it.key()));
    }
    return differences.join(QStringLiteral("; "));
}

QString FaultRig::cardDifference(const Files &expected) const
{
    return difference(m_card->snapshot(), expected);
}

namespace {

QStringList entriesBelow(const QString &path, const QString &prefix)
{
    QStringList entries;
    QDirIterator it(path, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        entries.append(prefix + QDir(path).relativeFilePath(it.next()));
    return entries;
}

Files filesBelow(const QString &root)
{
    Files files;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile file(path);
        files.insert(QDir(root).relativeFilePath(path), file.open(QIODevice::ReadOnly) ? file.readAll() : "?");
    }
    return files;
}

} // namespace

QStringList FaultRig::strayFiles() const
{
    QStringList stray;
    const QString mountPoint = m_pulledMountPoint.isEmpty() ? m_card->rootPath() : m_pulledMountPoint;
    stray = entriesBelow(QFileInfo(mountPoint).path(), QString());
    stray = stray.filter(QRegularExpression(QStringLiteral("^(?!card(/|$))")));
    if (!m_pulledMountPoint.isEmpty())
        stray += entriesBelow(m_pulledMountPoint, QStringLiteral("card/"));
    return stray;
}

QStringList FaultRig::tempLeftovers()
{
    QThreadPool::globalInstance()->waitForDone(30000);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
    return m_temp->leftovers();
}

bool FaultRig::pullCard()
{
    m_pulledMountPoint = m_card->rootPath();
    m_pulledCard = ::open(QFile::encodeName(m_pulledMountPoint).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return m_pulledCard >= 0 && m_card->unmount(true);
}

Files FaultRig::pulledCardFiles() const
{
    return filesBelow(QStringLiteral("/proc/self/fd/%1").arg(m_pulledCard));
}

bool FaultRig::insertCard(const Files &files)
{
    m_pulledVolume = std::move(m_card);
    m_card = std::make_unique<Volume>(8 * 1024 * 1024);
    if (!m_card->mount())
        return false;
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        m_card->writeFile(it.key(), it.value());
    if (m_pulledCard >= 0)
        ::close(m_pulledCard);
    m_pulledCard = -1;
    m_pulledMountPoint.clear();
    return true;
}

QString FaultRig::repairThenUpdate()
{
    publish();
    const QMap<QString, Files> directories = Release::serverDirectories();
    for (auto dir = directories.cbegin(); dir != directories.cend(); ++dir) {
        for (auto file = dir->cbegin(); file != dir->cend(); ++file)
            m_server->setBody(Release::filePath(dir.key(), file.key()), "gone", 404);
    }
    const int repairFrom = signalLog.size();
    const QString repairRun = runFlow();
    if (endingsSince(repairFrom) != 1)
        return QStringLiteral("!the repairing run ended more than once: %1").arg(signalLog.mid(repairFrom).join(", "));
    QString state;
    if (cardDifference(Release::oldCard()).isEmpty() && repairRun == QLatin1String("downloadError"))
        state = QStringLiteral("old");
    else if (cardDifference(Release::firmwareCard()).isEmpty() && repairRun == QLatin1String("updateReady"))
        state = QStringLiteral("new");
    else
        return QStringLiteral("!after the repairing run (%1): old card: %2; new card: %3")
            .arg(repairRun, cardDifference(Release::oldCard()), cardDifference(Release::firmwareCard()));

    // The user stays on the device page and presses UPDATE again.
    publish();
    const int from = signalLog.size();
    updater()->update();
    const QString updateRun = waitForEnding(from);
    if (updateRun != QLatin1String("updateReady") || endingsSince(from) != 1
        || !cardDifference(Release::firmwareCard()).isEmpty())
        return QStringLiteral("!the following update ended with %1: %2")
            .arg(updateRun, cardDifference(Release::firmwareCard()));
    return state;
}

// ---------------------------------------------------------------- writer hook

namespace WriterHook {
namespace {

std::atomic<int> targetStep{0};
std::function<void()> stepAction; // set before targetStep, read after it
QSemaphore paused;
QSemaphore resumed;

void hook(int step, const char *)
{
    int expected = step;
    if (!targetStep.compare_exchange_strong(expected, 0))
        return;
    if (stepAction) {
        stepAction();
        return;
    }
    paused.release();
    resumed.tryAcquire(1, 30000); // never hold a writer for ever
}

void arm(int step, const std::function<void()> &action)
{
    paused.tryAcquire(paused.available());
    resumed.tryAcquire(resumed.available());
    stepAction = action;
    targetStep.store(step);
    DeviceWriter::setStepHook(hook);
}

} // namespace

void atStep(int step, const std::function<void()> &action)
{
    arm(step, action);
}

void pauseAt(int step)
{
    arm(step, nullptr);
}

bool waitUntilPaused(int timeoutMs)
{
    return QTest::qWaitFor([] { return paused.tryAcquire(); }, timeoutMs);
}

void resume()
{
    resumed.release();
}

void clear()
{
    targetStep.store(0);
    resumed.release();
    QThreadPool::globalInstance()->waitForDone(30000);
    DeviceWriter::setStepHook(nullptr);
    stepAction = nullptr;
}

} // namespace WriterHook
