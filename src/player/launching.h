#pragma once
// Launching a station: the player kind from the station's type, the bit rate question,
// the recent stations and their playlist, the player box, and the players the bar hands
// the other kinds to: an external player program (driven over MPRIS when it was started
// by folder), the embedded players and the built-in player on one libmpv engine.
#include "player_main.h"
#include "recentstations.h"

#include <QPointer>
#include <QStringList>
#include <functional>
#include <memory>

class TMpvEngine;
class TMpvRecorder;
class TSCServer;
class TMprisClient;

// Kinds 2 and 3 (embedded players) and kind 0 without a player program (the built-in
// player) on the libmpv engine.
class TMpvPlayer : public TOtherPlayer
{
public:
    TMpvPlayer(Tplayer_form& bar, int kind);
    ~TMpvPlayer() override;
    void Start(TCustomServer* station) override;
    void Tick() override;
    bool PlayPause(bool pause) override;
    void Stop() override;
    void SetVolume(int percent) override;
    qint64 PositionMs() const override;
    bool CanRecord() const override;
    bool StartRecording(const QString& folder, QString* why) override;
    void StopRecording() override;
    bool Recording() const override;
    TMpvRecorder* Recorder() const { return record_.get(); }
    TMpvEngine* Engine() const { return engine_.get(); }
    // Whole seconds of a playing position for the time display. libmpv's position of a
    // live stream can be below 0 (timestamps that start late, a stream taken up again);
    // the display never counts up from a negative time.
    static qint64 DisplaySeconds(double position);
    // False after a failed start (the player box then stays hidden).
    bool ShowBox = true;

private:
    void offerDownload();
    void failed(int code, const QString& text);
    QString recordName() const;
    void recordingFailed(const QString& why);
    Tplayer_form& bar_;
    int kind_;
    std::unique_ptr<TMpvEngine> engine_;
    QString stationName_;
    bool blink_ = true;
    int ticks_ = 0;
    // After the engine, so that it is gone first and can still end the file.
    std::unique_ptr<TMpvRecorder> record_;
    bool recordResume_ = false; // a drop ended the song: the next begins when sound is back
};

// Kind 0 with a player program: started with the playlist, then (when started by folder)
// found on the session bus by its process id and driven over MPRIS2.
class TExternalPlayer : public TOtherPlayer
{
public:
    explicit TExternalPlayer(Tplayer_form& bar);
    ~TExternalPlayer() override;
    // Starts `program` with the playlist as its only argument.
    bool Launch(const QString& program, const QString& playlist, bool byFolder);
    void Start(TCustomServer* station) override;
    void Tick() override;
    bool PlayPause(bool pause) override;
    void Stop() override;
    qint64 PositionMs() const override;
    // play 1, pause 2, position 3, shut down 4: the player's answer or -1.
    qint64 ControlExternalPlayer(int command);
    void ShutDownExternalPlayer();
    bool Launched() const { return launched_; }
    qint64 Pid() const { return pid_; }
    QString ServiceName() const;

private:
    bool findPlayer();
    Tplayer_form& bar_;
    std::unique_ptr<TMprisClient> mpris_;
    bool launched_ = false;
    bool byFolder_ = false;
    qint64 pid_ = 0;
    QString program_;
    int ticks_ = 0;
};

class TLauncher
{
public:
    explicit TLauncher(Tplayer_form& bar);

    // The whole launch.
    void LaunchStation(TCustomServer* station);
    // The station the bar played last (in this run, else the one kept from the last).
    void LaunchLast();

    TRecentStations Recent;
    bool ShowBox = false;
    // The playlist in the program folder.
    static QString PlaylistPath();
    // The connection table: the highest bit rate for a connection type index.
    static int MaxBitrate(int speedIndex);
    // Where the player box goes (above the splitter) and the focus after the start.
    std::function<void()> ShowPlayerBox;

private:
    bool startExternal(TCustomServer* station);
    Tplayer_form& bar_;
    std::unique_ptr<TSCServer> replay_; // what LaunchLast plays
};
