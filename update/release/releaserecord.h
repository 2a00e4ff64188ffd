#ifndef ZUV_UPDATE_RELEASERECORD_H
#define ZUV_UPDATE_RELEASERECORD_H

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QString>

// What a signed release promises, beyond the bytes of its files: which
// model it is for, how new it is, until when it may be installed, and the
// SHA-256 and size of every file the program reads or installs, by its path
// relative to the model on the server.
//
// It is the "[Release]" section of the server's FW.ZUV, below the three
// version keys, so the signature of FW.ZUV covers it together with the
// versions it offers, and a reader of those keys alone (a device, a program
// without release keys) passes over it:
//
//   VER_BOOT=1
//   VER_PRI=4
//   VER_SEC=3
//
//   [Release]
//   Model=TheOrvik
//   Sequence=7
//   Expires=2027-12-01T00:00:00Z
//   changelist.txt=<64 lower-case hex digits> <size>
//   PrimaryFirmware/4/manifest.txt=<sha256> <size>
//   PrimaryFirmware/4/PRIMARY.BIN=<sha256> <size>
//
// Paths are percent-encoded where they hold "=", "%", blanks or anything
// but printable ASCII.
class ReleaseRecord
{
public:
    struct Digest {
        QByteArray sha256; // 64 lower-case hexadecimal digits
        qint64 size = -1;
    };

    static QString sectionName(); // "Release"
    // The file at the card's root that names the release last installed on
    // it by this program; written inside the card's transaction.
    static QString cardFileName(); // "ZUVREL.TXT"

    // Reads the record out of the whole text of a FW.ZUV; false with the
    // reason when it holds none, or one that does not parse.
    bool parse(const QByteArray &infoFile, QString *error);
    // The section's text, "[Release]" line first.
    QByteArray text() const;

    // Why this record may not be installed on a device of `model` whose card
    // recorded `cardSequence` (0 for none), at `now`; empty when it may.
    QString problem(const QString &model, quint64 cardSequence, const QDateTime &now) const;

    // The digest of a file by its path relative to the model; null when the
    // record does not name it.
    const Digest *digest(const QString &pathInModel) const;
    void setDigest(const QString &pathInModel, const Digest &digest);

    // The card's file and the sequence it names; 0 when it names none.
    QByteArray cardFileText() const;
    static quint64 cardSequence(const QString &cardRoot);

    // SHA-256 of data as 64 lower-case hex digits.
    static QByteArray sha256Hex(const QByteArray &data);

    QString model;
    quint64 sequence = 0;
    QDateTime expires;

private:
    bool parseLine(const QByteArray &line, QString *error);
    QHash<QString, Digest> m_digests;
};

#endif
