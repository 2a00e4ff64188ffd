#ifndef ZUV_PUBLISH_TREEVERIFIER_H
#define ZUV_PUBLISH_TREEVERIFIER_H

#include "exitcode.h"
#include "update/release/manifest.h"
#include "update/release/serverlayout.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

class Progress;
class ReleaseRecord;

// Checks an update server's tree the way the program reads it: FW.ZUV
// names versions that exist, every directory has a manifest, every manifest
// line is one the program takes (read with its own parser: a lower-case MD5
// digest and a path the card can hold below the directory) and names a file
// that is there with that digest, and the files that one update puts on
// the card do not contradict each other; with a release key, also that
// every file the program reads as text is signed by it and FW.ZUV carries
// a release record that names them and the files offered, as they are.
class TreeVerifier
{
public:
    TreeVerifier(const QString &tree, Progress *progress);

    // With a key, every file the program reads as text must also carry a
    // valid signature by it.
    void setReleaseKey(const QByteArray &publicKey);
    ExitCode verify();
    // "<file relative to the tree>[:<line>]: <what is wrong>"; the files'
    // digests are checked last, so their problems come last.
    QStringList problems() const { return m_problems; }
    QString summary() const;

private:
    struct Listed {
        QString location; // manifest and line, for messages
        QString filePath;
        QString md5;
    };
    struct ListedDirectory {
        QString directory; // relative to the tree
        QList<Listed> entries;
    };
    struct FileCheck {
        QString location;
        QString listedPath;
        QString absolutePath;
        QString md5;
        qint64 size;
    };

    void verifyModel(const QString &model);
    void verifyInfoFile(const QString &model, QString versions[]);
    void verifyChangelist(const QString &model);
    void verifyFirmwareDirectory(const QString &model, ServerLayout::Firmware firmware);
    QString offeredVersionProblem(const QString &modelPath, ServerLayout::Firmware firmware,
                                  const QString &version) const;
    bool readFile(const QString &name, const QString &missing, QByteArray *content);
    ListedDirectory readManifest(const QString &directory);
    bool readLine(const QString &manifest, Manifest::Reader *reader, Listed *listed);
    void checkListedFile(const QString &directory, const Listed &listed);
    void checkSharedPlaces(const QString &model, const QString versions[]);
    void checkFiles();
    void checkSignature(const QString &name, const QByteArray &content);
    void verifyRecord(const QString &model, const QString &name, const QByteArray &text, const QString versions[]);
    void checkRecordDigest(const ReleaseRecord &record, const QString &name, const QString &modelPath,
                           const QString &pathInModel);

    void report(const QString &file, int line, const QString &text);
    void report(const QString &file, const QString &text);
    QString absolute(const QString &relative) const;

    QString m_tree;
    Progress *m_progress;
    QStringList m_problems;
    bool m_ioError = false;
    QByteArray m_releaseKey;
    QHash<QString, ListedDirectory> m_manifests; // by directory relative to the tree
    QList<FileCheck> m_fileChecks;
};

#endif
