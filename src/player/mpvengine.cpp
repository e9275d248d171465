#include "mpvengine.h"
#include "datafolders.h"
#include "debuglog.h"
#include "mpvapi.h"
#include "platform.h"

#include <QCoreApplication>
#include <QHash>
#include <QLibrary>

namespace {
// Engines by number, read on the user-interface thread only: libmpv's wake-up comes from
// its own threads and only names the number.
QHash<quint64, TMpvEngine*>& engines()
{
    static QHash<quint64, TMpvEngine*> h;
    return h;
}
quint64 g_serial = 0;

// libmpv's calls, once its plugin is loaded.
const TMpvApi* g_mpv = nullptr;

bool loadMpv(QString* why)
{
    if (g_mpv) return true;
    const QString path = platform::FindPlugin(kMpvPlugin);
    if (path.isEmpty()) {
        *why = QString("%1 is not installed").arg(kMpvPlugin);
        return false;
    }
    // Loaded for the program's life: engines may be anywhere.
    static QLibrary library;
    library.setFileName(path);
    auto entry = reinterpret_cast<TMpvApiEntry>(library.resolve(DIALWISE_MPV_API_SYMBOL));
    if (!entry) {
        *why = library.errorString();
        return false;
    }
    g_mpv = entry();
    return g_mpv != nullptr;
}

enum : uint64_t
{
    kPause = 1,
    kPausedForCache,
    kBuffering,
    kTimePos,
    kIcyTitle,
    kIcyName,
    kMediaTitle,
    kAudioCodec
};
} // namespace

TMpvEngine::TMpvEngine(QObject* parent) : QObject(parent)
{
    retry_.setSingleShot(true);
    connect(&retry_, &QTimer::timeout, this, [this] {
        if (mpv_ && !url_.isEmpty()) load();
    });
    // A stream that brings nothing for fifteen seconds while the player waits for it has
    // dropped, whatever the network layer (which gives up a connection after ten) hopes.
    stall_.setSingleShot(true);
    stall_.setInterval(15000);
    connect(&stall_, &QTimer::timeout, this, [this] {
        if (!mpv_ || !loaded_ || !waiting_ || paused_) return;
        DebugLog("TMpvEngine: no stream data for 15 s", dcErrOut);
        loaded_ = false;
        const char* cmd[] = {"stop", nullptr};
        g_mpv->command_async(mpv_, 0, cmd);
        dropped(0, "The stream stalled");
    });
}

const char* TMpvEngine::StreamOptions()
{
    return "reconnect=1,reconnect_streamed=1,reconnect_on_network_error=1,reconnect_delay_max=16";
}

TMpvEngine::~TMpvEngine()
{
    for (auto it = engines().begin(); it != engines().end();) {
        if (it.value() == this)
            it = engines().erase(it);
        else
            ++it;
    }
    if (mpv_) {
        g_mpv->set_wakeup_callback(mpv_, nullptr, nullptr);
        g_mpv->terminate_destroy(mpv_);
    }
}

bool TMpvEngine::Create(QString* why)
{
    if (mpv_) return true;
    auto fail = [&](const QString& t) {
        if (why) *why = t;
        DebugLog("TMpvEngine: " + t, dcErrOut);
        return false;
    };
    if (!platform::LibraryLoadable("libmpv.so.2")) return fail("libmpv is not installed");
    QString reason;
    if (!loadMpv(&reason)) return fail("libmpv could not be loaded: " + reason);
    mpv_ = g_mpv->create();
    if (!mpv_) return fail("libmpv could not be created");
    g_mpv->set_option_string(mpv_, "vo", "null");
    g_mpv->set_option_string(mpv_, "video", "no");
    g_mpv->set_option_string(mpv_, "terminal", "no");
    g_mpv->set_option_string(mpv_, "audio-display", "no");
    g_mpv->set_option_string(mpv_, "ytdl", "no");
    g_mpv->set_option_string(mpv_, "idle", "yes");
    g_mpv->set_option_string(mpv_, "cache", "yes");
    g_mpv->set_option_string(mpv_, "audio-client-name", "Dialwise");
    // A connection that drops is taken up again by the network layer first.
    g_mpv->set_option_string(mpv_, "stream-lavf-o", StreamOptions());
    g_mpv->set_option_string(mpv_, "network-timeout", "10");
    // libmpv's own log, for finding out what a station's stream does.
    if (qEnvironmentVariableIsSet("DIALWISE_MPV_LOG"))
        g_mpv->set_option_string(mpv_, "log-file", qgetenv("DIALWISE_MPV_LOG").constData());
    const QString sink = qEnvironmentVariable("DIALWISE_AUDIO_SINK");
    if (sink.startsWith("wav:")) {
        g_mpv->set_option_string(mpv_, "ao", "pcm");
        g_mpv->set_option_string(mpv_, "ao-pcm-file", sink.mid(4).toLocal8Bit().constData());
        g_mpv->set_option_string(mpv_, "ao-pcm-waveheader", "yes");
        // The file writer is not paced in real time: playback stays level with the network,
        // and libmpv's read-ahead thread then stops handing on in-band titles once one comes
        // in right at the play position (the song line froze at the first title). Reading
        // in the player's own thread applies each title as it arrives.
        g_mpv->set_option_string(mpv_, "demuxer-thread", "no");
    } else if (sink == "null") {
        g_mpv->set_option_string(mpv_, "ao", "null");
    }
    if (g_mpv->initialize(mpv_) < 0) {
        g_mpv->terminate_destroy(mpv_);
        mpv_ = nullptr;
        return fail("libmpv did not start");
    }
    // The recorder's failures (a file that cannot be opened or written) come as log lines.
    g_mpv->request_log_messages(mpv_, "error");
    g_mpv->observe_property(mpv_, kPause, "pause", MPV_FORMAT_FLAG);
    g_mpv->observe_property(mpv_, kPausedForCache, "paused-for-cache", MPV_FORMAT_FLAG);
    g_mpv->observe_property(mpv_, kBuffering, "cache-buffering-state", MPV_FORMAT_INT64);
    g_mpv->observe_property(mpv_, kTimePos, "time-pos", MPV_FORMAT_DOUBLE);
    g_mpv->observe_property(mpv_, kIcyTitle, "metadata/by-key/icy-title", MPV_FORMAT_STRING);
    g_mpv->observe_property(mpv_, kIcyName, "metadata/by-key/icy-name", MPV_FORMAT_STRING);
    g_mpv->observe_property(mpv_, kMediaTitle, "media-title", MPV_FORMAT_STRING);
    g_mpv->observe_property(mpv_, kAudioCodec, "audio-codec-name", MPV_FORMAT_STRING);
    const quint64 id = ++g_serial;
    engines().insert(id, this);
    g_mpv->set_wakeup_callback(
        mpv_,
        [](void* ctx) {
            const auto id = quint64(reinterpret_cast<quintptr>(ctx));
            if (QCoreApplication* app = QCoreApplication::instance())
                QMetaObject::invokeMethod(
                    app,
                    [id] {
                        if (TMpvEngine* e = engines().value(id)) e->drain();
                    },
                    Qt::QueuedConnection);
        },
        reinterpret_cast<void*>(quintptr(id)));
    return true;
}

void TMpvEngine::Open(const QString& url)
{
    if (!mpv_) return;
    url_ = url;
    loaded_ = paused_ = waiting_ = false;
    opening_ = true;
    position_ = 0;
    buffering_ = -1;
    icyName_.clear();
    icyTitle_.clear();
    mediaTitle_.clear();
    played_ = reconnecting_ = false;
    attempt_ = 0;
    retry_.stop();
    g_mpv->set_property_string(mpv_, "pause", "no");
    load();
}

void TMpvEngine::load()
{
    const QByteArray u = url_.toUtf8();
    const char* cmd[] = {"loadfile", u.constData(), nullptr};
    opening_ = true;
    g_mpv->command_async(mpv_, 0, cmd);
    setState(psConnecting);
}

bool TMpvEngine::Reconnecting() const
{
    if (retry_.isActive() || reconnecting_) return true;
    return played_ && loaded_ && waiting_ && waitingSince_.isValid() &&
           waitingSince_.elapsed() > 2000;
}

void TMpvEngine::dropped(int code, const QString& text)
{
    if (attempt_ >= int(std::size(BackoffMs))) {
        reconnecting_ = false;
        if (OnError) OnError(code, text);
        return;
    }
    reconnecting_ = true;
    DebugLog(QString("TMpvEngine: the stream dropped (%1), trying again in %2 s")
                 .arg(text)
                 .arg(BackoffMs[attempt_] / 1000));
    retry_.start(BackoffMs[attempt_++]);
    setState(psConnecting);
    if (OnReconnecting) OnReconnecting();
}

void TMpvEngine::Play()
{
    if (mpv_) g_mpv->set_property_string(mpv_, "pause", "no");
}

void TMpvEngine::Pause()
{
    if (mpv_) g_mpv->set_property_string(mpv_, "pause", "yes");
}

void TMpvEngine::Stop()
{
    if (!mpv_) return;
    opening_ = false;
    retry_.stop();
    stall_.stop();
    reconnecting_ = false;
    const char* cmd[] = {"stop", nullptr};
    g_mpv->command_async(mpv_, 0, cmd);
    loaded_ = false;
    setState(psStopped);
}

void TMpvEngine::DumpCache(double from, double to, const QString& path, bool wait)
{
    if (!mpv_) {
        if (OnDumpDone) OnDumpDone(path, false, "no player");
        return;
    }
    const QByteArray f = QByteArray::number(from, 'f', 3), t = QByteArray::number(to, 'f', 3),
                     p = path.toUtf8();
    const char* cmd[] = {"dump-cache", f.constData(), t.constData(), p.constData(), nullptr};
    if (wait) {
        const int r = g_mpv->command(mpv_, cmd);
        if (OnDumpDone) OnDumpDone(path, r >= 0, QString::fromUtf8(g_mpv->error_string(r)));
        return;
    }
    // Numbers above those of the observed properties.
    const quint64 id = (quint64(1) << 32) + ++dumpSerial_;
    dumps_.insert(id, path);
    g_mpv->command_async(mpv_, id, cmd);
}

void TMpvEngine::SetMute(bool mute)
{
    mute_ = mute;
    if (mpv_) g_mpv->set_property_string(mpv_, "mute", mute ? "yes" : "no");
}

void TMpvEngine::SetVolume(int percent)
{
    if (!mpv_) return;
    double v = std::clamp(percent, 0, 100);
    g_mpv->set_property_async(mpv_, 0, "volume", MPV_FORMAT_DOUBLE, &v);
}

TMpvEngine::TPlayState TMpvEngine::PlayState() const
{
    return state_;
}

QString TMpvEngine::TitleText() const
{
    if (!icyTitle_.isEmpty()) return icyTitle_;
    // Without in-band titles the media title is the address or the file name: not a song.
    return {};
}

void TMpvEngine::setState(TPlayState s)
{
    if (s == state_) return;
    state_ = s;
    if (OnPlayStateChange) OnPlayStateChange(s);
}

void TMpvEngine::drain()
{
    while (mpv_) {
        mpv_event* ev = g_mpv->wait_event(mpv_, 0);
        if (!ev || ev->event_id == MPV_EVENT_NONE) break;
        switch (ev->event_id) {
        case MPV_EVENT_FILE_LOADED:
            loaded_ = true;
            opening_ = false;
            break;
        case MPV_EVENT_PLAYBACK_RESTART:
            loaded_ = true;
            // Sound again: the next drop gets the whole series of attempts.
            played_ = true;
            reconnecting_ = false;
            attempt_ = 0;
            break;
        case MPV_EVENT_END_FILE: {
            auto* end = static_cast<mpv_event_end_file*>(ev->data);
            const bool wasPlaying = loaded_ || opening_;
            loaded_ = false;
            opening_ = false;
            stall_.stop();
            // Our own stop of a stalled stream: the next attempt is on its way.
            if (end && end->reason == MPV_END_FILE_REASON_STOP && reconnecting_) break;
            const bool error = end && end->reason == MPV_END_FILE_REASON_ERROR;
            const bool eof = end && end->reason == MPV_END_FILE_REASON_EOF;
            // A live stream has no end: one that played and ends (or fails while being
            // got back) has dropped.
            if ((eof && (wasPlaying || reconnecting_) && played_) ||
                (error && (played_ || reconnecting_))) {
                dropped(error ? end->error : 0,
                        error ? QString::fromUtf8(g_mpv->error_string(end->error))
                              : QString("The stream ended"));
                break;
            }
            setState(psStopped);
            if (error) {
                if (OnError)
                    OnError(end->error, QString::fromUtf8(g_mpv->error_string(end->error)));
            } else if (eof && wasPlaying) {
                if (OnError) OnError(0, "The stream ended");
            }
            break;
        }
        case MPV_EVENT_COMMAND_REPLY: {
            const QString path = dumps_.take(ev->reply_userdata);
            if (!path.isEmpty() && OnDumpDone)
                OnDumpDone(path, ev->error >= 0, QString::fromUtf8(g_mpv->error_string(ev->error)));
            break;
        }
        case MPV_EVENT_LOG_MESSAGE: {
            auto* m = static_cast<mpv_event_log_message*>(ev->data);
            if (m && m->prefix && QByteArray(m->prefix) == "recorder" && OnRecordError)
                OnRecordError(QString::fromUtf8(m->text).trimmed());
            break;
        }
        case MPV_EVENT_PROPERTY_CHANGE: {
            auto* p = static_cast<mpv_event_property*>(ev->data);
            switch (ev->reply_userdata) {
            case kPause:
                paused_ = p->format == MPV_FORMAT_FLAG && *static_cast<int*>(p->data);
                break;
            case kPausedForCache:
                waiting_ = p->format == MPV_FORMAT_FLAG && *static_cast<int*>(p->data);
                if (waiting_ && loaded_) {
                    stall_.start();
                    waitingSince_.start();
                } else {
                    stall_.stop();
                    waitingSince_.invalidate();
                }
                break;
            case kBuffering:
                buffering_ =
                    p->format == MPV_FORMAT_INT64 ? int(*static_cast<int64_t*>(p->data)) : -1;
                if (waiting_ && OnBuffering) OnBuffering(buffering_);
                break;
            case kTimePos:
                if (p->format == MPV_FORMAT_DOUBLE) position_ = *static_cast<double*>(p->data);
                break;
            case kIcyTitle: {
                const QString t = p->format == MPV_FORMAT_STRING
                                      ? QString::fromUtf8(*static_cast<char**>(p->data))
                                      : QString();
                if (t != icyTitle_) {
                    icyTitle_ = t;
                    if (OnTitleChange) OnTitleChange(t);
                }
                break;
            }
            case kIcyName:
                icyName_ = p->format == MPV_FORMAT_STRING
                               ? QString::fromUtf8(*static_cast<char**>(p->data))
                               : QString();
                break;
            case kAudioCodec:
                audioCodec_ = p->format == MPV_FORMAT_STRING
                                  ? QString::fromUtf8(*static_cast<char**>(p->data))
                                  : QString();
                break;
            case kMediaTitle:
                mediaTitle_ = p->format == MPV_FORMAT_STRING
                                  ? QString::fromUtf8(*static_cast<char**>(p->data))
                                  : QString();
                break;
            }
            break;
        }
        default:
            break;
        }
        if (!mpv_) break;
        if (loaded_) setState(paused_ ? psPaused : waiting_ ? psBuffering : psPlaying);
    }
}
