#include "faultrig.h"
#include "testfiles.h"

#include "update/card/devicewriter_p.h"
#include "updater/updater.h"
#include "updater/updater_p.h"

#include <QDir>
#include <QDirIterator>
#include <QMetaMethod>
#include <QSettings>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <fcntl.h>
#include <unistd.h>

// How long a server may stay silent in the fault tests, in milliseconds.
constexpr int StallTimeout = 1000;

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

// The firmware directories written over the old card; a resource directory
// goes to the card's directory of the same name.
Files firmwareCard()
{
    Files card = oldCard();
    card.remove(QStringLiteral("ZUV.FW"));
    const QMap<QString, Files> server = serverDirectories();
    for (auto dir = server.cbegin(); dir != server.cend(); ++dir) {
        if (dir.key().startsWith(QLatin1String("Bootloader/")))
            continue;
        const QString name = dir.key().section(QLatin1Char('/'), -1);
        const QString prefix = QStringList{"ANIM", "IMAGES", "SOUNDS"}.contains(name) ? name + '/' : QString();
        for (auto file = dir->cbegin(); file != dir->cend(); ++file)
            card.insert(prefix + file.key(), file.value());
    }
    return card;
}

QByteArray manifestText(const Files &files)
{
    QByteArray text;
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        text += md5Hex(it.value()) + "  " + it.key().toUtf8() + '\n';
    return text;
}

QByteArray filePath(const QString &serverDirectory, const QString &file)
{
    return "/ZUVUpdater/TheOrvik//" + serverDirectory.toUtf8() + '/' + file.toUtf8();
}

} // namespace Release

namespace WriterHook {
namespace {

std::atomic<int> targetStep{0};
std::function<void()> stepAction; // set before targetStep, read after it

// The writer waits while the test's event loop runs the action.
void hook(int step, const char *)
{
    int expected = step;
    if (targetStep.compare_exchange_strong(expected, 0))
        QMetaObject::invokeMethod(QCoreApplication::instance(), stepAction, Qt::BlockingQueuedConnection);
}

void clear()
{
    targetStep.store(0);
    QThreadPool::globalInstance()->waitForDone(30000);
    DeviceWriterPrivate::setStepHook(nullptr);
}

} // namespace

void atStep(int step, const std::function<void()> &action)
{
    stepAction = action;
    targetStep.store(step);
    DeviceWriterPrivate::setStepHook(hook);
}

} // namespace WriterHook

// ---------------------------------------------------------------- rig

namespace {

// The signals that end a step of the user's flow with a page of its own.
const QStringList Endings{"noDeviceFound",   "multipleDevicesFound", "updateServerConnectionError",
                          "nothingToUpdate", "downloadError",        "updateReady",
                          "bootloaderUpdateReady"};

QStringList entriesBelow(const QString &path)
{
    QStringList entries;
    QDirIterator it(path, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        entries.append(QDir(path).relativeFilePath(it.next()));
    return entries;
}

} // namespace

FaultRig::~FaultRig()
{
    destroyUpdater();
    WriterHook::clear();
    if (m_pulledCard >= 0)
        ::close(m_pulledCard);
}

bool FaultRig::setUp()
{
    m_temp = std::make_unique<PrivateTemp>();
    m_server = std::make_unique<HttpFaultServer>();
    if (!insertCard(Release::oldCard()) || !m_server->listen())
        return false;
    m_baseUrl = m_server->baseUrl();
    connect(m_server.get(), &HttpFaultServer::requestReceived, this, [this](int index) {
        const QByteArray path = m_server->requests().at(index).path;
        const bool file =
            !path.endsWith("/manifest.txt") && path != Release::ChangelistPath && path != Release::InfoPath;
        const int fileRequest = file ? ++m_fileRequests : 0;
        if (onRequest)
            onRequest(fileRequest, path);
    });
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, "ZUV Systems", "ZUV Update Manager");
    settings.setValue("UpdateServer", m_baseUrl);
    settings.sync();
    publish();
    return settings.status() == QSettings::NoError;
}

void FaultRig::publish()
{
    onRequest = nullptr;
    m_onSignal = nullptr;
    m_published.clear();
    m_published.insert(Release::ChangelistPath, "Version 2\nFaster start-up\nQuieter fan\n");
    m_published.insert(Release::InfoPath, "VER_BOOT=B1\nVER_PRI=P2\nVER_SEC=S2\n");
    const QMap<QString, Files> directories = Release::serverDirectories();
    for (auto dir = directories.cbegin(); dir != directories.cend(); ++dir) {
        m_published.insert(Release::manifestPath(dir.key()), Release::manifestText(dir.value()));
        for (auto file = dir->cbegin(); file != dir->cend(); ++file)
            m_published.insert(Release::filePath(dir.key(), file.key()), file.value());
    }
    for (auto it = m_published.cbegin(); it != m_published.cend(); ++it)
        m_server->setBody(it.key(), it.value());
}

Updater *FaultRig::updater()
{
    if (m_updater)
        return m_updater.get();
    m_updater = std::make_unique<Updater>();
    UpdaterPrivate::get(m_updater.get())->setStallTimeout(StallTimeout);
    const QMetaObject &meta = Updater::staticMetaObject;
    const QMetaMethod recorder = staticMetaObject.method(staticMetaObject.indexOfSlot("recordSignal()"));
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        if (meta.method(i).methodType() == QMetaMethod::Signal && meta.method(i).parameterCount() == 0)
            connect(m_updater.get(), meta.method(i), this, recorder);
    }
    connect(m_updater.get(), &Updater::downloadedFiles, this, [this](int count, int total) {
        record(QStringLiteral("downloadedFiles %1/%2").arg(count).arg(total));
    });
    return m_updater.get();
}

void FaultRig::destroyUpdater()
{
    m_updater.reset();
}

void FaultRig::atSignal(const QString &prefix, const std::function<void()> &action)
{
    m_onSignal = [prefix, action, done = false](const QString &name) mutable {
        if (!done && name.startsWith(prefix)) {
            done = true;
            action();
        }
    };
}

void FaultRig::recordSignal()
{
    record(QString::fromLatin1(sender()->metaObject()->method(senderSignalIndex()).name()));
}

// Presses the buttons the way a user would, as soon as each page offers them.
void FaultRig::record(const QString &name)
{
    signalLog.append(name);
    if (m_onSignal)
        m_onSignal(name);
    if (!autoDrive || (name != QLatin1String("connectedToDevice") && name != QLatin1String("updateAvailable")))
        return;
    QTimer::singleShot(0, this, [this, name] {
        if (m_updater && name == QLatin1String("connectedToDevice"))
            m_updater->checkForUpdates();
        else if (m_updater && updateOffered())
            m_updater->update();
    });
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

int FaultRig::startFlow()
{
    const int from = signalLog.size();
    updater()->scan();
    return from;
}

QString FaultRig::waitForEnding(int from)
{
    if (waitFor(Endings, from).isEmpty())
        return QString();
    QTest::qWait(SettleMs);
    QStringList found;
    for (const QString &name : signalLog.mid(from)) {
        if (Endings.contains(name))
            found.append(name);
    }
    return found.join(QStringLiteral(", "));
}

QString FaultRig::waitFor(const QStringList &names, int from)
{
    const auto first = [&] {
        for (const QString &name : signalLog.mid(from)) {
            if (names.contains(name))
                return name;
        }
        return QString();
    };
    return QTest::qWaitFor([&] { return !first().isEmpty(); }, 60000) ? first() : QString();
}

QString FaultRig::difference(const Files &actual, const Files &expected)
{
    const auto size = [](const Files &files, const QString &path) {
        return files.contains(path) ? QString::number(files.value(path).size()) : QStringLiteral("none");
    };
    Files all = actual;
    all.insert(expected);
    QStringList differences;
    for (const QString &path : all.keys()) {
        if (actual.contains(path) != expected.contains(path) || actual.value(path) != expected.value(path))
            differences.append(QStringLiteral("%1: %2 bytes, expected %3").arg(path, size(actual, path), size(expected, path)));
    }
    return differences.join(QStringLiteral("; "));
}

QString FaultRig::leftovers(bool withKeptFiles)
{
    const bool pulled = !m_pulledMountPoint.isEmpty();
    QStringList found;
    for (const QString &entry : entriesBelow(QFileInfo(pulled ? m_pulledMountPoint : m_card->rootPath()).path())) {
        if (entry != QLatin1String("card") && (pulled || !entry.startsWith(QLatin1String("card/"))))
            found.append(entry);
    }
    QThreadPool::globalInstance()->waitForDone(30000);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
    for (const QString &entry : m_temp->leftovers()) {
        if (withKeptFiles || !entry.section(QLatin1Char('/'), 0, 0).contains(QLatin1String("-kept-")))
            found.append(QStringLiteral("TMPDIR/") + entry);
    }
    return found.join(QStringLiteral(", "));
}

bool FaultRig::pullCard()
{
    m_pulledMountPoint = m_card->rootPath();
    m_pulledCard = ::open(QFile::encodeName(m_pulledMountPoint).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return m_pulledCard >= 0 && m_card->unmount(true);
}

Files FaultRig::pulledCardFiles() const
{
    const QString root = QStringLiteral("/proc/self/fd/%1").arg(m_pulledCard);
    Files files;
    for (const QString &entry : entriesBelow(root)) {
        QFile file(root + '/' + entry);
        if (QFileInfo(file).isFile())
            files.insert(entry, file.open(QIODevice::ReadOnly) ? file.readAll() : "?");
    }
    return files;
}

bool FaultRig::insertCard(const Files &files)
{
    if (m_pulledCard >= 0)
        ::close(m_pulledCard);
    m_pulledCard = -1;
    m_pulledMountPoint.clear();
    m_card = std::make_unique<Volume>(8 * 1024 * 1024);
    if (!m_card->mount())
        return false;
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        m_card->writeFile(it.key(), it.value());
    return true;
}

QString FaultRig::repairThenUpdate()
{
    publish();
    onRequest = [this](int fileRequest, const QByteArray &path) {
        if (fileRequest > 0)
            m_server->setBody(path, "gone", 404);
    };
    // The card as the repair left it, before anything of this run is
    // copied: at the first download counted, or at the end of the run.
    Files repaired;
    bool seen = false;
    atSignal("downloadedFiles", [&] {
        repaired = m_card->snapshot();
        seen = true;
    });
    const QString repairRun = runFlow();
    if (!seen)
        repaired = m_card->snapshot();
    const QString oldCard = difference(repaired, Release::oldCard());
    const QString newCard = difference(repaired, Release::firmwareCard());
    const bool ended = repairRun == QLatin1String("downloadError") || repairRun == QLatin1String("updateReady");
    const QString state = ended && oldCard.isEmpty() ? QStringLiteral("old")
        : ended && newCard.isEmpty()                 ? QStringLiteral("new")
                                                     : QString();
    if (state.isEmpty())
        return QStringLiteral("!the repairing run ended with %1; old card: %2; new card: %3").arg(repairRun, oldCard, newCard);

    // The user stays on the device page and presses UPDATE again.
    publish();
    const int from = signalLog.size();
    updater()->update();
    const QString updateRun = waitForEnding(from);
    if (updateRun != QLatin1String("updateReady") || !cardDifference(Release::firmwareCard()).isEmpty())
        return QStringLiteral("!the following update ended with %1: %2").arg(updateRun, cardDifference(Release::firmwareCard()));
    return state;
}

// ---------------------------------------------------------------- test frame

namespace {

QtMessageHandler testLog = nullptr;

} // namespace

void FaultTest::initTestCase()
{
    if (!Volume::unavailableReason().isEmpty())
        QSKIP(qPrintable(Volume::unavailableReason()));
    static QTemporaryDir config(QDir::tempPath() + QStringLiteral("/zuv-fault-config-XXXXXX"));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    // The program logs every step; those lines are shown for a failed case only.
    testLog = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &context, const QString &message) {
        if (type != QtDebugMsg && type != QtInfoMsg)
            testLog(type, context, message);
    });
}

void FaultTest::init()
{
    rig = std::make_unique<FaultRig>();
    QVERIFY(rig->setUp());
}

void FaultTest::cleanup()
{
    if (rig && !QTest::currentTestFailed())
        verifyNothingLeft();
    if (rig && QTest::currentTestFailed()) {
        fprintf(stderr, "Last lines of the program's log:\n");
        const QStringList lines = rig->logLines();
        for (const QString &line : lines.mid(std::max(0, lines.size() - 300)))
            fprintf(stderr, "  %s\n", qPrintable(line.left(300)));
    }
    rig.reset();
}

// Once the run ended, and again once the program is closed.
void FaultTest::verifyNothingLeft()
{
    QCOMPARE(rig->leftovers(), QString());
    rig->destroyUpdater();
    QCOMPARE(rig->leftovers(true), QString());
}
