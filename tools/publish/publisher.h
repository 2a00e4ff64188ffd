#ifndef ZUV_PUBLISH_PUBLISHER_H
#define ZUV_PUBLISH_PUBLISHER_H

#include "exitcode.h"
#include "package.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

class Progress;
class Release;

// Writes a release into an update server's tree, or extends one.
//
// Nothing half-written is ever served: each directory is filled under a
// hidden name beside its place and renamed into place when complete, files
// are replaced through QSaveFile, and FW.ZUV, which tells the program which
// versions to fetch, is written last. A version directory is published once
// and never rewritten; the resource directories, which have no version, are
// replaced as a whole. Publishing the same release again changes nothing.
class Publisher
{
public:
    Publisher(const Release &release, const QString &tree, Progress *progress);

    // With a secret key, a signature "<name>.sig" is written beside FW.ZUV,
    // the change list and every manifest of the release.
    void setSigningKey(const QByteArray &secretKey);
    // The number and expiry of the signed release record in FW.ZUV. By
    // default the release keeps the record the tree has for it already, and
    // a new release gets the number after the tree's and a year.
    void setRecordTerms(quint64 sequence, const QDateTime &expires);
    ExitCode publish();
    // After a failure: what went wrong, one line each.
    QStringList problems() const { return m_problems; }
    QString summary() const;

private:
    enum Action { Write, Replace, Keep };

    bool hashSources();
    bool checkDevicePlaces();
    bool planWrites();
    bool writePackage(const Package &package);
    bool stageFiles(const Package &package, const QString &staging);
    bool writeChangelist();
    bool writeInfoFile();
    bool writeSignature(const QString &path, const QByteArray &content);
    QByteArray recordText() const;

    const Release &m_release;
    QString m_modelDirectory;
    Progress *m_progress;
    QList<Package> m_packages;
    QList<Action> m_actions;
    QStringList m_problems;
    QByteArray m_secretKey;
    quint64 m_sequence = 0;
    QDateTime m_expires;
    QByteArray m_changelist;
    int m_filesWritten = 0;
};

#endif
