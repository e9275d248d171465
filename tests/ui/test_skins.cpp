// Skins: folder and zip skins, colours, pictures with their fall-backs, the window shape,
// the list of installed skins and the built-in pictures of the station list.
#include "debuglog.h"
#include "platform.h"
#include "productprofile.h"
#include "skins.h"
#include "testsupport.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QSignalSpy>
#include <QtTest>
#include <zip.h>

#include <limits>
#include <memory>

namespace {

QByteArray bmp(int w, int h, QColor c)
{
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(c);
    QByteArray data;
    QBuffer buf(&data);
    buf.open(QIODevice::WriteOnly);
    img.save(&buf, "BMP");
    return data;
}

// A one-bit mask: a filled rectangle with its four corner pixels cut away.
QByteArray cornerMask(int size)
{
    QImage img(size, size, QImage::Format_RGB32);
    img.fill(Qt::black);
    for (QPoint p :
         {QPoint(0, 0), QPoint(size - 1, 0), QPoint(0, size - 1), QPoint(size - 1, size - 1)})
        img.setPixel(p, qRgb(255, 255, 255));
    QByteArray data;
    QBuffer buf(&data);
    buf.open(QIODevice::WriteOnly);
    img.save(&buf, "BMP");
    return data;
}

// Writes a zip archive with the given members.
void writeZip(const QString& path, const QList<QPair<QString, QByteArray>>& members)
{
    QDir().mkpath(QFileInfo(path).path());
    int err = 0;
    zip_t* z = zip_open(QFile::encodeName(path).constData(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    QVERIFY(z);
    std::vector<QByteArray> keep; // buffers must live until zip_close
    for (const auto& m : members) {
        keep.push_back(m.second);
        zip_source_t* s = zip_source_buffer(z, keep.back().constData(), keep.back().size(), 0);
        QVERIFY(zip_file_add(z, m.first.toUtf8().constData(), s, ZIP_FL_OVERWRITE) >= 0);
    }
    QCOMPARE(zip_close(z), 0);
}

struct LogCapture
{
    QStringList lines;
    LogCapture()
    {
        SetDebugSink([this](const QString& t, int ch) { lines << DebugChannelName(ch) + ">" + t; });
    }
    ~LogCapture() { SetDebugSink(nullptr); }
};

QString skinsDir()
{
    return TSkin::SkinsFolder();
}

// The image format plugins this process has loaded.
QStringList loadedImagePlugins()
{
    QFile maps("/proc/self/maps");
    if (!maps.open(QIODevice::ReadOnly)) return {};
    QStringList found;
    for (const QByteArray& line : maps.readAll().split('\n'))
        if (line.contains("/imageformats/")) found << QString::fromLocal8Bit(line.mid(73));
    found.removeDuplicates();
    return found;
}

} // namespace

class TestSkins : public QObject
{
    Q_OBJECT
    std::unique_ptr<dwtest::TempHome> home;

private slots:
    void init()
    {
        home = std::make_unique<dwtest::TempHome>();
        Skin().Reset();
    }
    void cleanup() { home.reset(); }

    // First, while no other case has read a picture: the common formats are read without
    // loading any image format plugin (Qt's detection by content loads them all, which
    // costs the start of the program); other bytes are still recognised by content, and
    // what is no picture is null.
    void pictures()
    {
        QCOMPARE(loadedImagePlugins(), QStringList());
        QFile png(":/images/listimages.png");
        QVERIFY(png.open(QIODevice::ReadOnly));
        const QByteArray pngData = png.readAll();
        QCOMPARE(DecodePicture(pngData).size(), QSize(160, 16));
        QCOMPARE(DecodePictureFile(":/skins/default/top.bmp").size(),
                 TSkin::BuiltinImage(skinpic::Top).size());
        QVERIFY(!TSkin::BuiltinImage(skinpic::Top).isNull());
        const QImage pbm = DecodePicture("P1\n3 2\n1 0 1\n0 1 0\n");
        QCOMPARE(pbm.size(), QSize(3, 2));
        QCOMPARE(QColor(pbm.pixel(0, 0)), QColor(Qt::black));
        QCOMPARE(QColor(pbm.pixel(1, 0)), QColor(Qt::white));
        // A skin picture named .bmp that holds a PNG, and the window shape.
        dwtest::writeFile(skinsDir() + "/mixed/skin.ini", "[Tags]\nversion=1\n");
        dwtest::writeFile(skinsDir() + "/mixed/top.bmp", pngData);
        dwtest::writeFile(skinsDir() + "/mixed/shape.msk",
                          "P1 6 6\n0 1 1 1 1 0\n" + QByteArray("1 1 1 1 1 1\n").repeated(4) +
                              "0 1 1 1 1 0\n");
        Skin().LoadSkin("mixed");
        QCOMPARE(Skin().Image(skinpic::Top).size(), QSize(160, 16));
        Skin().LoadWindowShape();
        QCOMPARE(Skin().Shape().Size(), QSize(6, 6));
        QCOMPARE(loadedImagePlugins(), QStringList());

        // Not told by the first bytes: a Windows icon, by content. Bytes that only start
        // like a picture, and no picture at all, are null.
        QByteArray ico;
        {
            QBuffer buf(&ico);
            buf.open(QIODevice::WriteOnly);
            QImage(8, 8, QImage::Format_ARGB32).save(&buf, "ICO");
        }
        if (!ico.isEmpty()) QCOMPARE(DecodePicture(ico).size(), QSize(8, 8));
        for (const QByteArray& bad :
             {QByteArray(), QByteArray("BM garbage"), pngData.left(40), QByteArray("P7\n"),
              QByteArray("GIF89a"), QByteArray("\xff\xd8\xff\xe0"), QByteArray(4096, 'x')})
            QVERIFY2(DecodePicture(bad).isNull(), bad.left(8).toHex().constData());
        // A file above the limit is refused, one at it is read.
        const QString file = home->path() + "/pic.bmp";
        dwtest::writeFile(file, bmp(4, 4, Qt::red));
        const qint64 size = QFileInfo(file).size();
        QCOMPARE(DecodePictureFile(file, size).size(), QSize(4, 4));
        QVERIFY(DecodePictureFile(file, size - 1).isNull());
    }

    void folderSkin()
    {
        dwtest::writeFile(skinsDir() + "/night/skin.ini",
                          "[Colors]\r\nPrimaryColor=$0000FF\r\nsecondarycolor = 65280\r\n"
                          "altlinefontcolor=$FF0000\r\ntertiarycolor=banana\r\n"
                          "[Tags]\r\nversion=2\r\nMaskX=3\r\nMaskY=-4\r\n");
        dwtest::writeFile(skinsDir() + "/night/top.bmp", bmp(10, 7, Qt::cyan));
        QSignalSpy loaded(&Skin(), &TSkin::skinLoaded);
        LogCapture log;
        Skin().LoadSkin("night");
        QCOMPARE(loaded.count(), 1);
        QCOMPARE(Skin().SkinPath(), skinsDir() + "/night/");
        QVERIFY(!Skin().IsZip());
        const TSkinColors& c = Skin().Colors();
        QCOMPARE(c.Primary, QColor(255, 0, 0)); // red in the low byte
        QCOMPARE(c.Secondary, QColor(0, 255, 0));
        QCOMPARE(c.AltLineFont, QColor(0, 0, 255));
        // Unreadable and missing keys keep the profile's colours.
        QCOMPARE(c.Tertiary, ColorFromBGR(Profile().TertiaryColor));
        QCOMPARE(c.Highlight, ColorFromBGR(Profile().HighlightColor));
        QCOMPARE(Skin().MaskX(), 3);
        QCOMPARE(Skin().MaskY(), -4);

        // The skin's own picture, then a missing one: built-in picture and a log line.
        QCOMPARE(Skin().Image(skinpic::Top).size(), QSize(10, 7));
        QVERIFY(log.lines.isEmpty());
        const QImage left = Skin().Image(skinpic::Left);
        QCOMPARE(left.size(), TSkin::BuiltinImage(skinpic::Left).size());
        QVERIFY(!left.isNull());
        QCOMPARE(log.lines,
                 QStringList{"ErrOut>Faild to load skin:" + skinsDir() + "/night/left.bmp"});
    }

    void colourValues_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("taken");
        QTest::addColumn<QColor>("colour");
        QTest::newRow("decimal") << "255" << true << QColor(255, 0, 0);
        QTest::newRow("dollar hex") << "$00FF00" << true << QColor(0, 255, 0);
        QTest::newRow("0x hex") << "0xff0000" << true << QColor(0, 0, 255);
        QTest::newRow("blanks") << "  16777215 " << true << QColor(255, 255, 255);
        QTest::newRow("empty") << "" << false << QColor();
        QTest::newRow("words") << "red" << false << QColor();
        QTest::newRow("trailing junk") << "12px" << false << QColor();
        QTest::newRow("negative") << "-1" << false << QColor();
        QTest::newRow("beyond 24 bits") << "$1000000" << false << QColor();
        QTest::newRow("huge") << "99999999999999999999" << false << QColor();
    }
    void colourValues()
    {
        QFETCH(QString, value);
        QFETCH(bool, taken);
        QFETCH(QColor, colour);
        TSkinColors c;
        c.Highlight = QColor(1, 2, 3);
        ReadSkinColors(TSkinIni("[colors]\nhighlightcolor=" + value.toLatin1() + "\n"), c, false);
        QCOMPARE(c.Highlight, taken ? colour : QColor(1, 2, 3));
    }

    // Integer values as "Tags" and "colors" read them: anything unreadable, out of range or
    // too long to hold gives the caller's default (here -1), never a wrapped number.
    void integerValues_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<int>("read");
        QTest::newRow("decimal") << "12" << 12;
        QTest::newRow("plus sign") << "+12" << 12;
        QTest::newRow("minus sign") << "-12" << -12;
        QTest::newRow("dollar hex") << "$1f" << 31;
        QTest::newRow("0x hex") << "0X1F" << 31;
        QTest::newRow("negative hex") << "-$10" << -16;
        QTest::newRow("unsigned 32-bit wraps") << "$FFFFFFFF" << -1;
        QTest::newRow("leading zeros") << "0000000000000000000000042" << 42;
        QTest::newRow("smallest int") << "-2147483648" << std::numeric_limits<int>::min();
        QTest::newRow("below int") << "-2147483649" << -1;
        QTest::newRow("above 32 bits") << "4294967296" << -1;
        QTest::newRow("33-bit hex") << "$100000000" << -1;
        QTest::newRow("16 hex digits") << "$cccccccccccccccc" << -1;
        QTest::newRow("17 hex digits") << "$fffffffffffffffff" << -1;
        QTest::newRow("0x and 16 digits") << "0x8000000000000000" << -1;
        QTest::newRow("signed 16 digits") << "-$8000000000000000" << -1;
        QTest::newRow("20 decimal digits") << "99999999999999999999" << -1;
        QTest::newRow("sign only") << "-" << -1;
        QTest::newRow("prefix only") << "$" << -1;
        QTest::newRow("two signs") << "--1" << -1;
        QTest::newRow("hex digit in decimal") << "1a" << -1;
        QTest::newRow("arabic digit") << QString::fromUtf8("\u0663") << -1;
    }
    void integerValues()
    {
        QFETCH(QString, value);
        QFETCH(int, read);
        const TSkinIni ini("[Tags]\nversion=" + value.toUtf8() + "\n");
        QCOMPARE(ini.ReadInteger("Tags", "version", -1), read);
    }

    void zipSkin()
    {
        // Zip skins read "altline0fontcolor"; "altlinefontcolor" there is ignored.
        writeZip(skinsDir() + "/Neon.zip",
                 {{"skin.ini", "[colors]\nprimarycolor=$FFFFFF\naltlinefontcolor=$0000FF\n"
                               "[Tags]\nversion=0\nMaskX=7\n"},
                  {"Neon/TOP.BMP", bmp(5, 6, Qt::yellow)},
                  {"shape.msk", cornerMask(8)}});
        const QColor before = Skin().Colors().AltLineFont;
        Skin().LoadSkin("Neon.zip"); // no version check for zip skins
        QVERIFY(Skin().IsZip());
        QCOMPARE(Skin().SkinPath(), skinsDir() + "/Neon.zip");
        QCOMPARE(Skin().Colors().Primary, QColor(255, 255, 255));
        QCOMPARE(Skin().Colors().AltLineFont, before);
        QCOMPARE(Skin().MaskX(), 7);
        QCOMPARE(Skin().Shape().Size(), QSize(8, 8));
        // Members are found without regard to case and inside a subfolder.
        QImage top;
        QVERIFY(LoadSkinGraphic(top, skinpic::Top, Skin().SkinPath()));
        QCOMPARE(top.size(), QSize(5, 6));
        // Nothing is left behind in the skins folder.
        QCOMPARE(QDir(skinsDir()).entryList(QDir::Files), QStringList{"Neon.zip"});

        writeZip(skinsDir() + "/b.zip", {{"skin.ini", "[colors]\naltline0fontcolor=$00FF00\n"}});
        Skin().LoadSkin("b.zip");
        QCOMPARE(Skin().Colors().AltLineFont, QColor(0, 255, 0));
        QVERIFY(Skin().Shape().IsNull()); // no mask in the zip and no default skin
    }

    void missingDefault()
    {
        // No skins at all: the colours stay, the load fails as an old skin, and each
        // picture fails with its own line while the built-in one stays.
        LogCapture log;
        QVERIFY_THROWS_EXCEPTION(ESkinError, Skin().LoadSkin(""));
        QCOMPARE(Skin().SkinPath(), skinsDir() + "/default/");
        QCOMPARE(Skin().Colors().Primary, ColorFromBGR(Profile().PrimaryColor));
        QPixmap pic = TSkin::BuiltinPicture(skinpic::Refresh);
        const QSize builtin = pic.size();
        QVERIFY(!builtin.isEmpty());
        QVERIFY(!Skin().LoadGraphic(pic, skinpic::Refresh));
        QVERIFY(!Skin().LoadGraphic(pic, skinpic::Help));
        QCOMPARE(pic.size(), builtin);
        QCOMPARE(log.lines,
                 (QStringList{"ErrOut>Faild to load skin:" + skinsDir() + "/default/refresh.bmp",
                              "ErrOut>Faild to load skin:" + skinsDir() + "/default/help.bmp"}));
    }

    void oldVersion_data()
    {
        QTest::addColumn<QByteArray>("tags");
        QTest::newRow("version 0") << QByteArray("[Tags]\nversion=0\nMaskX=9\n");
        QTest::newRow("no version") << QByteArray("[Tags]\nMaskX=9\n");
        QTest::newRow("not a number") << QByteArray("[Tags]\nversion=new\nMaskX=9\n");
    }
    void oldVersion()
    {
        QFETCH(QByteArray, tags);
        dwtest::writeFile(skinsDir() + "/old/skin.ini", "[colors]\nprimarycolor=$0000FF\n" + tags);
        try {
            Skin().LoadSkin("old");
            QFAIL("an old skin must be refused");
        } catch (const ESkinError& e) {
            QCOMPARE(QString(e.what()), QString("Skin version is too old"));
        }
        QCOMPARE(Skin().Colors().Primary, QColor(255, 0, 0)); // already taken
        QCOMPARE(Skin().MaskX(), 0);                          // not read

        // Picked in the configuration dialog, the error is swallowed.
        QSignalSpy selected(&Skin(), &TSkin::skinSelected);
        Skin().SelectSkin("old");
        QCOMPARE(selected.count(), 1);
    }

    void fallbackToDefault_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("missing folder") << "nosuchskin";
        QTest::newRow("missing zip") << "gone.zip";
        QTest::newRow("outside the skins folder") << "../elsewhere";
        QTest::newRow("absolute") << "/tmp";
    }
    void fallbackToDefault()
    {
        QFETCH(QString, name);
        QVERIFY(TSkin::InstallDefaultSkin());
        dwtest::writeFile(platform::ProgramFolder() + "/elsewhere/skin.ini", "[Tags]\nversion=5\n");
        Skin().LoadSkin(name);
        QCOMPARE(Skin().SkinPath(), skinsDir() + "/default/");
        QVERIFY(!Skin().IsZip());
    }

    void installedDefaultSkin()
    {
        // The shipped default skin installs, loads with the profile's colours and has
        // every picture; the same pictures are built in.
        QVERIFY(TSkin::InstallDefaultSkin());
        LogCapture log;
        Skin().LoadSkin("");
        QCOMPARE(Skin().Colors().Tertiary, ColorFromBGR(Profile().TertiaryColor));
        QCOMPARE(Skin().Colors().AltLine, ColorFromBGR(Profile().AltLineColor));
        for (const QString& name : skinpic::All()) {
            QPixmap p;
            QVERIFY2(Skin().LoadGraphic(p, name), qPrintable(name));
            QCOMPARE(TSkin::BuiltinPicture(name).size(), p.size());
        }
        QVERIFY(log.lines.isEmpty());
        QCOMPARE(RefreshGlyphCount(Skin().Picture(skinpic::Refresh).size()), 4);
        QCOMPARE(SplitGlyph(Skin().Picture(skinpic::BtnListen), 2).size(), 2);
        // The player's bitmap fonts hold one cell per character.
        for (auto [name, layout] : {std::pair{skinpic::SongText, SongTextLayout()},
                                    std::pair{skinpic::Digits, DigitsLayout()}}) {
            const QImage f = Skin().Image(name);
            QCOMPARE(f.size(), QSize(layout.CellWidth * layout.Chars.size(), layout.CellHeight));
        }
        Skin().LoadWindowShape();
        QVERIFY(!Skin().Shape().IsNull());
    }

    void installedSkins()
    {
        dwtest::writeFile(skinsDir() + "/Good/skin.ini", "[Tags]\nversion=1\n");
        dwtest::writeFile(skinsDir() + "/old/skin.ini", "[Tags]\nversion=0\n");
        QDir().mkpath(skinsDir() + "/empty");
        writeZip(skinsDir() + "/Fancy.zip", {{"readme.txt", "no skin.ini needed here"}});
        dwtest::writeFile(skinsDir() + "/broken.zip", "not a zip at all");
        dwtest::writeFile(skinsDir() + "/other.ZIP", "");
        QCOMPARE(TSkin::InstalledSkins(),
                 (QStringList{"Fancy.zip", "Good"})); // as named, so they can be chosen
    }

    void windowShape()
    {
        // A folder skin's own mask, else the default skin's.
        QVERIFY(TSkin::InstallDefaultSkin());
        dwtest::writeFile(skinsDir() + "/shaped/skin.ini", "[Tags]\nversion=1\nMaskX=2\n");
        dwtest::writeFile(skinsDir() + "/shaped/shape.msk", cornerMask(6));
        Skin().LoadSkin("shaped");
        Skin().LoadWindowShape();
        QCOMPARE(Skin().Shape().Size(), QSize(6, 6));

        const TShapeMask m = Skin().Shape();
        const QRegion r = m.Region(QSize(200, 100));
        QVERIFY(r.contains(QPoint(100, 50)));
        QVERIFY(r.contains(QPoint(1, 0)) && r.contains(QPoint(199, 98)));
        for (QPoint corner : {QPoint(0, 0), QPoint(199, 0), QPoint(0, 99), QPoint(199, 99)})
            QVERIFY2(!r.contains(corner),
                     qPrintable(QString("%1,%2").arg(corner.x()).arg(corner.y())));
        QCOMPARE(r.boundingRect(), QRect(0, 0, 200, 100));
        // The offsets move the shape; it never reaches outside the window.
        const QRegion moved = Skin().ShapeRegion(QSize(200, 100));
        QVERIFY(!moved.contains(QPoint(2, 0)) && moved.contains(QPoint(3, 0)));
        QVERIFY(!moved.contains(QPoint(1, 50)));
        QCOMPARE(moved.boundingRect().right(), 199);
        // A window smaller than the mask, and no mask at all.
        QVERIFY(!m.Region(QSize(3, 3)).isEmpty());
        QCOMPARE(TShapeMask().Region(QSize(40, 30)), QRegion(0, 0, 40, 30));
        QVERIFY(TShapeMask::FromData("garbage").IsNull());

        Skin().LoadSkin("default");
        Skin().LoadWindowShape();
        QCOMPARE(Skin().Shape().Size(), QSize(32, 32));
    }

    void glyphs()
    {
        // The bottom-left colour is transparent in every image of a glyph.
        QImage g(40, 20, QImage::Format_RGB32);
        g.fill(Qt::magenta);
        g.setPixel(5, 5, qRgb(0, 0, 0));
        g.setPixel(25, 5, qRgb(0, 0, 0));
        const QList<QPixmap> parts = SplitGlyph(QPixmap::fromImage(g), 2);
        QCOMPARE(parts.size(), 2);
        for (const QPixmap& p : parts) {
            QCOMPARE(p.size(), QSize(20, 20));
            const QImage i = p.toImage().convertToFormat(QImage::Format_ARGB32);
            QCOMPARE(qAlpha(i.pixel(0, 0)), 0);
            QCOMPARE(qAlpha(i.pixel(5, 5)), 255);
        }
        const QImage logo = MakeTransparent(g, QColor(255, 0, 255));
        QCOMPARE(qAlpha(logo.pixel(1, 1)), 0);
        QCOMPARE(qAlpha(logo.pixel(5, 5)), 255);
    }

    void refreshGlyphCount_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<int>("count");
        QTest::newRow("4 images") << QSize(384, 40) << 4;
        QTest::newRow("exactly 4 times") << QSize(160, 40) << 1;
        QTest::newRow("one image") << QSize(96, 40) << 1;
    }
    void refreshGlyphCount()
    {
        QFETCH(QSize, size);
        QFETCH(int, count);
        QCOMPARE(RefreshGlyphCount(size), count);
    }

    void listPictures_data()
    {
        QTest::addColumn<int>("x");
        QTest::addColumn<QColor>("colour");
        QTest::newRow("0 red") << 0 << QColor(255, 0, 0);
        QTest::newRow("4 red") << 4 << QColor(255, 0, 0);
        QTest::newRow("29 yellow") << 29 << QColor(255, 255, 0);
        QTest::newRow("34 yellow") << 34 << QColor(255, 255, 0);
        QTest::newRow("59 green") << 59 << QColor(0, 255, 0);
        QTest::newRow("63 green") << 63 << QColor(0, 255, 0);
        QTest::newRow("beyond the end") << 99 << QColor(0, 255, 0);
    }
    void listPictures()
    {
        QFETCH(int, x);
        QFETCH(QColor, colour);
        QCOMPARE(SpeedRamp().size(), QSize(64, 16));
        QCOMPARE(SpeedRampColor(x), colour);
        // Between the marks the ramp runs from red over orange to yellow.
        const QColor mid = SpeedRampColor(16);
        QVERIFY(mid.red() == 255 && mid.green() > 60 && mid.green() < 200 && mid.blue() == 0);
        QCOMPARE(ListImages().size(), 10);
        for (const QPixmap& p : ListImages())
            QCOMPARE(p.size(), QSize(16, 16));
        QCOMPARE(PageImages().size(), 5);
    }
};

QTEST_MAIN(TestSkins)
#include "test_skins.moc"
