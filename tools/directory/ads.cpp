#include "ads.h"

#include "listanswer.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QString>
#include <algorithm>
#include <array>
#include <cmath>
#include <vector>
#include <zlib.h>

namespace dwdir {

namespace {

quint32 fnv1a(QByteArrayView text)
{
    quint32 h = 2166136261u;
    for (char c : text) {
        h ^= static_cast<unsigned char>(c);
        h *= 16777619u;
    }
    return h;
}

const QHash<QByteArray, QByteArray>& pictures()
{
    // The pictures travel inside the program (see CMakeLists.txt); requests only ever
    // look names up in this table.
    static const QHash<QByteArray, QByteArray> table = [] {
        QHash<QByteArray, QByteArray> t;
        const QDir dir(QStringLiteral(":/banners"));
        for (const QString& name : dir.entryList(QDir::Files)) {
            QFile f(dir.filePath(name));
            if (f.open(QIODevice::ReadOnly)) t.insert(name.toUtf8(), f.readAll());
        }
        return t;
    }();
    return table;
}

QString html(QByteArrayView v)
{
    return QString::fromUtf8(v).toHtmlEscaped();
}

QByteArray page(const QString& title, const QString& body)
{
    return (QStringLiteral("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>") + title +
            QStringLiteral("</title><style>body{font-family:sans-serif;font-size:14px;"
                           "margin:40px;color:#223}h1{font-size:20px}code{background:#eef;"
                           "padding:1px 4px}</style></head><body>\n") +
            body + QStringLiteral("\n</body></html>\n"))
        .toUtf8();
}

} // namespace

QByteArray areaGenre(QByteArrayView area)
{
    if (area.size() >= 2 && (area[0] == 'M' || area[0] == 'm') && area[1] == '_')
        area = area.sliced(2);
    QByteArray key;
    for (char c : area) {
        if (c >= 'A' && c <= 'Z')
            key += char(c - 'A' + 'a');
        else if (c >= 'a' && c <= 'z')
            key += c;
    }
    return key;
}

bool linkableStream(QByteArrayView url)
{
    if (url.size() < 8 || url.size() > 512 ||
        QByteArrayView(url.first(7)).compare("http://", Qt::CaseInsensitive) != 0)
        return false;
    for (char c : url) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7f || c == '&' || c == '?' || c == '#') return false;
    }
    return true;
}

BannerChoice chooseBanner(QByteArrayView area, QByteArrayView query,
                          const QList<const Station*>& live)
{
    const QByteArray genre = areaGenre(area);
    QList<BannerChoice> choices;
    const QByteArray genrePicture = genre + ".gif";
    if (!genre.isEmpty() && pictures().contains(genrePicture)) {
        // The genre's own banner comes up most often in its area.
        choices << BannerChoice{genrePicture, {}} << BannerChoice{genrePicture, {}};
    } else {
        choices << BannerChoice{"dialwise.gif", {}};
        if (genre.isEmpty()) choices << BannerChoice{"chat.gif", {}};
    }
    const QList<QByteArray> genres =
        genre.isEmpty() ? QList<QByteArray>() : QList<QByteArray>{genre};
    for (const Station* s : live)
        if (linkableStream(s->ip) && matchesGenre(*s, genres))
            choices << BannerChoice{"live.jpg", s->ip};
    return choices[qsizetype(fnv1a(query) % quint32(choices.size()))];
}

QByteArray bannerPicture(QByteArrayView name, QByteArray* type)
{
    const QByteArray bytes = pictures().value(name.toByteArray());
    if (type) *type = name.endsWith(".gif") ? "image/gif" : "image/jpeg";
    return bytes;
}

QList<QByteArray> bannerPictureNames()
{
    return pictures().keys();
}

QByteArray clickPage(QByteArrayView area)
{
    const QByteArray genre = areaGenre(area);
    QString link;
    if (!genre.isEmpty() && pictures().contains(genre + ".gif")) {
        QString name = QString::fromLatin1(genre);
        name[0] = name[0].toUpper();
        link = QStringLiteral("<a href=\"/catalog?genre=") + html(genre) +
               QStringLiteral("\">See the ") + name.toHtmlEscaped() +
               QStringLiteral(" stations of the demo world</a>");
    } else {
        link = QStringLiteral("<a href=\"/catalog\">See every station of the demo world</a>");
    }
    return page(QStringLiteral("Dialwise demo world"),
                QStringLiteral("<h1>Thanks for clicking</h1><p>This banner belongs to the "
                               "Dialwise demo world, whose advertisers are made up, so there "
                               "is no shop behind it.</p><p>") +
                    link + QStringLiteral("</p>"));
}

QByteArray outsidePage(QByteArrayView target)
{
    return page(QStringLiteral("Outside the demo world"),
                QStringLiteral("<h1>Outside the demo world</h1><p>The address <code>") +
                    html(target) +
                    QStringLiteral("</code> lies outside the Dialwise demo world, so it is not "
                                   "opened from here.</p>"));
}

bool splitHttpUrl(QByteArrayView url, QByteArray& host, quint16& port)
{
    if (url.size() < 8 || url.size() > 4096 ||
        QByteArrayView(url.first(7)).compare("http://", Qt::CaseInsensitive) != 0)
        return false;
    for (char c : url) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7f) return false;
    }
    QByteArrayView rest = url.sliced(7);
    qsizetype end = 0;
    while (end < rest.size() && rest[end] != '/' && rest[end] != '?' && rest[end] != '#')
        ++end;
    const QByteArrayView authority = rest.first(end);
    if (authority.isEmpty() || authority.contains('@')) return false;
    QByteArrayView h = authority;
    QByteArrayView p;
    if (authority.startsWith('[')) {
        const qsizetype close = authority.indexOf(']');
        if (close < 0) return false;
        h = authority.sliced(1, close - 1);
        const QByteArrayView after = authority.sliced(close + 1);
        if (!after.isEmpty()) {
            if (!after.startsWith(':')) return false;
            p = after.sliced(1);
        }
    } else {
        const qsizetype colon = authority.indexOf(':');
        if (colon >= 0) {
            h = authority.first(colon);
            p = authority.sliced(colon + 1);
        }
    }
    if (h.isEmpty()) return false;
    port = 80;
    if (!p.isEmpty()) {
        if (p.size() > 5) return false;
        uint v = 0;
        for (char c : p) {
            if (c < '0' || c > '9') return false;
            v = v * 10 + uint(c - '0');
        }
        if (v == 0 || v > 65535) return false;
        port = quint16(v);
    }
    host = h.toByteArray().toLower();
    return true;
}

// ---------------------------------------------------------------------------------------
// Station logos

namespace {

struct Rgb
{
    int r, g, b;
};

Rgb shade(Rgb c, double f)
{
    // f > 0 lightens towards white, f < 0 darkens towards black.
    auto one = [f](int v) {
        return f >= 0 ? int(std::lround(v + (255 - v) * f)) : int(std::lround(v * (1 + f)));
    };
    return {one(c.r), one(c.g), one(c.b)};
}

Rgb blend(Rgb a, Rgb b, double t)
{
    return {int(std::lround(a.r + (b.r - a.r) * t)), int(std::lround(a.g + (b.g - a.g) * t)),
            int(std::lround(a.b + (b.b - a.b) * t))};
}

constexpr std::array<Rgb, 12> kBadgeColours = {{{214, 48, 62},
                                                {232, 126, 40},
                                                {204, 160, 30},
                                                {42, 157, 143},
                                                {40, 96, 120},
                                                {58, 110, 190},
                                                {29, 60, 110},
                                                {106, 76, 160},
                                                {170, 40, 140},
                                                {0, 140, 190},
                                                {60, 150, 60},
                                                {90, 90, 100}}};

// 3 x 5 glyphs, rows top to bottom.
const char* glyph(char c)
{
    static const char* const digits[10] = {"####.##.##.####", ".#.##..#..#.###", "###..#####..###",
                                           "###..#.##..####", "#.##.####..#..#", "####..###..####",
                                           "####..####.####", "###..#..#.#..#.", "####.#####.####",
                                           "####.####..####"};
    static const char* const letters[26] = {
        ".#.#.#####.##.#", "##.#.###.#.###.", ".###..#..#...##", "##.#.##.##.###.",
        "####..##.#..###", "####..##.#..#..", ".###..#.##.#.##", "#.##.#####.##.#",
        "###.#..#..#.###", "..#..#..##.#.#.", "#.##.###.#.##.#", "#..#..#..#..###",
        "#.########.##.#", "##.#.##.##.##.#", ".#.#.##.##.#.#.", "##.#.###.#..#..",
        ".#.#.##.###..##", "##.#.###.#.##.#", ".###...#...###.", "###.#..#..#..#.",
        "#.##.##.##.####", "#.##.##.##.#.#.", "#.##.########.#", "#.##.#.#.#.##.#",
        "#.##.#.#..#..#.", "###..#.#.#..###"};
    if (c >= '0' && c <= '9') return digits[c - '0'];
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    if (c >= 'A' && c <= 'Z') return letters[c - 'A'];
    return nullptr;
}

bool glyphPixel(const char* g, int x, int y)
{
    return g[y * 3 + x] == '#';
}

class Logo
{
public:
    explicit Logo(QByteArrayView bnum)
    {
        const quint32 h = fnv1a(bnum);
        colour_ = kBadgeColours[h % kBadgeColours.size()];
        icon_ = int((h / kBadgeColours.size()) % 5);
        variant_ = int((h >> 16) & 0xff);
        for (char c : bnum) {
            if (glyph(c) && text_.size() < 3) text_ += c;
        }
        px_.fill(kKey, size_t(kLogoWidth) * kLogoHeight);
        draw();
    }

    QByteArray bmp() const
    {
        const int stride = (kLogoWidth * 3 + 3) & ~3;
        const quint32 imageSize = quint32(stride * kLogoHeight);
        QByteArray out;
        auto u16 = [&out](quint32 v) {
            out += char(v & 0xff);
            out += char((v >> 8) & 0xff);
        };
        auto u32 = [&](quint32 v) {
            u16(v & 0xffff);
            u16(v >> 16);
        };
        out += "BM";
        u32(14 + 40 + imageSize);
        u32(0);
        u32(14 + 40);
        u32(40);
        u32(kLogoWidth);
        u32(kLogoHeight); // positive: rows bottom-up
        u16(1);
        u16(24);
        u32(0); // no compression
        u32(imageSize);
        u32(2835); // 72 dpi
        u32(2835);
        u32(0);
        u32(0);
        for (int y = kLogoHeight - 1; y >= 0; --y) {
            for (int x = 0; x < kLogoWidth; ++x) {
                const Rgb c = at(x, y);
                out += char(c.b);
                out += char(c.g);
                out += char(c.r);
            }
            for (int pad = kLogoWidth * 3; pad < stride; ++pad)
                out += '\0';
        }
        return out;
    }

    // The same picture as a PNG whose magenta is transparent (a favicon).
    QByteArray png() const
    {
        QByteArray raw;
        raw.reserve((kLogoWidth * 4 + 1) * kLogoHeight);
        for (int y = 0; y < kLogoHeight; ++y) {
            raw += '\0'; // no filter
            for (int x = 0; x < kLogoWidth; ++x) {
                const Rgb c = at(x, y);
                const bool key = c.r == kKey.r && c.g == kKey.g && c.b == kKey.b;
                raw += char(key ? 0 : c.r);
                raw += char(key ? 0 : c.g);
                raw += char(key ? 0 : c.b);
                raw += char(key ? 0 : 255);
            }
        }
        uLongf packedSize = compressBound(uLong(raw.size()));
        QByteArray packed(qsizetype(packedSize), '\0');
        compress2(reinterpret_cast<Bytef*>(packed.data()), &packedSize,
                  reinterpret_cast<const Bytef*>(raw.constData()), uLong(raw.size()), 9);
        packed.resize(qsizetype(packedSize));
        QByteArray out("\x89PNG\r\n\x1a\n", 8);
        auto u32 = [](QByteArray& b, quint32 v) {
            for (int shift = 24; shift >= 0; shift -= 8)
                b += char((v >> shift) & 0xff);
        };
        auto chunk = [&](const char* type, const QByteArray& data) {
            u32(out, quint32(data.size()));
            const QByteArray typed = QByteArray(type, 4) + data;
            out += typed;
            u32(out, quint32(crc32(0, reinterpret_cast<const Bytef*>(typed.constData()),
                                   uInt(typed.size()))));
        };
        QByteArray header;
        u32(header, kLogoWidth);
        u32(header, kLogoHeight);
        header += QByteArray("\x08\x06\x00\x00\x00", 5); // 8 bits, RGBA
        chunk("IHDR", header);
        chunk("IDAT", packed);
        chunk("IEND", {});
        return out;
    }

private:
    static constexpr Rgb kKey{255, 0, 255};
    static constexpr double kLeft = 1, kTop = 1, kRight = kLogoWidth - 1, kBottom = kLogoHeight - 1,
                            kRadius = 6;

    struct Buffer
    {
        std::vector<Rgb> v;
        void fill(Rgb c, size_t n) { v.assign(n, c); }
    };

    Rgb at(int x, int y) const { return px_.v[size_t(y) * kLogoWidth + size_t(x)]; }
    void set(int x, int y, Rgb c) { px_.v[size_t(y) * kLogoWidth + size_t(x)] = c; }

    static bool inBadge(double x, double y)
    {
        if (x < kLeft || x > kRight || y < kTop || y > kBottom) return false;
        const double cx = std::clamp(x, kLeft + kRadius, kRight - kRadius);
        const double cy = std::clamp(y, kTop + kRadius, kBottom - kRadius);
        return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= kRadius * kRadius;
    }

    // Blends `c` over the badge where `inside` covers a pixel (4 x 4 samples each).
    template <typename F> void paint(Rgb c, F inside, double alpha = 1.0)
    {
        for (int y = 0; y < kLogoHeight; ++y) {
            for (int x = 0; x < kLogoWidth; ++x) {
                if (!inBadge(x + 0.5, y + 0.5)) continue;
                int hits = 0;
                for (int sy = 0; sy < 4; ++sy)
                    for (int sx = 0; sx < 4; ++sx)
                        hits += inside(x + (sx + 0.5) / 4, y + (sy + 0.5) / 4) ? 1 : 0;
                if (hits) set(x, y, blend(at(x, y), c, alpha * hits / 16.0));
            }
        }
    }

    void draw()
    {
        // The badge: hard edges (the magenta around it must stay exact), a vertical
        // gradient, a darker rim and a soft highlight on its upper half.
        const Rgb top = shade(colour_, 0.30), bottom = shade(colour_, -0.30);
        const Rgb rim = shade(colour_, -0.55);
        for (int y = 0; y < kLogoHeight; ++y) {
            for (int x = 0; x < kLogoWidth; ++x) {
                if (!inBadge(x + 0.5, y + 0.5)) continue;
                const bool edge = !inBadge(x - 0.5, y + 0.5) || !inBadge(x + 1.5, y + 0.5) ||
                                  !inBadge(x + 0.5, y - 0.5) || !inBadge(x + 0.5, y + 1.5);
                set(x, y, edge ? rim : blend(top, bottom, (y - kTop) / (kBottom - kTop)));
            }
        }
        paint(
            {255, 255, 255},
            [](double x, double y) {
                return y < kLogoHeight / 2.0 - 1 && inBadge(x, y + 2) && inBadge(x - 2, y) &&
                       inBadge(x + 2, y);
            },
            0.16);

        const Rgb ink{255, 255, 255};
        const double cx = text_.isEmpty() ? kLogoWidth / 2.0 : 13, cy = kLogoHeight / 2.0;
        switch (icon_) {
        case 0: // equalizer bars
            for (int i = 0; i < 4; ++i) {
                const int h = 5 + int((variant_ >> (i * 2)) & 3) * 3 + (i == 1 || i == 2 ? 3 : 0);
                const double x0 = cx - 8 + i * 4.5;
                paint(ink, [=](double x, double y) {
                    return x >= x0 && x < x0 + 3 && y <= cy + 7 && y >= cy + 7 - h;
                });
            }
            break;
        case 1: // a record
            paint(shade(colour_, -0.75),
                  [=](double x, double y) { return std::hypot(x - cx, y - cy) <= 9; });
            paint(shade(colour_, -0.35), [=](double x, double y) {
                const double r = std::hypot(x - cx, y - cy);
                return (r > 5.6 && r < 6.3) || (r > 7.4 && r < 8.0);
            });
            paint(shade(colour_, 0.45),
                  [=](double x, double y) { return std::hypot(x - cx, y - cy) <= 3.5; });
            paint(ink, [=](double x, double y) { return std::hypot(x - cx, y - cy) <= 1; });
            break;
        case 2: // a wave
        {
            const double amp = 4 + (variant_ & 3), phase = variant_ & 7;
            paint(ink, [=](double x, double y) {
                if (x < cx - 9 || x > cx + 9) return false;
                return std::abs(y - (cy + amp * std::sin((x - cx) * 0.55 + phase))) < 1.3;
            });
        } break;
        case 3: // a note
            paint(ink, [=](double x, double y) {
                const double hx = cx - 2.5, hy = cy + 5.5;
                const double dx = (x - hx) / 3.6, dy = (y - hy) / 2.6;
                const bool head = dx * dx + dy * dy <= 1;
                const bool stem = x >= hx + 2 && x <= hx + 3.6 && y >= cy - 8 && y <= hy;
                const bool flag = y >= cy - 8 && y <= cy - 8 + 3 && x >= hx + 2 &&
                                  x <= hx + 8 - (y - (cy - 8)) * 0.8;
                return head || stem || flag;
            });
            break;
        default: // a mast sending
            paint(ink, [=](double x, double y) {
                const bool mast =
                    y >= cy - 3 && y <= cy + 9 && std::abs(x - cx) <= 1 + (y - (cy - 3)) * 0.3;
                const double r = std::hypot(x - cx, y - (cy - 4));
                const bool arcs = y < cy - 1 && ((r > 4 && r < 5.4) || (r > 7.4 && r < 8.8)) &&
                                  std::abs(x - cx) > 1.5;
                return mast || arcs || r <= 1.6;
            });
            break;
        }

        if (text_.isEmpty()) return;
        constexpr int scale = 2, gap = 2;
        const int width = int(text_.size()) * 3 * scale + (int(text_.size()) - 1) * gap;
        const int x0 = 25 + (21 - width) / 2, y0 = (kLogoHeight - 5 * scale) / 2;
        const Rgb shadow = shade(colour_, -0.65);
        for (int pass = 0; pass < 2; ++pass) {
            const int off = pass == 0 ? 1 : 0;
            for (qsizetype i = 0; i < text_.size(); ++i) {
                const char* g = glyph(text_[i]);
                for (int gy = 0; gy < 5; ++gy)
                    for (int gx = 0; gx < 3; ++gx) {
                        if (!glyphPixel(g, gx, gy)) continue;
                        for (int sy = 0; sy < scale; ++sy)
                            for (int sx = 0; sx < scale; ++sx) {
                                const int x =
                                    x0 + int(i) * (3 * scale + gap) + gx * scale + sx + off;
                                const int y = y0 + gy * scale + sy + off;
                                if (inBadge(x + 0.5, y + 0.5)) set(x, y, off ? shadow : ink);
                            }
                    }
            }
        }
    }

    Rgb colour_;
    int icon_;
    int variant_;
    QByteArray text_;
    Buffer px_;
};

} // namespace

QByteArray logoBitmap(QByteArrayView bnum)
{
    return Logo(bnum).bmp();
}

QByteArray logoPng(QByteArrayView text)
{
    return Logo(text).png();
}

} // namespace dwdir
