#ifndef ZUV_UPDATER_UPDATER_H
#define ZUV_UPDATER_UPDATER_H

#include <QObject>
#include <QStringList>

class UpdaterPrivate;

// The one object the window works the program through: finds the device,
// asks the update server what it offers and starts an update.
class Updater : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString version READ version)
    Q_PROPERTY(QStringList devices READ devices)
    Q_PROPERTY(QString bootloaderVersion READ bootloaderVersion NOTIFY connectedToDevice)
    Q_PROPERTY(QString primaryVersion READ primaryVersion NOTIFY connectedToDevice)
    Q_PROPERTY(QString secondaryVersion READ secondaryVersion NOTIFY connectedToDevice)
    Q_PROPERTY(QString bootloaderUpdateVersion READ bootloaderUpdateVersion NOTIFY updateInfoChanged)
    Q_PROPERTY(QString primaryUpdateVersion READ primaryUpdateVersion NOTIFY updateInfoChanged)
    Q_PROPERTY(QString secondaryUpdateVersion READ secondaryUpdateVersion NOTIFY updateInfoChanged)
    Q_PROPERTY(QString changelist READ changelist NOTIFY connectedToDevice)
    Q_PROPERTY(QString lastError READ lastError NOTIFY updateServerConnectionError)
    Q_PROPERTY(QString updateError READ updateError NOTIFY downloadError)

public:
    explicit Updater(QObject *parent = nullptr);
    ~Updater() override;

    QString version() const;
    QStringList devices() const;
    QString bootloaderVersion() const;
    QString primaryVersion() const;
    QString secondaryVersion() const;
    QString bootloaderUpdateVersion() const;
    QString primaryUpdateVersion() const;
    QString secondaryUpdateVersion() const;
    QString changelist() const;
    QString lastError() const;
    // Why the last update run failed, in capitals for the window.
    QString updateError() const;

public Q_SLOTS:
    void scan();
    void connectToDevice();
    void checkForUpdates();
    void update();

Q_SIGNALS:
    void noDeviceFound();
    void multipleDevicesFound();
    void connectingToDevice();
    void connectedToDevice();
    void updateAvailable();
    void updateInfoChanged();
    void updateServerConnectionError();
    void nothingToUpdate();
    void preparingDownloadList();
    void downloadedFiles(int count, int total);
    void downloadError();
    void updateReady();
    void bootloaderUpdateReady();
    void veryfingDownloadedFiles();
    void copyingFiles();

private:
    friend class UpdaterPrivate;
    UpdaterPrivate *d;
};

#endif
