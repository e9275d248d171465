#include "bitmapcache.h"

#include "customserver.h"
#include "debuglog.h"
#include "httpprot.h"
#include "platform.h"
#include "productprofile.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSaveFile>
#include <QThreadPool>
#include <QTimer>
#include <QUrl>
#include <algorithm>

TBitmapCache::TBitmapCache(const QString& folder, QObject* parent)
    : QObject(parent), folder_(folder)
{
    if (!folder_.endsWith('/')) folder_ += '/';
    QDir().mkpath(folder_);
    client_ = new THttpCli(this);
    client_->OnDocBegin = [this](THttpCli*) { clientDocBegin(); };
    client_->OnDocData = [this](THttpCli*, const char* data, int len) { clientDocData(data, len); };
    client_->OnDocEnd = [this](THttpCli*) { clientDocEnd(); };
    client_->OnStateChange = [this](THttpCli*) { clientStateChange(); };
    pool_ = std::make_unique<QThreadPool>();
    pool_->setMaxThreadCount(2);
}

TBitmapCache::~TBitmapCache()
{
    // No events into a half-destroyed cache.
    client_->OnDocBegin = nullptr;
    client_->OnDocData = nullptr;
    client_->OnDocEnd = nullptr;
    client_->OnStateChange = nullptr;
    if (file_) {
        file_->close();
        file_->remove();
    }
    // Favicons on their way: fetches end unheard, decodes are waited for (a picture of at
    // most a megabyte); their answers to this cache are dropped with it.
    for (QNetworkReply* r : std::exchange(faviconReplies_, {})) {
        r->disconnect(this);
        r->abort();
        delete r;
    }
    pool_->clear();
    pool_->waitForDone();
}

QString TBitmapCache::StationFolder()
{
    return platform::ProgramFolder() + QStringLiteral("/buttons/");
}

QString StationLogoFile(const TCustomServer* station)
{
    const auto* sc = dynamic_cast<const TSCServer*>(station);
    if (!sc) return {};
    const QString name = sc->StationLogo().Name;
    if (!TBitmapCache::ValidName(name)) return {};
    const QString path = TBitmapCache::StationFolder() + name;
    return QFileInfo(path).isFile() ? path : QString();
}

bool TBitmapCache::ValidName(const QString& name)
{
    if (name.isEmpty() || name.size() > 255 || name.startsWith('.')) return false;
    for (QChar c : name)
        if (c == '/' || c == '\\' || c.unicode() < 32) return false;
    return true;
}

bool TBitmapCache::clientIdle() const
{
    return client_->State() == httpReady;
}

const TCachedBitmap* TBitmapCache::Loaded(const QString& name) const
{
    const auto it = loaded_.find(name);
    return it == loaded_.end() ? nullptr : it->second.get();
}

TCachedBitmap* TBitmapCache::queued(const QString& name) const
{
    for (const auto& b : queue_)
        if (b->Name == name) return b.get();
    return nullptr;
}

void TBitmapCache::loadFile(TCachedBitmap* b, const QString& path)
{
    QImage img;
    if (!img.load(path) || img.isNull()) {
        // Not a picture (an error page, a broken file): gone, tried again next run.
        QFile::remove(path);
        b->Bitmap = QImage();
        b->Masked = QImage();
        return;
    }
    b->Bitmap = img;
    QImage m = img.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < m.height(); ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(m.scanLine(y));
        for (int x = 0; x < m.width(); ++x)
            if ((line[x] & 0xffffff) == 0xff00ff) line[x] = 0;
    }
    b->Masked = m;
}

TCachedBitmap* TBitmapCache::entry(const QString& name, int kind, const QString& url)
{
    // Tried already, whatever came of it: the fast path of every repaint.
    if (const auto it = loaded_.find(name); it != loaded_.end()) return it->second.get();
    // Already queued or downloading: the same entry, so one picture is fetched once.
    if (TCachedBitmap* q = queued(name)) return q;

    auto b = std::make_unique<TCachedBitmap>();
    b->Name = name;
    b->URL = url;
    b->Kind = kind;
    TCachedBitmap* raw = b.get();
    if (!ValidName(name)) {
        DebugLog("Bitmap cache: refused name " + name, dcErrOut);
        loaded_.emplace(name, std::move(b));
        return raw;
    }
    // On disk from an earlier run: no download.
    const QString path = folder_ + name;
    if (QFileInfo(path).isFile()) {
        loadFile(raw, path);
        loaded_.emplace(name, std::move(b));
        return raw;
    }
    // Otherwise download it; the caller draws nothing until it arrives.
    queue_.push_back(std::move(b));
    StartNext();
    return raw;
}

const QImage* TBitmapCache::Get(const QString& name, int kind, const QString& url)
{
    const TCachedBitmap* b = entry(name, kind, url);
    return (b && !b->Bitmap.isNull() && Loaded(name) == b) ? &b->Bitmap : nullptr;
}

const QImage* TBitmapCache::GetMasked(const QString& name, int kind, const QString& url)
{
    const TCachedBitmap* b = entry(name, kind, url);
    return (b && !b->Masked.isNull() && Loaded(name) == b) ? &b->Masked : nullptr;
}

void TBitmapCache::GetInto(const QString& name, int kind, std::function<void(const QImage&)> target,
                           const QString& url)
{
    if (const QImage* b = Get(name, kind, url)) {
        if (target) target(*b);
    } else if (TCachedBitmap* q = queued(name)) {
        q->Target = std::move(target);
    }
}

void TBitmapCache::StartNext()
{
    while (clientIdle() && !queue_.empty()) {
        TCachedBitmap* head = queue_.front().get();
        if (head->Attempts >= MaxAttempts) {
            DebugLog("Bitmap cache: giving up on " + head->URL, dcErrOut);
            finishHead(false);
            continue;
        }
        ++head->Attempts;
        received_ = 0;
        tooLarge_ = false;
        if (onBeforeRequest_) onBeforeRequest_(this, client_);
        client_->URL = head->URL;
        try {
            client_->GetAsync();
        } catch (const std::exception& e) {
            // An unusable address: the client completes through Abort and comes back idle.
            DebugLog("Bitmap cache: " + QString::fromUtf8(e.what()) + " for " + head->URL,
                     dcErrOut);
            client_->Abort();
            // Still idle means no completion will come: go on from the loop.
            if (clientIdle()) QTimer::singleShot(0, this, [this] { StartNext(); });
        }
        return;
    }
}

void TBitmapCache::clientDocBegin()
{
    if (queue_.empty()) {
        DebugLog("bitmap queue was empty on data", dcErrOut);
        return;
    }
    file_ = std::make_unique<QFile>(folder_ + queue_.front()->Name + ".part");
    if (!file_->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        DebugLog("Bitmap cache: cannot create " + file_->fileName(), dcErrOut);
        file_.reset(); // received without stream; the entry stays first
    }
}

void TBitmapCache::clientDocData(const char* data, int len)
{
    if (!file_ || tooLarge_) return;
    received_ += len;
    if (received_ > MaxDownloadSize) {
        tooLarge_ = true;
        DebugLog("Bitmap cache: too large, dropped: " + client_->URL, dcErrOut);
        // Leave the client's own event before stopping it.
        QTimer::singleShot(0, this, [this] {
            if (!clientIdle()) client_->Abort();
        });
        return;
    }
    file_->write(data, len);
}

void TBitmapCache::clientDocEnd()
{
    if (!file_) return;
    if (queue_.empty()) {
        DebugLog("bitmap queue was empty on data end", dcErrOut);
        file_.reset();
        return;
    }
    file_->close();
    const QString part = file_->fileName();
    file_.reset();
    const int status = client_->StatusCode();
    TCachedBitmap* head = queue_.front().get();
    const QString path = folder_ + head->Name;
    // Only a complete answer with a success status becomes the cached file.
    if (!tooLarge_ && status >= 200 && status < 300) {
        QFile::remove(path);
        if (QFile::rename(part, path)) loadFile(head, path);
    } else {
        DebugLog(QString("Bitmap cache: %1 %2 for %3")
                     .arg(status)
                     .arg(client_->ReasonPhrase(), head->URL),
                 dcErrOut);
    }
    QFile::remove(part);
    finishHead(true);
}

void TBitmapCache::finishHead(bool arrived)
{
    std::unique_ptr<TCachedBitmap> b = std::move(queue_.front());
    queue_.pop_front();
    TCachedBitmap* raw = b.get();
    if (!raw->Bitmap.isNull() && raw->Target) raw->Target(raw->Bitmap);
    raw->Target = nullptr;
    const QString name = raw->Name;
    loaded_[name] = std::move(b);
    if (arrived && onBitmapArrived_) onBitmapArrived_(this, raw);
}

void TBitmapCache::clientStateChange()
{
    if (clientIdle()) StartNext();
}

// ---------------------------------------------------------------------------------------
// Favicons of directory stations

QImage TBitmapCache::DecodeFavicon(const QByteArray& bytes, int box, QString* error)
{
    auto fail = [error](const char* why) {
        if (error) *error = QString::fromLatin1(why);
        return QImage();
    };
    if (bytes.isEmpty()) return fail("empty");
    if (bytes.size() > MaxFaviconBytes) return fail("larger than a megabyte");
    QBuffer buf;
    buf.setData(bytes);
    buf.open(QIODevice::ReadOnly);
    QImageReader reader(&buf);
    reader.setDecideFormatFromContent(true);
    reader.setAutoTransform(true);
    if (!reader.canRead()) return fail("not a picture");
    // An icon file holds several sizes: the largest up to 256 pixels.
    if (reader.imageCount() > 1 && reader.format() == "ico") {
        int best = 0, bestArea = 0;
        for (int i = 0; i < qMin(reader.imageCount(), 16); ++i) {
            if (!reader.jumpToImage(i)) break;
            const QSize sz = reader.size();
            const int area = sz.width() * sz.height();
            if (sz.width() <= 256 && sz.height() <= 256 && area > bestArea) {
                best = i;
                bestArea = area;
            }
        }
        reader.jumpToImage(best);
    }
    const QSize size = reader.size();
    if (size.isValid()) {
        if (size.width() <= 0 || size.height() <= 0) return fail("not a picture");
        if (size.width() > box || size.height() > box) {
            if (reader.supportsOption(QImageIOHandler::ScaledSize))
                reader.setScaledSize(size.scaled(box, box, Qt::KeepAspectRatio));
            else if (qint64(size.width()) * size.height() > qint64(4096) * 4096)
                return fail("picture too large");
        }
    }
    QImage img;
    if (!reader.read(&img) || img.isNull()) return fail("not a picture");
    if (img.width() > box || img.height() > box)
        img = img.scaled(box, box, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return img.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

const QImage* TBitmapCache::GetFavicon(const QString& name, const QString& url)
{
    if (const auto it = favicons_.find(name); it != favicons_.end()) {
        TCachedBitmap* b = it->second.get();
        b->LastUse = ++faviconClock_;
        if (b->State == TCachedBitmap::fvDone) return b->Bitmap.isNull() ? nullptr : &b->Bitmap;
        if (b->State == TCachedBitmap::fvWaiting) {
            // Asked again (its row is on screen): it goes first.
            const auto q = std::find(faviconQueue_.begin(), faviconQueue_.end(), name);
            if (q != faviconQueue_.end() && q + 1 != faviconQueue_.end()) {
                faviconQueue_.erase(q);
                faviconQueue_.push_back(name);
            }
        }
        return nullptr;
    }
    auto b = std::make_unique<TCachedBitmap>();
    b->Name = name;
    b->URL = url;
    b->Kind = 1;
    b->LastUse = ++faviconClock_;
    if (!ValidName(name)) {
        DebugLog("Bitmap cache: refused name " + name, dcErrOut);
        favicons_.emplace(name, std::move(b));
        return nullptr;
    }
    b->State = TCachedBitmap::fvWaiting;
    favicons_.emplace(name, std::move(b));
    faviconQueue_.push_back(name);
    // Rows scrolled past long ago wait no more; they are asked for again when shown.
    while (int(faviconQueue_.size()) > MaxFaviconsWaiting) {
        favicons_.erase(faviconQueue_.front());
        faviconQueue_.pop_front();
    }
    startFavicons();
    return nullptr;
}

void TBitmapCache::startFavicons()
{
    while (faviconBusy_ < MaxFaviconFetches && !faviconQueue_.empty()) {
        const QString name = faviconQueue_.back();
        faviconQueue_.pop_back();
        const auto it = favicons_.find(name);
        if (it == favicons_.end() || it->second->State != TCachedBitmap::fvWaiting) continue;
        TCachedBitmap* b = it->second.get();
        if (QFileInfo(folder_ + name).isFile()) {
            b->State = TCachedBitmap::fvBusy;
            ++faviconBusy_;
            decodeFavicon(name, {}, true);
            continue;
        }
        const QUrl url(b->URL, QUrl::StrictMode);
        const QString scheme = url.scheme().toLower();
        if (!url.isValid() || (scheme != "http" && scheme != "https") || url.host().isEmpty()) {
            DebugLog("Bitmap cache: not an http(s) address: " + b->URL, dcErrOut);
            b->State = TCachedBitmap::fvDone;
            continue;
        }
        if (faviconFetches_ >= MaxFaviconsPerRun) {
            if (faviconFetches_++ == MaxFaviconsPerRun)
                DebugLog("Bitmap cache: enough favicons fetched in this run", dcErrOut);
            b->State = TCachedBitmap::fvDone;
            continue;
        }
        b->State = TCachedBitmap::fvBusy;
        ++faviconBusy_;
        fetchFavicon(b);
    }
}

void TBitmapCache::fetchFavicon(TCachedBitmap* b)
{
    if (!nam_) nam_ = new QNetworkAccessManager(this);
    ++faviconFetches_;
    QNetworkRequest req{QUrl(b->URL, QUrl::StrictMode)};
    // Every redirect is looked at: only to http(s), never down from https to http.
    req.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                     QNetworkRequest::UserVerifiedRedirectPolicy);
    req.setMaximumRedirectsAllowed(4);
    req.setTransferTimeout(15000);
    req.setHeader(QNetworkRequest::UserAgentHeader,
                  QStringLiteral("Dialwise/") + Profile().VersionParts.join(QLatin1Char('.')));
    QNetworkReply* reply = nam_->get(req);
    faviconReplies_ << reply;
    const QString name = b->Name;
    const bool https = req.url().scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0;
    auto body = std::make_shared<QByteArray>();
    auto refused = std::make_shared<QString>();
    connect(reply, &QNetworkReply::redirected, this, [reply, https, refused](const QUrl& to) {
        const QString s = to.scheme().toLower();
        if (s == QLatin1String("https") || (s == QLatin1String("http") && !https)) {
            emit reply->redirectAllowed();
            return;
        }
        *refused = QStringLiteral("redirect to ") + to.toString(QUrl::RemoveUserInfo).left(200) +
                   QStringLiteral(" refused");
        reply->abort();
    });
    connect(reply, &QNetworkReply::metaDataChanged, this, [reply, refused] {
        if (reply->header(QNetworkRequest::ContentLengthHeader).toLongLong() > MaxFaviconBytes &&
            refused->isEmpty()) {
            *refused = QStringLiteral("larger than a megabyte");
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::readyRead, this, [reply, body, refused] {
        body->append(reply->read(MaxFaviconBytes + 1 - body->size()));
        if (body->size() > MaxFaviconBytes && refused->isEmpty()) {
            *refused = QStringLiteral("larger than a megabyte");
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply, body, refused, name] {
        faviconReplies_.removeOne(reply);
        reply->deleteLater();
        QString error = *refused;
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (error.isEmpty() && reply->error() != QNetworkReply::NoError)
            error = reply->errorString();
        if (error.isEmpty() && (status < 200 || status >= 300))
            error = QStringLiteral("HTTP status ") + QString::number(status);
        if (error.isEmpty()) body->append(reply->read(MaxFaviconBytes + 1 - body->size()));
        if (!error.isEmpty()) {
            faviconDone(name, {}, error);
            return;
        }
        decodeFavicon(name, std::move(*body), false);
    });
}

void TBitmapCache::decodeFavicon(const QString& name, QByteArray bytes, bool fromFile)
{
    const QString path = folder_ + name;
    pool_->start([this, name, bytes, fromFile, path] {
        QString error;
        QByteArray data = bytes;
        if (fromFile) {
            QFile f(path);
            if (f.open(QIODevice::ReadOnly)) data = f.read(MaxFaviconBytes + 1);
        }
        const QImage img = DecodeFavicon(data, FaviconBox, &error);
        if (img.isNull() && fromFile) {
            QFile::remove(path); // fetched again when it is next asked for
        } else if (!img.isNull() && !fromFile) {
            // Kept as a PNG of our own making, whatever came over the wire.
            QSaveFile f(path);
            if (!f.open(QIODevice::WriteOnly) || !img.save(&f, "PNG") || !f.commit())
                error = QStringLiteral("cannot write ") + path;
        }
        QMetaObject::invokeMethod(
            this, [this, name, img, error] { faviconDone(name, img, error); },
            Qt::QueuedConnection);
    });
}

void TBitmapCache::faviconDone(const QString& name, const QImage& img, const QString& error)
{
    --faviconBusy_;
    const auto it = favicons_.find(name);
    if (!error.isEmpty()) DebugLog("Bitmap cache: favicon " + name + ": " + error, dcErrOut);
    if (it != favicons_.end()) {
        TCachedBitmap* b = it->second.get();
        b->State = TCachedBitmap::fvDone;
        b->Bitmap = img;
        if (!img.isNull()) {
            if (onBitmapArrived_) onBitmapArrived_(this, b);
            trimFavicons(); // may free b
        }
    }
    startFavicons();
}

void TBitmapCache::trimFavicons()
{
    std::vector<std::pair<quint64, QString>> shown;
    for (const auto& [name, b] : favicons_)
        if (b->State == TCachedBitmap::fvDone && !b->Bitmap.isNull())
            shown.emplace_back(b->LastUse, name);
    if (int(shown.size()) <= MaxFaviconsInMemory) return;
    // The least recently drawn half goes; their files stay.
    std::sort(shown.begin(), shown.end());
    for (size_t i = 0; i < shown.size() / 2; ++i)
        favicons_.erase(shown[i].second);
}
