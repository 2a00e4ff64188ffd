#include "treeverifier.h"

#include "changelist.h"
#include "devicepath.h"
#include "progress.h"

#include "device/deviceinfo.h"
#include "update/md5.h"
#include "update/releasesignature.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace {

constexpr int DigestLength = 32;

QString joined(const QString &directory, const QString &name)
{
    return directory.isEmpty() ? name : directory + QLatin1Char('/') + name;
}

QStringList subdirectories(const QString &path)
{
    return QDir(path).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
}

QString digestProblem(const QString &digest)
{
    static const QRegularExpression lowerHex(QStringLiteral("^[0-9a-f]{32}$"));
    static const QRegularExpression anyHex(QStringLiteral("^[0-9a-fA-F]{32}$"));
    if (lowerHex.match(digest).hasMatch())
        return QString();
    if (anyHex.match(digest).hasMatch())
        return QStringLiteral("the digest is in upper case; the program compares lower-case digests");
    return QStringLiteral("the line does not start with the 32 hexadecimal digits of an MD5 digest");
}

// The line of FW.ZUV that sets a key, or 0.
int lineOfKey(const QByteArray &text, const QString &key)
{
    const QRegularExpression setting(QStringLiteral("^\\s*%1\\s*=").arg(QRegularExpression::escape(key)));
    const QList<QByteArray> lines = text.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        if (setting.match(QString::fromUtf8(lines.at(i))).hasMatch())
            return i + 1;
    }
    return 0;
}

} // namespace

TreeVerifier::TreeVerifier(const QString &tree, Progress *progress)
    : m_tree(QDir(tree).absolutePath())
    , m_progress(progress)
{
}

ExitCode TreeVerifier::verify()
{
    const QString modelsPath = ServerLayout::modelsDirectory(m_tree);
    const QString modelsName = QDir(m_tree).relativeFilePath(modelsPath);
    int models = 0;
    for (const QString &name : subdirectories(modelsPath)) {
        if (!ServerLayout::knownModels().contains(name)) {
            m_progress->note(QStringLiteral("%1/%2: not a device model the program asks for; not checked")
                                 .arg(modelsName, name));
            continue;
        }
        verifyModel(name);
        ++models;
    }
    if (models == 0)
        report(modelsName, QStringLiteral("no device model is published here (expected one of: %1)")
                               .arg(ServerLayout::knownModels().join(QStringLiteral(", "))));
    checkFiles();
    if (m_ioError)
        return IoError;
    return m_problems.isEmpty() ? Success : VerificationFailed;
}

QString TreeVerifier::summary() const
{
    const QString tree = QDir::toNativeSeparators(m_tree);
    const QString counts = QStringLiteral("%1 manifests, %2 files").arg(m_manifests.size()).arg(m_fileChecks.size());
    if (m_problems.isEmpty())
        return QStringLiteral("%1: no problems (%2)").arg(tree, counts);
    return QStringLiteral("%1: %2 problem(s) (%3)").arg(tree).arg(m_problems.size()).arg(counts);
}

void TreeVerifier::verifyModel(const QString &model)
{
    QString versions[ServerLayout::FirmwareCount];
    for (int i = 0; i < ServerLayout::FirmwareCount; ++i)
        verifyFirmwareDirectory(model, ServerLayout::Firmware(i));
    verifyInfoFile(model, versions);
    verifyChangelist(model);
    checkSharedPlaces(model, versions);
}

void TreeVerifier::verifyInfoFile(const QString &model, QString versions[])
{
    using namespace ServerLayout;
    const QString modelPath = QDir(m_tree).relativeFilePath(modelDirectory(m_tree, model));
    const QString name = joined(modelPath, infoFileName());
    QFile file(absolute(name));
    if (!file.exists()) {
        report(name, QStringLiteral("missing; the program cannot check for updates"));
        return;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        report(name, QStringLiteral("cannot be read: %1").arg(file.errorString()));
        m_ioError = true;
        return;
    }
    const QByteArray text = file.readAll();
    checkSignature(name, text);
    Device::Info info;
    info.readUpdateInfo(file.fileName());
    versions[Bootloader] = info.bootloaderUpdateVersion;
    versions[PrimaryFirmware] = info.primaryUpdateVersion;
    versions[SecondaryFirmware] = info.secondaryUpdateVersion;
    for (int i = 0; i < FirmwareCount; ++i) {
        const auto firmware = Firmware(i);
        const int line = lineOfKey(text, infoKey(firmware));
        if (versions[i].isEmpty()) {
            report(name, line, QStringLiteral("%1 is missing or empty").arg(infoKey(firmware)));
            continue;
        }
        const QString problem = versionProblem(firmware, versions[i]);
        if (!problem.isEmpty()) {
            report(name, line, QStringLiteral("%1 \"%2\" %3").arg(infoKey(firmware), versions[i], problem));
            versions[i].clear();
            continue;
        }
        const QString manifest =
            joined(modelPath, firmwareDirectory(firmware) + QLatin1Char('/') + versions[i] + QLatin1Char('/')
                                  + manifestFileName());
        if (!QFileInfo(absolute(manifest)).isFile()) {
            report(name, line, QStringLiteral("%1 names version %2, but %3 does not exist")
                                   .arg(infoKey(firmware), versions[i], manifest));
            versions[i].clear();
        }
    }
}

void TreeVerifier::verifyChangelist(const QString &model)
{
    const QString name = joined(QDir(m_tree).relativeFilePath(ServerLayout::modelDirectory(m_tree, model)),
                                ServerLayout::changelistFileName());
    QFile file(absolute(name));
    if (!file.exists()) {
        report(name, QStringLiteral("missing; the program cannot connect to the device without it"));
        return;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        report(name, QStringLiteral("cannot be read: %1").arg(file.errorString()));
        m_ioError = true;
        return;
    }
    const QByteArray text = file.readAll();
    checkSignature(name, text);
    const QString problem = Changelist::problem(text);
    if (!problem.isEmpty())
        m_problems.append(QStringLiteral("%1:%2").arg(name, problem));
}

void TreeVerifier::verifyFirmwareDirectory(const QString &model, ServerLayout::Firmware firmware)
{
    using namespace ServerLayout;
    const QString firmwarePath = joined(QDir(m_tree).relativeFilePath(modelDirectory(m_tree, model)),
                                        firmwareDirectory(firmware));
    const bool secondary = firmware == SecondaryFirmware;
    if (secondary) {
        for (const QString &resource : resourceDirectories()) {
            const QString directory = joined(firmwarePath, resource);
            if (!QFileInfo(absolute(directory)).isDir())
                report(directory, QStringLiteral("missing; every secondary firmware update reads it"));
        }
    }
    const QFileInfoList leftovers =
        QDir(absolute(firmwarePath)).entryInfoList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QFileInfo &leftover : leftovers) {
        if (leftover.isHidden())
            m_progress->note(QStringLiteral("%1/%2: left over from an interrupted publish; it can be removed")
                                 .arg(firmwarePath, leftover.fileName()));
    }
    for (const QString &name : subdirectories(absolute(firmwarePath))) {
        const QString directory = joined(firmwarePath, name);
        const bool resource = secondary && resourceDirectories().contains(name);
        const QString problem = resource ? QString() : versionProblem(firmware, name);
        if (!problem.isEmpty()) {
            report(directory, QStringLiteral("\"%1\" %2; the program cannot ask for it").arg(name, problem));
            continue;
        }
        m_manifests.insert(directory, readManifest(directory));
    }
}

TreeVerifier::ListedDirectory TreeVerifier::readManifest(const QString &directory)
{
    ListedDirectory manifest;
    manifest.directory = directory;
    const QString name = joined(directory, ServerLayout::manifestFileName());
    QFile file(absolute(name));
    if (!file.exists()) {
        report(name, QStringLiteral("missing"));
        return manifest;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        report(name, QStringLiteral("cannot be read: %1").arg(file.errorString()));
        m_ioError = true;
        return manifest;
    }
    QByteArray text = file.readAll();
    checkSignature(name, text);
    if (text.startsWith("\xef\xbb\xbf"))
        text.remove(0, 3);
    QList<QByteArray> lines = text.split('\n');
    if (lines.last().isEmpty())
        lines.removeLast(); // the terminator of the last line
    QHash<QString, int> seen; // lower-case path -> line
    for (int i = 0; i < lines.size(); ++i) {
        QByteArray bytes = lines.at(i);
        if (bytes.endsWith('\r'))
            bytes.chop(1);
        const QString location = QStringLiteral("%1:%2").arg(name).arg(i + 1);
        Listed listed;
        checkLine(location, QString::fromUtf8(bytes), &listed);
        if (listed.filePath.isEmpty())
            continue;
        const QString key = listed.filePath.toLower();
        if (seen.contains(key)) {
            report(name, i + 1,
                   QStringLiteral("\"%1\" is listed again (first on line %2)").arg(listed.filePath).arg(seen.value(key)));
            continue;
        }
        seen.insert(key, i + 1);
        manifest.entries.append(listed);
        const QFileInfo info(absolute(joined(directory, listed.filePath)));
        if (!info.exists())
            report(name, i + 1, QStringLiteral("\"%1\" is listed but missing").arg(listed.filePath));
        else if (!info.isFile())
            report(name, i + 1, QStringLiteral("\"%1\" is not a file").arg(listed.filePath));
        else if (!listed.md5.isEmpty())
            m_fileChecks.append({location, listed.filePath, info.absoluteFilePath(), listed.md5, info.size()});
    }
    return manifest;
}

// Splits a manifest line as the program does (digest, then the trimmed
// rest) and reports what would go wrong with it. A usable path ends up in
// listed->filePath, a well-formed digest in listed->md5.
void TreeVerifier::checkLine(const QString &location, const QString &line, Listed *listed)
{
    listed->location = location;
    if (line.trimmed().isEmpty()) {
        m_problems.append(QStringLiteral("%1: blank line").arg(location));
        return;
    }
    const QString digest = line.left(DigestLength);
    const QString problem = digestProblem(digest);
    if (!problem.isEmpty())
        m_problems.append(QStringLiteral("%1: %2").arg(location, problem));
    else
        listed->md5 = digest;
    if (line.size() <= DigestLength) {
        m_problems.append(QStringLiteral("%1: no file path after the digest").arg(location));
        return;
    }
    if (!line.at(DigestLength).isSpace()) {
        m_problems.append(QStringLiteral("%1: no white space between the digest and the path").arg(location));
        return;
    }
    const QString path = line.mid(DigestLength).trimmed();
    const QString pathProblem = DevicePath::problem(path);
    if (!pathProblem.isEmpty()) {
        m_problems.append(QStringLiteral("%1: the path \"%2\" %3").arg(location, path, pathProblem));
        return;
    }
    listed->filePath = path;
}

// One firmware update puts the primary and the secondary firmware on the
// card's root and the resources below it: a place claimed twice must get
// the same file, or the update fails.
void TreeVerifier::checkSharedPlaces(const QString &model, const QString versions[])
{
    using namespace ServerLayout;
    if (versions[PrimaryFirmware].isEmpty() || versions[SecondaryFirmware].isEmpty())
        return;
    const QString modelPath = QDir(m_tree).relativeFilePath(modelDirectory(m_tree, model));
    const auto serverDirectory = [&](Firmware firmware, const QString &name) {
        return joined(modelPath, firmwareDirectory(firmware) + QLatin1Char('/') + name);
    };
    QList<QPair<QString, QString>> directories{// server directory, device directory
                                               {serverDirectory(PrimaryFirmware, versions[PrimaryFirmware]), QString()},
                                               {serverDirectory(SecondaryFirmware, versions[SecondaryFirmware]), QString()}};
    for (const QString &resource : resourceDirectories())
        directories.append({serverDirectory(SecondaryFirmware, resource), resource});

    QHash<QString, Listed> claims; // lower-case place on the card
    for (const auto &directory : qAsConst(directories)) {
        const ListedDirectory manifest = m_manifests.value(directory.first);
        for (const Listed &listed : manifest.entries) {
            const QString place = joined(directory.second, listed.filePath);
            const auto known = claims.constFind(place.toLower());
            if (known == claims.cend()) {
                claims.insert(place.toLower(), Listed{listed.location, place, listed.md5});
            } else if (known->filePath != place || known->md5 != listed.md5) {
                m_problems.append(QStringLiteral("%1: \"%2\" goes to the card where %3 puts a different file")
                                      .arg(listed.location, place, known->location));
            }
        }
    }
}

void TreeVerifier::checkFiles()
{
    qint64 bytes = 0;
    for (const FileCheck &check : qAsConst(m_fileChecks))
        bytes += check.size;
    m_progress->begin(QStringLiteral("Checking digests"), m_fileChecks.size(), bytes);
    for (const FileCheck &check : qAsConst(m_fileChecks)) {
        QFile file(check.absolutePath);
        QByteArray digest;
        if (file.open(QIODevice::ReadOnly))
            digest = Md5::hexDigest(&file);
        if (digest.isEmpty()) {
            m_problems.append(QStringLiteral("%1: \"%2\" cannot be read: %3")
                                  .arg(check.location, check.listedPath, file.errorString()));
            m_ioError = true;
        } else if (QString::fromLatin1(digest) != check.md5) {
            m_problems.append(QStringLiteral("%1: \"%2\" has the digest %3, not the listed %4")
                                  .arg(check.location, check.listedPath, QString::fromLatin1(digest), check.md5));
        }
        m_progress->advance(check.size);
    }
    m_progress->end();
}

void TreeVerifier::setReleaseKey(const QByteArray &publicKey)
{
    m_releaseKey = publicKey;
}

// The program built with release keys reads a file only with a signature
// beside it that holds under one of them.
void TreeVerifier::checkSignature(const QString &name, const QByteArray &content)
{
    if (m_releaseKey.isEmpty())
        return;
    const QString signatureName = ReleaseSignature::signatureName(name);
    QFile signature(absolute(signatureName));
    if (!signature.exists()) {
        report(name, QStringLiteral("not signed: %1 is missing").arg(signatureName));
        return;
    }
    if (!signature.open(QIODevice::ReadOnly)) {
        report(signatureName, QStringLiteral("cannot be read: %1").arg(signature.errorString()));
        m_ioError = true;
        return;
    }
    const QByteArray text = signature.read(ReleaseSignature::MaximumSignatureFileSize + 1);
    if (text.size() > ReleaseSignature::MaximumSignatureFileSize) {
        report(signatureName, QStringLiteral("larger than any signature; the program refuses it"));
        return;
    }
    const QString failure = ReleaseSignature::check(content, text, {m_releaseKey});
    if (!failure.isEmpty())
        report(name, failure);
}

void TreeVerifier::report(const QString &file, int line, const QString &text)
{
    if (line > 0)
        m_problems.append(QStringLiteral("%1:%2: %3").arg(file).arg(line).arg(text));
    else
        report(file, text);
}

void TreeVerifier::report(const QString &file, const QString &text)
{
    m_problems.append(QStringLiteral("%1: %2").arg(file, text));
}

QString TreeVerifier::absolute(const QString &relative) const
{
    return QDir(m_tree).filePath(relative);
}
