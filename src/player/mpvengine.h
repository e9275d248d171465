#pragma once
// One embedded audio engine on libmpv for the players the bar does not drive itself: it
// opens a stream address, plays, pauses, mutes and stops, and tells its play state,
// position, buffering percentage and media texts (the station's "icy-name" and the title
// now playing). Its events arrive on the user-interface thread; nothing here waits.
#include <QObject>
#include <QString>
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

private:
    void drain();
    void setState(TPlayState s);

    mpv_handle* mpv_ = nullptr;
    QString url_;
    bool mute_ = false;
    bool loaded_ = false, paused_ = false, waiting_ = false;
    bool opening_ = false;
    double position_ = 0;
    int buffering_ = -1;
    QString icyName_, icyTitle_, mediaTitle_;
    TPlayState state_ = psStopped;
};
