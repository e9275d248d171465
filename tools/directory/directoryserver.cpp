#include "directoryserver.h"
#include "radiobrowserapi.h"

#include "ads.h"
#include "livestatus.h"
#include "webpages.h"

#include <QDateTime>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTcpServer>
#include <QTcpSocket>
#include <cstdio>

namespace dwdir {

namespace {

constexpr int kMaxConnections = 256;
constexpr int kRequestTimeoutMs = 15000;
constexpr qsizetype kMaxStreamHead = 16 * 1024;
constexpr qsizetype kMaxPostBody = 16 * 1024;

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

DirectoryServer::DirectoryServer(QList<Station> catalog, Packing compressed, QObject* parent)
    : QObject(parent), server_(new QTcpServer(this)), catalog_(std::move(catalog)),
      compressed_(compressed), forums_(std::make_unique<ForumStore>())
{
    connect(server_, &QTcpServer::newConnection, this, &DirectoryServer::onNewConnection);
}

DirectoryServer::~DirectoryServer() = default;

void DirectoryServer::setForumFile(const QString& file)
{
    forums_ = std::make_unique<ForumStore>(file);
    if (!forums_->error().isEmpty())
        std::fprintf(stderr, "dialwise-directory: forum file %s: %s\n", qPrintable(file),
                     qPrintable(forums_->error()));
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
}

QByteArray DirectoryServer::answer(QByteArrayView head, QByteArrayView body) const
{
    QByteArray motdRequest;
    switch (motdPage(head, motdRequest)) {
    case 1:
        return response(200, "text/plain; charset=windows-1252",
                        motdAnswer(motd_, motdRequest, selfAddress(head)), false);
    case 2:
        return response(200, "text/plain; charset=utf-8", updateFileContent(), false);
    default:
        break;
    }
    if (isRadioBrowserRequest(head)) {
        QList<const QList<Station>*> lists; // live stations first, as in the list
        for (const QList<Station>& l : live_)
            lists << &l;
        return radioBrowserAnswer(head, lists << &catalog_, selfAddress(head));
    }
    const ListRequest req = parseListRequest(head);
    if (req.status != 200)
        return response(req.status, "text/plain; charset=utf-8", req.error + '\n', req.head);
    const bool webPage = req.page == ListRequest::News || req.page == ListRequest::ServerInfo ||
                         req.page == ListRequest::TitleSearch ||
                         req.page == ListRequest::Forums || req.page == ListRequest::Button;
    if (req.page != ListRequest::List && req.page != ListRequest::CatalogView && !webPage)
        return adAnswer(req, head);

    // Live stations first: they are the ones that really play.
    QList<const QList<Station>*> lists;
    for (const QList<Station>& l : live_)
        lists << &l;
    lists << &catalog_;
    if (webPage) {
        ListRequest every;
        return pageAnswer(req, head, body, selectStations(every, lists));
    }
    const QList<const Station*> chosen = selectStations(req, lists);

    if (req.page == ListRequest::CatalogView)
        return response(200, "text/html; charset=utf-8",
                        catalogPage(chosen, QDateTime::currentSecsSinceEpoch()), req.head);

    const QByteArray text = listText(chosen);
    if (!req.compress) return response(200, "text/plain; charset=utf-8", text, req.head);
    const QByteArray packed = pack(text, compressed_);
    if (packed.isEmpty())
        return response(500, "text/plain; charset=utf-8", "Compression failed\n", req.head);
    return response(200, compressed_ == Packing::Gzip ? "application/gzip" : "application/zlib",
                    packed, req.head);
}

QByteArray DirectoryServer::pageAnswer(const ListRequest& req, QByteArrayView head,
                                       QByteArrayView body,
                                       const QList<const Station*>& all) const
{
    const QByteArray html = "text/html; charset=utf-8";
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    switch (req.page) {
    case ListRequest::News:
        return response(200, html, newsPage(all, now), req.head);
    case ListRequest::ServerInfo:
        return response(200, html, serverInfoPage(findByKey(all, req.key), req.key, now),
                        req.head);
    case ListRequest::TitleSearch:
        return response(200, html, titleSearchPage(all, QString::fromUtf8(req.key)), req.head);
    case ListRequest::Forums: {
        const QString key = QString::fromUtf8(req.key);
        if (req.post) {
            QString author, text;
            readForumForm(body, author, text);
            forums_->post(key, author, text, now);
            // Back to the page by GET, so that reloading it does not post again.
            return response(303, html, {}, false,
                            selfAddress(head) + "/program/forums.asp?ip=" +
                                QUrl::toPercentEncoding(key));
        }
        return response(200, html, forumsPage(findByKey(all, req.key), key, forums_->posts(key)),
                        req.head);
    }
    case ListRequest::Button: {
        const QByteArray bytes = buttonPicture(req.name);
        if (bytes.isEmpty()) return response(404, "text/plain; charset=utf-8", "Not found\n", req.head);
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

QByteArray DirectoryServer::adAnswer(const ListRequest& req, QByteArrayView head) const
{
    const QByteArray html = "text/html; charset=utf-8";
    switch (req.page) {
    case ListRequest::Banner: {
        QList<const Station*> live;
        for (const QList<Station>& l : live_)
            for (const Station& s : l)
                live << &s;
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
            scan(catalog_);
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
    const QByteArray reply = answer(QByteArrayView(buf).first(end), body);
    const QByteArray line =
        buf.left(qMin<qsizetype>(buf.indexOf('\n') < 0 ? buf.size() : buf.indexOf('\n'), 200))
            .trimmed();
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
