// zuv-publish through its executable: publishing and extending a server
// tree, refusing unusable releases, and the verification of trees.

#include "testfiles.h"
#include "update/release/manifest.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

namespace {

struct Run {
    int exitCode = -1;
    QString out;
    QString err;
};

Run runTool(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral(ZUV_PUBLISH_EXECUTABLE), arguments);
    Run run;
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        run.err = "zuv-publish did not finish within a minute";
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

// A release directory as the maker's engineers hand it over.
struct Release {
    QString model = "TheOrvik";
    QString bootloader = "1";
    QString primary = "1";
    QString secondary = "1";
    QByteArray changelist = "First release\n";
    QMap<QString, Files> directories{
        {"Bootloader", {{"BOOT.BIN", "boot 1"}}},
        {"PrimaryFirmware", {{"PRIMARY.BIN", "primary 1"}, {"CONFIG/DEFAULT.CFG", "mode=1\n"}}},
        {"SecondaryFirmware", {{"SECONDARY.BIN", "secondary 1"}}},
        {"ANIM", {{"IDLE.ANM", "idle 1"}, {"MENU/OPEN.ANM", "open"}}},
        {"IMAGES", {{"LOGO.IMG", "logo"}, {"EMPTY.IMG", ""}}},
        {"SOUNDS", {{"BEEP.SND", "beep"}}},
    };

    void write(const QString &root) const
    {
        writeFile(root + "/release.ini", QStringLiteral("[Release]\nModel=%1\nBootloader=%2\nPrimaryFirmware=%3\n"
                                                        "SecondaryFirmware=%4\n")
                                             .arg(model, bootloader, primary, secondary)
                                             .toUtf8());
        writeFile(root + "/changelist.txt", changelist);
        for (auto dir = directories.cbegin(); dir != directories.cend(); ++dir) {
            QDir().mkpath(root + '/' + dir.key());
            for (auto file = dir->cbegin(); file != dir->cend(); ++file)
                writeFile(root + '/' + dir.key() + '/' + file.key(), file.value());
        }
    }

    // The files the server should hold for one of the directories, its
    // manifest included.
    Files published(const QString &directory) const
    {
        Files files = directories.value(directory);
        QByteArray manifest;
        for (auto file = files.cbegin(); file != files.cend(); ++file)
            manifest += md5Hex(file.value()) + "  " + file.key().toUtf8() + '\n';
        files.insert("manifest.txt", manifest);
        return files;
    }
};

// Stand-ins for the content of a file of a published tree.
const QByteArray Removed = "<removed>";
const QByteArray Directory = "<directory>";

// Changes a release before and after it is written.
using ReleaseChange = std::function<void(Release *, const QString &)>;

} // namespace

Q_DECLARE_METATYPE(ReleaseChange)

class TestPublish : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();

    void publishesAndExtendsATree();
    void rejectsUnusableReleases_data();
    void rejectsUnusableReleases();

    void verifyFindsEachFault_data();
    void verifyFindsEachFault();

    void signsAndChecksSignatures();
    void writesTheReleaseRecord();

    void usageErrors_data();
    void usageErrors();

private:
    QString releasePath() const { return m_dir->filePath("release"); }
    QString treePath() const { return m_dir->filePath("tree"); }
    QString modelPath() const { return treePath() + "/ZUVUpdater/TheOrvik"; }
    Run publish(const Release &release, const ReleaseChange &change = nullptr);

    QScopedPointer<QTemporaryDir> m_dir;
};

void TestPublish::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
}

Run TestPublish::publish(const Release &release, const ReleaseChange &change)
{
    QDir(releasePath()).removeRecursively();
    Release changed = release;
    if (change)
        change(&changed, releasePath()); // changes of the description
    changed.write(releasePath());
    if (change)
        change(&changed, releasePath()); // changes of the written files
    return runTool({"publish", releasePath(), treePath()});
}

// A first release, the next one beside it, the same once more, and a
// published version built anew.
void TestPublish::publishesAndExtendsATree()
{
    Release release;
    Run run = publish(release);
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    QVERIFY(run.err.contains("Reading the release")); // progress goes to stderr
    QCOMPARE(readFile(modelPath() + "/FW.ZUV"), QByteArray("VER_BOOT=1\nVER_PRI=1\nVER_SEC=1\n"));
    QCOMPARE(readFile(modelPath() + "/changelist.txt"), release.changelist);
    const QMap<QString, QString> places{
        {"Bootloader", "Bootloader/1"},        {"PrimaryFirmware", "PrimaryFirmware/1"},
        {"SecondaryFirmware", "SecondaryFirmware/1"}, {"ANIM", "SecondaryFirmware/ANIM"},
        {"IMAGES", "SecondaryFirmware/IMAGES"}, {"SOUNDS", "SecondaryFirmware/SOUNDS"},
    };
    for (auto place = places.cbegin(); place != places.cend(); ++place)
        QCOMPARE(filesBelow(modelPath() + '/' + place.value()), release.published(place.key()));
    // Nothing else: no staging directories, no stray files.
    QCOMPARE(QDir(modelPath()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name),
             QStringList({"Bootloader", "FW.ZUV", "PrimaryFirmware", "SecondaryFirmware", "changelist.txt"}));
    run = runTool({"verify", treePath()});
    QVERIFY2(run.exitCode == 0, qPrintable(run.out));
    QVERIFY(run.out.contains("no problems"));

    const Release first = release;
    release.primary = release.secondary = "2";
    release.changelist = "Second release\n";
    release.directories["PrimaryFirmware"]["PRIMARY.BIN"] = "primary 2";
    release.directories["SecondaryFirmware"]["SECONDARY.BIN"] = "secondary 2";
    release.directories["ANIM"].remove("MENU/OPEN.ANM");
    release.directories["ANIM"]["IDLE.ANM"] = "idle 2";
    run = publish(release);
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    QVERIFY(run.err.contains("Bootloader/1: already published, unchanged"));
    // The new versions are offered, the old ones stay complete beside them.
    QCOMPARE(readFile(modelPath() + "/FW.ZUV"), QByteArray("VER_BOOT=1\nVER_PRI=2\nVER_SEC=2\n"));
    QCOMPARE(readFile(modelPath() + "/changelist.txt"), release.changelist);
    for (const QString &versioned : {"Bootloader", "PrimaryFirmware", "SecondaryFirmware"})
        QCOMPARE(filesBelow(modelPath() + '/' + versioned + "/1"), first.published(versioned));
    QCOMPARE(filesBelow(modelPath() + "/PrimaryFirmware/2"), release.published("PrimaryFirmware"));
    // The unversioned resources are replaced as a whole: a file dropped
    // from the release is gone, and no staging directory stays beside them.
    QCOMPARE(filesBelow(modelPath() + "/SecondaryFirmware/ANIM"), release.published("ANIM"));
    QCOMPARE(QDir(modelPath() + "/SecondaryFirmware").entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList({"1", "2", "ANIM", "IMAGES", "SOUNDS"}));
    QCOMPARE(runTool({"verify", treePath()}).exitCode, 0);

    // The same release once more writes nothing.
    const Files second = filesBelow(treePath());
    run = publish(release);
    QCOMPARE(run.exitCode, 0);
    QVERIFY(run.out.contains("(0 files written)"));
    QCOMPARE(filesBelow(treePath()), second);

    // A published version is never rewritten: the run is refused before it
    // writes anything, the resources included.
    release.directories["PrimaryFirmware"]["PRIMARY.BIN"] = "primary 2, rebuilt";
    release.directories["IMAGES"]["LOGO.IMG"] = "new logo";
    run = publish(release);
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains("PrimaryFirmware/2: this version is already published with other files"),
             qPrintable(run.err));
    QCOMPARE(filesBelow(treePath()), second);
}

void TestPublish::rejectsUnusableReleases_data()
{
    QTest::addColumn<ReleaseChange>("change");
    QTest::addColumn<QString>("message");

    using Change = ReleaseChange;
    const auto fileChange = [](const QString &file, const QByteArray &content) {
        return Change([=](Release *, const QString &dir) { writeFile(dir + '/' + file, content); });
    };
    const auto removal = [](const QString &file) {
        return Change([=](Release *, const QString &dir) {
            QFileInfo(dir + '/' + file).isDir() ? QDir(dir + '/' + file).removeRecursively() : QFile::remove(dir + '/' + file);
        });
    };
    QTest::newRow("no release.ini") << removal("release.ini") << "release.ini: missing";
    QTest::newRow("unknown model") << Change([](Release *r, const QString &) { r->model = "Orvik"; })
                                   << "Model \"Orvik\" is not a device model";
    QTest::newRow("version with a slash") << Change([](Release *r, const QString &) { r->primary = "2/3"; })
                                          << "PrimaryFirmware \"2/3\": may hold only letters";
    QTest::newRow("version missing") << Change([](Release *r, const QString &) { r->secondary.clear(); })
                                     << "SecondaryFirmware \"\": no version";
    QTest::newRow("secondary named like a resource")
        << Change([](Release *r, const QString &) { r->secondary = "sounds"; }) << "is the name of a resource directory";
    QTest::newRow("resource directory missing") << removal("SOUNDS") << "SOUNDS/: missing directory";
    QTest::newRow("no change list") << removal("changelist.txt") << "changelist.txt: missing";
    QTest::newRow("change list with a zero byte")
        << fileChange("changelist.txt", QByteArray("one\ntwo\0three\n", 14)) << "changelist.txt:2: a zero byte";
    QTest::newRow("change list not UTF-8") << fileChange("changelist.txt", "ok\n\xff\xfe\n")
                                           << "changelist.txt:2: not UTF-8";
    QTest::newRow("name the card cannot hold") << fileChange("SOUNDS/NO:TE.SND", "x")
                                               << "SOUNDS/NO:TE.SND: the name holds ':'";
    QTest::newRow("file named like the manifest") << fileChange("ANIM/manifest.txt", "x")
                                                  << "ANIM/manifest.txt: this name is taken by the directory's manifest";
    QTest::newRow("primary and secondary clash on the card")
        << Change([](Release *, const QString &dir) {
               writeFile(dir + "/PrimaryFirmware/COMMON.DAT", "from primary");
               writeFile(dir + "/SecondaryFirmware/COMMON.DAT", "from secondary");
           })
        << "PrimaryFirmware/COMMON.DAT and SecondaryFirmware/COMMON.DAT both go to \"COMMON.DAT\"";
    QTest::newRow("names differing only in case") << fileChange("SOUNDS/beep.snd", "other") << "both go to \"SOUNDS/";
}

void TestPublish::rejectsUnusableReleases()
{
    QFETCH(ReleaseChange, change);
    QFETCH(QString, message);
    const Run run = publish(Release(), change);
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains(message), qPrintable(run.err));
    QVERIFY2(!QFileInfo::exists(modelPath() + "/FW.ZUV"), "nothing is published");
}

void TestPublish::verifyFindsEachFault_data()
{
    QTest::addColumn<QString>("file");       // relative to the model's directory
    QTest::addColumn<QByteArray>("content"); // replaces the file, or Removed, or Directory
    QTest::addColumn<QString>("expected");   // a line of the report
    QTest::addColumn<int>("exitCode");

    const QByteArray beep = md5Hex("beep");
    const QString sounds = "SecondaryFirmware/SOUNDS/manifest.txt";
    const auto row = [](const char *name, const QString &file, const QByteArray &content, const QString &expected,
                        int exitCode = 1) { QTest::newRow(name) << file << content << expected << exitCode; };
    row("climbing path", sounds, beep + "  BEEP.SND\n" + beep + "  ../../../x\n",
        "ZUVUpdater/TheOrvik/SecondaryFirmware/SOUNDS/manifest.txt:2: the path \"../../../x\" climbs out");
    // The verifier reads each line with the program's own parser, and
    // reports what the program refuses in the program's words.
    Manifest::Entry entry;
    const QString deviceName = QString::fromLatin1(beep + "  AUX.SND");
    const Manifest::LineKind kind = Manifest::parseLine(deviceName, &entry);
    row("device name", sounds, deviceName.toLatin1() + '\n', "SOUNDS/manifest.txt:1: " + Manifest::problem(kind, entry));
    row("listed twice", sounds, beep + "  BEEP.SND\n" + beep + "  beep.snd\n",
        "SOUNDS/manifest.txt:2: \"beep.snd\" is listed again (first on line 1)");
    row("listed file missing", "SecondaryFirmware/SOUNDS/BEEP.SND", Removed,
        "SOUNDS/manifest.txt:1: \"BEEP.SND\" is listed but missing");
    row("file changed", "SecondaryFirmware/SOUNDS/BEEP.SND", "boop",
        QStringLiteral("SOUNDS/manifest.txt:1: \"BEEP.SND\" has the digest %1, not the listed %2")
            .arg(QString::fromLatin1(md5Hex("boop")), QString::fromLatin1(beep)));
    row("manifest missing", "Bootloader/1/manifest.txt", Removed,
        "ZUVUpdater/TheOrvik/Bootloader/1/manifest.txt: missing");
    row("manifest unreadable", "Bootloader/1/manifest.txt", Directory, "Bootloader/1/manifest.txt: cannot be read", 3);
    row("version not published", "FW.ZUV", "VER_BOOT=1\nVER_PRI=7\nVER_SEC=1\n",
        "FW.ZUV:2: VER_PRI names version 7, but ZUVUpdater/TheOrvik/PrimaryFirmware/7/manifest.txt does not exist");
    row("version key missing", "FW.ZUV", "VER_BOOT=1\nVER_PRI=1\n",
        "ZUVUpdater/TheOrvik/FW.ZUV: VER_SEC is missing or empty");
    row("FW.ZUV missing", "FW.ZUV", Removed, "ZUVUpdater/TheOrvik/FW.ZUV: missing");
    row("resource directory missing", "SecondaryFirmware/IMAGES", Removed, "SecondaryFirmware/IMAGES: missing");
    row("change list cut by a zero byte", "changelist.txt", QByteArray("a\nb\0c", 5), "changelist.txt:2: a zero byte");
    row("primary and secondary disagree", "SecondaryFirmware/1/manifest.txt",
        md5Hex("secondary 1") + "  SECONDARY.BIN\n" + md5Hex("other") + "  PRIMARY.BIN\n",
        "SecondaryFirmware/1/manifest.txt:2: \"PRIMARY.BIN\" goes to the card where "
        "ZUVUpdater/TheOrvik/PrimaryFirmware/1/manifest.txt:2 puts a different file");
}

void TestPublish::verifyFindsEachFault()
{
    QFETCH(QString, file);
    QFETCH(QByteArray, content);
    QFETCH(QString, expected);

    QCOMPARE(publish(Release()).exitCode, 0);
    const QString path = modelPath() + '/' + file;
    if (content == Removed || content == Directory)
        QVERIFY(QFileInfo(path).isDir() ? QDir(path).removeRecursively() : QFile::remove(path));
    if (content == Directory)
        QVERIFY(QDir().mkdir(path));
    else if (content != Removed)
        writeFile(path, content);
    const Run run = runTool({"verify", treePath()});
    QTEST(run.exitCode, "exitCode");
    const QStringList lines = run.out.split('\n', Qt::SkipEmptyParts);
    QVERIFY2(std::any_of(lines.cbegin(), lines.cend(), [&](const QString &line) { return line.contains(expected); }),
             qPrintable(run.out));
    QVERIFY(lines.last().contains("problem(s)"));
}

// A key of the owner's only, never overwritten; a signed tree that
// republishing leaves as it is; and verify naming each bad signature.
void TestPublish::signsAndChecksSignatures()
{
    const QString key = m_dir->filePath("release.key");
    Run run = runTool({"keygen", key});
    QCOMPARE(run.exitCode, 0);
    const QString publicKey = run.out.trimmed();
    QCOMPARE(publicKey.size(), 44);
    const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther
                                      | QFile::WriteOther | QFile::ExeOther;
    QCOMPARE(QFileInfo(key).permissions() & (others | QFile::ReadOwner | QFile::WriteOwner),
             QFile::ReadOwner | QFile::WriteOwner);
    const QByteArray secret = readFile(key);
    run = runTool({"keygen", key});
    QCOMPARE(run.exitCode, 2);
    QVERIFY(run.err.contains("already exists"));
    QCOMPARE(readFile(key), secret);

    Release release;
    release.write(releasePath());
    run = runTool({"publish", "--sign", key, releasePath(), treePath()});
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    const Files signedTree = filesBelow(treePath());
    const QStringList signedFiles{"FW.ZUV", "changelist.txt", "Bootloader/1/manifest.txt",
                                  "PrimaryFirmware/1/manifest.txt", "SecondaryFirmware/1/manifest.txt",
                                  "SecondaryFirmware/ANIM/manifest.txt", "SecondaryFirmware/IMAGES/manifest.txt",
                                  "SecondaryFirmware/SOUNDS/manifest.txt"};
    for (const QString &file : signedFiles)
        QVERIFY2(signedTree.contains("ZUVUpdater/TheOrvik/" + file + ".sig"), qPrintable(file));
    run = runTool({"verify", "--key", publicKey, treePath()});
    QVERIFY2(run.exitCode == 0, qPrintable(run.out));
    // Signatures are additive: the tree stays valid for a check without key.
    QCOMPARE(runTool({"verify", treePath()}).exitCode, 0);
    QCOMPARE(runTool({"publish", "--sign", key, releasePath(), treePath()}).exitCode, 0);
    QCOMPARE(filesBelow(treePath()), signedTree);
    // Publishing unsigned into it would lock out every program with keys.
    run = runTool({"publish", releasePath(), treePath()});
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains("the tree is signed"), qPrintable(run.err));
    QCOMPARE(filesBelow(treePath()), signedTree);

    // Another key signs the bootloader's manifest; its signature replaces ours.
    const QString otherKey = m_dir->filePath("other.key");
    QCOMPARE(runTool({"keygen", otherKey}).exitCode, 0);
    const QString otherTree = m_dir->filePath("other");
    QCOMPARE(runTool({"publish", "--sign", otherKey, releasePath(), otherTree}).exitCode, 0);
    const QString bootSig = "/Bootloader/1/manifest.txt.sig";
    writeFile(modelPath() + bootSig, readFile(otherTree + "/ZUVUpdater/TheOrvik" + bootSig));
    writeFile(modelPath() + "/changelist.txt", "Altered after signing\n");
    writeFile(modelPath() + "/FW.ZUV.sig", readFile(modelPath() + "/FW.ZUV.sig").left(30));
    QFile::remove(modelPath() + "/SecondaryFirmware/ANIM/manifest.txt.sig");
    run = runTool({"verify", "--quiet", "--key", publicKey, treePath()});
    QCOMPARE(run.exitCode, 1);
    const QString model = "ZUVUpdater/TheOrvik/";
    for (const QString &line : {model + "Bootloader/1/manifest.txt: release not signed by a known key\n",
                                model + "changelist.txt: release not signed by a known key\n",
                                model + "FW.ZUV: release not signed by a known key: the signature is malformed",
                                model + "SecondaryFirmware/ANIM/manifest.txt: not signed: ",
                                model + "changelist.txt: differs from its SHA-256 and size in the release record"})
        QVERIFY2(run.out.contains(line), qPrintable(line + "\n---\n" + run.out));
    QVERIFY2(run.out.contains("5 problem(s)"), qPrintable(run.out));
    QCOMPARE(runTool({"verify", "--key", "not-a-key", treePath()}).exitCode, 2);
}

// The number and expiry of the record as given, kept for the same release,
// counted up for the next; verify --key names a record that no longer holds.
void TestPublish::writesTheReleaseRecord()
{
    const QString key = m_dir->filePath("release.key");
    const QString publicKey = runTool({"keygen", key}).out.trimmed();
    Release release;
    release.write(releasePath());
    Run run = runTool({"publish", "--sign", key, "--sequence", "7", "--expires", "2030-01-01T00:00:00Z",
                       releasePath(), treePath()});
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    const QByteArray info = readFile(modelPath() + "/FW.ZUV");
    for (const char *line : {"VER_SEC=1\n\n[Release]\nModel=TheOrvik\nSequence=7\nExpires=2030-01-01T00:00:00Z\n",
                             "\nPrimaryFirmware/1/PRIMARY.BIN=", "\nSecondaryFirmware/ANIM/manifest.txt=",
                             "\nchangelist.txt="})
        QVERIFY2(info.contains(line), info.constData());
    QCOMPARE(runTool({"publish", "--sign", key, releasePath(), treePath()}).exitCode, 0);
    QCOMPARE(readFile(modelPath() + "/FW.ZUV"), info);

    release.primary = "2";
    release.write(releasePath());
    QCOMPARE(runTool({"publish", "--sign", key, releasePath(), treePath()}).exitCode, 0);
    QVERIFY(readFile(modelPath() + "/FW.ZUV").contains("\nSequence=8\n"));
    QCOMPARE(runTool({"verify", "--key", publicKey, treePath()}).exitCode, 0);

    release.primary = "3";
    release.write(releasePath());
    QCOMPARE(runTool({"publish", "--sign", key, "--expires", "2020-01-01T00:00:00Z", releasePath(), treePath()})
                 .exitCode,
             0);
    run = runTool({"verify", "--quiet", "--key", publicKey, treePath()});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.out.contains("FW.ZUV: the release record expired on 2020-01-01T00:00:00Z"), qPrintable(run.out));
}

void TestPublish::usageErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");

    QTest::newRow("unknown command") << QStringList{"send"} << "unknown command 'send'";
    QTest::newRow("verify a missing tree") << QStringList{"verify", "/nonexistent/tree"}
                                           << "/nonexistent/tree: no such directory";
    QTest::newRow("sign with a missing key") << QStringList{"publish", "--sign", "/nonexistent/key", "r", "t"}
                                             << "/nonexistent/key: cannot read";
    QTest::newRow("sequence without signing") << QStringList{"publish", "--sequence", "3", "r", "t"}
                                              << "--sequence and --expires belong to 'publish --sign'";
    QTest::newRow("sequence not a number") << QStringList{"publish", "--sign", "k", "--sequence", "3a", "r", "t"}
                                           << "--sequence \"3a\": not a number above 0";
    QTest::newRow("expiry without zone") << QStringList{"publish", "--sign", "k", "--expires", "2030-01-01", "r", "t"}
                                         << "--expires \"2030-01-01\": not a UTC time";
}

void TestPublish::usageErrors()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    const Run run = runTool(arguments);
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains("zuv-publish: " + message), qPrintable(run.err));
    QVERIFY(run.out.isEmpty());
}

QTEST_GUILESS_MAIN(TestPublish)
#include "test_publish.moc"
