#ifndef ZUV_UPDATE_UPDATE_H
#define ZUV_UPDATE_UPDATE_H

#include <QObject>

QT_BEGIN_NAMESPACE
class QNetworkAccessManager;
QT_END_NAMESPACE

class ReleaseRecord;
class UpdatePrivate;

// One update run over the files of a device: fetches the manifests of the
// update directories, finds the files the device lacks or holds in another
// version, downloads them, verifies them and writes them onto the device.
class Update : public QObject
{
    Q_OBJECT

public:
    Update(QNetworkAccessManager *manager, QObject *parent = nullptr);
    ~Update() override;

    // Abandons any run in progress and prepares a new one on the device
    // whose volume root is devicePath. An empty path leaves the object idle.
    // deviceInfoFile is the device's Device::infoFileSnapshot() from when it
    // was found: a run writes nothing unless the card still holds that file
    // (without it, the file as it is when the run starts).
    void reset(const QString &devicePath, const QByteArray &deviceInfoFile = QByteArray());
    void addUpdateDirectory(const QString &directory, const QString &manifestUrl);
    bool hasUpdateDirectories() const;
    // The signed record of the release, whose paths are relative to the
    // model's base address: every manifest and file of the run must match
    // it, and the card records it with the files. Cleared by reset().
    void setReleaseRecord(const ReleaseRecord &record, const QString &modelBaseUrl);
    // Whether a run without a release record is refused (a program with
    // release keys); kept across reset().
    void setReleaseRecordRequired(bool required);
    void start();

    // Why the last run ended with downloadError(), in words a user can act
    // on; empty while a run goes on and after one that succeeded.
    QString errorString() const;

Q_SIGNALS:
    void preparingDownloadList();
    void downloadedFiles(int count, int totalCount);
    void downloadError();
    void updateReady();
    void veryfingDownloadedFiles();
    void copyingFiles();

private:
    friend class UpdatePrivate;
    UpdatePrivate *d;
};

#endif
