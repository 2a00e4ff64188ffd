#ifndef ZUV_TESTS_UPDATERSTANDIN_H
#define ZUV_TESTS_UPDATERSTANDIN_H

#include <QObject>
#include <QStringList>

// Takes the place of the program's Updater in front of the window: the
// Updater's properties, signals and slots (the QML suite checks that they
// match), with values that a test sets and counters of the slot calls.
// Tests emit the signals themselves.
class UpdaterStandIn : public QObject
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

    Q_PROPERTY(int scanCalls READ scanCalls NOTIFY callsChanged)
    Q_PROPERTY(int checkForUpdatesCalls READ checkForUpdatesCalls NOTIFY callsChanged)
    Q_PROPERTY(int updateCalls READ updateCalls NOTIFY callsChanged)

public:
    using QObject::QObject;

    QString version() const { return QStringLiteral("0.9.529"); }
    QStringList devices() const { return {}; }
    QString bootloaderVersion() const { return m_current.value(0); }
    QString primaryVersion() const { return m_current.value(1); }
    QString secondaryVersion() const { return m_current.value(2); }
    QString bootloaderUpdateVersion() const { return m_offered.value(0); }
    QString primaryUpdateVersion() const { return m_offered.value(1); }
    QString secondaryUpdateVersion() const { return m_offered.value(2); }
    QString changelist() const { return m_changelist; }
    QString lastError() const { return m_lastError; }
    QString updateError() const { return m_updateError; }

    int scanCalls() const { return m_scanCalls; }
    int checkForUpdatesCalls() const { return m_checkCalls; }
    int updateCalls() const { return m_updateCalls; }

    // Values take effect in the window when the matching signal is emitted,
    // as with the real object.
    Q_INVOKABLE void setDevice(const QString &bootloader, const QString &primary, const QString &secondary)
    {
        m_current = QStringList{bootloader, primary, secondary};
    }
    Q_INVOKABLE void setOffer(const QString &bootloader, const QString &primary, const QString &secondary)
    {
        m_offered = QStringList{bootloader, primary, secondary};
    }
    Q_INVOKABLE void setChangelist(const QString &text) { m_changelist = text; }
    Q_INVOKABLE void setLastError(const QString &text) { m_lastError = text; }
    Q_INVOKABLE void setUpdateError(const QString &text) { m_updateError = text; }
    // Forgets all values and call counts.
    Q_INVOKABLE void reset();

public Q_SLOTS:
    void scan() { count(m_scanCalls); }
    void connectToDevice() {}
    void checkForUpdates() { count(m_checkCalls); }
    void update() { count(m_updateCalls); }

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

    void callsChanged();

private:
    void count(int &calls)
    {
        ++calls;
        Q_EMIT callsChanged();
    }

    QStringList m_current;
    QStringList m_offered;
    QString m_changelist;
    QString m_lastError;
    QString m_updateError;
    int m_scanCalls = 0;
    int m_checkCalls = 0;
    int m_updateCalls = 0;
};

#endif
