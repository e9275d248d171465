// A request head as a client may send it, answered from a small catalog in every way the
// server answers: station lists, the catalog page, banners, clicks, logos, redirects and
// the program's pages (for a forum post, the bytes after the head are the form).
#include "ads.h"
#include "catalog.h"
#include "listanswer.h"
#include "listrequest.h"
#include "webpages.h"

#include <cstddef>
#include <cstdint>

using namespace dwdir;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const QList<Station> stations =
        parseCatalog("ip\thostname\tgenre\n127.0.0.1:8000\tA\tClassic Rock\n"
                     "127.0.0.2\tB\tJazz \xc3\x89lectro\nhttp://127.0.0.3:9000/x\tC\tPop\n",
                     0)
            .stations;
    const QByteArrayView head(reinterpret_cast<const char*>(data), qsizetype(size));
    const ListRequest req = parseListRequest(head);
    if (req.status != 200) {
        if (req.error.isEmpty()) __builtin_trap();
        return 0;
    }
    QByteArray host;
    quint16 port = 0;
    switch (req.page) {
    case ListRequest::Banner: {
        QList<const Station*> live;
        for (const Station& s : stations)
            live << &s;
        const BannerChoice c = chooseBanner(req.area, req.query, live);
        if (bannerPicture(c.picture).isEmpty()) __builtin_trap();
        if (!c.station.isEmpty() && !linkableStream(c.station)) __builtin_trap();
        return 0;
    }
    case ListRequest::BannerClick:
        if (clickPage(req.area).contains("<script")) __builtin_trap();
        return 0;
    case ListRequest::BannerPicture:
        bannerPicture(req.name);
        return 0;
    case ListRequest::Logo:
        if (logoBitmap(req.name).size() != 54 + kLogoWidth * kLogoHeight * 3) __builtin_trap();
        return 0;
    case ListRequest::Redirect:
        // Only addresses that can stand in a Location header get this far.
        if (!splitHttpUrl(req.target, host, port) || req.target.contains('\r') ||
            req.target.contains('\n'))
            __builtin_trap();
        outsidePage(req.target);
        return 0;
    case ListRequest::News:
    case ListRequest::ServerInfo:
    case ListRequest::TitleSearch:
    case ListRequest::Forums: {
        QList<const Station*> all;
        for (const Station& s : stations)
            all << &s;
        QByteArray page;
        if (req.page == ListRequest::News) page = newsPage(all, 0);
        if (req.page == ListRequest::ServerInfo)
            page = serverInfoPage(findByKey(all, req.key), req.key, 0);
        if (req.page == ListRequest::TitleSearch)
            page = titleSearchPage(all, QString::fromUtf8(req.key));
        if (req.page == ListRequest::Forums) {
            static ForumStore store;
            const qsizetype end = head.indexOf("\r\n\r\n");
            QString author, text;
            if (end >= 0) readForumForm(head.sliced(end + 4), author, text);
            const QString key = QString::fromUtf8(req.key);
            if (store.post(key, author, text, 1)) {
                // What the file keeps reads back as it was posted.
                const ForumPost p = store.posts(key).last();
                QString k;
                ForumPost q;
                if (!ForumStore::readLine(
                        ForumStore::line(key.trimmed().left(ForumStore::MaxKey), p), k, q) ||
                    q.text != p.text || q.author != p.author)
                    __builtin_trap();
            }
            page = forumsPage(findByKey(all, req.key), key, store.posts(key));
        }
        if (page.contains("<script")) __builtin_trap();
        return 0;
    }
    case ListRequest::Button:
        buttonPicture(req.name);
        return 0;
    default:
        break;
    }
    const QList<const Station*> chosen = selectStations(req, {&stations});
    if (req.byAddress && chosen.size() > req.addresses.size()) __builtin_trap();
    const QByteArray text = listText(chosen);
    const QByteArray body = pack(text, size % 2 ? Packing::Gzip : Packing::Zlib);
    if (body.isEmpty() || !body.contains('\0')) __builtin_trap();
    catalogPage(chosen, 0);
    return 0;
}
