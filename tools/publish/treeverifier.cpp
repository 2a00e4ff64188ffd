#include "treeverifier.h"

#include "changelist.h"
#include "devicepath.h"
#include "progress.h"

#include "device/deviceinfo.h"
#include "update/release/manifest.h"
#include "update/release/md5.h"
#include "update/release/releaserecord.h"
#include "update/release/releasesignature.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace {

QString joined(const QString &directory, const QString &name)
{
    return directory.isEmpty() ? name : directory + QLatin1Char('/') + name;
}

QStringList subdirectories(const QString &path)
{
    return QDir(path).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
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
    QByteArray text;
    if (!readFile(name, QStringLiteral("missing; the program cannot check for updates"), &text))
        return;
    checkSignature(name, text);
    Device::Info info;
    info.readUpdateInfo(absolute(name));
    versions[Bootloader] = info.bootloaderUpdateVersion;
    versions[PrimaryFirmware] = info.primaryUpdateVersion;
    versions[SecondaryFirmware] = info.secondaryUpdateVersion;
    for (int i = 0; i < FirmwareCount; ++i) {
        const auto firmware = Firmware(i);
        const QString problem = offeredVersionProblem(modelPath, firmware, versions[i]);
        if (!problem.isEmpty()) {
            report(name, lineOfKey(text, infoKey(firmware)), problem);
            versions[i].clear();
        }
    }
    if (!m_releaseKey.isEmpty())
        verifyRecord(model, name, text, versions);
}

// A program with release keys reads the change list, a manifest or a file
// only as the record in FW.ZUV names it, and installs only a record for its
// model that has not expired.
void TreeVerifier::verifyRecord(const QString &model, const QString &name, const QByteArray &text,
                                const QString versions[])
{
    using namespace ServerLayout;
    ReleaseRecord record;
    QString problem;
    if (!record.parse(text, &problem)) {
        report(name, problem);
        return;
    }
    problem = record.problem(model, 0, QDateTime::currentDateTimeUtc());
    if (!problem.isEmpty())
        report(name, problem);
    const QString modelPath = QDir(m_tree).relativeFilePath(modelDirectory(m_tree, model));
    checkRecordDigest(record, name, modelPath, changelistFileName());
    QStringList directories;
    for (int i = 0; i < FirmwareCount; ++i) {
        if (!versions[i].isEmpty())
            directories.append(updateDirectory(Firmware(i), versions[i]));
    }
    if (!versions[SecondaryFirmware].isEmpty()) {
        for (const QString &resource : resourceDirectories())
            directories.append(updateDirectory(SecondaryFirmware, resource));
    }
    for (const QString &directory : qAsConst(directories)) {
        checkRecordDigest(record, name, modelPath, joined(directory, manifestFileName()));
        for (const Listed &listed : m_manifests.value(joined(modelPath, directory)).entries)
            checkRecordDigest(record, name, modelPath, joined(directory, listed.filePath));
    }
}

void TreeVerifier::checkRecordDigest(const ReleaseRecord &record, const QString &name, const QString &modelPath,
                                     const QString &pathInModel)
{
    const ReleaseRecord::Digest *digest = record.digest(pathInModel);
    if (!digest) {
        report(name, QStringLiteral("the release record does not name %1").arg(pathInModel));
        return;
    }
    QFile file(absolute(joined(modelPath, pathInModel)));
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file) || hash.result().toHex() != digest->sha256
        || file.size() != digest->size)
        report(joined(modelPath, pathInModel), QStringLiteral("differs from its SHA-256 and size in the release record"));
}

// Empty when FW.ZUV may offer that version; otherwise what is wrong.
QString TreeVerifier::offeredVersionProblem(const QString &modelPath, ServerLayout::Firmware firmware,
                                            const QString &version) const
{
    using namespace ServerLayout;
    if (version.isEmpty())
        return QStringLiteral("%1 is missing or empty").arg(infoKey(firmware));
    const QString problem = versionProblem(firmware, version);
    if (!problem.isEmpty())
        return QStringLiteral("%1 \"%2\" %3").arg(infoKey(firmware), version, problem);
    const QString manifest = joined(modelPath, manifestPath(firmware, version));
    if (!QFileInfo(absolute(manifest)).isFile())
        return QStringLiteral("%1 names version %2, but %3 does not exist").arg(infoKey(firmware), version, manifest);
    return QString();
}

void TreeVerifier::verifyChangelist(const QString &model)
{
    const QString name = joined(QDir(m_tree).relativeFilePath(ServerLayout::modelDirectory(m_tree, model)),
                                ServerLayout::changelistFileName());
    QByteArray text;
    if (!readFile(name, QStringLiteral("missing; the program cannot connect to the device without it"), &text))
        return;
    checkSignature(name, text);
    const QString problem = Changelist::problem(text);
    if (!problem.isEmpty())
        m_problems.append(QStringLiteral("%1:%2").arg(name, problem));
}

// Reads a file of the tree whole; reports it, with `missing` when it is not
// there, and returns false when it cannot be read.
bool TreeVerifier::readFile(const QString &name, const QString &missing, QByteArray *content)
{
    QFile file(absolute(name));
    if (!file.exists()) {
        report(name, missing);
        return false;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        report(name, QStringLiteral("cannot be read: %1").arg(file.errorString()));
        m_ioError = true;
        return false;
    }
    *content = file.readAll();
    return true;
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
    QByteArray text;
    if (!readFile(name, QStringLiteral("missing"), &text))
        return manifest;
    checkSignature(name, text);
    QBuffer buffer(&text);
    buffer.open(QIODevice::ReadOnly);
    Manifest::Reader reader(&buffer);
    QHash<QString, int> seen; // lower-case path -> line
    while (!reader.atEnd()) {
        Listed listed;
        if (!readLine(name, &reader, &listed))
            continue;
        const int line = reader.lineNumber();
        const QString key = listed.filePath.toLower();
        if (seen.contains(key)) {
            report(name, line,
                   QStringLiteral("\"%1\" is listed again (first on line %2)").arg(listed.filePath).arg(seen.value(key)));
            continue;
        }
        seen.insert(key, line);
        manifest.entries.append(listed);
        checkListedFile(directory, listed);
    }
    return manifest;
}

// Reads the next manifest line as the program does and reports what the
// program would refuse, or what would not read back as it was meant. True
// with a usable line in *listed.
bool TreeVerifier::readLine(const QString &manifest, Manifest::Reader *reader, Listed *listed)
{
    Manifest::Entry entry;
    const Manifest::LineKind kind = reader->next(&entry);
    const int line = reader->lineNumber();
    if (kind != Manifest::LineKind::Entry) {
        report(manifest, line, Manifest::problem(kind, entry));
        return false;
    }
    const QString pathProblem = DevicePath::problem(entry.filePath);
    if (!pathProblem.isEmpty()) {
        report(manifest, line, QStringLiteral("the path \"%1\" %2").arg(entry.filePath, pathProblem));
        return false;
    }
    *listed = {QStringLiteral("%1:%2").arg(manifest).arg(line), entry.filePath, entry.md5};
    return true;
}

void TreeVerifier::checkListedFile(const QString &directory, const Listed &listed)
{
    const QFileInfo info(absolute(joined(directory, listed.filePath)));
    if (!info.exists())
        m_problems.append(QStringLiteral("%1: \"%2\" is listed but missing").arg(listed.location, listed.filePath));
    else if (!info.isFile())
        m_problems.append(QStringLiteral("%1: \"%2\" is not a file").arg(listed.location, listed.filePath));
    else
        m_fileChecks.append({listed.location, listed.filePath, info.absoluteFilePath(), listed.md5, info.size()});
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
        return joined(modelPath, updateDirectory(firmware, name));
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
