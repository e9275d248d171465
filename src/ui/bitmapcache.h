#pragma once
// The button bitmap cache: small pictures (station logos, the search-engine picture) are
// downloaded once, kept as files in the program folder's "buttons" folder and handed to
// the windows. Downloads run one at a time through one HTTP client.
//
// Use from a window (all on the user-interface thread):
//   cache = new TBitmapCache(platform::ProgramFolder() + "/buttons", this);
//   cache->SetOnBeforeRequest([](TBitmapCache*, THttpCli* c) { /* apply the proxy */ });
//   cache->SetOnBitmapArrived([this](TBitmapCache*, TCachedBitmap* b) {
//       if (b->Kind == 1) serverview->viewport()->update(); });
//   // on every repaint of a row:
//   if (const QImage* logo = cache->GetMasked(bnum + ".bmp", 1, logoBase + bnum + ".bmp"))
//       painter.drawImage(rect.topLeft(), *logo);
#include <QColor>
#include <QImage>
#include <QObject>
#include <QString>

#include <deque>
#include <functional>
#include <map>
#include <memory>

class QFile;
class QNetworkAccessManager;
class QNetworkReply;
class TCustomServer;
class THttpCli;

// One picture of the cache.
struct TCachedBitmap
{
    QString Name;  // file name in the cache folder
    QString URL;   // where it is downloaded from
    int Kind = 0;  // the caller's: 1 station logo, 2 search-engine picture
    QImage Bitmap; // the picture; null when there is none (not loadable, failed download)
    QImage Masked; // Bitmap with magenta (255,0,255) transparent, for drawing logos
    // Filled with the picture when it arrives (GetInto on a queued name); may be empty.
    std::function<void(const QImage&)> Target;
    int Attempts = 0; // download attempts that ended without a document
    // Favicons (GetFavicon): waiting, being read or fetched, or done (with or without a
    // picture); when it was last asked for.
    enum TFaviconState
    {
        fvWaiting,
        fvBusy,
        fvDone,
    };
    TFaviconState State = fvDone;
    quint64 LastUse = 0;
};

// The file of a station's logo in the picture cache of the program folder when it is
// there (a list station's BNum picture, a directory station's favicon as PNG); empty
// otherwise.
QString StationLogoFile(const TCustomServer* station);

class TBitmapCache : public QObject
{
    Q_OBJECT
public:
    using TBeforeRequestEvent = std::function<void(TBitmapCache* cache, THttpCli* client)>;
    using TBitmapArrivedEvent = std::function<void(TBitmapCache* cache, TCachedBitmap* bitmap)>;

    // A download that ends without any document (connection failed, the file could not
    // be created) is tried again at once, at most this many times in all during a run.
    static constexpr int MaxAttempts = 3;
    // A picture bigger than this is not a button: the download is stopped and dropped.
    static constexpr qint64 MaxDownloadSize = 4 * 1024 * 1024;

    // `folder` is the cache folder (created with its parents when missing).
    explicit TBitmapCache(const QString& folder, QObject* parent = nullptr);
    ~TBitmapCache() override;

    QString Folder() const { return folder_; }
    THttpCli* Client() const { return client_; }

    // The picture of `name` when it is known: from memory, else from its file in the
    // folder. Otherwise none (nullptr) and the download from `url` is queued (once).
    // Known names never touch the disk or the network again. A name that is not a plain
    // file name ("..", "/", "\") gives none and is never fetched. The pointer stays
    // valid for the lifetime of the cache.
    const QImage* Get(const QString& name, int kind, const QString& url);
    // The same, with magenta transparent (TCachedBitmap::Masked).
    const QImage* GetMasked(const QString& name, int kind, const QString& url);
    // Get, and when the picture is on its way, call `target` with it when it arrives;
    // when it is there already, `target` is called at once.
    void GetInto(const QString& name, int kind, std::function<void(const QImage&)> target,
                 const QString& url);
    // Starts the first queued download when the client is idle.
    void StartNext();

    // A station's favicon from a directory, by its file `name` ("rb-UUID.png"). When it
    // is in memory, the picture; otherwise none (nullptr), and it is read from its file
    // or fetched from `url` (the most recent request first; OnBitmapArrived with kind 1
    // when it is there). Fetched through Qt's network access: http and https only, a
    // redirect only to http(s) and never from https to http, at most MaxFaviconBytes,
    // MaxFaviconFetches at once, MaxFaviconsPerRun in a run. Decoded on a worker thread
    // from any picture format Qt reads (by its content), scaled to fit FaviconBox and kept
    // as a PNG file. A favicon that is no picture is not asked for again in the run. The
    // pointer is valid until the next call into the cache.
    const QImage* GetFavicon(const QString& name, const QString& url);
    // Any picture format Qt reads, by its content, scaled down to fit box x box; a null
    // image (and the reason) when the bytes are no picture or too big. Any thread.
    static QImage DecodeFavicon(const QByteArray& bytes, int box, QString* error = nullptr);

    static constexpr qint64 MaxFaviconBytes = 1024 * 1024;
    static constexpr int MaxFaviconFetches = 4;
    static constexpr int MaxFaviconsWaiting = 256; // beyond: the oldest requests are dropped
    static constexpr int MaxFaviconsPerRun = 5000;
    static constexpr int MaxFaviconsInMemory = 2000;
    static constexpr int FaviconBox = 64;
    // The program folder's cache (station logos live there).
    static QString StationFolder();
    // Favicon fetches started in this run; favicons being read, fetched or waiting.
    int FaviconFetches() const { return faviconFetches_; }
    int FaviconsPending() const { return faviconBusy_ + int(faviconQueue_.size()); }

    void SetOnBeforeRequest(TBeforeRequestEvent e) { onBeforeRequest_ = std::move(e); }
    void SetOnBitmapArrived(TBitmapArrivedEvent e) { onBitmapArrived_ = std::move(e); }

    // Entries already tried (sorted by name) and waiting for download (first in first out).
    int LoadedCount() const { return int(loaded_.size()); }
    int QueueCount() const { return int(queue_.size()); }
    const TCachedBitmap* Loaded(const QString& name) const;

    static bool ValidName(const QString& name);

private:
    TCachedBitmap* entry(const QString& name, int kind, const QString& url);
    TCachedBitmap* queued(const QString& name) const;
    void loadFile(TCachedBitmap* b, const QString& path);
    void finishHead(bool ok);
    void clientDocBegin();
    void clientDocData(const char* data, int len);
    void clientDocEnd();
    void clientStateChange();
    bool clientIdle() const;
    void startFavicons();
    void fetchFavicon(TCachedBitmap* b);
    void decodeFavicon(const QString& name, QByteArray bytes, bool fromFile);
    void faviconDone(const QString& name, const QImage& img, const QString& error);
    void trimFavicons();

    QString folder_;
    THttpCli* client_ = nullptr;
    std::map<QString, std::unique_ptr<TCachedBitmap>> loaded_;
    std::deque<std::unique_ptr<TCachedBitmap>> queue_;
    std::unique_ptr<QFile> file_; // the download in progress (name + ".part")
    qint64 received_ = 0;
    bool tooLarge_ = false;
    std::map<QString, std::unique_ptr<TCachedBitmap>> favicons_;
    std::deque<QString> faviconQueue_;     // newest last
    QNetworkAccessManager* nam_ = nullptr; // made on the first fetch
    QList<QNetworkReply*> faviconReplies_;
    int faviconBusy_ = 0;
    int faviconFetches_ = 0;
    quint64 faviconClock_ = 0;
    std::unique_ptr<class QThreadPool> pool_; // decodes favicons
    TBeforeRequestEvent onBeforeRequest_;
    TBitmapArrivedEvent onBitmapArrived_;
};
