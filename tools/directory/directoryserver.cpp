#include "directoryserver.h"
#include "radiobrowserapi.h"

#include "ads.h"
#include "livestatus.h"
#include "webpages.h"
#include "yp.h"

#include <QDateTime>
#include <QHostInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <cstdio>

namespace dwdir {

namespace {

constexpr int kMaxConnections = 256;
constexpr int kRequestTimeoutMs = 15000;
constexpr qsizetype kMaxStreamHead = 16 * 1024;
constexpr qsizetype kMaxPostBody = 16 * 1024;
// Listener and song figures are reloaded at most this often; stations that come or go at
// the next request.
constexpr int kFigureRefreshMs = 1000;
constexpr int kMaxProbes = 32;
constexpr int kProbeTimeoutMs = 5000;
constexpr qsizetype kMaxCachedLists = 512;

// The "Content-Length" of a request head; -1 when absent or not a number.
qsizetype contentLength(QByteArrayView head)
{
    for (const QByteArray& raw : head.toByteArray().split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line.size() > 15 && line.left(15).toLower() == "content-length:") {
            bool ok = false;
            const qsizetype n = line.mid(15).trimmed().toLongLong(&ok);
            return ok && n >= 0 ? n : -1;
        }
    }
    return -1;
}

QByteArray reasonOf(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 503:
        return "Service Unavailable";
    default:
        return "Error";
    }
}

// `location` must be free of line breaks (the callers pass checked addresses only). A
// redirect has no body: the program's HTTP client could take a body that arrives after
// the header, while it is closing the connection, for the document.
QByteArray response(int status, const QByteArray& type, const QByteArray& body, bool head,
                    const QByteArray& location = {})
{
    QByteArray out = "HTTP/1.0 " + QByteArray::number(status) + ' ' + reasonOf(status) +
                     "\r\nServer: dialwise-directory\r\n" +
                     (location.isEmpty() ? QByteArray() : "Location: " + location + "\r\n") +
                     "Content-Type: " + type +
                     "\r\nContent-Length: " + QByteArray::number(body.size()) +
                     "\r\nCache-Control: no-cache\r\nConnection: close\r\n\r\n";
    if (!head) out += body;
    return out;
}

// The end of a request head, or -1: a blank line, or the end of a request line that
// names no protocol version (such a request has no header lines).
qsizetype headEnd(const QByteArray& buf)
{
    const qsizetype eol = buf.indexOf('\n');
    if (eol < 0) return -1;
    QByteArray first = buf.left(eol).trimmed();
    const qsizetype sp = first.lastIndexOf(' ');
    if (sp < 0 || !first.mid(sp + 1).startsWith("HTTP/")) return eol + 1;
    qsizetype a = buf.indexOf("\n\r\n");
    qsizetype b = buf.indexOf("\n\n");
    if (a >= 0 && (b < 0 || a < b)) return a + 3;
    return b >= 0 ? b + 2 : -1;
}

// The value of a header line of a request head (the name in lower case); empty when absent.
QByteArray headerValue(QByteArrayView head, const QByteArray& name)
{
    for (const QByteArray& raw : head.toByteArray().split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line.size() > name.size() && line[name.size()] == ':' &&
            line.left(name.size()).toLower() == name)
            return line.mid(name.size() + 1).trimmed();
    }
    return {};
}

// The host named by a request's "Host" header, without its port, when it is a plain name
// or address (letters, digits and ".-:[]"); else empty.
QByteArray requestHost(QByteArrayView head)
{
    qsizetype pos = head.indexOf('\n');
    while (pos >= 0 && pos + 1 < head.size()) {
        const qsizetype start = pos + 1;
        qsizetype end = head.indexOf('\n', start);
        if (end < 0) end = head.size();
        QByteArrayView line = head.sliced(start, end - start);
        if (line.endsWith('\r')) line.chop(1);
        if (line.isEmpty()) break;
        if (line.size() > 5 &&
            QByteArrayView(line.first(5)).compare("host:", Qt::CaseInsensitive) == 0) {
            QByteArrayView v = line.sliced(5).trimmed();
            if (v.isEmpty() || v.size() > 255) return {};
            for (char c : v) {
                const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                                (c >= '0' && c <= '9') || c == '.' || c == '-' || c == ':' ||
                                c == '[' || c == ']';
                if (!ok) return {};
            }
            const qsizetype colon = v.lastIndexOf(':');
            if (colon >= 0 && !v.sliced(colon).contains(']')) v = v.first(colon);
            return v.toByteArray();
        }
        pos = end;
    }
    return {};
}

} // namespace

DirectoryServer::DirectoryServer(Store* store, Packing compressed, QObject* parent)
    : QObject(parent), server_(new QTcpServer(this)), store_(store), compressed_(compressed)
{
    connect(server_, &QTcpServer::newConnection, this, &DirectoryServer::onNewConnection);
    connect(store_, &Store::changed, this, [this](bool structural) {
        if (structural)
            dirty_ = true;
        else
            stale_ = true;
    });
    connect(&expiry_, &QTimer::timeout, this, &DirectoryServer::expire);
    touchFlush_.setSingleShot(true);
    touchFlush_.setInterval(20);
    connect(&touchFlush_, &QTimer::timeout, this, &DirectoryServer::flushTouches);
    setYp(yp_);
}

DirectoryServer::~DirectoryServer() = default;

void DirectoryServer::setYp(const YpSettings& yp)
{
    yp_ = yp;
    expiry_.start(qMax(1, yp_.touchFreq) * 1000);
}

void DirectoryServer::expire()
{
    if (!store_->isUp()) return;
    const int n = store_->expireListings(QDateTime::currentSecsSinceEpoch() - 3 * yp_.touchFreq);
    if (n > 0)
        std::fprintf(stderr, "dialwise-directory: %d listings were not touched and went\n", n);
    const qint64 minuteAgo = QDateTime::currentMSecsSinceEpoch() - 60000;
    for (auto it = adds_.begin(); it != adds_.end();) {
        while (!it->isEmpty() && it->first() < minuteAgo)
            it->removeFirst();
        it = it->isEmpty() ? adds_.erase(it) : std::next(it);
    }
}

bool DirectoryServer::refresh()
{
    if (!store_->isUp()) return false;
    if (loaded_ && !dirty_ && !(stale_ && loadedAt_.elapsed() >= kFigureRefreshMs)) return true;
    std::optional<QList<Station>> s = store_->stations();
    if (!s) return false;
    stored_ = std::move(*s);
    loaded_ = true;
    dirty_ = stale_ = false;
    loadedAt_.restart();
    listCache_.clear();
    return true;
}

QList<const QList<Station>*> DirectoryServer::lists() const
{
    // Live stations first: they are the ones that really play.
    QList<const QList<Station>*> out;
    for (const QList<Station>& l : live_)
        out << &l;
    out << &stored_;
    return out;
}

bool DirectoryServer::allStations(QList<const Station*>& out)
{
    if (!refresh()) return false;
    ListRequest every;
    out = selectStations(every, lists());
    return true;
}

std::optional<MotdSettings> DirectoryServer::motd()
{
    MotdSettings m = motd_;
    if (!store_->isUp() || !store_->motdTexts(m.news, m.pushed)) return std::nullopt;
    return m;
}

bool DirectoryServer::storeReport(QByteArrayView datagram, const QHostAddress& from)
{
    if (!datagram.startsWith("TIME|") || datagram.size() > 512 || !store_->isUp()) return false;
    return store_->addReport(QDateTime::currentSecsSinceEpoch(), from.toString().toLatin1(),
                             cleanValue(datagram.toByteArray()));
}

bool DirectoryServer::listen(const QHostAddress& address, quint16 port)
{
    address_ = address;
    return server_->listen(address, port);
}

QString DirectoryServer::errorString() const
{
    return server_->errorString();
}

quint16 DirectoryServer::port() const
{
    return server_->serverPort();
}

void DirectoryServer::setLiveStations(int source, QList<Station> stations)
{
    if (source < 0) return;
    if (live_.size() <= source) live_.resize(source + 1);
    live_[source] = std::move(stations);
    listCache_.clear();
}

QByteArray DirectoryServer::answer(QByteArrayView head, QByteArrayView body,
                                   const QHostAddress& peer)
{
    if (!refresh())
        return response(503, "text/plain; charset=utf-8",
                        "The directory's database is not available; try again shortly.\n",
                        head.startsWith("HEAD "));
    const qsizetype sp = head.indexOf(' ');
    if (sp > 0) {
        const QByteArrayView target = head.sliced(sp + 1);
        if (target.startsWith("/cgi-bin/yp-cgi") &&
            (target.size() == 15 || target[15] == '?' || target[15] == ' ' || target[15] == '\r' ||
             target[15] == '\n'))
            return ypRequestAnswer(head, body, peer);
    }
    QByteArray motdRequest;
    switch (motdPage(head, motdRequest)) {
    case 1: {
        const std::optional<MotdSettings> m = motd();
        if (!m)
            return response(503, "text/plain; charset=utf-8",
                            "The directory's database is not available.\n", false);
        return response(200, "text/plain; charset=windows-1252",
                        motdAnswer(*m, motdRequest, selfAddress(head)), false);
    }
    case 2:
        return response(200, "text/plain; charset=utf-8", updateFileContent(), false);
    default:
        break;
    }
    if (isRadioBrowserRequest(head)) return radioBrowserAnswer(head, lists(), selfAddress(head));
    const ListRequest req = parseListRequest(head);
    if (req.status != 200)
        return response(req.status, "text/plain; charset=utf-8", req.error + '\n', req.head);
    const bool webPage = req.page == ListRequest::News || req.page == ListRequest::ServerInfo ||
                         req.page == ListRequest::TitleSearch || req.page == ListRequest::Forums ||
                         req.page == ListRequest::Button;
    if (req.page != ListRequest::List && req.page != ListRequest::CatalogView && !webPage)
        return adAnswer(req, head);

    if (webPage) {
        ListRequest every;
        return pageAnswer(req, head, body, selectStations(every, lists()));
    }
    // The long lists are kept packed until the stations change.
    QByteArray cacheKey;
    if (req.page == ListRequest::List && !req.byAddress) {
        cacheKey = QByteArray(req.compress ? "z" : "p") + (req.head ? "h" : "g");
        for (const QByteArray& g : req.genres)
            cacheKey += '\\' + g;
        const auto hit = listCache_.constFind(cacheKey);
        if (hit != listCache_.cend()) return *hit;
    }
    const QList<const Station*> chosen = selectStations(req, lists());

    if (req.page == ListRequest::CatalogView)
        return response(200, "text/html; charset=utf-8",
                        catalogPage(chosen, QDateTime::currentSecsSinceEpoch()), req.head);

    const QByteArray text = listText(chosen);
    QByteArray out;
    if (!req.compress) {
        out = response(200, "text/plain; charset=utf-8", text, req.head);
    } else {
        const QByteArray packed = pack(text, compressed_);
        if (packed.isEmpty())
            return response(500, "text/plain; charset=utf-8", "Compression failed\n", req.head);
        out = response(200, compressed_ == Packing::Gzip ? "application/gzip" : "application/zlib",
                       packed, req.head);
    }
    if (!cacheKey.isEmpty() && listCache_.size() < kMaxCachedLists)
        listCache_.insert(cacheKey, out);
    return out;
}

QByteArray DirectoryServer::ypRequestAnswer(QByteArrayView head, QByteArrayView body,
                                            const QHostAddress& peer)
{
    // The form comes as a POST body, or in the query of a GET.
    QByteArrayView form = body;
    if (!head.startsWith("POST ")) {
        const qsizetype eol = head.indexOf('\n');
        const QByteArrayView line = head.first(eol < 0 ? head.size() : eol).trimmed();
        const qsizetype q = line.indexOf('?');
        qsizetype end = line.lastIndexOf(' ');
        if (end <= q) end = line.size();
        form = q < 0 ? QByteArrayView() : line.sliced(q + 1, end - q - 1);
    }
    const YpRequest r = parseYpRequest(form);
    const QByteArray source = peer.toString().toLatin1();
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const QByteArray unavailable = "The directory's database is not available";
    switch (r.action) {
    case YpRequest::Bad:
        return ypAnswer(false, r.error);
    case YpRequest::Add: {
        const QUrl listen(QString::fromLatin1(r.listing.listenUrl));
        QHostAddress literal;
        if (literal.setAddress(listen.host()) &&
            !literal.isEqual(peer, QHostAddress::ConvertV4MappedToIPv4))
            return ypAnswer(false, "The listen URL is not on the address the request came from");
        QList<qint64>& times = adds_[source];
        const qint64 nowMs = QDateTime::currentMSecsSinceEpoch();
        while (!times.isEmpty() && times.first() < nowMs - 60000)
            times.removeFirst();
        if (times.size() >= yp_.addLimit)
            return ypAnswer(false, "Too many adds from this address; try again in a minute");
        const std::optional<qint64> count = store_->listingCount(source);
        if (!count) return ypAnswer(false, unavailable);
        if (*count >= yp_.addLimit) return ypAnswer(false, "Too many listings from this address");
        times << nowMs;
        Listing l = r.listing;
        l.sid = QByteArray::number(QRandomGenerator::system()->generate64(), 16) +
                QByteArray::number(QRandomGenerator::system()->generate64(), 16);
        l.source = source;
        l.added = l.touched = now;
        if (!store_->addListing(l)) return ypAnswer(false, unavailable);
        std::fprintf(stderr, "dialwise-directory: listing %s (%s) added by %s\n",
                     l.listenUrl.constData(), l.name.left(80).constData(), source.constData());
        probe(l);
        return ypAnswer(true, "Successfully added", l.sid, yp_.touchFreq);
    }
    case YpRequest::Touch: {
        const int t = store_->touchListing(r.sid, source, r.song, r.listeners, r.maxListeners, now);
        if (t < 0) return ypAnswer(false, unavailable);
        if (t == 0) return ypAnswer(false, "SID does not exist");
        // A stream that did not answer when it was added is tried again.
        if (t == 2) {
            const std::optional<Listing> l = store_->listing(r.sid);
            if (l && !l->sid.isEmpty() && !l->verified) probe(*l);
        }
        return ypAnswer(true, "Touched");
    }
    case YpRequest::Remove: {
        const int n = store_->removeListing(r.sid, source);
        if (n < 0) return ypAnswer(false, unavailable);
        if (n == 0) return ypAnswer(false, "SID does not exist");
        std::fprintf(stderr, "dialwise-directory: listing %s removed\n", r.sid.constData());
        return ypAnswer(true, "Removed");
    }
    }
    return ypAnswer(false, "Unknown action");
}

void DirectoryServer::flushTouches()
{
    const QList<Store::Touch> touches = std::exchange(touches_, {});
    const QList<QPointer<QTcpSocket>> sockets = std::exchange(touchSockets_, {});
    QList<int> results;
    if (store_->isUp())
        store_->touchListings(touches, QDateTime::currentSecsSinceEpoch(), results);
    else
        results = QList<int>(touches.size(), -1);
    for (qsizetype i = 0; i < touches.size(); ++i) {
        const int t = results[i];
        QByteArray reply;
        if (t < 0)
            reply = ypAnswer(false, "The directory's database is not available");
        else if (t == 0)
            reply = ypAnswer(false, "SID does not exist");
        else
            reply = ypAnswer(true, "Touched");
        if (t == 2) {
            // A stream that did not answer when it was added is tried again.
            const std::optional<Listing> l = store_->listing(touches[i].sid);
            if (l && !l->sid.isEmpty() && !l->verified) probe(*l);
        }
        if (t <= 0)
            std::fprintf(stderr, "dialwise-directory: touch of %s -> %s\n",
                         touches[i].sid.left(64).constData(),
                         reply
                             .mid(reply.indexOf("YPMessage: ") + 11,
                                  reply.indexOf('\r', reply.indexOf("YPMessage: ")) -
                                      reply.indexOf("YPMessage: ") - 11)
                             .constData());
        if (QTcpSocket* s = sockets[i]) {
            s->write(reply);
            s->disconnectFromHost();
        }
    }
}

void DirectoryServer::probe(const Listing& l)
{
    for (const Listing& q : probeQueue_)
        if (q.sid == l.sid) return;
    probeQueue_ << l;
    startProbes();
}

void DirectoryServer::startProbes()
{
    while (probing_ < kMaxProbes && !probeQueue_.isEmpty()) {
        const Listing l = probeQueue_.takeFirst();
        ++probing_;
        const QUrl url(QString::fromLatin1(l.listenUrl));
        auto* s = new QTcpSocket(this);
        auto* limit = new QTimer(s);
        limit->setSingleShot(true);
        auto done = [this, s, l](bool stream) {
            if (s->property("done").toBool()) return;
            s->setProperty("done", true);
            s->disconnect(this);
            s->abort();
            s->deleteLater();
            --probing_;
            if (stream && store_->isUp()) {
                store_->verifyListing(l.sid);
                std::fprintf(stderr, "dialwise-directory: listing %s answers; listed\n",
                             l.listenUrl.constData());
            } else if (!stream) {
                std::fprintf(stderr,
                             "dialwise-directory: listing %s did not answer with a stream\n",
                             l.listenUrl.constData());
            }
            QTimer::singleShot(0, this, &DirectoryServer::startProbes);
        };
        connect(limit, &QTimer::timeout, this, [done] { done(false); });
        limit->start(kProbeTimeoutMs);
        connect(s, &QTcpSocket::errorOccurred, this, [done] { done(false); });
        connect(s, &QTcpSocket::connected, this, [s, url] {
            QByteArray path = url.path(QUrl::FullyEncoded).toUtf8();
            if (path.isEmpty()) path = "/";
            if (url.hasQuery()) path += '?' + url.query(QUrl::FullyEncoded).toUtf8();
            s->write("GET " + path + " HTTP/1.0\r\nHost: " + url.host().toUtf8() + ':' +
                     QByteArray::number(url.port(80)) +
                     "\r\nUser-Agent: dialwise-directory\r\nIcy-MetaData: 0\r\n\r\n");
        });
        connect(s, &QTcpSocket::readyRead, this, [s, done] {
            const QByteArray head = s->property("head").toByteArray() + s->read(kMaxStreamHead);
            const qsizetype end =
                head.indexOf("\n\r\n") >= 0 ? head.indexOf("\n\r\n") : head.indexOf("\n\n");
            if (end < 0) {
                if (head.size() >= kMaxStreamHead)
                    done(false);
                else
                    s->setProperty("head", head);
                return;
            }
            const QList<QByteArray> lines = head.left(end).split('\n');
            const QByteArray status = lines.value(0).trimmed();
            bool ok = (status.startsWith("HTTP/1.") || status.startsWith("ICY ")) &&
                      status.mid(status.indexOf(' ') + 1, 3) == "200";
            QByteArray type;
            for (const QByteArray& line : lines)
                if (line.toLower().startsWith("content-type:"))
                    type = line.mid(13).trimmed().toLower();
            ok = ok && (type.startsWith("audio/") || type.startsWith("application/ogg") ||
                        type.startsWith("video/") || type.isEmpty());
            done(ok);
        });
        QHostAddress literal;
        if (literal.setAddress(url.host())) {
            s->connectToHost(literal, quint16(url.port(80)));
            continue;
        }
        // A name must lead back to the address the listing came from.
        const QHostAddress source(QString::fromLatin1(l.source));
        QHostInfo::lookupHost(url.host(), s, [s, url, source, done](const QHostInfo& info) {
            if (s->property("done").toBool()) return;
            for (const QHostAddress& a : info.addresses())
                if (a.isEqual(source, QHostAddress::ConvertV4MappedToIPv4)) {
                    s->connectToHost(a, quint16(url.port(80)));
                    return;
                }
            done(false);
        });
    }
}

QByteArray DirectoryServer::pageAnswer(const ListRequest& req, QByteArrayView head,
                                       QByteArrayView body, const QList<const Station*>& all)
{
    const QByteArray html = "text/html; charset=utf-8";
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    switch (req.page) {
    case ListRequest::News:
        return response(200, html, newsPage(all, now), req.head);
    case ListRequest::ServerInfo:
        return response(200, html, serverInfoPage(findByKey(all, req.key), req.key, now), req.head);
    case ListRequest::TitleSearch:
        return response(200, html, titleSearchPage(all, QString::fromUtf8(req.key)), req.head);
    case ListRequest::Forums: {
        const QString key = QString::fromUtf8(req.key);
        const QByteArray unavailable = "The directory's database is not available.\n";
        if (req.post) {
            QString author, text, cleanKey;
            readForumForm(body, author, text);
            ForumPost p;
            if (ForumStore::prepare(key, author, text, now, cleanKey, p) &&
                !store_->addPost(cleanKey, p, ForumStore::MaxPostsPerKey))
                return response(503, "text/plain; charset=utf-8", unavailable, false);
            // Back to the page by GET, so that reloading it does not post again.
            return response(303, html, {}, false,
                            selfAddress(head) +
                                "/program/forums.asp?ip=" + QUrl::toPercentEncoding(key));
        }
        const std::optional<QList<ForumPost>> posts =
            store_->posts(key.trimmed().left(ForumStore::MaxKey));
        if (!posts) return response(503, "text/plain; charset=utf-8", unavailable, req.head);
        return response(200, html, forumsPage(findByKey(all, req.key), key, *posts), req.head);
    }
    case ListRequest::Button: {
        const QByteArray bytes = buttonPicture(req.name);
        if (bytes.isEmpty())
            return response(404, "text/plain; charset=utf-8", "Not found\n", req.head);
        return response(200, "image/bmp", bytes, req.head);
    }
    default:
        return response(404, "text/plain; charset=utf-8", "Not found\n", req.head);
    }
}

bool DirectoryServer::isSelf(const QByteArray& host, quint16 port) const
{
    if (port != server_->serverPort() || port == 0) return false;
    QHostAddress named;
    const bool literal = named.setAddress(QString::fromLatin1(host));
    if (literal && named.isEqual(address_, QHostAddress::ConvertV4MappedToIPv4)) return true;
    const bool loopbackName = host == "localhost" || (literal && named.isLoopback());
    return loopbackName && (address_.isLoopback() || address_ == QHostAddress::Any ||
                            address_ == QHostAddress::AnyIPv4 || address_ == QHostAddress::AnyIPv6);
}

QByteArray DirectoryServer::selfAddress(QByteArrayView head) const
{
    QByteArray host;
    if (address_.isNull() || address_ == QHostAddress::Any || address_ == QHostAddress::AnyIPv4 ||
        address_ == QHostAddress::AnyIPv6)
        host = requestHost(head);
    else if (address_.protocol() == QAbstractSocket::IPv6Protocol)
        host = '[' + address_.toString().toLatin1() + ']';
    else
        host = address_.toString().toLatin1();
    if (host.isEmpty()) host = "127.0.0.1";
    return "http://" + host + ':' + QByteArray::number(server_->serverPort());
}

QByteArray DirectoryServer::adAnswer(const ListRequest& req, QByteArrayView head)
{
    const QByteArray html = "text/html; charset=utf-8";
    switch (req.page) {
    case ListRequest::Banner: {
        QList<const Station*> live;
        for (const QList<Station>& l : live_)
            for (const Station& s : l)
                live << &s;
        for (const Station& s : stored_)
            if (s.live) live << &s;
        const BannerChoice choice = chooseBanner(req.area, req.query, live);
        // An absolute address (a path with a station link in its query could be taken for
        // one by a client); the program's Host header names no port, so the port is ours.
        QByteArray location = selfAddress(head) + "/ads/banners/" + choice.picture;
        if (!choice.station.isEmpty()) location += "?s" + choice.station + "&x=1";
        return response(302, html, {}, req.head, location);
    }
    case ListRequest::BannerClick:
        return response(200, html, clickPage(req.area), req.head);
    case ListRequest::BannerPicture: {
        QByteArray type;
        const QByteArray bytes = bannerPicture(req.name, &type);
        if (bytes.isEmpty())
            return response(404, "text/plain; charset=utf-8", "Not found\n", req.head);
        return response(200, type, bytes, req.head);
    }
    case ListRequest::Logo: {
        // Only the logos of listed stations exist.
        const bool bmp = req.name.size() > 4 && req.name.right(4).toLower() == ".bmp";
        const QByteArray bnum = req.name.chopped(bmp ? 4 : 0);
        bool known = false;
        auto scan = [&](const QList<Station>& list) {
            for (const Station& s : list)
                if (!s.bnum.isEmpty() && s.bnum == bnum) known = true;
        };
        if (bmp) {
            scan(stored_);
            for (const QList<Station>& l : live_)
                scan(l);
        }
        if (!known)
            return response(404, "text/html; charset=utf-8",
                            "<html><body><h1>404 Not Found</h1></body></html>\n", req.head);
        return response(200, "image/bmp", logoBitmap(bnum), req.head);
    }
    case ListRequest::Redirect: {
        QByteArray host;
        quint16 port = 0;
        if (splitHttpUrl(req.target, host, port) && isSelf(host, port))
            return response(302, html, {}, req.head, req.target);
        return response(200, html, outsidePage(req.target), req.head);
    }
    default:
        return response(404, "text/plain; charset=utf-8", "Not found\n", req.head);
    }
}

void DirectoryServer::onNewConnection()
{
    while (QTcpSocket* socket = server_->nextPendingConnection()) {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QObject::destroyed, this, [this] { --open_; });
        ++open_;
        if (open_ > kMaxConnections) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto* timer = new QTimer(socket);
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, socket, [socket] { socket->abort(); });
        timer->start(kRequestTimeoutMs);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
    }
}

void DirectoryServer::onReadyRead(QTcpSocket* socket)
{
    if (socket->property("answered").toBool()) {
        socket->readAll();
        return;
    }
    QByteArray buf = socket->property("buf").toByteArray() + socket->readAll();
    qsizetype end = headEnd(buf);
    if (end < 0 && buf.size() <= kMaxRequestHead) {
        socket->setProperty("buf", buf);
        return;
    }
    if (end < 0) end = buf.size();
    // A POST waits for its body (a form: small).
    QByteArrayView body;
    if (buf.startsWith("POST ")) {
        const qsizetype len = contentLength(QByteArrayView(buf).first(end));
        if (len >= 0 && len <= kMaxPostBody && buf.size() - end < len) {
            socket->setProperty("buf", buf);
            return;
        }
        if (len > 0 && len <= kMaxPostBody) body = QByteArrayView(buf).sliced(end, len);
    }
    socket->setProperty("buf", QVariant());
    socket->setProperty("answered", true);
    QHostAddress peer = socket->peerAddress();
    if (proxies_.contains(peer)) {
        // Behind a reverse proxy: the client is the last address the proxy added.
        const QByteArray forwarded = headerValue(QByteArrayView(buf).first(end), "x-forwarded-for");
        QHostAddress client;
        if (client.setAddress(QString::fromLatin1(forwarded.split(',').last().trimmed())))
            peer = client;
    }
    const QByteArrayView head = QByteArrayView(buf).first(end);
    if (head.startsWith("POST /cgi-bin/yp-cgi ") && store_->isUp()) {
        const YpRequest r = parseYpRequest(body);
        if (r.action == YpRequest::Touch) {
            touches_ << Store::Touch{r.sid, peer.toString().toLatin1(), r.song, r.listeners,
                                     r.maxListeners};
            touchSockets_ << socket;
            if (!touchFlush_.isActive()) touchFlush_.start();
            return;
        }
    }
    const QByteArray reply = answer(head, body, peer);
    const QByteArray line =
        buf.left(qMin<qsizetype>(buf.indexOf('\n') < 0 ? buf.size() : buf.indexOf('\n'), 200))
            .trimmed();
    // Touches come from every listed station all the time: only refused ones are logged.
    if (!reply.contains("\r\nYPMessage: Touched\r\n"))
        std::fprintf(stderr, "dialwise-directory: %s -> %s\n", line.constData(),
                     reply.left(reply.indexOf('\r')).constData());
    socket->write(reply);
    socket->disconnectFromHost();
}

IcecastPoller::IcecastPoller(const QUrl& server, int interval, QObject* parent)
    : QObject(parent), statusUrl_(server), nam_(new QNetworkAccessManager(this))
{
    statusUrl_.setPath(QStringLiteral("/status-json.xsl"));
    statusUrl_.setQuery(QString());
    timer_.setInterval(interval);
    connect(&timer_, &QTimer::timeout, this, &IcecastPoller::poll);
}

void IcecastPoller::start()
{
    poll();
    timer_.start();
}

void IcecastPoller::poll()
{
    if (busy_) return;
    busy_ = true;
    QNetworkRequest req(statusUrl_);
    req.setTransferTimeout(qMax(1000, timer_.interval()));
    QNetworkReply* reply = nam_->get(req);
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        reply->deleteLater();
        busy_ = false;
        bool ok = false;
        QList<Station> stations;
        if (reply->error() == QNetworkReply::NoError)
            stations = parseIcecastStatus(reply->readAll(), statusUrl_, &ok);
        if (!ok)
            std::fprintf(stderr, "dialwise-directory: no status from %s\n",
                         qPrintable(statusUrl_.toString()));
        // A server that does not answer has no live stations.
        emit stationsChanged(stations);
    });
}

StreamPoller::StreamPoller(const QUrl& stream, int interval, QObject* parent)
    : QObject(parent), url_(stream)
{
    timer_.setInterval(interval);
    connect(&timer_, &QTimer::timeout, this, &StreamPoller::poll);
}

void StreamPoller::start()
{
    poll();
    timer_.start();
}

void StreamPoller::poll()
{
    if (socket_) return;
    socket_ = new QTcpSocket(this);
    QTcpSocket* s = socket_;
    auto* limit = new QTimer(s);
    limit->setSingleShot(true);
    connect(limit, &QTimer::timeout, this, [this, s] { finish(s, {}); });
    limit->start(qMax(1000, timer_.interval()));
    connect(s, &QTcpSocket::connected, this, [this, s] {
        QByteArray path = url_.path(QUrl::FullyEncoded).toUtf8();
        if (path.isEmpty()) path = "/";
        if (url_.hasQuery()) path += '?' + url_.query(QUrl::FullyEncoded).toUtf8();
        s->write("GET " + path + " HTTP/1.0\r\nHost: " + url_.host().toUtf8() +
                 "\r\nUser-Agent: dialwise-directory\r\n\r\n");
    });
    connect(s, &QTcpSocket::readyRead, this, [this, s] {
        QByteArray head = s->property("head").toByteArray() + s->read(kMaxStreamHead);
        if (head.contains("\n\n") || head.contains("\n\r\n") || head.size() >= kMaxStreamHead)
            finish(s, head);
        else
            s->setProperty("head", head);
    });
    connect(s, &QTcpSocket::errorOccurred, this,
            [this, s] { finish(s, s->property("head").toByteArray()); });
    s->connectToHost(url_.host(), quint16(url_.port(80)));
}

void StreamPoller::finish(QTcpSocket* socket, const QByteArray& head)
{
    if (socket != socket_) return;
    socket_ = nullptr;
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
    QList<Station> stations;
    if (std::optional<Station> s = parseStreamHead(head, url_)) {
        if (upSince_ == 0) upSince_ = QDateTime::currentSecsSinceEpoch();
        s->uptime = upSince_;
        stations << *s;
    } else {
        upSince_ = 0;
    }
    emit stationsChanged(stations);
}

} // namespace dwdir
