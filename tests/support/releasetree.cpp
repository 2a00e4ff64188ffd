#include "releasetree.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

void writeWholeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(content);
}

} // namespace

ReleaseTree::ReleaseTree(const QString &root, const QString &model)
    : m_root(root)
    , m_model(model)
{
    QDir().mkpath(modelPath());
}

QString ReleaseTree::modelPath() const
{
    return m_root + QStringLiteral("/ZUVUpdater/") + m_model;
}

void ReleaseTree::writeInfoFile(const QString &bootloader, const QString &primary, const QString &secondary)
{
    const QString text = QStringLiteral("VER_BOOT=%1\nVER_PRI=%2\nVER_SEC=%3\n").arg(bootloader, primary, secondary);
    writeWholeFile(modelPath() + QStringLiteral("/FW.ZUV"), text.toUtf8());
}

void ReleaseTree::writeChangelist(const QByteArray &text)
{
    writeWholeFile(modelPath() + QStringLiteral("/changelist.txt"), text);
}

void ReleaseTree::addFile(const QString &directory, const QString &filePath, const QByteArray &content)
{
    writeWholeFile(modelPath() + QLatin1Char('/') + directory + QLatin1Char('/') + filePath, content);
    m_manifests[directory].insert(filePath, md5Hex(content));
}

void ReleaseTree::writeRawManifest(const QString &directory, const QByteArray &manifest)
{
    writeWholeFile(modelPath() + QLatin1Char('/') + directory + QStringLiteral("/manifest.txt"), manifest);
}

void ReleaseTree::writeManifests()
{
    for (auto dir = m_manifests.cbegin(); dir != m_manifests.cend(); ++dir) {
        QByteArray manifest;
        for (auto entry = dir->cbegin(); entry != dir->cend(); ++entry)
            manifest += entry.value() + "  " + entry.key().toUtf8() + '\n';
        writeRawManifest(dir.key(), manifest);
    }
}

QString ReleaseTree::manifestUrl(const QString &baseUrl, const QString &directory) const
{
    return QStringLiteral("%1/ZUVUpdater/%2//%3/manifest.txt").arg(baseUrl, m_model, directory);
}

QByteArray ReleaseTree::md5Hex(const QByteArray &content)
{
    return QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex();
}
