#include "listrequest.h"

#include "ads.h"
#include "station.h"

namespace dwdir {

namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

ListRequest fail(int status, const char* text)
{
    ListRequest r;
    r.status = status;
    r.error = text;
    return r;
}

bool knownParameter(QByteArrayView name)
{
    const QByteArray n = name.toByteArray().toLower();
    return n == "compress" || n == "genre" || n == "ip";
}

// The "KEY=VALUE/" segments after the ad server's program name; false when a segment is
// not of that form.
bool readAdSegments(QByteArrayView rest, QByteArray& area)
{
    if (rest.isEmpty()) return true;
    if (!rest.startsWith('/')) return false;
    for (const QByteArray& seg : rest.sliced(1).toByteArray().split('/')) {
        if (seg.isEmpty()) continue;
        const qsizetype eq = seg.indexOf('=');
        if (eq <= 0) return false;
        if (seg.left(eq).compare("AREA", Qt::CaseInsensitive) == 0) {
            if (seg.size() - eq - 1 > 64) return false;
            area = seg.mid(eq + 1);
        }
    }
    return true;
}

// A page's station key or search text: short, one line. A forum is kept per key, so an
// unbounded key would let anyone grow the forum store at will.
bool keyBounded(const QByteArray& key)
{
    if (key.size() > 256) return false;
    for (char c : key)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
    return true;
}

bool pictureName(QByteArrayView name)
{
    if (name.isEmpty() || name.size() > 64 || name.startsWith('.')) return false;
    for (char c : name) {
        const bool ok =
            (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
        if (!ok) return false;
    }
    return true;
}

// Everything but the station list and the catalog page.
ListRequest otherPage(ListRequest r, QByteArrayView path, QByteArrayView query)
{
    static constexpr QByteArrayView kAdServer = "/cgi-bin/accipiter/adserver.exe";
    static constexpr QByteArrayView kAdClick = "/cgi-bin/accipiter/adclick.exe";
    static constexpr QByteArrayView kBanners = "/banners/";
    static constexpr QByteArrayView kLogos = "/logos/buttons/";

    // The program's web pages.
    struct PageDef
    {
        QByteArrayView path;
        ListRequest::Page page;
        const char* param;
    };
    for (const PageDef& d : {PageDef{"/mini2.shtml", ListRequest::News, nullptr},
                             PageDef{"/program/serverinfo.asp", ListRequest::ServerInfo, "ip"},
                             PageDef{"/program/titlesearch.asp", ListRequest::TitleSearch, "q"},
                             PageDef{"/program/forums.asp", ListRequest::Forums, "ip"}}) {
        if (path.compare(d.path, Qt::CaseInsensitive) != 0) continue;
        if (r.post && d.page != ListRequest::Forums) return fail(405, "Only GET is served here");
        r.page = d.page;
        if (!d.param) return r;
        for (const QByteArray& piece : query.toByteArray().split('&')) {
            const qsizetype eq = piece.indexOf('=');
            if (eq <= 0 || piece.left(eq).compare(d.param, Qt::CaseInsensitive) != 0) continue;
            if (!percentDecode(QByteArrayView(piece).sliced(eq + 1), r.key, true))
                return fail(400, "Bad escape in query");
            break;
        }
        r.key = r.key.trimmed();
        if (!keyBounded(r.key)) return fail(400, "Bad station key");
        return r;
    }
    if (r.post) return fail(405, "Only GET is served here");
    if (path.startsWith("/buttons/")) {
        const QByteArrayView name = path.sliced(9);
        if (!pictureName(name)) return fail(404, "Not found");
        r.page = ListRequest::Button;
        r.name = name.toByteArray();
        return r;
    }

    if (path == "/redirect.asp") {
        r.page = ListRequest::Redirect;
        bool given = false;
        for (const QByteArray& piece : query.toByteArray().split('&')) {
            const qsizetype eq = piece.indexOf('=');
            if (eq <= 0 || piece.left(eq).compare("url", Qt::CaseInsensitive) != 0) continue;
            given = true;
            if (!percentDecode(QByteArrayView(piece).sliced(eq + 1), r.target, false))
                return fail(400, "Bad escape in url");
        }
        if (!given || r.target.isEmpty()) return fail(400, "No url given");
        QByteArray host;
        quint16 port = 0;
        if (!splitHttpUrl(r.target, host, port))
            return fail(400, "Only http addresses are redirected");
        return r;
    }
    if (path.startsWith(kLogos)) {
        const QByteArrayView name = path.sliced(kLogos.size());
        if (name.contains('/') || !percentDecode(name, r.name, false) || r.name.isEmpty() ||
            r.name.size() > 128)
            return fail(404, "Not found");
        for (char c : r.name)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return fail(404, "Not found");
        r.page = ListRequest::Logo;
        return r;
    }

    // The advertising server, under "/ads" or at the top.
    if (path.startsWith("/ads/")) path = path.sliced(4);
    if (path.startsWith(kBanners)) {
        const QByteArrayView name = path.sliced(kBanners.size());
        if (!pictureName(name)) return fail(404, "Not found");
        r.page = ListRequest::BannerPicture;
        r.name = name.toByteArray();
        return r;
    }
    for (const auto& [prefix, page] : {std::pair{kAdServer, ListRequest::Banner},
                                       std::pair{kAdClick, ListRequest::BannerClick}}) {
        if (!path.startsWith(prefix)) continue;
        if (!readAdSegments(path.sliced(prefix.size()), r.area)) return fail(404, "Not found");
        r.page = page;
        r.query = query.first(qMin<qsizetype>(query.size(), 256)).toByteArray();
        return r;
    }
    return fail(404, "Not found");
}

} // namespace

bool percentDecode(QByteArrayView in, QByteArray& out, bool plusIsSpace)
{
    out.clear();
    out.reserve(in.size());
    for (qsizetype i = 0; i < in.size(); ++i) {
        const char c = in[i];
        if (c == '%') {
            if (i + 2 >= in.size()) return false;
            const int hi = hexValue(in[i + 1]);
            const int lo = hexValue(in[i + 2]);
            if (hi < 0 || lo < 0) return false;
            out += char(hi * 16 + lo);
            i += 2;
        } else if (c == '+' && plusIsSpace) {
            out += ' ';
        } else {
            out += c;
        }
    }
    return true;
}

ListRequest parseListRequest(QByteArrayView head)
{
    if (head.size() > kMaxRequestHead) return fail(400, "Request too large");
    qsizetype eol = head.indexOf('\n');
    QByteArrayView line = eol < 0 ? head : head.first(eol);
    if (line.endsWith('\r')) line.chop(1);
    for (char c : line)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return fail(400, "Bad request line");

    const qsizetype sp = line.indexOf(' ');
    if (sp <= 0) return fail(400, "Bad request line");
    const QByteArrayView method = line.first(sp);
    QByteArrayView target = line.sliced(sp + 1);
    const qsizetype lastSp = target.lastIndexOf(' ');
    if (lastSp >= 0 && target.sliced(lastSp + 1).startsWith("HTTP/")) target = target.first(lastSp);
    target = target.trimmed();

    ListRequest r;
    // A proxy sends the absolute URL.
    if (target.size() >= 7 &&
        QByteArrayView(target.first(7)).compare("http://", Qt::CaseInsensitive) == 0) {
        const qsizetype slash = target.indexOf('/', 7);
        target = slash < 0 ? QByteArrayView("/") : target.sliced(slash);
    }
    if (!target.startsWith('/')) return fail(400, "Bad request target");
    if (method == "HEAD")
        r.head = true;
    else if (method == "POST")
        r.post = true;
    else if (method != "GET")
        return fail(405, "Only GET is served here");

    const qsizetype q = target.indexOf('?');
    const QByteArrayView path = q < 0 ? target : target.first(q);
    const QByteArrayView query = q < 0 ? QByteArrayView() : target.sliced(q + 1);
    if (r.post && (path == "/" || path == "/catalog")) return fail(405, "Only GET is served here");
    if (path == "/")
        r.page = ListRequest::List;
    else if (path == "/catalog")
        r.page = ListRequest::CatalogView;
    else
        return otherPage(std::move(r), path, query);

    // Parameters are split at "&", but a piece that does not start a known parameter
    // belongs to the value before it: the client sends genre names unencoded, and a
    // genre may hold an "&".
    struct Param
    {
        QByteArray name;
        QByteArray value;
    };
    QList<Param> params;
    if (!query.isEmpty()) {
        for (const QByteArray& piece : query.toByteArray().split('&')) {
            const qsizetype eq = piece.indexOf('=');
            if (eq > 0 && knownParameter(QByteArrayView(piece).first(eq)))
                params.append({piece.left(eq).toLower(), piece.mid(eq + 1)});
            else if (!params.isEmpty())
                params.last().value += '&' + piece;
            else if (eq > 0)
                params.append({piece.left(eq).toLower(), piece.mid(eq + 1)});
        }
    }

    for (const Param& p : params) {
        if (p.name == "compress") {
            bool ok = false;
            const int v = p.value.trimmed().toInt(&ok);
            if (!ok || v < 0) return fail(400, "Bad compress value");
            r.compress = v != 0;
        } else if (p.name == "genre") {
            // Form-encoded ("+" for a blank, "%XX"), decoded leniently: a broken escape
            // leaves the value as sent.
            QByteArray text;
            if (!percentDecode(p.value, text, true)) text = p.value;
            for (const QByteArray& alt : text.split('\\')) {
                const QByteArray a = foldCase(alt.trimmed());
                if (!a.isEmpty()) r.genres << a;
            }
        } else if (p.name == "ip") {
            r.byAddress = true;
            QByteArray text;
            if (!percentDecode(p.value, text, true)) return fail(400, "Bad escape in ip");
            for (const QByteArray& entry : text.split('\\')) {
                if (!entry.trimmed().isEmpty()) r.addresses << addressKey(entry);
            }
        }
    }
    return r;
}

} // namespace dwdir
