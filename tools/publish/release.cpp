#include "release.h"

#include "changelist.h"
#include "devicepath.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <algorithm>

namespace {

const QString SettingsGroup = QStringLiteral("Release");
const QString ModelKey = QStringLiteral("Model");

QString settingsKey(ServerLayout::Firmware firmware)
{
    return ServerLayout::firmwareDirectory(firmware);
}

} // namespace

QString Release::settingsFileName()
{
    return QStringLiteral("release.ini");
}

QString Release::changelistPath() const
{
    return QDir(m_directory).filePath(ServerLayout::changelistFileName());
}

bool Release::load(const QString &directory, QStringList *problems)
{
    const int before = problems->size();
    m_directory = QDir(directory).absolutePath();
    m_packages.clear();
    if (!QFileInfo(m_directory).isDir()) {
        problems->append(QStringLiteral("%1: no such directory").arg(m_directory));
        return false;
    }
    readSettings(problems);
    checkChangelist(problems);
    if (problems->size() > before)
        return false;

    for (int i = 0; i < ServerLayout::FirmwareCount; ++i) {
        const auto firmware = ServerLayout::Firmware(i);
        addPackage(ServerLayout::firmwareDirectory(firmware), ServerLayout::updateDirectory(firmware, m_versions[i]),
                   QString(), true, problems);
    }
    for (const QString &resource : ServerLayout::resourceDirectories())
        addPackage(resource, ServerLayout::updateDirectory(ServerLayout::SecondaryFirmware, resource), resource, false,
                   problems);
    return problems->size() == before;
}

void Release::readSettings(QStringList *problems)
{
    const QString path = QDir(m_directory).filePath(settingsFileName());
    const QString name = settingsFileName();
    if (!QFileInfo(path).isFile()) {
        problems->append(QStringLiteral("%1: missing; it names the model and the three versions").arg(name));
        return;
    }
    QSettings settings(path, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError) {
        problems->append(QStringLiteral("%1: cannot be read as an INI file").arg(name));
        return;
    }
    settings.beginGroup(SettingsGroup);
    const auto read = [&](const QString &key) {
        const QVariant value = settings.value(key);
        if (value.userType() == QMetaType::QStringList) {
            problems->append(QStringLiteral("%1: [%2] %3 is a list; give one value").arg(name, SettingsGroup, key));
            return QString();
        }
        return value.toString();
    };
    m_model = read(ModelKey);
    if (!ServerLayout::knownModels().contains(m_model)) {
        problems->append(QStringLiteral("%1: [%2] %3 \"%4\" is not a device model (one of: %5)")
                             .arg(name, SettingsGroup, ModelKey, m_model,
                                  ServerLayout::knownModels().join(QStringLiteral(", "))));
    }
    for (int i = 0; i < ServerLayout::FirmwareCount; ++i) {
        const auto firmware = ServerLayout::Firmware(i);
        m_versions[i] = read(settingsKey(firmware));
        const QString problem = ServerLayout::versionProblem(firmware, m_versions[i]);
        if (!problem.isEmpty()) {
            problems->append(QStringLiteral("%1: [%2] %3 \"%4\": %5")
                                 .arg(name, SettingsGroup, settingsKey(firmware), m_versions[i], problem));
        }
    }
}

void Release::checkChangelist(QStringList *problems) const
{
    const QString name = ServerLayout::changelistFileName();
    QFile file(changelistPath());
    if (!QFileInfo(file).isFile()) {
        problems->append(QStringLiteral("%1: missing; the user reads it before updating").arg(name));
        return;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        problems->append(QStringLiteral("%1: cannot be read: %2").arg(name, file.errorString()));
        return;
    }
    const QString problem = Changelist::problem(file.readAll());
    if (!problem.isEmpty())
        problems->append(QStringLiteral("%1:%2").arg(name, problem));
}

void Release::addPackage(const QString &source, const QString &server, const QString &device, bool versioned,
                         QStringList *problems)
{
    Package package;
    package.sourceDirectory = QDir(m_directory).filePath(source);
    package.serverDirectory = server;
    package.deviceDirectory = device;
    package.versioned = versioned;
    if (!QFileInfo(package.sourceDirectory).isDir()) {
        problems->append(QStringLiteral("%1/: missing directory (it may be empty, but it must exist)").arg(source));
        return;
    }
    const QDir root(package.sourceDirectory);
    QDirIterator it(package.sourceDirectory, QDir::Files | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories | QDirIterator::FollowSymlinks);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = root.relativeFilePath(path);
        const QString shown = source + QLatin1Char('/') + relative;
        if (!it.fileInfo().isFile()) {
            problems->append(QStringLiteral("%1: not a regular file").arg(shown));
            continue;
        }
        const QString problem = DevicePath::problem(relative);
        if (!problem.isEmpty()) {
            problems->append(QStringLiteral("%1: the name %2").arg(shown, problem));
            continue;
        }
        if (relative.compare(ServerLayout::manifestFileName(), Qt::CaseInsensitive) == 0) {
            problems->append(QStringLiteral("%1: this name is taken by the directory's manifest on the server")
                                 .arg(shown));
            continue;
        }
        package.entries.append({relative, QByteArray(), it.fileInfo().size()});
    }
    std::sort(package.entries.begin(), package.entries.end(),
              [](const Package::Entry &a, const Package::Entry &b) { return a.filePath < b.filePath; });
    m_packages.append(package);
}
