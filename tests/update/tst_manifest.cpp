#include "update/release/manifest.h"
#include "update/release/md5.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QtTest>

class ManifestTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parsesLine_data();
    void parsesLine();
    void saysWhatIsWrongWithEachKind();
    void hashesAcrossBlockBoundaries_data();
    void hashesAcrossBlockBoundaries();
};

using Kind = Manifest::LineKind;
Q_DECLARE_METATYPE(Manifest::LineKind)

static const QString Digest = QStringLiteral("0123456789abcdef0123456789abcdef");

void ManifestTest::parsesLine_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<QString>("md5");
    QTest::addColumn<QString>("filePath");

    QTest::newRow("two blanks") << Digest + "  FW.BIN" << Kind::Entry << Digest << "FW.BIN";
    QTest::newRow("sub-directory") << Digest + " a/b/c.wav" << Kind::Entry << Digest << "a/b/c.wav";
    QTest::newRow("tabs and trailing blanks") << Digest + "\t x.bin \t" << Kind::Entry << Digest << "x.bin";
    QTest::newRow("inner blanks kept") << Digest + "  my  file.bin" << Kind::Entry << Digest << "my  file.bin";
    QTest::newRow("stray CR trimmed") << Digest + "  x.bin\r" << Kind::Entry << Digest << "x.bin";
    QTest::newRow("upper-case digest") << Digest.toUpper() + " x" << Kind::UpperCaseDigest << Digest.toUpper() << "x";
    QTest::newRow("digest of 31 digits") << Digest.left(31) + "  x" << Kind::BadDigest << Digest.left(31) + " " << "x";
    QTest::newRow("not hexadecimal") << "g" + Digest.mid(1) + " x" << Kind::BadDigest << "g" + Digest.mid(1) << "x";
    QTest::newRow("no separator") << Digest + "x.bin" << Kind::NoSeparator << Digest << "x.bin";
    QTest::newRow("dot inside") << Digest + " a/./b.bin" << Kind::Entry << Digest << "a/./b.bin";
    QTest::newRow("dots in names") << Digest + " ..a/b..c\\.d" << Kind::Entry << Digest << "..a/b..c\\.d";
    QTest::newRow("device name inside a name") << Digest + " CONSOLE/COM10.BIN" << Kind::Entry << Digest
                                               << "CONSOLE/COM10.BIN";
    QTest::newRow("empty") << QString() << Kind::Blank << QString() << QString();
    QTest::newRow("white space") << " \t \r" << Kind::Blank << QString() << QString();
    QTest::newRow("digest only") << Digest << Kind::TooShort << Digest << QString();
    QTest::newRow("digest and blanks") << Digest + "   " << Kind::TooShort << Digest << QString();
    QTest::newRow("short line") << "abc" << Kind::TooShort << "abc" << QString();
    QTest::newRow("absolute") << Digest + " /etc/passwd" << Kind::UnsafePath << Digest << "/etc/passwd";
    QTest::newRow("backslash absolute") << Digest + " \\x" << Kind::UnsafePath << Digest << "\\x";
    QTest::newRow("drive") << Digest + " C:/x" << Kind::UnsafePath << Digest << "C:/x";
    QTest::newRow("parent") << Digest + " ../x" << Kind::UnsafePath << Digest << "../x";
    // A line the program would take for its digest alone is still refused for its path.
    QTest::newRow("parent after a bad digest") << "g" + Digest.mid(1) + " ../x" << Kind::UnsafePath << "g" + Digest.mid(1)
                                               << "../x";
    QTest::newRow("inner parent") << Digest + " a/../../x" << Kind::UnsafePath << Digest << "a/../../x";
    QTest::newRow("backslash parent") << Digest + " a\\..\\x" << Kind::UnsafePath << Digest << "a\\..\\x";
    QTest::newRow("directory") << Digest + " a/" << Kind::UnsafePath << Digest << "a/";
    QTest::newRow("dot") << Digest + " a/." << Kind::UnsafePath << Digest << "a/.";
    QTest::newRow("colon") << Digest + " a/b:c" << Kind::ForbiddenName << Digest << "a/b:c";
    QTest::newRow("question mark") << Digest + " a?.bin" << Kind::ForbiddenName << Digest << "a?.bin";
    QTest::newRow("pipe in a directory") << Digest + " a|b/c" << Kind::ForbiddenName << Digest << "a|b/c";
    QTest::newRow("trailing dot") << Digest + " SOUNDS./x" << Kind::ForbiddenName << Digest << "SOUNDS./x";
    QTest::newRow("trailing blank") << Digest + " a /x" << Kind::ForbiddenName << Digest << "a /x";
    QTest::newRow("device name") << Digest + " IMAGES\\nul" << Kind::ForbiddenName << Digest << "IMAGES\\nul";
    QTest::newRow("device name with extension") << Digest + " Com1.txt" << Kind::ForbiddenName << Digest
                                                << "Com1.txt";
    QTest::newRow("control character") << Digest + " a\x01" "b" << Kind::UnsafePath << Digest << "a\x01" "b";
}

void ManifestTest::parsesLine()
{
    QFETCH(QString, line);
    QFETCH(Kind, kind);
    Manifest::Entry entry;
    QCOMPARE(Manifest::parseLine(line, &entry), kind);
    if (kind == Kind::Blank)
        return;
    QTEST(entry.md5, "md5");
    QTEST(entry.filePath, "filePath");
}

// Every kind of bad line has a message of its own, and a path's message
// says which rule it breaks.
void ManifestTest::saysWhatIsWrongWithEachKind()
{
    const QStringList lines{"", "abc", Digest.toUpper() + " x", "g" + Digest.mid(1) + " x", Digest + "x",
                            Digest + " a/../../x", Digest + " IMAGES/Com1.txt"};
    QSet<int> kinds;
    QSet<QString> messages;
    for (const QString &line : lines) {
        Manifest::Entry entry;
        const Kind kind = Manifest::parseLine(line, &entry);
        kinds.insert(int(kind));
        messages.insert(Manifest::problem(kind, entry));
    }
    QCOMPARE(kinds.size(), lines.size());
    QVERIFY(!kinds.contains(int(Kind::Entry)));
    QCOMPARE(messages.size(), lines.size());
    QVERIFY(!messages.contains(QString()));
    QVERIFY(messages.contains(QStringLiteral("the path \"a/../../x\" climbs out of its directory with \"..\"")));
    QVERIFY(messages.contains(QStringLiteral("the path \"IMAGES/Com1.txt\" has the device name \"Com1.txt\", "
                                             "which the card's file system cannot hold")));
}

void ManifestTest::hashesAcrossBlockBoundaries_data()
{
    QTest::addColumn<int>("size");
    // Around the read buffer of 256 KiB, and a file smaller than any buffer.
    for (int size : {0, 4095, 256 * 1024 - 1, 256 * 1024 + 1, 2 * 1024 * 1024 + 17})
        QTest::addRow("%d bytes", size) << size;
}

void ManifestTest::hashesAcrossBlockBoundaries()
{
    QFETCH(int, size);
    QByteArray content(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        content[i] = char(i * 7 + i / 4096);
    QBuffer buffer(&content);
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    QCOMPARE(Md5::hexDigest(&buffer), QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex());
    buffer.seek(0);
    QVERIFY(Md5::hexDigest(&buffer, [] { return true; }).isEmpty());
}

QTEST_GUILESS_MAIN(ManifestTest)
#include "tst_manifest.moc"
