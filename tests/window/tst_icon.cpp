#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QProcess>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

namespace
{
const QString appDir = QStringLiteral(ZUV_APP_DIR);
const QList<int> sizes = {256, 128, 64, 48, 32, 16};

quint32 u32(const QByteArray &data, int at)
{
    return qFromLittleEndian<quint32>(reinterpret_cast<const uchar *>(data.constData()) + at);
}

QByteArray utf16(const QString &text)
{
    return QByteArray(reinterpret_cast<const char *>(text.utf16()), text.size() * 2);
}
}

// The program's icon and the Windows resources that carry it.
class IconTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void iconPictures();
    void windowsResources();
};

// Each image is the amber logo on an opaque black square.
void IconTest::iconPictures()
{
    QImageReader reader(appDir + QStringLiteral("/app.ico"), "ico");
    if (!reader.canRead())
        QSKIP("Qt's ico image plugin is not installed");
    QList<int> seen;
    do {
        const QImage image = reader.read().convertToFormat(QImage::Format_ARGB32);
        QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
        QCOMPARE(image.width(), image.height());
        seen.append(image.width());
        for (const QPoint corner : {QPoint(0, 0), QPoint(image.width() - 1, image.height() - 1)})
            QCOMPARE(image.pixel(corner), qRgba(0, 0, 0, 255));
        int amber = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QRgb p = image.pixel(x, y);
                QCOMPARE(qAlpha(p), 255);
                if (qRed(p) > 120 && qRed(p) > qGreen(p) && qGreen(p) > qBlue(p))
                    ++amber;
            }
        }
        QVERIFY2(amber * 10 > image.width() * image.height(), qPrintable(QString::number(image.width())));
    } while (reader.jumpToNextImage());
    QCOMPARE(seen, sizes);
}

// The resource script compiles, carrying the icon group IDI_ICON1 with all
// six images and the version block that names the program.
void IconTest::windowsResources()
{
    const QString windres = QStringLiteral(ZUV_WINDRES);
    if (windres.isEmpty())
        QSKIP("x86_64-w64-mingw32-windres is not installed (Debian package binutils-mingw-w64-x86-64)");

    QTemporaryDir out;
    QVERIFY(out.isValid());
    QProcess process;
    process.setWorkingDirectory(appDir);
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(windres, {QStringLiteral("-i"), QStringLiteral("app.rc"), QStringLiteral("-O"), QStringLiteral("res"),
                            QStringLiteral("-o"), out.filePath(QStringLiteral("app.res"))});
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitCode(), 0);

    QFile res(out.filePath(QStringLiteral("app.res")));
    QVERIFY(res.open(QIODevice::ReadOnly));
    const QByteArray compiled = res.readAll();
    QFile ico(appDir + QStringLiteral("/app.ico"));
    QVERIFY(ico.open(QIODevice::ReadOnly));
    const QByteArray icon = ico.readAll();
    for (int i = 0; i < sizes.size(); ++i) {
        const int entry = 6 + 16 * i;
        QVERIFY2(compiled.contains(icon.mid(int(u32(icon, entry + 12)), int(u32(icon, entry + 8)))),
                 qPrintable(QStringLiteral("image of %1 pixels").arg(sizes.at(i))));
    }
    for (const QString &text : {QStringLiteral("IDI_ICON1"), QStringLiteral("ProductName"), QStringLiteral("ZUV Update Manager"),
                                QStringLiteral("ZUV Update Manager.exe"), QStringLiteral("0.0.0.0"),
                                QStringLiteral("040904b0")})
        QVERIFY2(compiled.contains(utf16(text)), qPrintable(text));
}

QTEST_GUILESS_MAIN(IconTest)

#include "tst_icon.moc"
