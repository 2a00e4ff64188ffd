#ifndef ZUV_UPDATER_UPDATER_P_H
#define ZUV_UPDATER_UPDATER_P_H

#include "device/deviceinfo.h"

#include <QFutureWatcher>
#include <QList>
#include <QObject>
#include <QString>

QT_BEGIN_NAMESPACE
class QNetworkAccessManager;
class QNetworkReply;
QT_END_NAMESPACE

class Update;
class Updater;

class UpdaterPrivate : public QObject
{
    Q_OBJECT

public:
    explicit UpdaterPrivate(Updater *q);
    ~UpdaterPrivate() override;

    // A reply body larger than this is not read: the change list and the
    // server's FW.ZUV are small texts.
    static constexpr qint64 MaximumReplySize = 16 * 1024 * 1024;

    QNetworkReply *get(const QString &url);
    void requestChangelog();
    void requestUpdateInfo();
    bool checkReply(QNetworkReply *reply);

    void addBootloaderPackage();
    void addPrimaryFirmwarePackage();
    void addSecondaryFirmwarePackages();

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
    // The base address pattern, read once when the object is built.
    QString serverBaseUrl;

public Q_SLOTS:
    void scanFinished();
    void readChangelog();
    void readUpdateFW();

private:
    void limitReplySize(QNetworkReply *reply);
};

#endif
