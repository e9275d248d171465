#pragma once
// The player bar's own stream player (player kind 1): reads a station's stream with its
// HTTP client, checks the response head, takes the packets apart and writes the audio to
// the wave output device in the format the head announced. What it shows goes through
// TStreamPlayerView, so that the bar (or a test) decides how.
#include "waveout.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <functional>
#include <memory>
#include <unordered_set>

class THttpCli;
class TRecordFiles;

struct TStreamPlayerView
{
    std::function<void(const QString&)> ShowStationLine;
    std::function<void(const QString&)> ShowSongLine;
    std::function<void()> DrawBufferGauge;
    std::function<void(const QString&)> Message;    // a message box
    std::function<void()> ClickStop;                // the bar's stop button
    std::function<bool()> BoxVisible;               // the main window's player box
    std::function<void(const QString&)> ShowStatus; // a status on the song line ("Reconnecting...")
    std::function<void()> RecordingChanged;         // a recording began or ended
};

class TStreamPlayer : public QObject
{
    Q_OBJECT
public:
    explicit TStreamPlayer(QObject* parent = nullptr);
    ~TStreamPlayer() override;

    TStreamPlayerView View;
    // Where the device's notifications go (the main window, which hands them back to
    // WaveMessage); this object itself when unset.
    QObject* NotifyWindow = nullptr;
    int BufferKB = 32; // the stream buffer setting, the start threshold
    // A stream that brings no bytes for this long counts as dropped.
    static constexpr int InactivityMs = 10000;
    // Waits before each attempt to get a dropped stream back (the first at once: a
    // server that restarts is often back straight away); then it is given up.
    static constexpr int BackoffMs[] = {0, 1000, 2000, 4000, 8000, 16000};
    // Redirects followed before a stream's response is judged.
    static constexpr int MaxRedirects = 5;

    // Starts reading `url`. The station name of the list (may be empty: the head's
    // "icy-name" is taken then).
    void Start(const QString& url, const QString& stationName);
    // Abort the stream, reset and close the device.
    void Stop();
    void SetPaused(bool paused);
    bool Paused() const { return paused_; }

    // The device's buffer-done message (the other two are ignored).
    void WaveMessage(int msg, platform::WAVEHDR* hdr);

    // State, for the bar and tests.
    bool Playing() const { return playing_; }
    bool DeviceOpen() const { return hWaveOut_ != nullptr; }
    // The sound server went away (or was never there) and is not back yet.
    bool SoundLost() const { return soundLost_; }
    bool Resync() const { return resync_; }
    // Waiting for, or in, an attempt to get a dropped stream back.
    bool Reconnecting() const { return reconnecting_; }
    // Attempts made since the stream last brought audio.
    int Attempts() const { return attempt_; }
    // The address the response came from (after redirects).
    QString CurrentUrl() const { return currentUrl_; }
    int BufferedBytes() const { return int(buffer_.size() - pos_); }
    QString StationName() const { return stationName_; }
    int StatusCode() const { return statusCode_; }
    QString StatusText() const { return statusText_; }
    qint32 SongLength() const { return songLength_; }
    // Seconds since the song length arrived.
    qint64 SongElapsed() const;
    // Milliseconds since the song began; -1 before the first song information.
    qint64 SongElapsedMs() const { return songTick_.isValid() ? songTick_.elapsed() : -1; }
    THttpCli* Client() const { return mclient_.get(); }
    QByteArray WaveFormat() const { return waveFormat_; }
    // Buffers handed to the device and not yet returned, and their bytes.
    static int QueuedBuffers();
    static qint64 QueuedBytes();
    // Bytes the stream buffer may hold before it is dropped (paused or no device).
    int BufferLimit() const;
    // Bytes the device queue may hold: a few seconds of the format's bytes per second, so
    // that big packets cannot pile up memory. New audio that would pass it drops what
    // waits (a reset) and goes in alone, so the queue holds at most this and one packet.
    qint64 QueueByteLimit() const;

    // Recording what is heard into `folder` (see TRecordFiles), from the song playing now
    // (marked partial) on. False with the reason when it cannot start. A stop ends it and
    // keeps the song cut short; a full disk ends it with a message.
    bool StartRecording(const QString& folder, QString* why = nullptr);
    void StopRecording();
    bool Recording() const;
    // A stream's head was accepted: there is something to record.
    bool CanRecord() const { return heard_ && !waveFormat_.isEmpty(); }
    TRecordFiles* Recorder() const { return record_.get(); }

    // The HTTP client's events (public so that fuzzing can drive them).
    void mclientHeaderEnd();
    void mclientDocData(const char* data, int len);
    void mclientStateChange();

protected:
    bool event(QEvent* e) override;

private:
    void FeedStream();
    void ProcessStream();
    void WaveBufferDone(platform::WAVEHDR* hdr);
    void CloseDevice();
    void ResetDevice();
    platform::MMRESULT UnprepareReturned();
    void Report(const QString& op, platform::MMRESULT code, const QString& detail = {});
    void Refuse(const QString& text);
    void Connect();
    void ScheduleReconnect();
    void Inactive();
    bool Redirected();

    std::unique_ptr<THttpCli> mclient_;
    std::unique_ptr<TRecordFiles> record_;
    QString url_;         // as started
    QString currentUrl_;  // where the last redirect pointed
    QStringList visited_; // addresses of this redirect chain
    bool active_ = false; // between Start and Stop
    bool heard_ = false;  // a head was accepted since Start: a drop is reconnected
    bool reconnecting_ = false;
    bool quietReady_ = false; // the client's Ready after our own abort before a connect
    int attempt_ = 0;
    QString lastTitle_;
    QTimer retry_, idle_;
    QString stationName_;
    bool paused_ = false;
    QByteArray buffer_;
    int pos_ = 0; // start of the unprocessed bytes in buffer_
    int statusCode_ = 0;
    QString statusText_;
    platform::HWAVEOUT hWaveOut_ = nullptr;
    bool resync_ = false;
    bool playing_ = false;
    bool closing_ = false;
    bool soundLost_ = false; // the sound server is away (told once)
    bool refused_ = false;   // the head was refused: the rest of this response is ignored
    QByteArray waveFormat_;
    qint64 bytesPerSec_ = 0; // of the format
    qint32 songLength_ = 0;
    QElapsedTimer songTick_;
    std::unordered_set<platform::WAVEHDR*> outstanding_; // handed to the device
    // Returned by a reset and emptied; their done messages are still to come.
    std::unordered_set<platform::WAVEHDR*> returned_;
};
