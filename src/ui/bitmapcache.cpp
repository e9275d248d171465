#include "bitmapcache.h"

#include "debuglog.h"
#include "httpprot.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

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
