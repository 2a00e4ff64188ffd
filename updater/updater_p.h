#ifndef ZUV_UPDATER_UPDATER_P_H
#define ZUV_UPDATER_UPDATER_P_H

#include "device/deviceinfo.h"
#include "update/release/releaserecord.h"
#include "update/release/serverlayout.h"

#include <QFutureWatcher>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

QT_BEGIN_NAMESPACE
class QNetworkAccessManager;
class QNetworkReply;
class QUrl;
QT_END_NAMESPACE

class Update;
class Updater;

class UpdaterPrivate : public QObject
{
    Q_OBJECT

public:
    explicit UpdaterPrivate(Updater *q);
    ~UpdaterPrivate() override;

    static UpdaterPrivate *get(Updater *updater);

    // How long a server may send nothing before its transfer fails, in
    // milliseconds, for every request of the updater and its update runs.
    void setStallTimeout(int milliseconds);

    // A reply body larger than this is not read: the change list and the
    // server's FW.ZUV are small texts.
    static constexpr qint64 MaximumReplySize = 16 * 1024 * 1024;
    // Nor does either take minutes to arrive.
    static constexpr int DefaultQueryDeadline = 120000;

    QNetworkReply *get(const QString &url);
    void abandonQueries();
    void announceLater(void (Updater::*signal)());
    void requestChangelog();
    void requestUpdateInfo();
    bool checkReply(QNetworkReply *reply);

    void addBootloaderPackage();
    void addPrimaryFirmwarePackage();
    void addSecondaryFirmwarePackages();
    void addPackage(const QString &deviceDirectory, ServerLayout::Firmware firmware, const QString &versionOrResource);

    QString deviceBaseUrl() const;

    Updater *q;
    QString version;
    QFutureWatcher<QList<Device::Info>> scanWatcher;
    Device::Info currentDevice;
    QList<Device::Info> deviceList;
    QNetworkAccessManager *networkManager;
    Update *updateRun;
    QString changelist;
    QString lastError;
    // Why the last run failed, taken when it reported the failure.
    QString updateError;
    // The base address pattern, read once when the object is built.
    QString serverBaseUrl;
    // The change list and FW.ZUV requests still running, and the scans so
    // far: neither outlives the scan that follows.
    QList<QPointer<QNetworkReply>> queries;
    quint64 scanSerial = 0;
    int queryDeadline = DefaultQueryDeadline;
    // With release keys: the signed record of the release offered, once
    // FW.ZUV has been read, and the digest of the change list shown.
    ReleaseRecord record;
    bool haveRecord = false;
    QByteArray changelistDigest;

public Q_SLOTS:
    void scanFinished();
    void readChangelog();
    void readUpdateFW();
    void runFailed();

private:
    void showChangelist(const QByteArray &body);
    void checkChangelist(const QUrl &url, const QByteArray &body);
    QString acceptRecord(const QByteArray &infoFile, ReleaseRecord *accepted) const;
    void useSigned(QNetworkReply *reply, const QByteArray &body, const std::function<void()> &use);
    void reportReplyFailure(QNetworkReply *reply, const QString &reason);
    void reportFailure(const QUrl &url, const QString &reason);
    void reportTemporaryFileFailure(const QString &what, const QString &reason);
};

#endif
