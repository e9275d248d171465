#include "player_main.h"
#include "config.h"
#include "customserver.h"
#include "debuglog.h"
#include "dialogs.h"
#include "netutils.h"
#include "platform.h"
#include "productprofile.h"
#include "skins.h"
#include "songnotifier.h"
#include "waveout.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLayout>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <cmath>

#include <xcb/xcb.h>

namespace {
Tplayer_form* g_player = nullptr;
constexpr int kFloatWidth = 600, kFloatHeight = 53, kDockedThickness = 30;
constexpr int WM_PLAYER_STOP = 1000; // WM_USER + 1000: stop, posted by the players
} // namespace

Tplayer_form* PlayerForm()
{
    return g_player;
}

// ---------------------------------------------------------------------------------------
// Bitmap-font display

TBitmapText::TBitmapText(int lines, QWidget* parent) : QWidget(parent), lines_(lines)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void TBitmapText::setValue(const QString& value)
{
    if (value == value_) return;
    value_ = value;
    update();
}

void TBitmapText::setFont(const QImage& picture, int cellWidth, int cellHeight,
                          const QString& chars)
{
    font_ = picture.convertToFormat(QImage::Format_RGB32);
    cw_ = cellWidth;
    ch_ = cellHeight;
    chars_ = chars;
    // The display's background is the colour of the font picture's bottom-left pixel.
    if (!font_.isNull()) bg_ = font_.pixelColor(0, font_.height() - 1);
    updateGeometry();
    update();
}

QSize TBitmapText::sizeHint() const
{
    return {cw_ * 5 + 4, ch_ * lines_ + 4};
}

void TBitmapText::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.fillRect(rect(), bg_);
    const QStringList lines = value_.split('\r');
    const int top = (height() - ch_ * lines_) / 2;
    for (int l = 0; l < lines_ && l < lines.size(); ++l) {
        int x = 2;
        for (QChar c : lines[l]) {
            if (x >= width()) break;
            int i = chars_.indexOf(c);
            if (i < 0) i = chars_.indexOf(c.toUpper());
            if (i < 0) i = chars_.indexOf(' ');
            if (i >= 0 && !font_.isNull())
                p.drawImage(QPoint(x, top + l * ch_), font_, QRect(i * cw_, 0, cw_, ch_));
            x += cw_;
        }
    }
}

// ---------------------------------------------------------------------------------------
// Glyph buttons and the slider

TGlyphButton::TGlyphButton(QWidget* parent) : QAbstractButton(parent)
{
    setFocusPolicy(Qt::NoFocus);
    setCursor(Qt::PointingHandCursor);
}

void TGlyphButton::setGlyph(const QPixmap& strip, int states)
{
    states_.clear();
    if (strip.isNull() || states <= 0) return;
    const int w = strip.width() / states;
    for (int i = 0; i < states; ++i)
        states_ << strip.copy(i * w, 0, w, strip.height());
    setFixedSize(states_.first().size());
    update();
}

QSize TGlyphButton::sizeHint() const
{
    return states_.isEmpty() ? QSize(20, 20) : states_.first().size();
}

void TGlyphButton::paintEvent(QPaintEvent*)
{
    if (states_.isEmpty()) return;
    QPainter p(this);
    // Two states: up, down. Four: up, down, and the same for the checked toggle.
    int i = isDown() ? 1 : 0;
    if (states_.size() >= 4 && isChecked()) i += 2;
    if (i >= states_.size()) i = 0;
    p.drawPixmap(0, 0, states_[i]);
    if (!isEnabled()) p.fillRect(rect(), QColor(0, 0, 0, 120));
}

TPictureSlider::TPictureSlider(QWidget* parent) : QWidget(parent)
{
    setCursor(Qt::PointingHandCursor);
}

void TPictureSlider::setPictures(const QPixmap& rail, const QPixmap& thumb)
{
    rail_ = rail;
    thumb_ = thumb;
    setFixedHeight(std::max(rail.height(), thumb.height()));
    update();
}

QSize TPictureSlider::sizeHint() const
{
    return {80, std::max(16, rail_.height())};
}

void TPictureSlider::setPosition(int p)
{
    p = std::clamp(p, 0, max_);
    if (p == pos_) return;
    pos_ = p;
    update();
    emit changed(pos_);
}

int TPictureSlider::fromX(int x) const
{
    const int span = std::max(1, width() - thumb_.width());
    return int(std::lround(double(x - thumb_.width() / 2) * max_ / span));
}

void TPictureSlider::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    if (!rail_.isNull())
        p.drawPixmap(QRect(0, (height() - rail_.height()) / 2, width(), rail_.height()), rail_);
    const int span = std::max(0, width() - thumb_.width());
    p.drawPixmap(span * pos_ / std::max(1, max_), (height() - thumb_.height()) / 2, thumb_);
}

void TPictureSlider::mousePressEvent(QMouseEvent* e)
{
    setPosition(fromX(int(e->position().x())));
}
void TPictureSlider::mouseMoveEvent(QMouseEvent* e)
{
    if (e->buttons() & Qt::LeftButton) setPosition(fromX(int(e->position().x())));
}
void TPictureSlider::wheelEvent(QWheelEvent* e)
{
    setPosition(pos_ + (e->angleDelta().y() > 0 ? 5 : -5));
}

// The record button in every skin: a dot the size of the stop button, grey while off and
// red while recording, drawn on the bar's colour. Up, down, and the same when checked.
static QPixmap RecordGlyph(QSize size, const QColor& bar)
{
    if (size.isEmpty()) size = QSize(20, 20);
    QPixmap strip(size.width() * 4, size.height());
    strip.fill(Qt::transparent);
    QPainter p(&strip);
    p.setRenderHint(QPainter::Antialiasing);
    const bool darkBar = bar.lightness() < 128;
    for (int i = 0; i < 4; ++i) {
        const bool down = i % 2 == 1, on = i >= 2;
        const int d = std::max(6, std::min(size.width(), size.height()) - 6);
        QRectF dot(i * size.width() + (size.width() - d) / 2.0 + (down ? 1 : 0),
                   (size.height() - d) / 2.0 + (down ? 1 : 0), d, d);
        const QColor ring = darkBar ? QColor(200, 200, 200) : QColor(60, 60, 60);
        p.setPen(QPen(on ? QColor(255, 220, 220) : ring, 1.5));
        p.setBrush(on ? QColor(230, 20, 20)
                      : (darkBar ? QColor(90, 90, 90) : QColor(150, 150, 150)));
        p.drawEllipse(dot);
    }
    return strip;
}

// ---------------------------------------------------------------------------------------
// The bar

Tplayer_form::Tplayer_form(QWidget* parent)
    : QWidget(parent), stream_(std::make_unique<TStreamPlayer>())
{
    g_player = this;
    setObjectName("player_form");
    setWindowTitle("Dialwise Player");
    setWindowFlags(Qt::Tool | Qt::WindowStaysOnTopHint);
    setFont(QFont("Arial", 8));
    setFocusPolicy(Qt::ClickFocus);

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(2, 3, 2, 1);
    row->setSpacing(3);
    tunelane_butt = new QToolButton(this);
    tunelane_butt->setObjectName("tunelane_butt");
    tunelane_butt->setText("Dialwise");
    tunelane_butt->setFixedSize(89, 24);
    tunelane_butt->setAutoRaise(true);
    tunelane_butt->setFocusPolicy(Qt::NoFocus);
    tunelane_butt->setToolTip("Visit the Dialwise web site");
    QFont lf("Arial", 10, QFont::Bold);
    lf.setItalic(true);
    tunelane_butt->setFont(lf);
    playpause_butt = new TGlyphButton(this);
    playpause_butt->setObjectName("playpause_butt");
    playpause_butt->setCheckable(true);
    playpause_butt->setToolTip("Play / Pause");
    stop_butt = new TGlyphButton(this);
    stop_butt->setObjectName("stop_butt");
    stop_butt->setToolTip("Stop");
    titles = new TBitmapText(2, this);
    titles->setObjectName("titles");
    titles->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    digits = new TBitmapText(1, this);
    digits->setObjectName("digits");
    digits->setValue(" 0:00");
    volumeImage = new QLabel(this);
    volumeImage->setObjectName("volumeImage");
    volumeImage->setFixedSize(16, 16);
    TrackBar1 = new TPictureSlider(this);
    TrackBar1->setObjectName("TrackBar1");
    TrackBar1->setFixedWidth(80);
    TrackBar1->setToolTip("Volume");
    buycd_butt = new TGlyphButton(this);
    buycd_butt->setObjectName("buycd_butt");
    buycd_butt->setEnabled(false);
    buycd_butt->setToolTip("Buy the CD containing the current track on this server");
    record_butt = new TGlyphButton(this);
    record_butt->setObjectName("record_butt");
    record_butt->setCheckable(true);
    record_butt->setEnabled(false);
    record_butt->setToolTip("Record what plays");
    Record1 = new QAction("Record", this);
    Record1->setObjectName("Record1");
    Record1->setCheckable(true);
    Record1->setEnabled(false);
    addAction(Record1);
    setContextMenuPolicy(Qt::ActionsContextMenu);
    minmax_butt = new TGlyphButton(this);
    minmax_butt->setObjectName("minmax_butt");
    minmax_butt->setCheckable(true);
    row->addWidget(tunelane_butt);
    row->addWidget(playpause_butt);
    row->addWidget(stop_butt);
    row->addWidget(record_butt);
    row->addWidget(titles, 1);
    row->addWidget(digits);
    row->addWidget(volumeImage);
    row->addWidget(TrackBar1);
    row->addWidget(buycd_butt);
    row->addWidget(minmax_butt);

    timetimer = new QTimer(this);
    timetimer->setInterval(500);
    Notifier = new TSongNotifier(this);
    connect(timetimer, &QTimer::timeout, this, &Tplayer_form::timetimerTimer);
    connect(playpause_butt, &QAbstractButton::clicked, this, &Tplayer_form::playpause_butt_Click);
    connect(stop_butt, &QAbstractButton::clicked, this, &Tplayer_form::stop_buttClick);
    connect(minmax_butt, &QAbstractButton::clicked, this, &Tplayer_form::minmax_butt_Click);
    connect(buycd_butt, &QAbstractButton::clicked, this, &Tplayer_form::buycd_butt_Click);
    connect(tunelane_butt, &QAbstractButton::clicked, this, &Tplayer_form::tunelane_butt_Click);
    connect(TrackBar1, &TPictureSlider::changed, this, &Tplayer_form::TrackBar1Change);
    connect(record_butt, &QAbstractButton::clicked, this, &Tplayer_form::record_buttClick);
    connect(Record1, &QAction::triggered, this, &Tplayer_form::record_buttClick);

    // Creation.
    minmax_butt->setToolTip("Dock this bar on the Desktop");
    dotsIndex_ = 0;
    wmBlink_ = true;
    resize(kFloatWidth, kFloatHeight);
    ApplySkin();
    connect(&Skin(), &TSkin::reskinOthers, this, &Tplayer_form::ApplySkin);
    dots_ = {"   ", ".  ", ".. ", "..."};
    PlayerKind = 1;
    statusShown_ = false;
    songTitle_.clear();

    // The stream player shows through the bar.
    TStreamPlayerView& v = stream_->View;
    v.ShowStationLine = [this](const QString& t) { ShowStationLine(t); };
    v.ShowSongLine = [this](const QString& t) { ShowSongLine(t); };
    v.DrawBufferGauge = [this] { drawBufferGauge(); };
    v.Message = [this](const QString& t) {
        platform::MessageDlg(t, platform::mtInformation, platform::mbOK, {}, this);
    };
    v.ClickStop = [this] { stop_butt->click(); };
    v.BoxVisible = [this] { return boxVisible(); };
    v.ShowStatus = [this](const QString& t) { ShowSongStatus(t); };
    v.RecordingChanged = [this] { ShowRecording(); };

    // The volume of the last run.
    if (Config()) {
        bool ok = false;
        const int percent = Config()->ReadValue("playervolume").toInt(&ok);
        if (ok && percent >= 0 && percent <= 100) SetVolume(percent / 100.0);
    }
}

void Tplayer_form::RestorePlace()
{
    // On the desktop edge when the last run left it there.
    if (docked_ && Config() && Config()->ReadValue("playerplace") == "desktop") {
        minmax_butt->setChecked(true);
        minmax_butt_Click();
    }
}

Tplayer_form::~Tplayer_form()
{
    stream_->View = {}; // what it still tells while it goes finds no bar
    timetimer->stop();
    OtherPlayers.clear();
    if (g_player == this) g_player = nullptr;
}

void Tplayer_form::ApplySkin()
{
    TSkin& s = Skin();
    QPalette pal = palette();
    pal.setColor(QPalette::Window, s.Colors().Player);
    pal.setColor(QPalette::WindowText, s.Colors().PlayerFont);
    pal.setColor(QPalette::ButtonText, s.Colors().PlayerFont);
    setPalette(pal);
    setAutoFillBackground(true);
    playpause_butt->setGlyph(s.Picture(skinpic::PbtnPause), 4);
    stop_butt->setGlyph(s.Picture(skinpic::PbtnStop), 1);
    buycd_butt->setGlyph(s.Picture(skinpic::PbtnBuyNow), 2);
    minmax_butt->setGlyph(s.Picture(skinpic::PbtnDock), 4);
    record_butt->setGlyph(RecordGlyph(s.Picture(skinpic::PbtnStop).size(), s.Colors().Player), 4);
    TrackBar1->setPictures(s.Picture(skinpic::PbtnRuler), s.Picture(skinpic::PbtnThumb));
    volumeImage->setPixmap(s.Picture(skinpic::PbtnVolume));
    const TBitmapFontLayout st = SongTextLayout(), dg = DigitsLayout();
    titles->setFont(s.Image(skinpic::SongText), st.CellWidth, st.CellHeight, st.Chars);
    digits->setFont(s.Image(skinpic::Digits), dg.CellWidth, dg.CellHeight, dg.Chars);
    titles->setFixedHeight(st.CellHeight * 2 + 2);
    digits->setFixedSize(dg.CellWidth * 5 + 4, dg.CellHeight + 2);
    update();
}

// --- display lines ------------------------------------------------------------------------

void Tplayer_form::showTitles()
{
    titles->setValue(displayed_);
    titles->setToolTip(displayed_);
}

void Tplayer_form::ShowStationLine(const QString& text)
{
    if (text == firstLine_) return;
    firstLine_ = text;
    displayed_ =
        (text.isEmpty() ? QString("SERVER NAME: [NONE]") : text) + "\r" + "SONG: " + songTitle_;
    showTitles();
}

void Tplayer_form::ShowSongLine(const QString& title)
{
    if (title == songTitle_ && !statusShown_) return;
    const bool changed = title != songTitle_;
    songTitle_ = title;
    statusShown_ = false;
    if (changed && Notifier)
        Notifier->SongChanged(stationName_.isEmpty() ? firstLine_ : stationName_, title,
                              QFileInfo(stationIcon_).isFile() ? stationIcon_ : QString());
    displayed_ = firstLine_ + "\r" + "SONG: " + title;
    showTitles();
    buycd_butt->setEnabled(!title.isEmpty());
}

void Tplayer_form::ShowSongStatus(const QString& text)
{
    displayed_ = firstLine_ + "\r" + "SONG: " + text;
    showTitles();
    statusShown_ = true;
}

void Tplayer_form::ShowConnecting()
{
    if (dotsIndex_ < 0 || dotsIndex_ > 3) dotsIndex_ = 0;
    displayed_ = firstLine_ + "\r" + "SONG: CONNECTING" + dots_.value(dotsIndex_);
    showTitles();
    statusShown_ = true;
    ++dotsIndex_;
}

void Tplayer_form::ShowBuffering(int percent, const QString& title)
{
    if (percent < 0)
        displayed_ = firstLine_ + "\r" + "SONG: [BUFFERING] " + title;
    else
        displayed_ =
            firstLine_ + "\r" + QString::asprintf("SONG: [BUFFERING %d%%] ", percent) + title;
    showTitles();
    statusShown_ = true;
}

QString Tplayer_form::TimeText(qint64 seconds)
{
    qint64 r = seconds % 3600; // hours are dropped
    QString s;
    if (r < 0) {
        s = "-";
        r = -r;
    }
    s += QString::number(r / 60) + ":" + (r % 60 < 10 ? "0" : "") + QString::number(r % 60);
    if (s.size() < 5) s.prepend(' ');
    return s;
}

void Tplayer_form::ShowTime(qint64 seconds)
{
    const QString t = TimeText(seconds);
    if (digits->value() != t) digits->setValue(t);
}

// --- starting and stopping ------------------------------------------------------------

void Tplayer_form::StartStation(TCustomServer* station)
{
    const auto* sc = dynamic_cast<const TSCServer*>(station);
    dotsIndex_ = 0;
    stationIcon_ = Host.StationIcon ? Host.StationIcon(station) : QString();
    ShowStationLine(station->Name);
    stationName_ = station->Name;
    ShowSongLine(sc ? sc->SongTitle : QString());
    ShowConnecting();
    ShowTime(0);
    playpause_butt->setChecked(false);
    stationUrl_ = "http://" + station->Address + ":" + station->Port +
                  (station->Port.contains('/') ? "" : "/");
    const QString full =
        sc && !sc->StreamURL.isEmpty() && PlayerKind != 1 ? sc->StreamURL : stationUrl_;
    DebugLog("player_main: " + full);
    last_.Name = station->Name;
    last_.Address = station->Address;
    last_.Port = station->Port;
    last_.StreamURL = sc ? sc->StreamURL : QString();
    last_.Kind = sc ? sc->PlayerKind : PlayerKind;
    last_.Save();
    startedAt_.start();
    if (PlayerKind == 1) {
        stream_->NotifyWindow = Host.NotifyWindow;
        stream_->BufferKB = Config() ? Config()->StreamBufferKB() : 32;
        // Errors of starting the request go to the caller.
        stream_->Start(stationUrl_, stationName_);
        timetimer->start();
        return;
    }
    auto it = OtherPlayers.find(PlayerKind);
    if (it != OtherPlayers.end() && it->second) it->second->Start(station);
    timetimer->start();
}

bool Tplayer_form::boxVisible() const
{
    return Host.PlayerBox ? Host.PlayerBox->isVisible() : isVisible();
}

void Tplayer_form::stop_buttClick()
{
    if (Host.PlayerBox) Host.PlayerBox->hide();
    timetimer->stop();
    if (PlayerKind == 1) {
        stream_->Stop();
    } else {
        auto it = OtherPlayers.find(PlayerKind);
        if (it != OtherPlayers.end() && it->second) it->second->Stop();
    }
    ShowRecording();
    drawBufferGauge();
    // From the desktop the bar goes back into the main window.
    if (!docked_ && (edge_ == abeTop || edge_ == abeBottom)) {
        minmax_butt->setChecked(true);
        minmax_butt_Click();
        minmax_butt->setChecked(false);
    }
}

void Tplayer_form::playpause_butt_Click()
{
    const bool paused = playpause_butt->isChecked();
    if (PlayerKind == 1) {
        stream_->SetPaused(paused);
        return;
    }
    auto it = OtherPlayers.find(PlayerKind);
    if (it == OtherPlayers.end() || !it->second || !it->second->PlayPause(paused)) {
        // Not there: the toggle is undone.
        playpause_butt->setChecked(!paused);
    }
}

TOtherPlayer* Tplayer_form::otherPlayer() const
{
    if (PlayerKind == 1) return nullptr;
    auto it = OtherPlayers.find(PlayerKind);
    return it != OtherPlayers.end() ? it->second.get() : nullptr;
}

void Tplayer_form::record_buttClick(bool on)
{
    TOtherPlayer* other = otherPlayer();
    const bool recording = other ? other->Recording() : stream_->Recording();
    if (on && (PlayerKind == 1 || other) && !recording) {
        const QString folder = Config() ? Config()->RecordFolder() : DefaultRecordFolder();
        QString why;
        if (!(other ? other->StartRecording(folder, &why)
                    : stream_->StartRecording(folder, &why))) {
            ShowRecording();
            platform::MessageDlg("Recording could not start: " + why, platform::mtWarning,
                                 platform::mbOK, {}, this);
            return;
        }
        DebugLog("player_main: recording to " + folder);
    } else if (!on) {
        if (other)
            other->StopRecording();
        else
            stream_->StopRecording();
    }
    ShowRecording();
}

void Tplayer_form::ShowRecording()
{
    TOtherPlayer* other = otherPlayer();
    const bool on = other ? other->Recording() : PlayerKind == 1 && stream_->Recording();
    record_butt->setChecked(on);
    Record1->setChecked(on);
    const bool ready = other ? other->CanRecord() : PlayerKind == 1 && stream_->CanRecord();
    const bool can = on || (timetimer->isActive() && ready);
    record_butt->setEnabled(can);
    Record1->setEnabled(can);
    record_butt->setToolTip(on ? "Recording: click to stop" : "Record what plays");
}

void Tplayer_form::WaveMessage(int msg, qintptr, qintptr lParam)
{
    stream_->WaveMessage(msg, reinterpret_cast<platform::WAVEHDR*>(lParam));
}

bool Tplayer_form::event(QEvent* e)
{
    if (e->type() == platform::MessageType(WM_PLAYER_STOP)) {
        stop_butt->click();
        return true;
    }
    if (e->type() == platform::MessageType(platform::MM_WOM_DONE) ||
        e->type() == platform::MessageType(platform::MM_WOM_OPEN) ||
        e->type() == platform::MessageType(platform::MM_WOM_CLOSE) ||
        e->type() == platform::MessageType(platform::MM_WOM_ERROR)) {
        auto* m = static_cast<platform::TWindowMessage*>(e);
        WaveMessage(m->Msg, m->WParam, m->LParam);
        return true;
    }
    return QWidget::event(e);
}

// --- the timer, volume, gauge ---------------------------------------------------------

void Tplayer_form::timetimerTimer()
{
    if (!boxVisible() && docked_) return;
    try {
        // The slider follows the program's volume.
        quint32 vol = 0;
        platform::waveOutGetVolume(nullptr, &vol);
        const int louder = int(std::max(vol & 0xFFFF, vol >> 16));
        {
            const QSignalBlocker b(TrackBar1);
            TrackBar1->setPosition(louder * TrackBar1->maximum() / 65535);
        }
        ShowRecording();
        if (PlayerKind == 1) {
            const qint32 length = stream_->SongLength();
            if (length > 0) {
                const qint64 elapsed = stream_->SongElapsed();
                if (length > elapsed)
                    ShowTime(elapsed - length);
                else
                    ShowTime(0);
            }
        } else {
            auto it = OtherPlayers.find(PlayerKind);
            if (it != OtherPlayers.end() && it->second) it->second->Tick();
        }
    } catch (const std::exception&) {
        platform::PostMessage(this, WM_PLAYER_STOP);
        platform::MessageDlg("Dialwise was not able to connect to that station.\r\n"
                             "The following error was reported:\r\nTimer failed",
                             platform::mtWarning, platform::mbOK, {}, this);
    }
}

bool Tplayer_form::Active() const
{
    return boxVisible() && timetimer->isActive();
}

qint64 Tplayer_form::PositionUs() const
{
    if (!Active() || !startedAt_.isValid()) return 0;
    if (PlayerKind == 1) {
        const qint64 song = stream_->SongElapsedMs();
        return (song >= 0 ? song : startedAt_.elapsed()) * 1000;
    }
    auto it = OtherPlayers.find(PlayerKind);
    const qint64 ms = it != OtherPlayers.end() && it->second ? it->second->PositionMs() : -1;
    return (ms >= 0 ? ms : startedAt_.elapsed()) * 1000;
}

void Tplayer_form::SetVolume(double v)
{
    v = std::clamp(v, 0.0, 1.0);
    {
        const QSignalBlocker b(TrackBar1);
        TrackBar1->setPosition(int(std::lround(v * TrackBar1->maximum())));
    }
    applyVolume(quint32(std::lround(v * 65535)));
}

void Tplayer_form::applyVolume(quint32 v)
{
    platform::waveOutSetVolume(nullptr, v | (v << 16));
    if (Config())
        Config()->WriteValue("playervolume", QString::number(std::lround(v * 100.0 / 65535)));
    // The players on the embedded engine follow the same volume.
    for (auto& [kind, player] : OtherPlayers)
        if (player) player->SetVolume(int(std::lround(v * 100.0 / 65535)));
}

void Tplayer_form::TrackBar1Change()
{
    const quint32 v =
        quint32(std::lround(double(TrackBar1->position()) / TrackBar1->maximum() * 65535));
    applyVolume(v);
}

int Tplayer_form::GaugeWidth() const
{
    return std::min(60, 4 * TStreamPlayer::QueuedBuffers());
}

QColor Tplayer_form::GaugeColor() const
{
    const int n = TStreamPlayer::QueuedBuffers();
    if (n < 5) return Qt::red;
    if (n <= 8) return Qt::yellow;
    return QColor(0, 255, 0); // lime
}

void Tplayer_form::drawBufferGauge()
{
    update(QRect(titles->x(), 0, 70, 2));
}

void Tplayer_form::paintEvent(QPaintEvent* e)
{
    QWidget::paintEvent(e);
    QPainter p(this);
    // A strip of 70 pixels along the top edge from the left of the titles.
    const int x = titles->x();
    p.fillRect(QRect(x, 0, 70, 2), palette().color(QPalette::Window));
    if (PlayerKind == 1) p.fillRect(QRect(x, 0, GaugeWidth(), 2), GaugeColor());
}

void Tplayer_form::resizeEvent(QResizeEvent* e)
{
    // The titles reach the digits (the layout widens them).
    QWidget::resizeEvent(e);
}

// --- Buy CD and the logo ----------------------------------------------------------------

void Tplayer_form::buycd_butt_Click()
{
    QString url = Config() ? Config()->Link("buycd").Url : QString();
    const QString song = Host.FixSongName ? Host.FixSongName(songTitle_) : songTitle_;
    const int at = url.indexOf("%CD%");
    if (at >= 0)
        url.replace(at, 4, song);
    else
        url += song;
    OpenRedirect(url, Profile().ProductNumber, raPlayerBuyCD);
}

void Tplayer_form::tunelane_butt_Click()
{
    OpenRedirect(Profile().WebSite, Profile().ProductNumber, raPlayerLogo);
}

// --- docking -------------------------------------------------------------------------------

void Tplayer_form::DockInto(QWidget* box)
{
    box_ = box;
    SetEdge(abeUnknown);
    setMinimumSize(0, 0);
    setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    if (box) {
        setParent(box, Qt::Widget);
        if (!box->layout()) {
            auto* l = new QVBoxLayout(box);
            l->setContentsMargins(0, 0, 0, 0);
        }
        box->layout()->addWidget(this);
        move(0, 0);
        resize(box->width(), 50);
    }
    docked_ = box != nullptr;
    SetEdge(abeUnknown);
    show();
}

void Tplayer_form::minmax_butt_Click()
{
    if (docked_) {
        minmax_butt->setToolTip("Undock this bar from the Desktop");
        if (box_ && box_->layout()) box_->layout()->removeWidget(this);
        setParent(nullptr, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::FramelessWindowHint);
        docked_ = false;
        if (Config() && Config()->Checked("use_taskbar") && Host.SetTrayIcon)
            Host.SetTrayIcon(false);
        const QString e = Config() ? Config()->ReadValue("playeredge") : QString();
        SetEdge(e == "t" ? abeTop : abeBottom);
        show();
        raise();
        if (Host.HideMainWindow) Host.HideMainWindow();
    } else {
        minmax_butt->setToolTip("Dock this bar on the Desktop");
        if (Host.ShowMainWindow) Host.ShowMainWindow();
        SetEdge(abeUnknown);
        DockInto(box_ ? box_.data() : Host.PlayerBox.data());
        if (Config() && Config()->Checked("use_taskbar") && Host.SetTrayIcon)
            Host.SetTrayIcon(true);
        SetEdge(abeUnknown);
        move(0, 0);
        if (box_) resize(box_->width(), box_->height() + 2);
    }
    minmax_butt->setChecked(!docked_);
    if (Config()) Config()->WriteValue("playerplace", docked_ ? "box" : "desktop");
}

void Tplayer_form::SetEdge(TAppBarEdge e)
{
    if (e == abeLeft || e == abeRight) return; // not allowed
    const TAppBarEdge old = edge_;
    edge_ = e;
    applyDesktopEdge();
    if (old != e) EdgeChanged();
}

void Tplayer_form::EdgeChanged()
{
    if (Config()) {
        if (edge_ == abeTop) Config()->WriteValue("playeredge", "t");
        if (edge_ == abeBottom) Config()->WriteValue("playeredge", "b");
    }
    if (!docked_) setWindowFlag(Qt::WindowStaysOnTopHint, true);
}

void Tplayer_form::applyDesktopEdge()
{
    if (docked_ || !isWindow()) return;
    QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    const QRect g = screen ? screen->geometry() : QRect(0, 0, 1024, 768);
    if (edge_ == abeTop || edge_ == abeBottom) {
        setMinimumSize(0, 0);
        setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
        const QRect r(g.left(), edge_ == abeTop ? g.top() : g.bottom() - kDockedThickness + 1,
                      g.width(), kDockedThickness);
        setGeometry(r);
        setFixedSize(r.size());
        setStrut(true);
    } else if (edge_ == abeFloat) {
        setStrut(false);
        setFixedSize(kFloatWidth, kFloatHeight);
    } else {
        setStrut(false);
    }
}

// The strip along the edge is reserved for the bar: a dock window with a partial strut.
void Tplayer_form::setStrut(bool on)
{
    auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11 || !x11->connection()) return;
    if (on) winId(); // make sure the native window exists
    if (!testAttribute(Qt::WA_WState_Created)) return;
    xcb_connection_t* c = x11->connection();
    auto atom = [c](const char* name) {
        xcb_intern_atom_reply_t* r =
            xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(strlen(name)), name), nullptr);
        const xcb_atom_t a = r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
        free(r);
        return a;
    };
    const auto w = xcb_window_t(winId());
    const xcb_atom_t strut = atom("_NET_WM_STRUT_PARTIAL"), strut1 = atom("_NET_WM_STRUT");
    if (!on) {
        xcb_delete_property(c, w, strut);
        xcb_delete_property(c, w, strut1);
        xcb_flush(c);
        return;
    }
    const xcb_atom_t type = atom("_NET_WM_WINDOW_TYPE"), dock = atom("_NET_WM_WINDOW_TYPE_DOCK");
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, type, XCB_ATOM_ATOM, 32, 1, &dock);
    const QRect g = geometry();
    // left, right, top, bottom, then the start and end of each.
    uint32_t v[12] = {};
    if (edge_ == abeTop) {
        v[2] = uint32_t(g.bottom() + 1);
        v[8] = uint32_t(g.left());
        v[9] = uint32_t(g.right());
    } else {
        const QRect s = screen() ? screen()->geometry() : g;
        v[3] = uint32_t(s.bottom() + 1 - g.top());
        v[10] = uint32_t(g.left());
        v[11] = uint32_t(g.right());
    }
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, strut, XCB_ATOM_CARDINAL, 32, 12, v);
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, strut1, XCB_ATOM_CARDINAL, 32, 4, v);
    xcb_flush(c);
}

void Tplayer_form::closeEvent(QCloseEvent* e)
{
    // Closing never destroys the bar: it goes back into the main window.
    e->ignore();
    if (!docked_) {
        minmax_butt->setChecked(true);
        minmax_butt_Click();
        minmax_butt->setChecked(false);
    }
}

void Tplayer_form::keepOnScreen()
{
    if (!isWindow()) return;
    QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen();
    if (!s) return;
    const QRect d = s->virtualGeometry();
    if (x() > d.right()) move(d.width() - 25, y());
    if (x() + width() < d.left()) move(d.left() + 25 - width(), y());
}

void Tplayer_form::focusInEvent(QFocusEvent* e)
{
    keepOnScreen();
    QWidget::focusInEvent(e);
}
