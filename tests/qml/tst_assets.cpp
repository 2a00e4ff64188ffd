#include <QFile>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>
#include <QPainterPath>
#include <QProcess>
#include <QRawFont>
#include <QTemporaryDir>
#include <QtTest>

namespace
{
const QString sourceDir = QStringLiteral(ZUV_SOURCE_DIR);

QByteArray readAll(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

QList<QImage> frames(const QString &path)
{
    QList<QImage> result;
    QImageReader reader(path);
    do {
        result.append(reader.read().convertToFormat(QImage::Format_ARGB32));
    } while (reader.jumpToNextImage());
    return result;
}
}

// The font of the window, of the family the window asks for, and the
// pictures, the icon and the font made again identically by their scripts. (The pictures as the window shows them are the window's suites'.)
class AssetsTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void font();
    void scriptsRemakeTheFiles_data();
    void scriptsRemakeTheFiles();
};

// The family is the one the window asks for, and every printable ASCII
// sign that a text of the window may hold is drawn.
void AssetsTest::font()
{
    const QByteArray data = readAll(QStringLiteral(":/fonts/E4_2017.TTF"));
    const int id = QFontDatabase::addApplicationFontFromData(data);
    QVERIFY(id >= 0);
    QCOMPARE(QFontDatabase::applicationFontFamilies(id), QStringList(QStringLiteral("E4 2017")));
    QFontDatabase::removeApplicationFont(id);

    const QRawFont raw(data, 16);
    QVERIFY(raw.isValid());
    for (uint code = 0x21; code <= 0x7e; ++code) {
        const QChar ch(code);
        const QVector<quint32> glyphs = raw.glyphIndexesForString(QString(ch));
        QVERIFY2(raw.supportsCharacter(ch) && !raw.pathForGlyph(glyphs.value(0)).isEmpty(), qPrintable(QString(ch)));
    }
}

void AssetsTest::scriptsRemakeTheFiles_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("committed");
    QTest::newRow("pictures") << QStringLiteral("make-images.py")
                              << QStringList{QStringLiteral("background.png"), QStringLiteral("close.png"),
                                             QStringLiteral("zuv.png"), QStringLiteral("orvik.png")}
                              << QStringLiteral("qml/images");
    QTest::newRow("icon") << QStringLiteral("make-icon.py") << QStringList{QStringLiteral("app.ico")}
                          << QStringLiteral("app");
    QTest::newRow("font") << QStringLiteral("make-font.py") << QStringList{QStringLiteral("E4_2017.TTF")}
                          << QStringLiteral("qml/fonts");
}

// The committed files are what the scripts make; pictures are compared by
// their pixels, so that another zlib build does not count as a change.
void AssetsTest::scriptsRemakeTheFiles()
{
    QFETCH(QString, script);
    QFETCH(QStringList, files);
    QFETCH(QString, committed);

    const QString python = QStringLiteral(ZUV_PYTHON);
    if (python.isEmpty() || QProcess::execute(python, {QStringLiteral("-c"), QStringLiteral("import fontTools")}) != 0)
        QSKIP("the system's python3 with fontTools (python3-fonttools) is not installed");

    QTemporaryDir out;
    QVERIFY(out.isValid());
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(python, {sourceDir + QStringLiteral("/tools/") + script, out.path()});
    QVERIFY(process.waitForFinished(240000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);

    for (const QString &name : files) {
        const QString made = out.filePath(name);
        const QString kept = sourceDir + QLatin1Char('/') + committed + QLatin1Char('/') + name;
        if (name.endsWith(QLatin1String(".TTF"))) {
            QVERIFY2(readAll(made) == readAll(kept), qPrintable(kept));
            continue;
        }
        const QList<QImage> madeFrames = frames(made);
        const QList<QImage> keptFrames = frames(kept);
        QCOMPARE(madeFrames.size(), keptFrames.size());
        for (int i = 0; i < madeFrames.size(); ++i)
            QVERIFY2(madeFrames.at(i) == keptFrames.at(i), qPrintable(QStringLiteral("%1, image %2").arg(kept).arg(i)));
    }
}

QTEST_MAIN(AssetsTest)

#include "tst_assets.moc"
