#include "streamplayer.h"
#include "debuglog.h"
#include "httpprot.h"
#include "netconfig.h"
#include "platform.h"
#include "recordfiles.h"
#include "streamproto.h"

#include <QCoreApplication>
#include <QFile>
#include <QUrl>
#include <cstring>
#include <utility>

using namespace platform;

namespace {
// Buffers handed to the device and not yet returned, and their bytes.
int g_bufferCount = 0;
qint64 g_bufferBytes = 0;

quint32 rd32(const char* p)
{
    return quint32(quint8(p[0])) | (quint32(quint8(p[1])) << 8) | (quint32(quint8(p[2])) << 16) |
           (quint32(quint8(p[3])) << 24);
}
} // namespace

TStreamPlayer::TStreamPlayer(QObject* parent)
    : QObject(parent), mclient_(std::make_unique<THttpCli>())
{
    mclient_->OnHeaderEnd = [this](THttpCli*) { mclientHeaderEnd(); };
    mclient_->OnDocData = [this](THttpCli*, const char* d, int n) { mclientDocData(d, n); };
    mclient_->OnStateChange = [this](THttpCli*) { mclientStateChange(); };
    retry_.setSingleShot(true);
    retry_.setTimerType(Qt::PreciseTimer);
    idle_.setSingleShot(true);
    idle_.setInterval(InactivityMs);
    connect(&retry_, &QTimer::timeout, this, [this] {
        if (!active_) return;
        try {
            Connect();
        } catch (const std::exception& e) {
            DebugLog(QString("player_main: reconnecting failed: ") + e.what(), dcErrOut);
            ScheduleReconnect();
        }
    });
    connect(&idle_, &QTimer::timeout, this, &TStreamPlayer::Inactive);
}

TStreamPlayer::~TStreamPlayer()
{
    mclient_->OnStateChange = nullptr;
    mclient_->OnHeaderEnd = nullptr;
    mclient_->OnDocData = nullptr;
    mclient_->Abort();
    if (hWaveOut_) {
        waveOutReset(hWaveOut_);
        waveOutClose(hWaveOut_);
        hWaveOut_ = nullptr;
    }
    // Buffers whose return is still on its way are freed here; their messages find
    // nobody who knows them.
    for (WAVEHDR* h : outstanding_) {
        --g_bufferCount;
        g_bufferBytes -= h->dwBufferLength;
        delete[] h->lpData;
        delete h;
    }
    for (WAVEHDR* h : returned_)
        delete h;
}

int TStreamPlayer::QueuedBuffers()
{
    return g_bufferCount;
}
qint64 TStreamPlayer::QueuedBytes()
{
    return g_bufferBytes;
}

int TStreamPlayer::BufferLimit() const
{
    return std::max(4 * BufferKB * 1024, 2 * streamproto::MaxPayload);
}

qint64 TStreamPlayer::QueueByteLimit() const
{
    const qint64 perSec = bytesPerSec_ > 0 ? bytesPerSec_ : 176400;
    return std::max<qint64>(5 * perSec, 256 * 1024);
}

qint64 TStreamPlayer::SongElapsed() const
{
    return songTick_.isValid() ? songTick_.elapsed() / 1000 : 0;
}

void TStreamPlayer::Start(const QString& url, const QString& stationName)
{
    StopRecording(); // a recording is of one station
    stationName_ = stationName;
    paused_ = false;
    songLength_ = 0;
    songTick_.invalidate();
    lastTitle_.clear();
    url_ = url;
    active_ = true;
    heard_ = false;
    reconnecting_ = false;
    attempt_ = 0;
    retry_.stop();
    Connect();
}

void TStreamPlayer::Connect()
{
    refused_ = false;
    statusCode_ = 0;
    statusText_.clear();
    currentUrl_ = url_;
    visited_ = {url_};
    ApplyProxy(*mclient_);
    if (mclient_->State() != httpReady) {
        // The old request's end is not a drop of the new one.
        quietReady_ = true;
        mclient_->Abort();
        QCoreApplication::processEvents();
        quietReady_ = false;
    }
    mclient_->URL = url_;
    // A server that accepts and then says nothing is found out by the same clock.
    idle_.start();
    mclient_->GetAsync();
}

bool TStreamPlayer::StartRecording(const QString& folder, QString* why)
{
    if (!CanRecord()) {
        if (why) *why = "Nothing is playing";
        return false;
    }
    auto rec = std::make_unique<TRecordFiles>(folder);
    rec->SetWaveFormat(waveFormat_);
    if (!rec->Begin(stationName_, lastTitle_, "wav", false)) {
        if (why) *why = rec->Error();
        return false;
    }
    record_ = std::move(rec);
    if (View.RecordingChanged) View.RecordingChanged();
    return true;
}

void TStreamPlayer::StopRecording()
{
    if (!record_) return;
    record_.reset(); // keeps the song being written
    if (View.RecordingChanged) View.RecordingChanged();
}

bool TStreamPlayer::Recording() const
{
    return record_ && record_->Recording();
}

void TStreamPlayer::Stop()
{
    StopRecording();
    active_ = false;
    reconnecting_ = false;
    retry_.stop();
    idle_.stop();
    if (mclient_->State() != httpReady) mclient_->Abort();
    CloseDevice();
}

void TStreamPlayer::CloseDevice()
{
    // Letting messages run below may bring a stop of its own: it finds us closing.
    if (!hWaveOut_ || closing_) return;
    closing_ = true;
    ResetDevice();
    // The returned buffers' messages are taken before the device goes.
    QCoreApplication::processEvents();
    const MMRESULT r = waveOutClose(std::exchange(hWaveOut_, nullptr));
    closing_ = false;
    if (r != MMSYSERR_NOERROR) Report("WOC", r);
}

void TStreamPlayer::SetPaused(bool paused)
{
    paused_ = paused;
    if (paused) {
        if (hWaveOut_) ResetDevice();
    } else {
        playing_ = false; // buffer up to the threshold again
    }
}

void TStreamPlayer::Refuse(const QString& text)
{
    refused_ = true;
    if (reconnecting_) {
        // A failed attempt to get the stream back: the next one follows.
        DebugLog("player_main: reconnecting: " + text, dcErrOut);
        mclient_->Abort();
        return;
    }
    if (View.Message) View.Message(text);
    if (View.ClickStop) View.ClickStop();
}

bool TStreamPlayer::Redirected()
{
    // The client follows the redirect itself; the stream's own response comes after it.
    const QString location = mclient_->Location();
    const QUrl next = QUrl(currentUrl_).resolved(QUrl(location));
    const QString scheme = next.scheme().toLower();
    if (!next.isValid() || scheme != QLatin1String("http") || next.host().isEmpty()) {
        Refuse("The station sent an address this player does not follow");
        return false;
    }
    const QString key = next.toString(QUrl::NormalizePathSegments);
    if (visited_.size() > MaxRedirects || visited_.contains(key)) {
        Refuse("The station redirects too often or in a loop");
        return false;
    }
    DebugLog("player_main: redirected to " + key);
    visited_ << key;
    currentUrl_ = key;
    return true;
}

void TStreamPlayer::Inactive()
{
    if (!active_ || mclient_->State() == httpReady) return;
    DebugLog(QString("player_main: no stream data for %1 s, the connection counts as dropped")
                 .arg(InactivityMs / 1000),
             dcErrOut);
    mclient_->Abort();
}

void TStreamPlayer::ScheduleReconnect()
{
    if (!active_) return;
    if (attempt_ >= int(std::size(BackoffMs))) {
        DebugLog("player_main: the stream did not come back", dcErrOut);
        reconnecting_ = false;
        active_ = false;
        if (View.Message) View.Message("The audio server has disconnected, please try another");
        if (View.ClickStop) View.ClickStop();
        return;
    }
    reconnecting_ = true;
    if (View.ShowStatus) View.ShowStatus("Reconnecting...");
    const int wait = BackoffMs[attempt_++];
    DebugLog(
        QString("player_main: reconnecting in %1 s (attempt %2)").arg(wait / 1000).arg(attempt_));
    retry_.start(wait);
}

void TStreamPlayer::mclientHeaderEnd()
{
    if (mclient_->State() == httpWaitingHeader) {
        Redirected();
        return;
    }
    bool sawFormat = false;
    QByteArray previousFormat = waveFormat_;
    for (const QString& line : mclient_->RcvdHeader()) {
        if (streamproto::IsStatusLine(line)) {
            statusCode_ = streamproto::StatusCode(line);
            statusText_ = streamproto::StatusText(line);
            if (statusCode_ > 400) {
                QString text = statusText_;
                if (statusCode_ == 401)
                    text = "This server is not currently broadcasting\r\n" + text;
                Refuse(text);
                return;
            }
            continue;
        }
        QString name, value;
        if (!streamproto::SplitField(line, name, value)) continue;
        if (name == QLatin1String("icy-name")) {
            if (stationName_.isEmpty()) stationName_ = value;
        } else if (name == QLatin1String("icy-genre")) {
            QByteArray block;
            if (streamproto::DecodeFormat(value, block) != streamproto::fmtOk) {
                Refuse("Not a Windows Audio Server");
                return;
            }
            // A reconnect to audio of another format cannot go on in the same files.
            if (record_ && block != waveFormat_) StopRecording();
            waveFormat_ = block;
            sawFormat = true;
        }
    }
    // Without a format this is not a stream of our kind either.
    if (!sawFormat) {
        Refuse("Not a Windows Audio Server");
        return;
    }
    buffer_.clear();
    pos_ = 0;
    resync_ = true;
    playing_ = false;
    heard_ = true;
    idle_.start();
    if (reconnecting_) {
        reconnecting_ = false;
        DebugLog("player_main: the stream is back");
        if (View.ShowSongLine) View.ShowSongLine(lastTitle_);
        // The same format plays on: what is still queued is heard while the stream refills.
        if (hWaveOut_ && waveFormat_ == previousFormat) return;
    }
    if (hWaveOut_) CloseDevice();
    TWaveFormat fmt;
    bytesPerSec_ = ParseWaveFormat(waveFormat_, fmt) ? qint64(fmt.AvgBytesPerSec) : 0;
    soundLost_ = false;
    const MMRESULT r =
        waveOutOpen(&hWaveOut_, WAVE_MAPPER, waveFormat_, NotifyWindow ? NotifyWindow : this);
    if (r != MMSYSERR_NOERROR) {
        hWaveOut_ = nullptr;
        Report("WOO", r);
    }
}

void TStreamPlayer::mclientDocData(const char* data, int len)
{
    if (refused_ || len <= 0) return;
    if (active_) idle_.start();
    // Audio again: the next drop gets the whole series of attempts.
    attempt_ = 0;
    if (resync_) {
        const int at = streamproto::FindSync(data, len);
        if (at < 0) return;
        data += at;
        len -= at;
        resync_ = false;
    }
    buffer_.append(data, len);
    if (BufferedBytes() > BufferLimit()) {
        // Nothing takes the data out (a packet that never completes): start over.
        DebugLog("player_main: stream buffer over its limit, resynchronising", dcErrOut);
        buffer_.clear();
        pos_ = 0;
        resync_ = true;
        return;
    }
    if (BufferedBytes() > 8) FeedStream();
}

void TStreamPlayer::FeedStream()
{
    if (!playing_) {
        const int threshold = BufferKB * 1024;
        if (BufferedBytes() <= threshold) {
            if (View.ShowStationLine)
                View.ShowStationLine(
                    QString::asprintf("Buffering %d of %d...", BufferedBytes(), threshold));
            return;
        }
        if (View.ShowStationLine) View.ShowStationLine(stationName_);
        playing_ = true;
    }
    ProcessStream();
}

void TStreamPlayer::ProcessStream()
{
    QByteArray audio;
    bool lost = false;
    while (BufferedBytes() > 8) {
        const char* p = buffer_.constData() + pos_;
        if (rd32(p) != streamproto::SyncWord) {
            lost = true;
            break;
        }
        const qint32 length = qint32(rd32(p + 4));
        if (length < 0 || length > streamproto::MaxPayload) {
            DebugLog(QString("player_main: packet length %1 refused, resynchronising").arg(length),
                     dcErrOut);
            lost = true;
            break;
        }
        if (BufferedBytes() < 8 + length) break;
        const char* payload = p + 8;
        pos_ += 8 + length;
        if (streamproto::IsMetadata(payload, length)) {
            const streamproto::TMetadata m = streamproto::ParseMetadata(payload, length);
            songLength_ = m.SongLength;
            songTick_.start();
            if (record_ && m.Title != lastTitle_ &&
                !record_->Begin(stationName_, m.Title, "wav", true)) {
                const QString why = record_->Error();
                StopRecording();
                if (View.Message) View.Message(why);
            }
            lastTitle_ = m.Title;
            if (View.ShowSongLine) View.ShowSongLine(m.Title);
        } else {
            audio.append(payload, length);
        }
    }
    if (lost) {
        // Out of step: drop everything (this pass's audio too) and look for the next
        // sync word in the data to come.
        buffer_.clear();
        pos_ = 0;
        resync_ = true;
        return;
    }
    if (pos_ > 0 && (pos_ >= buffer_.size() / 2 || pos_ > 65536)) {
        buffer_.remove(0, pos_);
        pos_ = 0;
    }
    // What is heard is recorded as it came.
    if (record_ && !audio.isEmpty() && !paused_ &&
        !record_->Write(audio.constData(), audio.size())) {
        const QString why = record_->Error();
        StopRecording();
        if (View.Message) View.Message(why);
    }
    if (!audio.isEmpty() && !paused_ && hWaveOut_) {
        // A queue this long only adds delay (and holds memory): what waits is dropped
        // before the new audio goes in. Dropped first, not after the write, so that a
        // single packet above the cap (a few seconds of sound in one piece) is still
        // heard instead of being thrown away as soon as it is handed over.
        if (!outstanding_.empty() &&
            (g_bufferCount >= 200 || g_bufferBytes + audio.size() > QueueByteLimit()))
            ResetDevice();
        auto* hdr = new WAVEHDR;
        hdr->dwBufferLength = quint32(audio.size());
        hdr->lpData = new char[audio.size()];
        memcpy(hdr->lpData, audio.constData(), size_t(audio.size()));
        MMRESULT r = waveOutPrepareHeader(hWaveOut_, hdr);
        if (r != MMSYSERR_NOERROR) {
            delete[] hdr->lpData;
            delete hdr;
            Report("WOPH", r);
            return;
        }
        ++g_bufferCount;
        g_bufferBytes += hdr->dwBufferLength;
        outstanding_.insert(hdr);
        if (View.DrawBufferGauge) View.DrawBufferGauge();
        r = waveOutWrite(hWaveOut_, hdr);
        if (r != MMSYSERR_NOERROR) {
            const MMRESULT u = waveOutUnprepareHeader(hWaveOut_, hdr);
            outstanding_.erase(hdr);
            --g_bufferCount;
            g_bufferBytes -= hdr->dwBufferLength;
            delete[] hdr->lpData;
            delete hdr;
            Report("WOWrite", r);
            if (u != MMSYSERR_NOERROR) Report("WOUPH_er", u);
            return;
        }
    }
}

void TStreamPlayer::WaveMessage(int msg, WAVEHDR* hdr)
{
    if (msg == MM_WOM_DONE && hdr) WaveBufferDone(hdr);
    if (msg == MM_WOM_ERROR) {
        const auto code = MMRESULT(reinterpret_cast<quintptr>(hdr));
        if (code == MMSYSERR_NOERROR) {
            soundLost_ = false;
            DebugLog("player_main: the sound output is back");
            return;
        }
        // Told once per outage; the device plays again by itself when the server is back.
        if (soundLost_ || !hWaveOut_) return;
        soundLost_ = true;
        Report(code == MMSYSERR_NODRIVER ? "WOO" : "WOWrite", code,
               "The sound server cannot be reached (" + waveOutLastErrorDetail() +
                   "). Playback goes on as soon as it is back.");
    }
}

void TStreamPlayer::ResetDevice()
{
    const MMRESULT r = waveOutReset(hWaveOut_);
    if (r != MMSYSERR_NOERROR) {
        Report("WOR", r);
        return;
    }
    // Every buffer is back from the device now; only the messages saying so are still on
    // their way. Their audio is freed at once, so that resets in quick succession (a
    // server pushing big packets faster than they play) never hold more than the newest;
    // the headers wait for their messages, which then find nothing more to count.
    const MMRESULT u = UnprepareReturned();
    if (View.DrawBufferGauge) View.DrawBufferGauge();
    if (u != MMSYSERR_NOERROR) Report("WOUPHDone", u);
}

MMRESULT TStreamPlayer::UnprepareReturned()
{
    MMRESULT result = MMSYSERR_NOERROR;
    for (WAVEHDR* h : outstanding_) {
        const MMRESULT r = waveOutUnprepareHeader(hWaveOut_, h);
        if (r != MMSYSERR_NOERROR) result = r;
        --g_bufferCount;
        g_bufferBytes -= h->dwBufferLength;
        delete[] std::exchange(h->lpData, nullptr);
        h->dwBufferLength = 0;
        returned_.insert(h);
    }
    outstanding_.clear();
    return result;
}

void TStreamPlayer::WaveBufferDone(WAVEHDR* hdr)
{
    // Counted off and emptied by a reset already: only the header is left.
    if (returned_.erase(hdr)) {
        delete hdr;
        return;
    }
    // Only buffers of this player, each once.
    if (!outstanding_.erase(hdr)) return;
    MMRESULT r = MMSYSERR_NOERROR;
    if (hWaveOut_) r = waveOutUnprepareHeader(hWaveOut_, hdr);
    // Counted off even when the device has gone since, so that the counters stay true.
    --g_bufferCount;
    g_bufferBytes -= hdr->dwBufferLength;
    delete[] hdr->lpData;
    delete hdr;
    if (View.DrawBufferGauge) View.DrawBufferGauge();
    if (g_bufferCount <= 0) {
        g_bufferCount = 0;
        g_bufferBytes = 0;
        playing_ = false; // buffer up again before the next write
    }
    if (r != MMSYSERR_NOERROR) Report("WOUPHDone", r);
}

void TStreamPlayer::mclientStateChange()
{
    if (mclient_->State() != httpReady || quietReady_) return;
    idle_.stop();
    if (!active_) return;
    if (!View.BoxVisible || !View.BoxVisible()) return;
    // A stream that played (or an attempt to get it back) is tried again, with waits
    // growing up to the last; a station that never answered is reported at once.
    if (heard_ && (!refused_ || reconnecting_)) {
        ScheduleReconnect();
        return;
    }
    if (View.Message) View.Message("The audio server has disconnected, please try another");
    if (View.ClickStop) View.ClickStop();
}

void TStreamPlayer::Report(const QString& op, MMRESULT code, const QString& detail)
{
    QString text = waveOutGetErrorText(code).left(255);
    if (!detail.isEmpty()) text += "\r\n" + detail;
    QFile log(ProgramFolder() + "/mmrerror.txt");
    if (log.open(QIODevice::Append | QIODevice::Text))
        log.write((op + ": " + text + "\n").toLocal8Bit());
    DebugLog("player_main: " + op + ": " + text, dcErrOut);
    if (View.Message) View.Message(text);
}

bool TStreamPlayer::event(QEvent* e)
{
    if (e->type() == MessageType(MM_WOM_DONE)) {
        auto* m = static_cast<TWindowMessage*>(e);
        WaveMessage(m->Msg, reinterpret_cast<WAVEHDR*>(m->LParam));
        return true;
    }
    if (e->type() == MessageType(MM_WOM_ERROR)) {
        auto* m = static_cast<TWindowMessage*>(e);
        WaveMessage(m->Msg, reinterpret_cast<WAVEHDR*>(m->LParam));
        return true;
    }
    if (e->type() == MessageType(MM_WOM_OPEN) || e->type() == MessageType(MM_WOM_CLOSE))
        return true;
    return QObject::event(e);
}
