#include <QFile>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>
#include <QPainterPath>
#include <QProcess>
#include <QRawFont>
#include <QTemporaryDir>
#include <QtEndian>
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

// Offset of a table in a TrueType file, or -1.
int tableOffset(const QByteArray &font, const char *tag)
{
    const auto *data = reinterpret_cast<const uchar *>(font.constData());
    const int count = qFromBigEndian<quint16>(data + 4);
    for (int i = 0; i < count; ++i) {
        const uchar *record = data + 12 + 16 * i;
        if (memcmp(record, tag, 4) == 0)
            return int(qFromBigEndian<quint32>(record + 8));
    }
    return -1;
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

// The pictures and the font of the window: compiled in at the paths the QML
// uses, of the kinds the window expects, and made again identically by
// their scripts.
class AssetsTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void resourcePaths();
    void pictures_data();
    void pictures();
    void font();
    void scriptsRemakeTheFiles_data();
    void scriptsRemakeTheFiles();
};

void AssetsTest::resourcePaths()
{
    const QStringList paths = {
        QStringLiteral(":/main.qml"),
        QStringLiteral(":/qmlcontrols/ZUVU/Controls/qmldir"),
        QStringLiteral(":/qmlcontrols/ZUVU/Controls/Button.qml"),
        QStringLiteral(":/qmlcontrols/ZUVU/Controls/Text.qml"),
        QStringLiteral(":/qmlcontrols/ZUVU/Controls/ComboBox.qml"),
        QStringLiteral(":/qmlcontrols/ZUVU/Controls/ZuvLogo.qml"),
        QStringLiteral(":/qmlcontrols/ZUVU/Pages/qmldir"),
        QStringLiteral(":/qmlcontrols/ZUVU/Pages/Progress.qml"),
        QStringLiteral(":/qmlcontrols/ZUVU/Pages/Device.qml"),
        QStringLiteral(":/qmlcontrols/ZUVU/Pages/Changelist.qml"),
        QStringLiteral(":/qmlcontrols/ZUVU/Pages/Error.qml"),
        QStringLiteral(":/images/background.png"),
        QStringLiteral(":/images/close.png"),
        QStringLiteral(":/images/zuv.png"),
        QStringLiteral(":/images/orvik.png"),
        QStringLiteral(":/fonts/E4_2017.TTF"),
    };
    for (const QString &path : paths)
        QVERIFY2(QFile::exists(path), qPrintable(path));

    QCOMPARE(readAll(QStringLiteral(":/qmlcontrols/ZUVU/Controls/qmldir")).split('\n').first(),
             QByteArray("module ZUVU.Controls"));
    QCOMPARE(readAll(QStringLiteral(":/qmlcontrols/ZUVU/Pages/qmldir")).split('\n').first(),
             QByteArray("module ZUVU.Pages"));
}

void AssetsTest::pictures_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("alpha");
    QTest::addColumn<QPoint>("clear");
    QTest::newRow("background") << QStringLiteral(":/images/background.png") << QSize(512, 512) << false << QPoint();
    QTest::newRow("close") << QStringLiteral(":/images/close.png") << QSize(16, 16) << false << QPoint();
    QTest::newRow("logo") << QStringLiteral(":/images/zuv.png") << QSize(164, 84) << true << QPoint(53, 20);
    QTest::newRow("device") << QStringLiteral(":/images/orvik.png") << QSize(160, 100) << true << QPoint(0, 0);
}

void AssetsTest::pictures()
{
    QFETCH(QString, path);
    QFETCH(QSize, size);
    QFETCH(bool, alpha);
    QFETCH(QPoint, clear);

    const QImage image(path);
    QVERIFY(!image.isNull());
    QCOMPARE(image.size(), size);
    QCOMPARE(image.hasAlphaChannel(), alpha);
    if (!alpha)
        return;

    // Pictures with transparency stand on a clear ground in their own colours.
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(qAlpha(argb.pixel(clear)), 0);
    QSet<QRgb> opaque;
    for (int y = 0; y < argb.height(); ++y) {
        for (int x = 0; x < argb.width(); ++x) {
            if (qAlpha(argb.pixel(x, y)) == 255)
                opaque.insert(argb.pixel(x, y));
        }
    }
    if (path.endsWith(QLatin1String("zuv.png"))) {
        QCOMPARE(opaque, QSet<QRgb>({qRgb(248, 180, 22)}));
    } else {
        QVERIFY(opaque.contains(qRgb(0, 0, 0)));
        QVERIFY(opaque.contains(qRgb(255, 255, 255)));
    }
}

void AssetsTest::font()
{
    const QByteArray data = readAll(QStringLiteral(":/fonts/E4_2017.TTF"));
    QVERIFY(!data.isEmpty());

    const int id = QFontDatabase::addApplicationFontFromData(data);
    QVERIFY(id >= 0);
    QCOMPARE(QFontDatabase::applicationFontFamilies(id), QStringList(QStringLiteral("E4 2017")));
    QFontDatabase::removeApplicationFont(id);

    const int head = tableOffset(data, "head");
    const int maxp = tableOffset(data, "maxp");
    QVERIFY(head > 0 && maxp > 0);
    const auto *bytes = reinterpret_cast<const uchar *>(data.constData());
    QCOMPARE(qFromBigEndian<quint16>(bytes + head + 18), quint16(1024));
    QCOMPARE(qFromBigEndian<quint16>(bytes + maxp + 4), quint16(107));

    // At a size of one em in pixels every outline point lies on the grid
    // of one eighth of the em.
    const QRawFont raw(data, 1024);
    QVERIFY(raw.isValid());
    for (uint code = 0x20; code <= 0x7e; ++code) {
        const QChar ch(code);
        QVERIFY2(raw.supportsCharacter(ch), qPrintable(QString(ch)));
        const QVector<quint32> glyphs = raw.glyphIndexesForString(QString(ch));
        QCOMPARE(glyphs.size(), 1);
        const QPainterPath path = raw.pathForGlyph(glyphs.first());
        QCOMPARE(path.isEmpty(), code == 0x20);
        for (int i = 0; i < path.elementCount(); ++i) {
            const QPainterPath::Element e = path.elementAt(i);
            QVERIFY2(qFuzzyIsNull(std::fmod(std::abs(e.x), 128.0)) && qFuzzyIsNull(std::fmod(std::abs(e.y), 128.0)),
                     qPrintable(QStringLiteral("%1 at %2,%3").arg(QString(ch)).arg(e.x).arg(e.y)));
        }
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
