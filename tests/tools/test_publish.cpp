// zuv-publish through its executable: publishing and extending a server
// tree, refusing unusable releases, and the verification of trees.

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

using Files = QMap<QString, QByteArray>; // path relative to a directory -> content

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
        run.err = QStringLiteral("zuv-publish did not finish within a minute");
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

QByteArray md5(const QByteArray &content)
{
    return QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex();
}

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    file.write(content);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// Every file below a directory with its content, hidden ones included.
Files snapshot(const QString &root)
{
    Files files;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(QDir(root).relativeFilePath(path), readFile(path));
    }
    return files;
}

// A release directory as the maker's engineers hand it over.
struct Release {
    QString model = QStringLiteral("TheOrvik");
    QString bootloader = QStringLiteral("1");
    QString primary = QStringLiteral("1");
    QString secondary = QStringLiteral("1");
    QByteArray changelist = "First release\n";
    QMap<QString, Files> directories{
        {QStringLiteral("Bootloader"), {{QStringLiteral("BOOT.BIN"), "boot 1"}}},
        {QStringLiteral("PrimaryFirmware"),
         {{QStringLiteral("PRIMARY.BIN"), "primary 1"}, {QStringLiteral("CONFIG/DEFAULT.CFG"), "mode=1\n"}}},
        {QStringLiteral("SecondaryFirmware"), {{QStringLiteral("SECONDARY.BIN"), "secondary 1"}}},
        {QStringLiteral("ANIM"), {{QStringLiteral("IDLE.ANM"), "idle 1"}, {QStringLiteral("MENU/OPEN.ANM"), "open"}}},
        {QStringLiteral("IMAGES"), {{QStringLiteral("LOGO.IMG"), "logo"}, {QStringLiteral("EMPTY.IMG"), ""}}},
        {QStringLiteral("SOUNDS"), {{QStringLiteral("BEEP.SND"), "beep"}}},
    };

    void write(const QString &root) const
    {
        QDir().mkpath(root);
        writeFile(root + QStringLiteral("/release.ini"),
                  QStringLiteral("[Release]\nModel=%1\nBootloader=%2\nPrimaryFirmware=%3\nSecondaryFirmware=%4\n")
                      .arg(model, bootloader, primary, secondary)
                      .toUtf8());
        writeFile(root + QStringLiteral("/changelist.txt"), changelist);
        for (auto dir = directories.cbegin(); dir != directories.cend(); ++dir) {
            QDir().mkpath(root + QLatin1Char('/') + dir.key());
            for (auto file = dir->cbegin(); file != dir->cend(); ++file)
                writeFile(root + QLatin1Char('/') + dir.key() + QLatin1Char('/') + file.key(), file.value());
        }
    }

    // The manifest the server should hold for one of the directories.
    QByteArray manifest(const QString &directory) const
    {
        QByteArray text;
        const Files files = directories.value(directory);
        for (auto file = files.cbegin(); file != files.cend(); ++file)
            text += md5(file.value()) + "  " + file.key().toUtf8() + '\n';
        return text;
    }

    Release nextVersion() const
    {
        Release next = *this;
        next.primary = QStringLiteral("2");
        next.secondary = QStringLiteral("2");
        next.changelist = "Second release\n";
        next.directories[QStringLiteral("PrimaryFirmware")][QStringLiteral("PRIMARY.BIN")] = "primary 2";
        next.directories[QStringLiteral("SecondaryFirmware")][QStringLiteral("SECONDARY.BIN")] = "secondary 2";
        next.directories[QStringLiteral("ANIM")].remove(QStringLiteral("MENU/OPEN.ANM"));
        next.directories[QStringLiteral("ANIM")][QStringLiteral("IDLE.ANM")] = "idle 2";
        return next;
    }
};

// Changes a release before and after it is written.
using ReleaseChange = std::function<void(Release *, const QString &)>;

} // namespace

Q_DECLARE_METATYPE(ReleaseChange)

class TestPublish : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();

    void publishesAReleaseThatVerifies();
    void extendsATreeWithANewVersion();
    void refusesToRewriteAPublishedVersion();
    void rejectsUnusableReleases_data();
    void rejectsUnusableReleases();
    void reportsWriteFailures();

    void verifyFindsEachFault_data();
    void verifyFindsEachFault();
    void verifyReportsUnreadableFiles();

    void usageErrors_data();
    void usageErrors();
    void helpAndVersion();

private:
    QString releasePath() const { return m_dir->filePath(QStringLiteral("release")); }
    QString treePath() const { return m_dir->filePath(QStringLiteral("tree")); }
    QString modelPath() const { return treePath() + QStringLiteral("/ZUVUpdater/TheOrvik"); }
    Run publish(const Release &release);

    QScopedPointer<QTemporaryDir> m_dir;
};

void TestPublish::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
}

Run TestPublish::publish(const Release &release)
{
    QDir(releasePath()).removeRecursively();
    release.write(releasePath());
    return runTool({QStringLiteral("publish"), releasePath(), treePath()});
}

void TestPublish::publishesAReleaseThatVerifies()
{
    const Release release;
    const Run run = publish(release);
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    QVERIFY(run.err.contains(QLatin1String("Reading the release"))); // progress goes to stderr

    QCOMPARE(readFile(modelPath() + QStringLiteral("/FW.ZUV")), QByteArray("VER_BOOT=1\nVER_PRI=1\nVER_SEC=1\n"));
    QCOMPARE(readFile(modelPath() + QStringLiteral("/changelist.txt")), release.changelist);
    const QMap<QString, QString> places{
        {QStringLiteral("Bootloader"), QStringLiteral("Bootloader/1")},
        {QStringLiteral("PrimaryFirmware"), QStringLiteral("PrimaryFirmware/1")},
        {QStringLiteral("SecondaryFirmware"), QStringLiteral("SecondaryFirmware/1")},
        {QStringLiteral("ANIM"), QStringLiteral("SecondaryFirmware/ANIM")},
        {QStringLiteral("IMAGES"), QStringLiteral("SecondaryFirmware/IMAGES")},
        {QStringLiteral("SOUNDS"), QStringLiteral("SecondaryFirmware/SOUNDS")},
    };
    for (auto place = places.cbegin(); place != places.cend(); ++place) {
        Files expected = release.directories.value(place.key());
        expected.insert(QStringLiteral("manifest.txt"), release.manifest(place.key()));
        QCOMPARE(snapshot(modelPath() + QLatin1Char('/') + place.value()), expected);
    }
    // Nothing else: no staging directories, no stray files.
    QCOMPARE(QDir(modelPath()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name),
             QStringList({QStringLiteral("Bootloader"), QStringLiteral("FW.ZUV"), QStringLiteral("PrimaryFirmware"),
                          QStringLiteral("SecondaryFirmware"), QStringLiteral("changelist.txt")}));

    const Run verify = runTool({QStringLiteral("verify"), treePath()});
    QVERIFY2(verify.exitCode == 0, qPrintable(verify.out));
    QVERIFY(verify.out.contains(QLatin1String("no problems")));
}

void TestPublish::extendsATreeWithANewVersion()
{
    const Release first;
    QCOMPARE(publish(first).exitCode, 0);
    const Files firstPrimary = snapshot(modelPath() + QStringLiteral("/PrimaryFirmware/1"));
    const Files bootloader = snapshot(modelPath() + QStringLiteral("/Bootloader/1"));

    const Release second = first.nextVersion();
    const Run run = publish(second);
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    QVERIFY(run.err.contains(QLatin1String("Bootloader/1: already published, unchanged")));

    // The new versions are offered, the old ones stay complete beside them.
    QCOMPARE(readFile(modelPath() + QStringLiteral("/FW.ZUV")), QByteArray("VER_BOOT=1\nVER_PRI=2\nVER_SEC=2\n"));
    QCOMPARE(readFile(modelPath() + QStringLiteral("/changelist.txt")), second.changelist);
    QCOMPARE(snapshot(modelPath() + QStringLiteral("/PrimaryFirmware/1")), firstPrimary);
    QCOMPARE(snapshot(modelPath() + QStringLiteral("/Bootloader/1")), bootloader);
    QCOMPARE(readFile(modelPath() + QStringLiteral("/PrimaryFirmware/2/PRIMARY.BIN")), QByteArray("primary 2"));
    // The unversioned resources are replaced as a whole: a file dropped
    // from the release is gone.
    Files anim = second.directories.value(QStringLiteral("ANIM"));
    anim.insert(QStringLiteral("manifest.txt"), second.manifest(QStringLiteral("ANIM")));
    QCOMPARE(snapshot(modelPath() + QStringLiteral("/SecondaryFirmware/ANIM")), anim);
    QVERIFY(QDir(modelPath() + QStringLiteral("/SecondaryFirmware"))
                .entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot)
                .filter(QRegularExpression(QStringLiteral("^\\.")))
                .isEmpty());
    QCOMPARE(runTool({QStringLiteral("verify"), treePath()}).exitCode, 0);

    // The same release once more writes nothing.
    const Files before = snapshot(treePath());
    const Run again = publish(second);
    QCOMPARE(again.exitCode, 0);
    QVERIFY(again.out.contains(QLatin1String("(0 files written)")));
    QCOMPARE(snapshot(treePath()), before);
}

void TestPublish::refusesToRewriteAPublishedVersion()
{
    Release release;
    QCOMPARE(publish(release).exitCode, 0);
    const Files before = snapshot(treePath());

    release.directories[QStringLiteral("PrimaryFirmware")][QStringLiteral("PRIMARY.BIN")] = "primary 1, rebuilt";
    release.directories[QStringLiteral("IMAGES")][QStringLiteral("LOGO.IMG")] = "new logo";
    const Run run = publish(release);
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains(QLatin1String("PrimaryFirmware/1: this version is already published with other files")),
             qPrintable(run.err));
    // Refused before anything was written, the resources included.
    QCOMPARE(snapshot(treePath()), before);
}

void TestPublish::rejectsUnusableReleases_data()
{
    QTest::addColumn<ReleaseChange>("change");
    QTest::addColumn<QString>("message");

    using Change = ReleaseChange;
    QTest::newRow("no release.ini")
        << Change([](Release *, const QString &dir) { QFile::remove(dir + QStringLiteral("/release.ini")); })
        << "release.ini: missing";
    QTest::newRow("unknown model") << Change([](Release *r, const QString &) { r->model = QStringLiteral("Orvik"); })
                                   << "Model \"Orvik\" is not a device model";
    QTest::newRow("version with a slash")
        << Change([](Release *r, const QString &) { r->primary = QStringLiteral("2/3"); })
        << "PrimaryFirmware \"2/3\": may hold only letters";
    QTest::newRow("version with a blank")
        << Change([](Release *r, const QString &) { r->bootloader = QStringLiteral("2 beta"); })
        << "Bootloader \"2 beta\": may hold only letters";
    QTest::newRow("version missing")
        << Change([](Release *r, const QString &) { r->secondary.clear(); }) << "SecondaryFirmware \"\": no version";
    QTest::newRow("secondary named like a resource")
        << Change([](Release *r, const QString &) { r->secondary = QStringLiteral("sounds"); })
        << "is the name of a resource directory";
    QTest::newRow("resource directory missing")
        << Change([](Release *, const QString &dir) { QDir(dir + QStringLiteral("/SOUNDS")).removeRecursively(); })
        << "SOUNDS/: missing directory";
    QTest::newRow("no change list")
        << Change([](Release *, const QString &dir) { QFile::remove(dir + QStringLiteral("/changelist.txt")); })
        << "changelist.txt: missing";
    QTest::newRow("change list with a zero byte")
        << Change([](Release *, const QString &dir) {
               writeFile(dir + QStringLiteral("/changelist.txt"), QByteArray("one\ntwo\0three\n", 14));
           })
        << "changelist.txt:2: a zero byte";
    QTest::newRow("change list not UTF-8")
        << Change([](Release *, const QString &dir) { writeFile(dir + QStringLiteral("/changelist.txt"), "ok\n\xff\xfe\n"); })
        << "changelist.txt:2: not UTF-8";
    QTest::newRow("name the card cannot hold")
        << Change([](Release *, const QString &dir) { writeFile(dir + QStringLiteral("/SOUNDS/NO:TE.SND"), "x"); })
        << "SOUNDS/NO:TE.SND: the name holds ':'";
    QTest::newRow("name ending in a dot")
        << Change([](Release *, const QString &dir) { writeFile(dir + QStringLiteral("/IMAGES/LOGO."), "x"); })
        << "IMAGES/LOGO.: the name has a name ending in a blank or a dot";
    QTest::newRow("file named like the manifest")
        << Change([](Release *, const QString &dir) { writeFile(dir + QStringLiteral("/ANIM/manifest.txt"), "x"); })
        << "ANIM/manifest.txt: this name is taken by the directory's manifest";
    QTest::newRow("primary and secondary clash on the card")
        << Change([](Release *, const QString &dir) {
               writeFile(dir + QStringLiteral("/PrimaryFirmware/COMMON.DAT"), "from primary");
               writeFile(dir + QStringLiteral("/SecondaryFirmware/COMMON.DAT"), "from secondary");
           })
        << "PrimaryFirmware/COMMON.DAT and SecondaryFirmware/COMMON.DAT both go to \"COMMON.DAT\"";
    QTest::newRow("names differing only in case")
        << Change([](Release *, const QString &dir) { writeFile(dir + QStringLiteral("/SOUNDS/beep.snd"), "other"); })
        << "both go to \"SOUNDS/";
}

void TestPublish::rejectsUnusableReleases()
{
    QFETCH(ReleaseChange, change);
    QFETCH(QString, message);

    Release release;
    change(&release, releasePath()); // changes of the description
    release.write(releasePath());
    change(&release, releasePath()); // changes of the written files
    const Run run = runTool({QStringLiteral("publish"), releasePath(), treePath()});
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains(message), qPrintable(run.err));
    QVERIFY2(!QFileInfo::exists(modelPath() + QStringLiteral("/FW.ZUV")), "nothing is published");
}

void TestPublish::reportsWriteFailures()
{
    Release release;
    release.write(releasePath());
    // A tree below a plain file cannot be created.
    writeFile(m_dir->filePath(QStringLiteral("plain")), "x");
    const Run run = runTool({QStringLiteral("publish"), releasePath(), m_dir->filePath(QStringLiteral("plain/tree"))});
    QCOMPARE(run.exitCode, 3);
    QVERIFY2(run.err.contains(QLatin1String("cannot create the directory")), qPrintable(run.err));
}

void TestPublish::verifyFindsEachFault_data()
{
    QTest::addColumn<QString>("file");      // relative to the model's directory
    QTest::addColumn<QByteArray>("content"); // replaces the file; "<append>..." appends, empty removes it
    QTest::addColumn<QString>("expected");  // a line of the report

    const QByteArray beep = md5("beep");
    const QString sounds = QStringLiteral("SecondaryFirmware/SOUNDS/manifest.txt");
    QTest::newRow("upper-case digest")
        << sounds << QByteArray(beep.toUpper() + "  BEEP.SND\n")
        << QStringLiteral("ZUVUpdater/TheOrvik/SecondaryFirmware/SOUNDS/manifest.txt:1: the digest is in upper case");
    QTest::newRow("blank line") << sounds << QByteArray(beep + "  BEEP.SND\n\n")
                                << QStringLiteral("SOUNDS/manifest.txt:2: blank line");
    QTest::newRow("climbing path") << sounds << QByteArray(beep + "  BEEP.SND\n" + beep + "  ../../../x\n")
                                   << QStringLiteral("SOUNDS/manifest.txt:2: the path \"../../../x\" climbs out");
    QTest::newRow("absolute path") << sounds << QByteArray(beep + "  /etc/x\n")
                                   << QStringLiteral("SOUNDS/manifest.txt:1: the path \"/etc/x\" is absolute");
    QTest::newRow("no separator") << sounds << QByteArray(beep + "BEEP.SND\n")
                                  << QStringLiteral("SOUNDS/manifest.txt:1: no white space between the digest");
    QTest::newRow("short digest") << sounds << QByteArray(beep.left(31) + "  BEEP.SND\n")
                                  << QStringLiteral("SOUNDS/manifest.txt:1: the line does not start with the 32");
    QTest::newRow("listed twice") << sounds << QByteArray(beep + "  BEEP.SND\n" + beep + "  beep.snd\n")
                                  << QStringLiteral("SOUNDS/manifest.txt:2: \"beep.snd\" is listed again (first on line 1)");
    QTest::newRow("listed file missing") << QStringLiteral("SecondaryFirmware/SOUNDS/BEEP.SND") << QByteArray()
                                         << QStringLiteral("SOUNDS/manifest.txt:1: \"BEEP.SND\" is listed but missing");
    QTest::newRow("file changed") << QStringLiteral("SecondaryFirmware/SOUNDS/BEEP.SND") << QByteArray("boop")
                                  << QStringLiteral("SOUNDS/manifest.txt:1: \"BEEP.SND\" has the digest %1, not the listed %2")
                                         .arg(QString::fromLatin1(md5("boop")), QString::fromLatin1(beep));
    QTest::newRow("manifest missing") << QStringLiteral("Bootloader/1/manifest.txt") << QByteArray()
                                      << QStringLiteral("ZUVUpdater/TheOrvik/Bootloader/1/manifest.txt: missing");
    QTest::newRow("version not published") << QStringLiteral("FW.ZUV") << QByteArray("VER_BOOT=1\nVER_PRI=7\nVER_SEC=1\n")
                                           << QStringLiteral("FW.ZUV:2: VER_PRI names version 7, but "
                                                             "ZUVUpdater/TheOrvik/PrimaryFirmware/7/manifest.txt does not exist");
    QTest::newRow("version key missing") << QStringLiteral("FW.ZUV") << QByteArray("VER_BOOT=1\nVER_PRI=1\n")
                                         << QStringLiteral("ZUVUpdater/TheOrvik/FW.ZUV: VER_SEC is missing or empty");
    QTest::newRow("FW.ZUV missing") << QStringLiteral("FW.ZUV") << QByteArray()
                                    << QStringLiteral("ZUVUpdater/TheOrvik/FW.ZUV: missing");
    QTest::newRow("resource directory missing") << QStringLiteral("SecondaryFirmware/IMAGES") << QByteArray()
                                                << QStringLiteral("SecondaryFirmware/IMAGES: missing");
    QTest::newRow("change list cut by a zero byte") << QStringLiteral("changelist.txt") << QByteArray("a\nb\0c", 5)
                                                    << QStringLiteral("changelist.txt:2: a zero byte");
    QTest::newRow("primary and secondary disagree")
        << QStringLiteral("SecondaryFirmware/1/manifest.txt")
        << QByteArray(md5("secondary 1") + "  SECONDARY.BIN\n" + md5("other") + "  PRIMARY.BIN\n")
        << QStringLiteral("SecondaryFirmware/1/manifest.txt:2: \"PRIMARY.BIN\" goes to the card where "
                          "ZUVUpdater/TheOrvik/PrimaryFirmware/1/manifest.txt:2 puts a different file");
}

void TestPublish::verifyFindsEachFault()
{
    QFETCH(QString, file);
    QFETCH(QByteArray, content);
    QFETCH(QString, expected);

    QCOMPARE(publish(Release()).exitCode, 0);
    const QString path = modelPath() + QLatin1Char('/') + file;
    if (content.isEmpty()) {
        QVERIFY(QFileInfo(path).isDir() ? QDir(path).removeRecursively() : QFile::remove(path));
    } else {
        writeFile(path, content);
    }
    const Run run = runTool({QStringLiteral("verify"), treePath()});
    QCOMPARE(run.exitCode, 1);
    const QStringList lines = run.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    bool found = false;
    for (const QString &line : lines)
        found = found || line.contains(expected);
    QVERIFY2(found, qPrintable(run.out));
    QVERIFY(lines.last().contains(QLatin1String("problem(s)")));
}

void TestPublish::verifyReportsUnreadableFiles()
{
    QCOMPARE(publish(Release()).exitCode, 0);
    const QString manifest = modelPath() + QStringLiteral("/Bootloader/1/manifest.txt");
    QVERIFY(QFile::remove(manifest));
    QVERIFY(QDir().mkdir(manifest)); // a directory where the manifest belongs
    const Run run = runTool({QStringLiteral("verify"), treePath()});
    QCOMPARE(run.exitCode, 3);
    QVERIFY2(run.out.contains(QLatin1String("Bootloader/1/manifest.txt: cannot be read")), qPrintable(run.out));
}

void TestPublish::usageErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");

    QTest::newRow("nothing") << QStringList() << "no command given";
    QTest::newRow("unknown command") << QStringList{QStringLiteral("send")} << "unknown command 'send'";
    QTest::newRow("publish without tree") << QStringList{QStringLiteral("publish"), QStringLiteral("r")}
                                          << "wrong number of arguments for 'publish'";
    QTest::newRow("verify with two trees") << QStringList{QStringLiteral("verify"), QStringLiteral("a"), QStringLiteral("b")}
                                           << "wrong number of arguments for 'verify'";
    QTest::newRow("unknown option") << QStringList{QStringLiteral("--force"), QStringLiteral("verify"), QStringLiteral("t")}
                                    << "Unknown option 'force'";
    QTest::newRow("verify a missing tree") << QStringList{QStringLiteral("verify"), QStringLiteral("/nonexistent/tree")}
                                           << "/nonexistent/tree: no such directory";
    QTest::newRow("publish a missing release")
        << QStringList{QStringLiteral("publish"), QStringLiteral("/nonexistent/release"), QStringLiteral("t")}
        << "/nonexistent/release: no such directory";
}

void TestPublish::usageErrors()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);

    const Run run = runTool(arguments);
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains(QStringLiteral("zuv-publish: ") + message), qPrintable(run.err));
    QVERIFY(run.out.isEmpty());
}

void TestPublish::helpAndVersion()
{
    const Run help = runTool({QStringLiteral("--help")});
    QCOMPARE(help.exitCode, 0);
    QVERIFY(help.out.startsWith(QLatin1String("Usage: zuv-publish publish")));
    QVERIFY(help.out.contains(QLatin1String("release.ini")));
    QVERIFY(help.out.contains(QLatin1String("Exit status")));

    const Run version = runTool({QStringLiteral("--version")});
    QCOMPARE(version.exitCode, 0);
    QVERIFY(version.out.startsWith(QLatin1String("zuv-publish ")));
}

QTEST_GUILESS_MAIN(TestPublish)
#include "test_publish.moc"
