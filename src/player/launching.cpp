#include "launching.h"
#include "config.h"
#include "customserver.h"
#include "debuglog.h"
#include "dialogs.h"
#include "mpvengine.h"
#include "mpvrecord.h"
#include "netutils.h"
#include "platform.h"
#include "playersettings.h"
#include "productprofile.h"
#include "stationaddr.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>
#include <QToolButton>

#include <csignal>

namespace {
constexpr int WM_PLAYER_STOP = 1000;

QString fullStreamUrl(const TCustomServer* s)
{
    const auto* sc = dynamic_cast<const TSCServer*>(s);
    if (sc && !sc->StreamURL.isEmpty()) return sc->StreamURL;
    return "http://" + s->Address + ":" + s->Port + (s->Port.contains('/') ? "" : "/");
}

// True while `pid` is still the program we started (process ids are reused).
bool stillOurs(qint64 pid, const QString& program)
{
    if (pid <= 1) return false;
    QFile f(QString("/proc/%1/cmdline").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return false;
    return f.readAll().split('\0').value(0).endsWith(QFileInfo(program).fileName().toLocal8Bit());
}

const char* kRealDownload = "https://mpv.io/installation/";
const char* kMediaDownload = "https://mpv.io/installation/";
} // namespace

// ---------------------------------------------------------------------------------------
// A player on the session bus, found by its process id and driven over MPRIS2, without
// ever waiting for an answer on this thread.

class TMprisClient : public QObject
{
public:
    explicit TMprisClient(qint64 pid) : pid_(pid) {}
    QString Service;
    qint64 PositionUs = -1;
    QString Title;
    bool Gone = false; // the service was found once and has left the bus

    // One step of the search; the answer arrives later.
    void Find()
    {
        if (!Service.isEmpty() || searching_) return;
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected()) return;
        searching_ = true;
        auto* w = new QDBusPendingCallWatcher(bus.interface()->asyncCall("ListNames"), this);
        connect(w, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
            w->deleteLater();
            const QDBusPendingReply<QStringList> names = *w;
            int asked = 0;
            for (const QString& n : names.value()) {
                if (!n.startsWith("org.mpris.MediaPlayer2.")) continue;
                ++asked;
                auto* p = new QDBusPendingCallWatcher(
                    QDBusConnection::sessionBus().interface()->asyncCall(
                        "GetConnectionUnixProcessID", n),
                    this);
                connect(p, &QDBusPendingCallWatcher::finished, this,
                        [this, n](QDBusPendingCallWatcher* p) {
                            p->deleteLater();
                            const QDBusPendingReply<uint> pid = *p;
                            if (pid.isValid() && qint64(pid.value()) == pid_ && Service.isEmpty())
                                Service = n;
                        });
            }
            searching_ = false;
        });
    }

    void Call(const QString& method)
    {
        if (Service.isEmpty()) return;
        QDBusConnection::sessionBus().asyncCall(QDBusMessage::createMethodCall(
            Service, "/org/mpris/MediaPlayer2",
            method == "Quit" ? "org.mpris.MediaPlayer2" : "org.mpris.MediaPlayer2.Player", method));
    }

    // Asks for the position and the metadata; the answers update the fields.
    void Refresh()
    {
        if (Service.isEmpty() || refreshing_) return;
        refreshing_ = true;
        QDBusMessage m = QDBusMessage::createMethodCall(
            Service, "/org/mpris/MediaPlayer2", "org.freedesktop.DBus.Properties", "GetAll");
        m << QString("org.mpris.MediaPlayer2.Player");
        auto* w = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(m), this);
        connect(w, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
            w->deleteLater();
            refreshing_ = false;
            const QDBusPendingReply<QVariantMap> r = *w;
            if (r.isError()) {
                if (r.error().type() == QDBusError::ServiceUnknown) Gone = true;
                return;
            }
            const QVariantMap props = r.value();
            PositionUs = props.value("Position").toLongLong();
            const QVariant md = props.value("Metadata");
            QVariantMap meta;
            if (md.canConvert<QDBusArgument>())
                md.value<QDBusArgument>() >> meta;
            else
                meta = md.toMap();
            Title = meta.value("xesam:title").toString();
        });
    }

private:
    qint64 pid_;
    bool searching_ = false, refreshing_ = false;
};

// ---------------------------------------------------------------------------------------
// Embedded and built-in players on libmpv

TMpvPlayer::TMpvPlayer(Tplayer_form& bar, int kind) : bar_(bar), kind_(kind) {}
TMpvPlayer::~TMpvPlayer()
{
    // A quit keeps the song being recorded, written before the engine goes.
    if (record_ && engine_) record_->Finish(engine_->Position(), true);
    record_.reset();
}

void TMpvPlayer::offerDownload()
{
    const QString what = kind_ == 2 ? "Realaudio" : "WindowsMedia";
    if (platform::MessageDlg("Could not find the " + what +
                                 " player.  You might not have the latest release.\r\n"
                                 "Download the player now?",
                             platform::mtConfirmation, platform::mbYesNo,
                             "Dialwise") == platform::mrYes)
        OpenRedirect(kind_ == 2 ? kRealDownload : kMediaDownload, Profile().ProductNumber,
                     raDownloadPage);
}

void TMpvPlayer::failed(int code, const QString& text)
{
    if (kind_ == 2)
        DebugLog(QString("RAPlayer Error: %1 %2").arg(code).arg(text));
    else if (kind_ == 3)
        DebugLog("winPlayer : " + text + ":" + QString::number(code));
    else
        DebugLog("player_main: " + text, dcErrOut);
    QString box = "Dialwise was not able to connect to that station.\r\nThe following error was "
                  "reported:\r\n" +
                  text;
    if (kind_ == 3) box += "\r\n";
    platform::PostMessage(&bar_, WM_PLAYER_STOP);
    ShowBox = false;
    platform::MessageDlg(box, platform::mtError, platform::mbOK, {}, &bar_);
}

void TMpvPlayer::Start(TCustomServer* station)
{
    StopRecording(); // a recording is of one station
    ShowBox = true;
    ticks_ = 0;
    stationName_ = station->Name;
    QString why;
    if (!engine_) {
        engine_ = std::make_unique<TMpvEngine>();
        if (!engine_->Create(&why)) {
            engine_.reset();
            if (kind_ == 0) {
                failed(0, why);
            } else {
                ShowBox = false;
                offerDownload();
            }
            return;
        }
        engine_->OnPlayStateChange = [this](TMpvEngine::TPlayState s) {
            if (kind_ == 2) DebugLog(QString("RAPlayer : State %1").arg(int(s)));
            if (kind_ == 3) DebugLog(QString("WMPPlayer PlayerState:%1").arg(int(s)), dcErrOut);
        };
        engine_->OnBuffering = [this](int percent) {
            // The list's name stays; the stream names the station only when the list gave none.
            if (!engine_->StationText().isEmpty() &&
                (kind_ == 2 || (kind_ == 0 && stationName_.isEmpty())))
                bar_.ShowStationLine(engine_->StationText());
            if (kind_ != 3 && engine_->Reconnecting())
                bar_.ShowSongStatus("Reconnecting...");
            else if (kind_ != 3)
                bar_.ShowBuffering(percent, engine_->TitleText());
        };
        engine_->OnTitleChange = [this](const QString& t) {
            // Whatever the sound goes to, a new title is shown while the stream runs.
            const TMpvEngine::TPlayState s = engine_->PlayState();
            if (s == TMpvEngine::psPlaying || s == TMpvEngine::psBuffering ||
                s == TMpvEngine::psPaused)
                bar_.ShowSongLine(t);
            // A recording goes on in a new file, the song heard from its start.
            if (record_ && record_->Recording() &&
                !record_->Begin(recordName(), t, engine_->AudioCodec(), true, engine_->Position()))
                recordingFailed(record_->Error());
        };
        engine_->OnReconnecting = [this] {
            bar_.ShowSongStatus("Reconnecting...");
            // The stream taken up again would write over the song's file: it is kept cut
            // short, and the recording goes on when the sound is back.
            if (record_ && record_->Recording()) {
                record_->Dropped();
                recordResume_ = true;
            }
        };
        engine_->OnRecordError = [this](const QString& text) {
            if (record_ && record_->Recording()) recordingFailed("Recording stopped: " + text);
        };
        engine_->OnDumpDone = [this](const QString& path, bool ok, const QString& why) {
            if (record_) record_->DumpDone(path, ok, why);
        };
        engine_->OnError = [this](int code, const QString& text) {
            // A stop asked for by the user ends quietly.
            if (!bar_.Host.PlayerBox || bar_.Host.PlayerBox->isVisible())
                failed(code, code == 0
                                 ? QString("The audio server has disconnected, please try another")
                                 : text);
        };
        quint32 vol = 0;
        platform::waveOutGetVolume(nullptr, &vol);
        engine_->SetVolume(int(std::max(vol & 0xFFFF, vol >> 16) * 100 / 65535));
    }
    engine_->SetMute(false);
    engine_->Open(fullStreamUrl(station));
}

void TMpvPlayer::Tick()
{
    if (!engine_) return;
    ++ticks_;
    const TMpvEngine::TPlayState s = engine_->PlayState();
    if (record_ && record_->Recording() && !record_->Checkpoint(engine_->Position()))
        recordingFailed(record_->Error());
    if (record_ && recordResume_ && s == TMpvEngine::psPlaying && !engine_->Reconnecting()) {
        recordResume_ = false;
        if (!record_->Begin(recordName(), engine_->TitleText(), engine_->AudioCodec(), false,
                            engine_->Position()))
            recordingFailed(record_->Error());
    }
    const qint64 pos = DisplaySeconds(engine_->Position());
    if (kind_ == 3) {
        if (s == TMpvEngine::psPlaying) {
            if (!engine_->Mute()) bar_.ShowTime(pos);
            if (pos != 0) {
                bar_.playpause_butt->setEnabled(true);
                if (!engine_->StationText().isEmpty()) bar_.ShowStationLine(engine_->StationText());
                bar_.ShowSongLine(engine_->TitleText());
            } else {
                blink_ = !blink_;
                if (blink_)
                    bar_.ShowSongLine("");
                else
                    bar_.ShowBuffering(-1, "");
            }
        } else if (engine_->Reconnecting()) {
            bar_.ShowSongStatus("Reconnecting...");
        } else {
            bar_.ShowConnecting();
        }
        return;
    }
    // Kind 2, and the built-in player, which names the station from the stream only when
    // the list gave no name.
    if (s == TMpvEngine::psPlaying || s == TMpvEngine::psPaused) {
        bar_.playpause_butt->setEnabled(true);
        if (!engine_->StationText().isEmpty() && (kind_ == 2 || stationName_.isEmpty()))
            bar_.ShowStationLine(engine_->StationText());
        bar_.ShowSongLine(engine_->TitleText());
        bar_.ShowTime(pos);
    } else if (s == TMpvEngine::psBuffering) {
        if (engine_->Reconnecting())
            bar_.ShowSongStatus("Reconnecting...");
        else
            bar_.ShowBuffering(engine_->BufferingPercent(), engine_->TitleText());
    } else if (s == TMpvEngine::psConnecting) {
        if (engine_->Reconnecting())
            bar_.ShowSongStatus("Reconnecting...");
        else
            bar_.ShowConnecting();
    }
}

bool TMpvPlayer::PlayPause(bool pause)
{
    if (!engine_) return false;
    if (kind_ == 3) {
        // Muted, the stream keeps running silently.
        engine_->SetMute(pause);
        return true;
    }
    if (pause)
        engine_->Pause();
    else
        engine_->Play();
    return true;
}

void TMpvPlayer::Stop()
{
    StopRecording();
    if (engine_) engine_->Stop();
}

QString TMpvPlayer::recordName() const
{
    return stationName_.isEmpty() && engine_ ? engine_->StationText() : stationName_;
}

bool TMpvPlayer::CanRecord() const
{
    if (!engine_) return false;
    const TMpvEngine::TPlayState s = engine_->PlayState();
    return (s == TMpvEngine::psPlaying || s == TMpvEngine::psPaused) &&
           !engine_->AudioCodec().isEmpty();
}

bool TMpvPlayer::StartRecording(const QString& folder, QString* why)
{
    if (!CanRecord()) {
        if (why) *why = "Nothing is playing";
        return false;
    }
    // A recorder still moving out its last song carries on.
    if (record_ && record_->Folder() == folder) {
        if (!record_->Begin(recordName(), engine_->TitleText(), engine_->AudioCodec(), false,
                            engine_->Position())) {
            if (why) *why = record_->Error();
            return false;
        }
        recordResume_ = false;
        return true;
    }
    TMpvEngine* engine = engine_.get();
    auto rec = std::make_unique<TMpvRecorder>(
        folder, [engine](double from, double to, const QString& path, bool wait) {
            engine->DumpCache(from, to, path, wait);
        });
    if (!rec->Begin(recordName(), engine_->TitleText(), engine_->AudioCodec(), false,
                    engine_->Position())) {
        if (why) *why = rec->Error();
        return false;
    }
    record_ = std::move(rec);
    recordResume_ = false;
    return true;
}

void TMpvPlayer::StopRecording()
{
    // The song being recorded is kept, cut short; the recorder stays until its last file
    // is written and moved out.
    if (record_ && engine_) record_->Finish(engine_->Position());
    recordResume_ = false;
}

bool TMpvPlayer::Recording() const
{
    return record_ && (record_->Recording() || recordResume_);
}

void TMpvPlayer::recordingFailed(const QString& why)
{
    if (record_ && engine_) record_->Failed(why, engine_->Position());
    recordResume_ = false;
    bar_.ShowRecording();
    platform::MessageDlg(why, platform::mtWarning, platform::mbOK, {}, &bar_);
}

qint64 TMpvPlayer::DisplaySeconds(double position)
{
    return position > 0 ? qint64(position + 0.5) : 0;
}

qint64 TMpvPlayer::PositionMs() const
{
    return engine_ ? qint64(std::max(0.0, engine_->Position()) * 1000) : -1;
}

void TMpvPlayer::SetVolume(int percent)
{
    if (engine_) engine_->SetVolume(percent);
}

// ---------------------------------------------------------------------------------------
// External player

TExternalPlayer::TExternalPlayer(Tplayer_form& bar) : bar_(bar) {}

TExternalPlayer::~TExternalPlayer()
{
    if (launched_ && stillOurs(pid_, program_)) ::kill(pid_t(pid_), SIGTERM);
}

QString TExternalPlayer::ServiceName() const
{
    return mpris_ ? mpris_->Service : QString();
}

bool TExternalPlayer::Launch(const QString& program, const QString& playlist, bool byFolder)
{
    program_ = program;
    byFolder_ = byFolder;
    ticks_ = 0;
    pid_ = platform::StartProcess(program, {playlist}, QFileInfo(program).absolutePath());
    launched_ = pid_ > 0;
    if (launched_ && byFolder_) {
        mpris_ = std::make_unique<TMprisClient>(pid_);
        mpris_->Find();
        DebugLog("looking_: " + program);
    }
    return launched_;
}

void TExternalPlayer::Start(TCustomServer*) {}

bool TExternalPlayer::findPlayer()
{
    if (!mpris_) return false;
    if (!mpris_->Service.isEmpty()) return true;
    mpris_->Find();
    return false;
}

qint64 TExternalPlayer::ControlExternalPlayer(int command)
{
    // Only a player started by folder is controlled.
    if (!byFolder_ || !mpris_ || mpris_->Service.isEmpty() || mpris_->Gone) {
        if (command != 3) bar_.stop_butt->click();
        return -1;
    }
    switch (command) {
    case 1:
        mpris_->Call("Play");
        return 0;
    case 2:
        mpris_->Call("Pause");
        return 0;
    case 3:
        return mpris_->PositionUs < 0 ? -1 : mpris_->PositionUs / 1000;
    default:
        ShutDownExternalPlayer();
        return -1;
    }
}

void TExternalPlayer::ShutDownExternalPlayer()
{
    if (!launched_) return;
    const bool asked = mpris_ && !mpris_->Service.isEmpty();
    if (asked) mpris_->Call("Quit");
    const qint64 pid = pid_;
    const QString name = QFileInfo(program_).fileName();
    launched_ = false;
    // Asked to quit; after five seconds it is ended. A player that is not controlled is
    // ended the same way, without a word.
    const QString program = program_;
    QTimer::singleShot(5000, [pid, name, program, asked] {
        if (stillOurs(pid, program)) {
            ::kill(pid_t(pid), SIGTERM);
            DebugLog("Warning: " + name + " not closed correctly", dcErrOut);
            if (asked)
                platform::MessageDlg("Warning: " + name + " not closed correctly",
                                     platform::mtWarning, platform::mbOK);
        }
    });
}

void TExternalPlayer::Tick()
{
    ++ticks_;
    // A player that has quit by itself (or was closed by the user) stops the bar.
    if (launched_ && !stillOurs(pid_, program_)) {
        DebugLog("player_main: " + QFileInfo(program_).fileName() + " has quit");
        launched_ = false;
        bar_.stop_butt->click();
        return;
    }
    if (!byFolder_) return;
    if (!findPlayer()) {
        // The Part's waits: about twelve seconds, then the player counts as not found.
        if (ticks_ == 24)
            platform::MessageDlg(QFileInfo(program_).fileName() + " not launched correctly",
                                 platform::mtWarning, platform::mbOK);
        return;
    }
    mpris_->Refresh();
    const qint64 pos = ControlExternalPlayer(3);
    bar_.ShowTime((pos < 0 ? 0 : pos) / 1000);
    if ((pos < 0 ? 0 : pos) / 1000 != 0) bar_.playpause_butt->setEnabled(true);
    if (ticks_ > 4) {
        DebugLog(mpris_->Title);
        bar_.ShowSongLine(mpris_->Title);
    }
}

qint64 TExternalPlayer::PositionMs() const
{
    return mpris_ && mpris_->PositionUs >= 0 ? mpris_->PositionUs / 1000 : -1;
}

bool TExternalPlayer::PlayPause(bool pause)
{
    return ControlExternalPlayer(pause ? 2 : 1) != -1;
}

void TExternalPlayer::Stop()
{
    ShutDownExternalPlayer();
}

// ---------------------------------------------------------------------------------------
// The launch

TLauncher::TLauncher(Tplayer_form& bar) : bar_(bar) {}

QString TLauncher::PlaylistPath()
{
    return TRecentStations::PlaylistPath();
}

int TLauncher::MaxBitrate(int speedIndex)
{
    return TConfig::SpeedBitrate(speedIndex);
}

bool TLauncher::startExternal(TCustomServer* station)
{
    const QString setting = Config() ? Config()->Text("program_dir") : QString();
    auto* sc = dynamic_cast<TSCServer*>(station);
    // The bit rate question.
    const int max = MaxBitrate(Config() ? Config()->ItemIndex("speedbox") : -1);
    if (sc && sc->Bitrate > max) {
        if (platform::MessageDlg(
                "The audio quality (bitrate) for the server you have selected is too high for the "
                "connection type selected in the configuration window.\r\n"
                "Sound may be choppy or slow as a result.",
                platform::mtWarning, platform::mbOKCancel) != platform::mrOk)
            return false;
    }
    // A stream only the built-in player can play (https, HLS, a playlist address) never
    // goes into the external player's playlist.
    const bool builtInOnly = sc && sc->BuiltInOnly();
    if (!builtInOnly) {
        // Recent stations and their playlist, latest first.
        Recent.Add(station->Address + ":" + station->Port);
        QString error;
        if (!Recent.WritePlaylist(PlaylistPath(), &error)) DebugLog("Playlist: " + error, dcErrOut);
    }
    if (setting.isEmpty() || builtInOnly) {
        // No player program, or a stream it cannot play: the built-in player.
        auto it = bar_.OtherPlayers.find(0);
        if (it == bar_.OtherPlayers.end() || !dynamic_cast<TMpvPlayer*>(it->second.get()))
            bar_.OtherPlayers[0] = std::make_unique<TMpvPlayer>(bar_, 0);
        return true;
    }
    // A program file, or a folder holding one of the known players.
    QString program = setting;
    const bool byFolder = QFileInfo(setting).isDir();
    if (byFolder) {
        for (const char* name : {"audacious", "mpv"}) {
            if (QFileInfo(QDir(setting).filePath(name)).isExecutable()) {
                program = QDir(setting).filePath(name);
                break;
            }
        }
    }
    // The player program is the file the user chose in the configuration: an executable.
    if (!QFileInfo(program).isFile() || !QFileInfo(program).isExecutable()) {
        // Nothing plays: not even a built-in player left from before.
        bar_.OtherPlayers.erase(0);
        platform::MessageDlg("The file to launch (" + program +
                                 ") does not exist, check your configuration",
                             platform::mtError, platform::mbOK);
        return true; // the box is still shown; the timer finds nothing
    }
    auto* ext = dynamic_cast<TExternalPlayer*>(bar_.OtherPlayers[0].get());
    if (ext && ext->Launched()) ext->ShutDownExternalPlayer();
    // Only a player of the player folder is set up; a program named by its full path
    // keeps the user's own settings.
    if (byFolder)
        playersettings::Apply(QFileInfo(program).fileName(),
                              Config() ? Config()->StreamBufferKB() : 32);
    if (!ext) {
        bar_.OtherPlayers[0] = std::make_unique<TExternalPlayer>(bar_);
        ext = static_cast<TExternalPlayer*>(bar_.OtherPlayers[0].get());
    }
    if (!ext->Launch(program, PlaylistPath(), byFolder))
        throw EExecuteProgram("Failed to execute program.  Error Code 2", 2);
    return true;
}

void TLauncher::LaunchLast()
{
    const TStationRecord r =
        bar_.LastStation().IsEmpty() ? TStationRecord::Load() : bar_.LastStation();
    if (r.IsEmpty()) return;
    auto station = std::make_unique<TSCServer>(r.Address, r.Port);
    station->Name = r.Name;
    station->StreamURL = r.StreamURL;
    station->PlayerKind = quint8(r.Kind);
    // The one played before stays until this launch is through.
    std::swap(replay_, station);
    LaunchStation(replay_.get());
}

void TLauncher::LaunchStation(TCustomServer* station)
{
    // Whatever list, link or favorite it came from, a station's address is checked before
    // it reaches the playlist or a player's command line.
    const auto* checked = dynamic_cast<const TSCServer*>(station);
    const QString problem = station ? StationProblem(station->Address, station->Port,
                                                     checked ? checked->StreamURL : QString())
                                    : QStringLiteral("no station");
    if (!problem.isEmpty()) {
        DebugLog("Launch refused: " + problem, dcErrOut);
        platform::MessageDlg("This station cannot be played: " + problem + ".", platform::mtError,
                             platform::mbOK);
        return;
    }
    // No nested loop here: the station must outlive the whole launch.
    bar_.stop_butt->click();
    const auto* sc = dynamic_cast<const TSCServer*>(station);
    const int type = sc ? sc->PlayerKind : 0;
    const int kind = type >= 1 && type <= 3 ? type : 0;
    bar_.PlayerKind = kind;
    if (kind == 0 && !startExternal(station)) return;
    if ((kind == 2 || kind == 3) && bar_.OtherPlayers.find(kind) == bar_.OtherPlayers.end())
        bar_.OtherPlayers[kind] = std::make_unique<TMpvPlayer>(bar_, kind);
    bar_.playpause_butt->setEnabled(false);
    ShowBox = true;
    if (ShowPlayerBox) ShowPlayerBox();
    bar_.StartStation(station);
    if (auto* p = dynamic_cast<TMpvPlayer*>(
            bar_.OtherPlayers.count(kind) ? bar_.OtherPlayers[kind].get() : nullptr))
        ShowBox = p->ShowBox;
    // The stream player's pause works from the start.
    if (kind == 1) bar_.playpause_butt->setEnabled(true);
    if (ShowBox) {
        if (ShowPlayerBox) ShowPlayerBox();
        bar_.setFocus();
    } else if (bar_.Host.PlayerBox) {
        bar_.Host.PlayerBox->hide();
    }
}
