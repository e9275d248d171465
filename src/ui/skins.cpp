#include "skins.h"

#include "config.h"
#include "datafolders.h"
#include "debuglog.h"
#include "latelibrary.h"
#include "platform.h"
#include "productprofile.h"

#include <QBitmap>
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QPainter>
#include <QVector>
#include <zip.h>

#include <limits>
#include <memory>

namespace skinpic {
const QStringList& All()
{
    static const QStringList names = {Top,
                                      Left,
                                      TopLeft,
                                      BottomLeft,
                                      Refresh,
                                      Favorites,
                                      Configure,
                                      Help,
                                      TopMid,
                                      TopRight,
                                      BlBase,
                                      BtnListen,
                                      BtnAddServer,
                                      BtnRemoveServer,
                                      BtnRefreshInd,
                                      BtnCopyServer,
                                      BtnFindServer,
                                      BtnJoinChat,
                                      PbtnPause,
                                      PbtnStop,
                                      PbtnBuyNow,
                                      PbtnDock,
                                      PbtnThumb,
                                      PbtnRuler,
                                      PbtnVolume,
                                      SongText,
                                      Digits,
                                      CbtnConDis,
                                      CbtnLeave,
                                      CbtnChannels,
                                      CbtnPrivateMes,
                                      CbtnSendFile,
                                      CbtnLock,
                                      CbtnKick,
                                      CbtnBan};
    return names;
}
} // namespace skinpic

namespace skinlayout {
QRect LeftLinkRect(int index)
{
    if (index < 1 || index > 4) return {};
    return QRect(8, 28 + (index - 1) * 26, 152, 24);
}

QRect TitleButtonRect(int index)
{
    if (index < 0 || index > 2) return {};
    return QRect(16 + index * 32, 1, 30, 17);
}
} // namespace skinlayout

TBitmapFontLayout SongTextLayout()
{
    QString chars;
    for (int c = 32; c <= 126; ++c)
        chars += QChar(c);
    return {7, 12, chars};
}

TBitmapFontLayout DigitsLayout()
{
    return {11, 18, QStringLiteral("0123456789:- ")};
}

QColor ColorFromBGR(int value)
{
    return QColor(ColorRed(value), ColorGreen(value), ColorBlue(value));
}

int ColorToBGR(const QColor& c)
{
    return c.red() | (c.green() << 8) | (c.blue() << 16);
}

bool ParseSkinInt(const QString& text, qint64& out)
{
    QString t = text.trimmed();
    bool negative = false;
    if (t.startsWith('-') || t.startsWith('+')) {
        negative = t.startsWith('-');
        t.remove(0, 1);
    }
    int base = 10;
    if (t.startsWith('$')) {
        base = 16;
        t.remove(0, 1);
    } else if (t.startsWith("0x", Qt::CaseInsensitive)) {
        base = 16;
        t.remove(0, 2);
    }
    if (t.isEmpty()) return false;
    // The value is read digit by digit and given up at the first digit that takes it past
    // the range, so that no number of digits (leading zeros included) can overflow.
    qint64 v = 0;
    for (QChar ch : t) {
        const char16_t u = ch.unicode();
        const int d = (u >= '0' && u <= '9')                 ? u - '0'
                      : (base == 16 && u >= 'a' && u <= 'f') ? u - 'a' + 10
                      : (base == 16 && u >= 'A' && u <= 'F') ? u - 'A' + 10
                                                             : -1;
        if (d < 0 || d >= base) return false;
        if (v > (kSkinIntMax - d) / base) return false;
        v = v * base + d;
    }
    out = negative ? -v : v;
    return true;
}

// ---------------------------------------------------------------------------------------

TSkinIni::TSkinIni(const QByteArray& text)
{
    QString section;
    const QList<QByteArray> lines = text.split('\n');
    for (QByteArray raw : lines) {
        const QString line = QString::fromLatin1(raw).trimmed();
        if (line.isEmpty() || line.startsWith(';') || line.startsWith('#')) continue;
        if (line.startsWith('[')) {
            const int end = line.indexOf(']');
            if (end > 0) section = line.mid(1, end - 1).trimmed().toLower();
            continue;
        }
        const int eq = line.indexOf('=');
        if (eq <= 0) continue;
        const QString key = section + '\n' + line.left(eq).trimmed().toLower();
        if (values_.contains(key)) continue;
        QString value = line.mid(eq + 1).trimmed();
        if (value.size() >= 2 && value.startsWith('"') && value.endsWith('"'))
            value = value.mid(1, value.size() - 2);
        values_.insert(key, value);
    }
}

bool TSkinIni::Has(const QString& section, const QString& key) const
{
    return values_.contains(section.toLower() + '\n' + key.toLower());
}

QString TSkinIni::ReadString(const QString& section, const QString& key, const QString& def) const
{
    return values_.value(section.toLower() + '\n' + key.toLower(), def);
}

int TSkinIni::ReadInteger(const QString& section, const QString& key, int def) const
{
    const auto it = values_.constFind(section.toLower() + '\n' + key.toLower());
    if (it == values_.constEnd()) return def;
    qint64 v = 0;
    if (!ParseSkinInt(*it, v)) return def;
    // Values written as unsigned hexadecimal ("$FFFFFFFF") wrap like a 32-bit integer.
    if (v > std::numeric_limits<quint32>::max() || v < std::numeric_limits<qint32>::min())
        return def;
    return int(qint32(quint32(v)));
}

void ReadSkinColors(const TSkinIni& ini, TSkinColors& colors, bool zipNames)
{
    const auto read = [&](const char* key, QColor& c) {
        const int missing = -0x7fffffff;
        const int v = ini.ReadInteger("colors", key, missing);
        // Only plain colours (0x00BBGGRR) are taken; anything else is unreadable here.
        if (v == missing || v < 0 || v > 0xffffff) return;
        c = ColorFromBGR(v);
    };
    read("primarycolor", colors.Primary);
    read("secondarycolor", colors.Secondary);
    read("primaryfontcolor", colors.PrimaryFont);
    read("secondaryfontcolor", colors.SecondaryFont);
    read("highlightcolor", colors.Highlight);
    read("tertiarycolor", colors.Tertiary);
    read("tertiaryfontcolor", colors.TertiaryFont);
    read("altlinecolor", colors.AltLine);
    read(zipNames ? "altline0fontcolor" : "altlinefontcolor", colors.AltLineFont);
    read("playercolor", colors.Player);
    read("playerfontcolor", colors.PlayerFont);
}

// ---------------------------------------------------------------------------------------

namespace {

// The zip library, loaded with the first zip skin read, never at start (it brings a
// cryptography library with it). Without it a zip skin reads as missing.
// The functions used, each zip_<name>.
#define DW_ZIP_FUNCTIONS(X)                                                                        \
    X(discard)                                                                                     \
    X(name_locate)                                                                                 \
    X(stat_init)                                                                                   \
    X(stat_index)                                                                                  \
    X(fopen_index)                                                                                 \
    X(fclose)                                                                                      \
    X(fread)                                                                                       \
    X(open_from_source)                                                                            \
    X(open)                                                                                        \
    X(error_init)                                                                                  \
    X(source_buffer_create)                                                                        \
    X(error_fini)                                                                                  \
    X(source_free)

struct TZipApi
{
#define DW_ZIP_MEMBER(name) decltype(&::zip_##name) name = nullptr;
    DW_ZIP_FUNCTIONS(DW_ZIP_MEMBER)
#undef DW_ZIP_MEMBER
    bool ok = false;
};

const TZipApi& zl()
{
    static const TZipApi api = [] {
        TZipApi a;
        static platform::TLateLibrary library(QStringLiteral("zip"), 4);
#define DW_ZIP_GET(name) library.Get(a.name, "zip_" #name);
        DW_ZIP_FUNCTIONS(DW_ZIP_GET)
#undef DW_ZIP_GET
        a.ok = library.AllFound();
        if (!a.ok) DebugLog("No zip library: " + library.ErrorString(), dcErrOut);
        return a;
    }();
    return api;
}
#undef DW_ZIP_FUNCTIONS

struct ZipCloser
{
    void operator()(zip_t* z) const
    {
        if (z) zl().discard(z);
    }
};
using ZipPtr = std::unique_ptr<zip_t, ZipCloser>;

// Index of the member: exact name, then without regard to case, then by last component.
zip_int64_t locate(zip_t* z, const QString& member)
{
    const QByteArray name = member.toUtf8();
    zip_int64_t i = zl().name_locate(z, name.constData(), 0);
    if (i < 0) i = zl().name_locate(z, name.constData(), ZIP_FL_NOCASE);
    if (i < 0) i = zl().name_locate(z, name.constData(), ZIP_FL_NOCASE | ZIP_FL_NODIR);
    return i;
}

bool readMember(zip_t* z, const QString& member, QByteArray& out)
{
    const zip_int64_t index = locate(z, member);
    if (index < 0) return false;
    zip_stat_t st;
    zl().stat_init(&st);
    if (zl().stat_index(z, zip_uint64_t(index), 0, &st) != 0) return false;
    if (!(st.valid & ZIP_STAT_SIZE) || st.size > zip_uint64_t(MaxZipMemberSize)) return false;
    std::unique_ptr<zip_file_t, int (*)(zip_file_t*)> f(zl().fopen_index(z, zip_uint64_t(index), 0),
                                                        zl().fclose);
    if (!f) return false;
    QByteArray data;
    data.resize(qsizetype(st.size));
    qint64 got = 0;
    while (got < qint64(st.size)) {
        const zip_int64_t n = zl().fread(f.get(), data.data() + got, st.size - zip_uint64_t(got));
        if (n <= 0) return false;
        got += n;
    }
    out = data;
    return true;
}

ZipPtr openZipFile(const QString& path)
{
    if (!zl().ok) return nullptr;
    int err = 0;
    return ZipPtr(zl().open(QFile::encodeName(path).constData(), ZIP_RDONLY, &err));
}

} // namespace

bool ReadZipMember(const QString& zipPath, const QString& member, QByteArray& out)
{
    ZipPtr z = openZipFile(zipPath);
    return z && readMember(z.get(), member, out);
}

bool ReadZipMemberFromData(const QByteArray& zipData, const QString& member, QByteArray& out)
{
    if (!zl().ok) return false;
    zip_error_t error;
    zl().error_init(&error);
    zip_source_t* src =
        zl().source_buffer_create(zipData.constData(), zip_uint64_t(zipData.size()), 0, &error);
    if (!src) {
        zl().error_fini(&error);
        return false;
    }
    ZipPtr z(zl().open_from_source(src, ZIP_RDONLY, &error));
    zl().error_fini(&error);
    if (!z) {
        zl().source_free(src);
        return false;
    }
    return readMember(z.get(), member, out);
}

bool IsZipArchive(const QString& path)
{
    return bool(openZipFile(path));
}

// ---------------------------------------------------------------------------------------

// ---------------------------------------------------------------------------------------

namespace {

// The format of a picture by its first bytes, for the formats worth telling apart.
const char* sniffFormat(const QByteArray& d)
{
    if (d.startsWith("BM")) return "bmp";
    if (d.startsWith("\x89PNG\r\n\x1a\n")) return "png";
    if (d.startsWith("GIF87a") || d.startsWith("GIF89a")) return "gif";
    if (d.startsWith("\xff\xd8\xff")) return "jpeg";
    if (d.size() > 2 && d[0] == 'P' && d[1] >= '1' && d[1] <= '6') {
        static const char* const netpbm[] = {"pbm", "pgm", "ppm"};
        return netpbm[(d[1] - '1') % 3];
    }
    return nullptr;
}

} // namespace

QImage DecodePicture(const QByteArray& data)
{
    if (data.isEmpty()) return {};
    QBuffer buf;
    buf.setData(data);
    buf.open(QIODevice::ReadOnly);
    QImage img;
    if (const char* format = sniffFormat(data)) {
        // Only this format's reader: with detection on, Qt would load every image format
        // plugin first to ask it.
        QImageReader reader(&buf, format);
        reader.setAutoDetectImageFormat(false);
        if (reader.read(&img) && !img.isNull()) return img;
        buf.seek(0);
    }
    QImageReader any(&buf);
    any.setDecideFormatFromContent(true);
    if (!any.read(&img)) return {};
    return img;
}

QImage DecodePictureFile(const QString& path, qint64 maxBytes)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    // The buffer fits the file (a special file without a size gets the limit).
    const qint64 size = f.size();
    const QByteArray data = f.read(size > 0 ? qMin(size, maxBytes) + 1 : maxBytes + 1);
    if (data.size() > maxBytes) return {};
    return DecodePicture(data);
}

// ---------------------------------------------------------------------------------------

TShapeMask TShapeMask::FromData(const QByteArray& data)
{
    TShapeMask m;
    QImage img = DecodePicture(data);
    if (img.isNull()) return m;
    if (img.width() > 4096 || img.height() > 4096) return m;
    img = img.convertToFormat(QImage::Format_ARGB32);
    QImage mask(img.size(), QImage::Format_Grayscale8);
    for (int y = 0; y < img.height(); ++y) {
        const QRgb* src = reinterpret_cast<const QRgb*>(img.constScanLine(y));
        uchar* dst = mask.scanLine(y);
        for (int x = 0; x < img.width(); ++x)
            dst[x] = (qAlpha(src[x]) >= 128 && qGray(src[x]) < 128) ? 255 : 0;
    }
    m.mask_ = mask;
    return m;
}

TShapeMask TShapeMask::FromFile(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    const qint64 size = f.size();
    return FromData(f.read(size > 0 ? qMin(size, MaxZipMemberSize) : MaxZipMemberSize));
}

QRegion TShapeMask::Region(const QSize& size, const QPoint& offset) const
{
    const QRect window(QPoint(0, 0), size);
    if (mask_.isNull() || size.isEmpty()) return QRegion(window);
    QImage m = mask_;
    if (m.width() > size.width() || m.height() > size.height())
        m = m.scaled(qMin(m.width(), size.width()), qMin(m.height(), size.height()));
    const int W = m.width(), H = m.height();
    const int cx = W / 2, cy = H / 2;
    const int sx = size.width() - W, sy = size.height() - H; // stretch of the middle
    // Mask column/row -> window start and extent.
    const auto mapX = [&](int x, int& from, int& len) {
        from = x <= cx ? x : x + sx;
        len = x == cx ? sx + 1 : 1;
    };
    QRegion r;
    for (int y = 0; y < H; ++y) {
        const int wy = y <= cy ? y : y + sy;
        const int hy = y == cy ? sy + 1 : 1;
        const uchar* line = m.constScanLine(y);
        int x = 0;
        while (x < W) {
            if (!line[x]) {
                ++x;
                continue;
            }
            const int start = x;
            while (x < W && line[x])
                ++x;
            int f0, l0, f1, l1;
            mapX(start, f0, l0);
            mapX(x - 1, f1, l1);
            r += QRect(f0, wy, f1 + l1 - f0, hy);
        }
    }
    return r.translated(offset) & window;
}

// ---------------------------------------------------------------------------------------

namespace {

bool readSkinFile(const QString& fileName, const QString& skinPath, QByteArray& data)
{
    if (skinPath.contains(".zip") && QFileInfo(skinPath).isFile())
        return ReadZipMember(skinPath, fileName, data);
    QFile f(skinPath + fileName);
    if (!f.exists() || !f.open(QIODevice::ReadOnly)) return false;
    // The buffer fits the file (a special file without a size gets the limit).
    const qint64 size = f.size();
    data = f.read(size > 0 ? qMin(size, MaxZipMemberSize) + 1 : MaxZipMemberSize + 1);
    return data.size() <= MaxZipMemberSize;
}

void logFailure(const QString& fileName, const QString& skinPath)
{
    DebugLog("Faild to load skin:" + skinPath + fileName, dcErrOut);
}

QString builtinPath(const QString& fileName)
{
    return ":/skins/default/" + fileName;
}

} // namespace

bool LoadSkinGraphic(QImage& picture, const QString& fileName, const QString& skinPath)
{
    QByteArray data;
    QImage img;
    if (!readSkinFile(fileName, skinPath, data) || (img = DecodePicture(data)).isNull()) {
        logFailure(fileName, skinPath);
        return false;
    }
    picture = img;
    return true;
}

bool LoadSkinGraphic(QPixmap& picture, const QString& fileName, const QString& skinPath)
{
    QImage img;
    if (!LoadSkinGraphic(img, fileName, skinPath)) return false;
    picture = QPixmap::fromImage(img);
    return true;
}

QList<QPixmap> SplitGlyph(const QPixmap& glyph, int count)
{
    QList<QPixmap> parts;
    if (glyph.isNull() || count < 1) return parts;
    const QImage img = glyph.toImage();
    const QRgb key = img.pixel(0, img.height() - 1);
    const int w = img.width() / count;
    for (int i = 0; i < count; ++i) {
        const QImage part = img.copy(i * w, 0, qMax(1, w), img.height());
        QPixmap p = QPixmap::fromImage(part);
        p.setMask(QBitmap::fromImage(part.createMaskFromColor(key, Qt::MaskInColor)));
        parts << p;
    }
    return parts;
}

QImage MakeTransparent(const QImage& picture, const QColor& key)
{
    if (picture.isNull()) return picture;
    QImage out = picture.convertToFormat(QImage::Format_ARGB32);
    const QRgb k = key.rgb() & 0xffffff;
    for (int y = 0; y < out.height(); ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < out.width(); ++x)
            if ((line[x] & 0xffffff) == k) line[x] = 0;
    }
    return out;
}

int RefreshGlyphCount(const QSize& glyphSize)
{
    return glyphSize.width() > 4 * glyphSize.height() ? 4 : 1;
}

namespace {
QList<QPixmap> splitStrip(const QString& resource, int count)
{
    QList<QPixmap> list;
    const QImage strip = DecodePictureFile(resource);
    for (int i = 0; i < count; ++i)
        list << QPixmap::fromImage(strip.isNull() ? QImage(16, 16, QImage::Format_ARGB32)
                                                  : strip.copy(i * 16, 0, 16, 16));
    return list;
}
} // namespace

const QList<QPixmap>& ListImages()
{
    static const QList<QPixmap> list = splitStrip(":/images/listimages.png", 10);
    return list;
}

const QImage& SpeedRamp()
{
    static const QImage ramp = [] {
        const QImage img = DecodePictureFile(":/images/gradimage2.png");
        return img.isNull() ? QImage(64, 16, QImage::Format_RGB32)
                            : img.convertToFormat(QImage::Format_RGB32);
    }();
    return ramp;
}

QColor SpeedRampColor(int x)
{
    const QImage& r = SpeedRamp();
    return QColor(r.pixel(qBound(0, x, r.width() - 1), 0));
}

const QList<QPixmap>& PageImages()
{
    static const QList<QPixmap> list = splitStrip(":/images/pagetabs.png", 5);
    return list;
}

// ---------------------------------------------------------------------------------------

TSkin::TSkin()
{
    Reset();
}

void TSkin::Reset()
{
    const TProductProfile& p = Profile();
    colors_.Primary = ColorFromBGR(p.PrimaryColor);
    colors_.Secondary = ColorFromBGR(p.SecondaryColor);
    colors_.PrimaryFont = ColorFromBGR(p.PrimaryFontColor);
    colors_.SecondaryFont = ColorFromBGR(p.SecondaryFontColor);
    colors_.Highlight = ColorFromBGR(p.HighlightColor);
    colors_.Tertiary = ColorFromBGR(p.TertiaryColor);
    colors_.TertiaryFont = ColorFromBGR(p.TertiaryFontColor);
    colors_.AltLine = ColorFromBGR(p.AltLineColor);
    colors_.AltLineFont = ColorFromBGR(p.AltLineFontColor);
    colors_.Player = colors_.Tertiary;
    colors_.PlayerFont = colors_.TertiaryFont;
    maskX_ = maskY_ = 0;
    shape_ = TShapeMask();
    name_ = "default";
    isZip_ = false;
    skinPath_ = SkinsFolder() + "/default/";
}

QString TSkin::SkinsFolder()
{
    return platform::ProgramFolder() + "/skins";
}

QStringList TSkin::InstalledSkins()
{
    QStringList names;
    const QDir dir(SkinsFolder());
    for (const QFileInfo& fi :
         dir.entryInfoList(QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot, QDir::Name)) {
        if (fi.isDir()) {
            QFile f(fi.filePath() + "/skin.ini");
            if (!f.open(QIODevice::ReadOnly)) continue;
            const TSkinIni ini(f.read(1024 * 1024));
            if (ini.ReadInteger("Tags", "version", -1) >= 1) names << fi.fileName();
        } else if (fi.fileName().contains(".zip") && IsZipArchive(fi.filePath())) {
            names << fi.fileName();
        }
    }
    names.removeDuplicates();
    return names;
}

bool TSkin::InstallDefaultSkin()
{
    const QString ini = platform::FindShippedData("skins/default/skin.ini");
    const QString source = QFileInfo(ini).path();
    if (ini.isEmpty()) {
        DebugLog("No default skin to install", dcErrOut);
        return false;
    }
    const QString target = SkinsFolder() + "/default";
    if (!QDir().mkpath(target)) return false;
    const QDir src(source);
    for (const QString& f : src.entryList(QDir::Files)) {
        const QString to = target + "/" + f;
        if (!QFileInfo::exists(to)) QFile::copy(src.filePath(f), to);
    }
    return true;
}

void TSkin::LoadSkin()
{
    LoadSkin(Config() ? Config()->Text("skinpathbox") : QString());
}

void TSkin::LoadSkin(const QString& requested)
{
    QString name = requested.trimmed().isEmpty() ? QStringLiteral("default") : requested.trimmed();
    // A skin is a single entry of the skins folder; a name that reaches elsewhere (the
    // setting can be pushed from outside) counts as missing.
    const bool plain = !name.contains('/') && !name.contains('\\') && name != "." && name != "..";
    const QString folder = SkinsFolder();
    name_ = name;

    if (plain && name.contains(".zip") && QFileInfo(folder + "/" + name).isFile()) {
        isZip_ = true;
        skinPath_ = folder + "/" + name;
        QByteArray ini, msk;
        if (!ReadZipMember(skinPath_, "skin.ini", ini))
            DebugLog("Faild to load skin:" + skinPath_ + "skin.ini", dcErrOut);
        const TSkinIni tags(ini);
        ReadSkinColors(tags, colors_, true);
        maskX_ = tags.ReadInteger("Tags", "MaskX", 0);
        maskY_ = tags.ReadInteger("Tags", "MaskY", 0);
        if (ReadZipMember(skinPath_, "shape.msk", msk))
            shape_ = TShapeMask::FromData(msk);
        else
            shape_ = TShapeMask::FromFile(folder + "/default/shape.msk");
        emit skinLoaded();
        return;
    }

    isZip_ = false;
    if (plain && QFileInfo(folder + "/" + name).isDir())
        skinPath_ = folder + "/" + name + "/";
    else
        skinPath_ = folder + "/default/";
    QFile f(skinPath_ + "skin.ini");
    QByteArray text;
    if (f.open(QIODevice::ReadOnly)) text = f.read(1024 * 1024);
    const TSkinIni ini(text);
    ReadSkinColors(ini, colors_, false);
    const int version = ini.ReadInteger("Tags", "version", -1);
    if (version < qMax(1, Profile().MinSkinVersion)) {
        emit skinLoaded();
        throw ESkinError("Skin version is too old");
    }
    maskX_ = ini.ReadInteger("Tags", "MaskX", 0);
    maskY_ = ini.ReadInteger("Tags", "MaskY", 0);
    emit skinLoaded();
}

void TSkin::SelectSkin(const QString& name)
{
    try {
        LoadSkin(name);
    } catch (const std::exception& e) {
        DebugLog(QString::fromUtf8(e.what()), dcErrOut);
    }
    emit skinSelected();
}

void TSkin::LoadWindowShape()
{
    if (isZip_) return;
    if (QFileInfo::exists(skinPath_ + "shape.msk"))
        shape_ = TShapeMask::FromFile(skinPath_ + "shape.msk");
    else
        shape_ = TShapeMask::FromFile(SkinsFolder() + "/default/shape.msk");
}

QPixmap TSkin::BuiltinPicture(const QString& fileName)
{
    return QPixmap::fromImage(BuiltinImage(fileName));
}

QImage TSkin::BuiltinImage(const QString& fileName)
{
    return DecodePictureFile(builtinPath(fileName));
}

QImage TSkin::Image(const QString& fileName) const
{
    // The built-in picture is decoded only when the skin's own cannot be.
    QImage img;
    if (!LoadSkinGraphic(img, fileName, skinPath_)) img = BuiltinImage(fileName);
    return img;
}

QPixmap TSkin::Picture(const QString& fileName) const
{
    return QPixmap::fromImage(Image(fileName));
}

bool TSkin::LoadGraphic(QPixmap& picture, const QString& fileName) const
{
    return LoadSkinGraphic(picture, fileName, skinPath_);
}

TSkin& Skin()
{
    static TSkin* skin = new TSkin; // lives as long as the program
    return *skin;
}
