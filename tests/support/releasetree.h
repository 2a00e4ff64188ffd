#ifndef ZUV_TESTS_RELEASETREE_H
#define ZUV_TESTS_RELEASETREE_H

#include <QByteArray>
#include <QMap>
#include <QString>

// Writes an update server's tree below a root directory:
//   <root>/ZUVUpdater/<model>/FW.ZUV, changelist.txt,
//   <root>/ZUVUpdater/<model>/<directory>/manifest.txt and its files.
class ReleaseTree
{
public:
    explicit ReleaseTree(const QString &root, const QString &model = QStringLiteral("TheOrvik"));

    QString root() const { return m_root; }
    QString modelPath() const; // <root>/ZUVUpdater/<model>

    void writeInfoFile(const QString &bootloader, const QString &primary, const QString &secondary);
    void writeChangelist(const QByteArray &text);

    // Adds a file to a server directory such as "PrimaryFirmware/2" or
    // "SecondaryFirmware/SOUNDS" and lists it in that directory's manifest.
    void addFile(const QString &directory, const QString &filePath, const QByteArray &content);
    // Writes a manifest exactly as given, for malformed ones.
    void writeRawManifest(const QString &directory, const QByteArray &manifest);
    // Writes every manifest of the files added so far ("<md5>  <path>" lines).
    void writeManifests();

    // The server address pattern of a directory's manifest, as the program
    // builds it: <base>/ZUVUpdater/<model>//<directory>/manifest.txt
    QString manifestUrl(const QString &baseUrl, const QString &directory) const;

    static QByteArray md5Hex(const QByteArray &content);

private:
    QString m_root;
    QString m_model;
    QMap<QString, QMap<QString, QByteArray>> m_manifests; // directory -> path -> md5
};

#endif
