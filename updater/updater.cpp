#include "updater.h"
#include "updater_p.h"

#include "device/volumescan.h"
#include "helpers/network.h"
#include "helpers/requestqueue.h"
#include "serveraddress.h"
#include "signaturereply_p.h"
#include "update/release/releasesignature.h"
#include "update/release/serverlayout.h"
#include "update/run/update.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSharedPointer>
#include <QTemporaryFile>
#include <QTimer>
#include <QtConcurrent>

namespace {

// The window shows every text in capitals: the device names, the change
// list and the reasons of failures, whatever case they come in.
QString shown(const QString &text)
{
    return text.toUpper();
}

// Announcements that end a step of the user's flow come this long after the
// event, so each page is seen for a moment.
constexpr int AnnouncementDelay = 500;

// The change list is UTF-8 text that ends at the first zero byte, if any.
QString decodeChangelist(const QByteArray &body)
{
    const int zero = body.indexOf('\0');
    return QString::fromUtf8(zero < 0 ? body : body.left(zero));
}

} // namespace

UpdaterPrivate::UpdaterPrivate(Updater *q)
    : QObject(q)
    , q(q)
    , version(QStringLiteral("0.9.529"))
    , networkManager(new QNetworkAccessManager(this))
    , updateRun(new Update(networkManager, this))
    , serverBaseUrl(ServerAddress::basePattern())
{
    connect(&scanWatcher, SIGNAL(finished()), this, SLOT(scanFinished()));
    connect(updateRun, SIGNAL(preparingDownloadList()), q, SIGNAL(preparingDownloadList()));
    connect(updateRun, SIGNAL(downloadedFiles(int, int)), q, SIGNAL(downloadedFiles(int, int)));
    connect(updateRun, &Update::downloadError, this, &UpdaterPrivate::runFailed);
    connect(updateRun, SIGNAL(veryfingDownloadedFiles()), q, SIGNAL(veryfingDownloadedFiles()));
    connect(updateRun, SIGNAL(copyingFiles()), q, SIGNAL(copyingFiles()));
    updateRun->setReleaseRecordRequired(ReleaseSignature::required());
    if (!ReleaseSignature::required())
        qDebug() << Q_FUNC_INFO << "Built without release keys: nothing the update server sends is checked";
}

// The update run goes first: it still holds replies of the network manager,
// which deletes every reply it owns when it goes.
UpdaterPrivate::~UpdaterPrivate()
{
    delete updateRun;
}

QString UpdaterPrivate::deviceBaseUrl() const
{
    return serverBaseUrl.arg(Device::typeName(currentDevice.type));
}

// Scan handling and device connection

void UpdaterPrivate::scanFinished()
{
    qDebug() << Q_FUNC_INFO;
    deviceList.clear();
    const QList<Device::Info> found = scanWatcher.future().resultAt(0);
    for (const Device::Info &device : found) {
        if (device.isValid())
            deviceList.append(device);
    }

    if (deviceList.isEmpty())
        QTimer::singleShot(AnnouncementDelay, q, &Updater::noDeviceFound);
    else if (deviceList.size() == 1)
        QTimer::singleShot(AnnouncementDelay, q, &Updater::connectToDevice);
    else
        QTimer::singleShot(AnnouncementDelay, q, &Updater::multipleDevicesFound);
}

// Update server queries

QNetworkReply *UpdaterPrivate::get(const QString &url)
{
    QNetworkReply *reply = Helpers::Network::get(networkManager, url);
    connect(reply, SIGNAL(finished()), reply, SLOT(deleteLater()));
    // A body far larger than any change list would only fill memory: the
    // transfer stops and checkReply() reports it.
    Helpers::Network::limitBodySize(reply, MaximumReplySize);
    // A server that sends a byte now and then never stalls; the query still
    // ends.
    QTimer::singleShot(queryDeadline, reply, [reply] {
        reply->setProperty("deadlinePassed", true);
        reply->abort();
    });
    queries.removeAll(nullptr);
    queries.append(reply);
    return reply;
}

// A new scan may find another device, or none: what was asked for the
// device of the last scan is no longer wanted, nor announced.
void UpdaterPrivate::abandonQueries()
{
    ++scanSerial;
    const QList<QPointer<QNetworkReply>> abandoned = queries;
    queries.clear();
    for (QNetworkReply *reply : abandoned) {
        if (!reply)
            continue;
        disconnect(reply, nullptr, this, nullptr);
        reply->abort();
    }
}

// The outcome of a query is announced a moment later, unless a scan came
// in between.
void UpdaterPrivate::announceLater(void (Updater::*signal)())
{
    QTimer::singleShot(AnnouncementDelay, q, [this, signal, serial = scanSerial] {
        if (serial == scanSerial)
            emit(q->*signal)();
    });
}

void UpdaterPrivate::requestChangelog()
{
    QNetworkReply *reply = get(ServerLayout::address(deviceBaseUrl(), ServerLayout::changelistFileName()));
    connect(reply, SIGNAL(finished()), this, SLOT(readChangelog()));
}

void UpdaterPrivate::requestUpdateInfo()
{
    QNetworkReply *reply = get(ServerLayout::address(deviceBaseUrl(), ServerLayout::infoFileName()));
    connect(reply, SIGNAL(finished()), this, SLOT(readUpdateFW()));
}

bool UpdaterPrivate::checkReply(QNetworkReply *reply)
{
    const int status = Helpers::Network::statusCode(reply);
    qDebug() << Q_FUNC_INFO << status;
    const bool tooLarge = Helpers::Network::bodyTooLarge(reply);
    if (Helpers::Network::succeeded(reply) && !tooLarge)
        return true;

    QString reason = Helpers::Network::failureText(reply);
    if (tooLarge)
        reason = QStringLiteral("Reply larger than %1 bytes").arg(MaximumReplySize);
    else if (reply->property("deadlinePassed").toBool())
        reason = QStringLiteral("No complete answer within %1 s").arg(queryDeadline / 1000);
    reportReplyFailure(reply, reason);
    return false;
}

void UpdaterPrivate::reportReplyFailure(QNetworkReply *reply, const QString &reason)
{
    reportFailure(reply->url(), reason);
}

void UpdaterPrivate::reportFailure(const QUrl &url, const QString &reason)
{
    lastError = shown(QStringLiteral("%1: %2").arg(url.toString(), reason));
    announceLater(&Updater::updateServerConnectionError);
}

// A program built with release keys uses a file of the server only when its
// signature, fetched next, shows that the publisher made it.
void UpdaterPrivate::useSigned(QNetworkReply *reply, const QByteArray &body, const std::function<void()> &use)
{
    if (!ReleaseSignature::required()) {
        use();
        return;
    }
    const QUrl url = reply->url();
    QNetworkReply *signature = get(ReleaseSignature::signatureName(url.toString()));
    SignatureReply::limitSize(signature);
    connect(signature, &QNetworkReply::finished, this, [this, signature, url, body, use] {
        const QString failure = SignatureReply::check(signature, body);
        if (failure.isEmpty())
            use();
        else
            reportFailure(url, failure);
    });
}

void UpdaterPrivate::reportTemporaryFileFailure(const QString &what, const QString &reason)
{
    lastError = shown(QStringLiteral("%1 temporary file: %2").arg(what, reason));
    emit q->updateServerConnectionError();
}

void UpdaterPrivate::readChangelog()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply || !checkReply(reply))
        return;
    const QByteArray body = reply->readAll();
    if (ReleaseSignature::required())
        checkChangelist(reply->url(), body);
    else
        showChangelist(body);
}

void UpdaterPrivate::showChangelist(const QByteArray &body)
{
    changelist = shown(decodeChangelist(body));
    emit q->updateInfoChanged();
    announceLater(&Updater::connectedToDevice);
}

// The change list is shown only when the signed record of the release on
// offer names it; the record comes with FW.ZUV.
void UpdaterPrivate::checkChangelist(const QUrl &url, const QByteArray &body)
{
    QNetworkReply *info = get(ServerLayout::address(deviceBaseUrl(), ServerLayout::infoFileName()));
    connect(info, &QNetworkReply::finished, this, [this, info, url, body] {
        if (!checkReply(info))
            return;
        const QByteArray infoFile = info->read(Device::MaximumInfoFileSize);
        useSigned(info, infoFile, [this, url, body, infoFile] {
            ReleaseRecord accepted;
            changelistDigest = ReleaseRecord::sha256Hex(body);
            const QString problem = acceptRecord(infoFile, &accepted);
            if (problem.isEmpty())
                showChangelist(body);
            else
                reportFailure(url, problem);
        });
    });
}

// Empty when FW.ZUV carries a record that may be installed on the device
// connected and names the change list shown; otherwise why not.
QString UpdaterPrivate::acceptRecord(const QByteArray &infoFile, ReleaseRecord *accepted) const
{
    QString problem;
    if (!accepted->parse(infoFile, &problem))
        return problem;
    problem = accepted->problem(Device::typeName(currentDevice.type),
                                ReleaseRecord::cardSequence(currentDevice.rootPath), QDateTime::currentDateTimeUtc());
    const ReleaseRecord::Digest *digest = accepted->digest(ServerLayout::changelistFileName());
    if (problem.isEmpty() && (!digest || digest->sha256 != changelistDigest))
        problem = QStringLiteral("the change list is not the one of the release on offer");
    qDebug() << Q_FUNC_INFO << accepted->model << accepted->sequence << problem;
    return problem;
}

void UpdaterPrivate::readUpdateFW()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply || !checkReply(reply))
        return;

    // The real file is a few lines; a larger one is no information file,
    // and the reader would take it for one offering no versions at all.
    const QByteArray body = reply->readAll();
    if (body.size() > Device::MaximumInfoFileSize) {
        reportReplyFailure(reply, QStringLiteral("Reply larger than %1 bytes").arg(Device::MaximumInfoFileSize));
        return;
    }

    // Kept until the signature has been checked, and removed with the last
    // copy of the pointer.
    QSharedPointer<QTemporaryFile> file(new QTemporaryFile);
    // Qt answers a temporary location that does not exist with an empty
    // path, which would put the file at the file-system root.
    const bool haveTempDir = !QDir::tempPath().isEmpty();
    if (!haveTempDir || !file->open()) {
        reportTemporaryFileFailure(QStringLiteral("Creating"),
                                   haveTempDir ? file->errorString() : QStringLiteral("No temporary directory"));
        return;
    }
    // A full temporary volume would leave a cut-off copy, read as missing
    // or shortened versions.
    if (file->write(body) != body.size() || !file->flush()) {
        reportTemporaryFileFailure(QStringLiteral("Writing"), file->errorString());
        return;
    }
    file->close();
    qDebug() << Q_FUNC_INFO << file->fileName();
    haveRecord = false;
    const QUrl url = reply->url();
    useSigned(reply, body, [this, file, body, url] {
        if (ReleaseSignature::required()) {
            ReleaseRecord accepted;
            const QString problem = acceptRecord(body, &accepted);
            if (!problem.isEmpty()) {
                reportFailure(url, problem);
                return;
            }
            record = accepted;
            haveRecord = true;
        }
        currentDevice.readUpdateInfo(file->fileName());
        announceLater(&Updater::updateInfoChanged);
        announceLater(&Updater::updateAvailable);
    });
}

// The reason of a failed run is in place before the window hears of the
// failure, whatever the run does next.
void UpdaterPrivate::runFailed()
{
    updateError = shown(updateRun->errorString());
    emit q->downloadError();
}

// Starting an update

void UpdaterPrivate::addBootloaderPackage()
{
    addPackage(QString(), ServerLayout::Bootloader, currentDevice.bootloaderUpdateVersion);
}

void UpdaterPrivate::addPrimaryFirmwarePackage()
{
    addPackage(QString(), ServerLayout::PrimaryFirmware, currentDevice.primaryUpdateVersion);
}

// Each resource directory of the server goes to the card's directory of
// the same name; the firmware versions go to the card's root.
void UpdaterPrivate::addSecondaryFirmwarePackages()
{
    for (const QString &resource : ServerLayout::resourceDirectories())
        addPackage(resource, ServerLayout::SecondaryFirmware, resource);
    addPackage(QString(), ServerLayout::SecondaryFirmware, currentDevice.secondaryUpdateVersion);
}

void UpdaterPrivate::addPackage(const QString &deviceDirectory, ServerLayout::Firmware firmware,
                                const QString &versionOrResource)
{
    updateRun->addUpdateDirectory(
        deviceDirectory, ServerLayout::address(deviceBaseUrl(), ServerLayout::manifestPath(firmware, versionOrResource)));
}

// Updater

Updater::Updater(QObject *parent)
    : QObject(parent)
    , d(new UpdaterPrivate(this))
{
}

Updater::~Updater()
{
    delete d;
}

UpdaterPrivate *UpdaterPrivate::get(Updater *updater)
{
    return updater->d;
}

void UpdaterPrivate::setStallTimeout(int milliseconds)
{
    Helpers::RequestQueue::of(networkManager)->setStallTimeout(milliseconds);
}

QString Updater::version() const
{
    return d->version;
}

QStringList Updater::devices() const
{
    QStringList names;
    for (const Device::Info &device : qAsConst(d->deviceList))
        names.append(shown(device.displayName()));
    return names;
}

QString Updater::bootloaderVersion() const
{
    return d->currentDevice.bootloaderVersion;
}

QString Updater::primaryVersion() const
{
    return d->currentDevice.primaryVersion;
}

QString Updater::secondaryVersion() const
{
    return d->currentDevice.secondaryVersion;
}

QString Updater::bootloaderUpdateVersion() const
{
    return d->currentDevice.bootloaderUpdateVersion;
}

QString Updater::primaryUpdateVersion() const
{
    return d->currentDevice.primaryUpdateVersion;
}

QString Updater::secondaryUpdateVersion() const
{
    return d->currentDevice.secondaryUpdateVersion;
}

QString Updater::changelist() const
{
    return d->changelist;
}

QString Updater::lastError() const
{
    return d->lastError;
}

QString Updater::updateError() const
{
    return d->updateError;
}

void Updater::scan()
{
    d->abandonQueries();
    d->updateRun->reset(QString());
    d->scanWatcher.setFuture(QtConcurrent::run(&Device::scanVolumes));
}

void Updater::connectToDevice()
{
    if (d->deviceList.size() != 1)
        return;
    emit connectingToDevice();
    d->currentDevice = d->deviceList.first();
    d->haveRecord = false;
    d->changelistDigest.clear();
    d->requestChangelog();
}

void Updater::checkForUpdates()
{
    d->requestUpdateInfo();
}

void Updater::update()
{
    const Device::Info &device = d->currentDevice;
    d->updateRun->reset(device.rootPath, device.infoFileSnapshot);
    if (d->haveRecord)
        d->updateRun->setReleaseRecord(d->record, d->deviceBaseUrl());
    disconnect(d->updateRun, SIGNAL(updateReady()), this, nullptr);

    if (device.bootloaderVersion != device.bootloaderUpdateVersion) {
        connect(d->updateRun, SIGNAL(updateReady()), this, SIGNAL(bootloaderUpdateReady()));
        d->addBootloaderPackage();
    } else {
        connect(d->updateRun, SIGNAL(updateReady()), this, SIGNAL(updateReady()));
        if (device.primaryVersion != device.primaryUpdateVersion)
            d->addPrimaryFirmwarePackage();
        if (device.secondaryVersion != device.secondaryUpdateVersion)
            d->addSecondaryFirmwarePackages();
    }

    if (d->updateRun->hasUpdateDirectories())
        d->updateRun->start();
    else
        emit nothingToUpdate();
}
