#pragma once
// One embedded audio engine on libmpv for the players the bar does not drive itself: it
// opens a stream address, plays, pauses, mutes and stops, and tells its play state,
// position, buffering percentage and media texts (the station's "icy-name" and the title
// now playing). Its events arrive on the user-interface thread; nothing here waits.
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>

struct mpv_handle;

class TMpvEngine : public QObject
{
    Q_OBJECT
public:
    enum TPlayState
    {
        psStopped,
        psConnecting, // opening the address
        psBuffering,  // waiting for data
        psPlaying,
        psPaused
    };

    explicit TMpvEngine(QObject* parent = nullptr);
    ~TMpvEngine() override;

    // False (with the reason) when libmpv is not there or will not start; the library
    // check of the platform layer decides first, so that tests can take it away.
    bool Create(QString* why = nullptr);
    bool Created() const { return mpv_ != nullptr; }

    void Open(const QString& url);
    void Play();
    void Pause();
    void Stop();
    void SetMute(bool mute);
    bool Mute() const { return mute_; }
    void SetVolume(int percent); // 0..100

    TPlayState PlayState() const;
    double Position() const { return position_; } // seconds since the start
    int BufferingPercent() const { return buffering_; }
    QString StationText() const { return icyName_; }
    QString TitleText() const;
    QString Source() const { return url_; }

    // Events.
    std::function<void(TPlayState)> OnPlayStateChange;
    std::function<void(int percent)> OnBuffering;
    std::function<void(const QString& title)> OnTitleChange;
    std::function<void(int code, const QString& text)> OnError;
    // A live stream dropped (its end, or an error after it played): the engine tries to
    // get it back after growing waits, and reports OnError only when it gives up.
    std::function<void()> OnReconnecting;
    // Also while a stream that played has waited for data for over two seconds: the
    // network layer is taking it up again.
    bool Reconnecting() const;
    // The waits before each new attempt (the same as the own stream player's; FFmpeg's
    // own reconnection has come first).
    static constexpr int BackoffMs[] = {0, 1000, 2000, 4000, 8000, 16000};
    // The reconnect options handed to FFmpeg's network layer.
    static const char* StreamOptions();

    // Recording: libmpv writes its cache's packets from `from` to `to` seconds of playing
    // time to `path` (the container chosen by its extension), in the background or, with
    // `wait`, before returning; OnDumpDone tells how it went.
    void DumpCache(double from, double to, const QString& path, bool wait);
    std::function<void(const QString& path, bool ok, const QString& why)> OnDumpDone;
    // The stream's audio codec as libmpv names it ("mp3", "aac", "vorbis"); empty before.
    QString AudioCodec() const { return audioCodec_; }
    // libmpv could not write the recording.
    std::function<void(const QString& text)> OnRecordError;

private:
    void drain();
    void setState(TPlayState s);
    void dropped(int code, const QString& text);
    void load();

    mpv_handle* mpv_ = nullptr;
    QString url_;
    bool mute_ = false;
    bool loaded_ = false, paused_ = false, waiting_ = false;
    bool opening_ = false;
    double position_ = 0;
    int buffering_ = -1;
    QString icyName_, icyTitle_, mediaTitle_;
    TPlayState state_ = psStopped;
    bool played_ = false; // this address played since Open: an end is a drop
    bool reconnecting_ = false;
    int attempt_ = 0;
    QTimer retry_;
    QTimer stall_; // waiting for data this long counts as a drop
    QElapsedTimer waitingSince_;
    QString audioCodec_;
    QHash<quint64, QString> dumps_; // files being written, by their command's number
    quint64 dumpSerial_ = 0;
};
