#pragma once
// Skins: the pictures, colour table and window shape the main window and the windows
// that follow it are painted with. A skin is a folder or a zip archive under the
// program folder's "skins" folder holding "skin.ini", "shape.msk" and the pictures
// named in skinpic below (Windows bitmaps; any picture format QImage reads is accepted).
//
// Typical use by a window:
//   TSkin& s = Skin();
//   setPalette(...s.Colors().Primary...);
//   QPixmap top = s.Picture(skinpic::Top);          // skin picture or the built-in one
//   QList<QPixmap> states = SplitGlyph(s.Picture(skinpic::Refresh), RefreshGlyphCount(..));
//   connect(&s, &TSkin::reskinOthers, this, &MyWindow::ApplySkin);
#include <QColor>
#include <QHash>
#include <QImage>
#include <QList>
#include <QObject>
#include <QPixmap>
#include <QPoint>
#include <QRect>
#include <QRegion>
#include <QSize>
#include <QString>
#include <QStringList>
#include <stdexcept>

// Picture names of a skin. Sizes are those of the default skin; other skins may differ,
// so windows lay out from the loaded picture's size.
namespace skinpic {
// Main window, base pictures.
inline constexpr char Top[] = "top.bmp";               // title picture, 232x48
inline constexpr char Left[] = "left.bmp";             // left panel picture with the labels of
                                                       // links lb1..lb4, 168x132 (LeftLinkRect)
inline constexpr char TopLeft[] = "topleft.bmp";       // company button glyph, 48x48
inline constexpr char BottomLeft[] = "bottomleft.bmp"; // maker's button glyph (base), 168x56
inline constexpr char Refresh[] = "refresh.bmp";       // refresh glyph, 4 states of 96x40:
                                                       // up, disabled, down, held down
inline constexpr char Favorites[] = "favorites.bmp";   // favorites toggle glyph, 96x40
inline constexpr char Configure[] = "configure.bmp";   // configure glyph, 96x40
inline constexpr char Help[] = "help.bmp";             // help glyph, 96x40
inline constexpr char TopMid[] = "topmid.bmp";         // middle title picture (stretched), 32x48;
                                                       // from y 19 down the secondary colour
inline constexpr char TopRight[] = "topright.bmp";     // right title picture with the window
                                                       // button marks, 112x48 (TitleButtonRect)
// Radio window additions and replacements.
inline constexpr char BlBase[] = "bl_base.bmp";                   // maker's button glyph, 168x56
inline constexpr char BtnListen[] = "btn_listen.bmp";             // Launch, 2 states of 20x20
inline constexpr char BtnAddServer[] = "btn_addserver.bmp";       // Add to Favorites, 20x20
inline constexpr char BtnRemoveServer[] = "btn_removeserver.bmp"; // Remove from Favorites
inline constexpr char BtnRefreshInd[] = "btn_refreshind.bmp";     // Refresh Selected
inline constexpr char BtnCopyServer[] = "btn_copyserver.bmp";     // Copy to Clipboard
inline constexpr char BtnFindServer[] = "btn_findserver.bmp";     // Find
inline constexpr char BtnJoinChat[] = "btn_joinchat.bmp";         // Join Chat Channel
// Player bar (button glyphs: states side by side, each as wide as the picture is high
// unless noted).
inline constexpr char PbtnPause[] = "pbtn_pause.bmp";   // play/pause, 4 states of 28x28:
                                                        // play, play down, pause, pause down
inline constexpr char PbtnStop[] = "pbtn_stop.bmp";     // stop, 28x28
inline constexpr char PbtnBuyNow[] = "pbtn_buynow.bmp"; // Buy CD, 2 states of 56x20: up, down
inline constexpr char PbtnDock[] = "pbtn_dock.bmp";     // dock toggle, 4 states of 20x20:
                                                        // docked, docked down, desktop, desk. down
inline constexpr char PbtnThumb[] = "pbtn_thumb.bmp";   // slider thumb, 10x16
inline constexpr char PbtnRuler[] = "pbtn_ruler.bmp";   // slider rail, 80x16 (stretched)
inline constexpr char PbtnVolume[] = "pbtn_volume.bmp"; // volume icon, 16x16
inline constexpr char SongText[] = "songtext.bmp";      // bitmap font, see TBitmapFontLayout
inline constexpr char Digits[] = "digits.bmp";          // bitmap font, see TBitmapFontLayout
// Chat window button glyphs, 22x22 each; the two toggles hold 2 states (up, down).
inline constexpr char CbtnConDis[] = "cbtn_condis.bmp"; // 2 states: disconnected, connected
inline constexpr char CbtnLeave[] = "cbtn_leave.bmp";
inline constexpr char CbtnChannels[] = "cbtn_channels.bmp";
inline constexpr char CbtnPrivateMes[] = "cbtn_privatemes.bmp";
inline constexpr char CbtnSendFile[] = "cbtn_sendfile.bmp";
inline constexpr char CbtnLock[] = "cbtn_lock.bmp"; // 2 states: unlocked, locked
inline constexpr char CbtnKick[] = "cbtn_kick.bmp";
inline constexpr char CbtnBan[] = "cbtn_ban.bmp";

// Every picture name above, base window first.
const QStringList& All();
} // namespace skinpic

// Layout of the default skin's pictures that windows place controls over.
namespace skinlayout {
// Hot area of link button lb1..lb4 (index 1..4) on the left picture.
QRect LeftLinkRect(int index);
// Window buttons drawn on the right title picture: 0 minimise, 1 maximise, 2 close,
// in the picture's coordinates (the picture sits at the right end of the title).
QRect TitleButtonRect(int index);
} // namespace skinlayout

// Character layout of the player bar's bitmap fonts: one row of equally wide cells,
// the characters FirstChar.. in order. The bottom-left pixel is the display background.
struct TBitmapFontLayout
{
    int CellWidth;
    int CellHeight;
    QString Chars;
};
TBitmapFontLayout SongTextLayout(); // printable ASCII 32..126, 7x12 cells
TBitmapFontLayout DigitsLayout();   // "0123456789:- ", 11x18 cells

// Raised for a skin that cannot be used ("Skin version is too old").
class ESkinError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// The colour roles of a skin. Initially the product profile's colours.
struct TSkinColors
{
    QColor Primary;       // "primarycolor": main window, back panel, page area, dialogs
    QColor Secondary;     // "secondarycolor": title panel, strip below the middle title picture
    QColor PrimaryFont;   // "primaryfontcolor": main window text
    QColor SecondaryFont; // "secondaryfontcolor": checked colour of the two search choices
    QColor Highlight;     // "highlightcolor": status gauge, link label, left-panel links
    QColor Tertiary;      // "tertiarycolor": button bar, genre list, dialogs' right panels
    QColor TertiaryFont;  // "tertiaryfontcolor": genre list text, dialogs' right-panel text
    QColor AltLine;       // "altlinecolor": background of even station rows
    QColor AltLineFont;   // "altlinefontcolor" (folder) / "altline0fontcolor" (zip): their text
    QColor Player;        // "playercolor": player bar background (default: tertiary)
    QColor PlayerFont;    // "playerfontcolor": player bar text (default: tertiary font)
};

// Colour numbers in the platform form 0x00BBGGRR (red in the low byte).
QColor ColorFromBGR(int value);
int ColorToBGR(const QColor& c);
// Reads an integer as skin.ini values are read: optional sign, decimal, or hexadecimal
// after "$" or "0x"; surrounding blanks ignored. False when the text is not a number or
// its magnitude passes kSkinIntMax (what a 32-bit value written unsigned can hold).
inline constexpr qint64 kSkinIntMax = 0xffffffffLL;
bool ParseSkinInt(const QString& text, qint64& out);

// A small INI reader (sections and keys compared without regard to case, ";" and "#"
// comment lines, the first occurrence of a key wins). Used for "skin.ini".
class TSkinIni
{
public:
    TSkinIni() = default;
    explicit TSkinIni(const QByteArray& text);
    bool Has(const QString& section, const QString& key) const;
    QString ReadString(const QString& section, const QString& key, const QString& def) const;
    // The default when the key is missing or not a number that fits an int.
    int ReadInteger(const QString& section, const QString& key, int def) const;

private:
    QHash<QString, QString> values_; // "section\nkey" in lower case -> value
};

// Reads the colour keys of "skin.ini" over `colors`; a missing or unreadable key keeps
// the current value. `zipNames` picks "altline0fontcolor" for the even-row text colour.
void ReadSkinColors(const TSkinIni& ini, TSkinColors& colors, bool zipNames);

// Zip archives (libzip). Members are matched by name without regard to case, and by
// their last path component when the archive holds the skin in a subfolder.
// Members larger than MaxZipMemberSize are refused.
constexpr qint64 MaxZipMemberSize = 32 * 1024 * 1024;
bool ReadZipMember(const QString& zipPath, const QString& member, QByteArray& out);
bool ReadZipMemberFromData(const QByteArray& zipData, const QString& member, QByteArray& out);
bool IsZipArchive(const QString& path);

// The window shape of "shape.msk": a one-bit picture (Windows bitmap, PBM or PNG) whose
// dark, opaque pixels lie inside the window. The mask is cut in four at its centre:
// its corners go to the window's corners and its middle row and column stretch, so one
// small mask shapes a window of any size (a mask larger than the window is scaled).
class TShapeMask
{
public:
    TShapeMask() = default;
    static TShapeMask FromData(const QByteArray& data); // null when not a picture
    static TShapeMask FromFile(const QString& path);
    bool IsNull() const { return mask_.isNull(); }
    QSize Size() const { return mask_.size(); }
    // The window region for a window of `size`, moved by `offset` (MaskX, MaskY) and
    // clipped to the window. A null mask gives the whole window.
    QRegion Region(const QSize& size, const QPoint& offset = {}) const;

private:
    QImage mask_; // Format_Mono-like: 1 inside, 0 outside (kept as Grayscale8 0/255)
};

// Decodes a picture held in memory. The common formats (Windows bitmap, PNG, PBM/PGM/PPM,
// GIF, JPEG) are told by their first bytes and go straight to their reader; anything else
// is recognised by its content, which asks every image format plugin in turn (and so
// loads them all). Null when the bytes are not a picture.
QImage DecodePicture(const QByteArray& data);
// The same for a file, read up to `maxBytes` (larger files are refused).
QImage DecodePictureFile(const QString& path, qint64 maxBytes = MaxZipMemberSize);

// Loads a picture of a skin: from the zip archive when skinPath names one (contains
// ".zip"), else from skinPath + fileName. On failure writes "Faild to load skin:" +
// skinPath + fileName to "ErrOut", leaves the picture unchanged and returns false.
bool LoadSkinGraphic(QImage& picture, const QString& fileName, const QString& skinPath);
bool LoadSkinGraphic(QPixmap& picture, const QString& fileName, const QString& skinPath);

// Splits a glyph holding `count` equally wide images side by side; the colour of the
// glyph's bottom-left pixel becomes transparent, as for button glyphs.
QList<QPixmap> SplitGlyph(const QPixmap& glyph, int count);
// A copy of the picture with one colour made transparent (station logos: magenta).
QImage MakeTransparent(const QImage& picture, const QColor& key);
// Number of images in the refresh glyph: 4 when wider than 4 times its height, else 1.
int RefreshGlyphCount(const QSize& glyphSize);

// The station list's ten 16x16 pictures (index 0..9: 1 good ping, 2 medium ping, 3 poor
// ping, 4 no listeners, 5 some listeners, 6 full, 7 favourite star, 8 quality bar, 9 quality
// bar of a too-fast station, 0 unused dot), built into the program.
const QList<QPixmap>& ListImages();
// The speed colour ramp, 64x16: red at x 0-4, yellow at 29-34, green at 59-63.
const QImage& SpeedRamp();
QColor SpeedRampColor(int x); // first row of the ramp, x clamped to 0..63
// Pictures of the page area's tabs: 0 chat, 1 song search, 2 station info, 3 forums,
// 4 news (16x16).
const QList<QPixmap>& PageImages();

// The current skin. One object for the program (Skin()); all on the user-interface thread.
class TSkin : public QObject
{
    Q_OBJECT
public:
    TSkin();

    // The program folder's "skins" folder.
    static QString SkinsFolder();
    // Skins a user can choose: subfolders whose skin.ini has a "version" of at least 1 in
    // "Tags", and files whose name contains ".zip" and that open as zip archives; each
    // name in lower case, sorted.
    static QStringList InstalledSkins();
    // Copies the shipped default skin into SkinsFolder()/default (files missing there
    // only). The shipped copy is the first "skins/default" of the shipped data folders
    // (installed prefix, XDG data folders, build tree, source tree). Returns false when
    // none was found.
    static bool InstallDefaultSkin();

    // Reads the skin `name` ("default" when empty): SkinPath, colours, mask offsets and,
    // for zip skins, the window shape. Raises ESkinError "Skin version is too old" for a
    // folder skin whose version is below the profile's lowest version (the colours are
    // already taken then). Emits skinLoaded() in every case.
    void LoadSkin(const QString& name);
    // LoadSkin with the setting skinpathbox of the configuration object (or "default").
    void LoadSkin();
    // A skin change from the configuration dialog: LoadSkin(name) with its errors
    // swallowed, then skinSelected() so that the main window runs ApplySkin(true).
    void SelectSkin(const QString& name);

    // The window shape of a folder skin: SkinPath + "shape.msk", else the default skin's,
    // else none. Zip skins keep the shape LoadSkin read. Called by ApplySkin.
    void LoadWindowShape();

    // ApplySkin(true) of the main window calls this: every window that follows the skin
    // re-applies its look (reskinOthers()).
    void ReskinOthers() { emit reskinOthers(); }

    // For a folder skin the folder with a trailing "/", for a zip skin the zip's path.
    QString SkinPath() const { return skinPath_; }
    QString Name() const { return name_; }
    bool IsZip() const { return isZip_; }
    const TSkinColors& Colors() const { return colors_; }
    int MaskX() const { return maskX_; }
    int MaskY() const { return maskY_; }
    const TShapeMask& Shape() const { return shape_; }
    QRegion ShapeRegion(const QSize& windowSize) const
    {
        return shape_.Region(windowSize, QPoint(maskX_, maskY_));
    }

    // A picture of the current skin; when the skin lacks it (a "Faild to load skin:" line
    // is written), the built-in picture of the default skin.
    QPixmap Picture(const QString& fileName) const;
    QImage Image(const QString& fileName) const;
    // Loads into `picture` from the current skin (LoadSkinGraphic with SkinPath()).
    bool LoadGraphic(QPixmap& picture, const QString& fileName) const;
    // The built-in copy of a default-skin picture (null for unknown names).
    static QPixmap BuiltinPicture(const QString& fileName);
    static QImage BuiltinImage(const QString& fileName);

    // Back to the product profile's colours, no shape (tests).
    void Reset();

signals:
    void skinLoaded();   // after every LoadSkin
    void skinSelected(); // the user picked another skin: the main window re-skins
    void reskinOthers(); // the other windows re-apply colours and pictures

private:
    QString name_;
    QString skinPath_;
    bool isZip_ = false;
    TSkinColors colors_;
    int maskX_ = 0, maskY_ = 0;
    TShapeMask shape_;
};

TSkin& Skin();
