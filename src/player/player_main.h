#pragma once
// The player bar: the small window through which the user listens to a station. It sits
// in the main window's player box, or on the top or bottom edge of the desktop as a dock
// window that other windows keep clear of. It plays the program's own stream kind itself
// (TStreamPlayer) and hands the other kinds to a TOtherPlayer.
#include "stationrecord.h"
#include "streamplayer.h"

#include <QAbstractButton>
#include <QElapsedTimer>
#include <QPointer>
#include <QWidget>
#include <functional>
#include <map>
#include <memory>

class QLabel;
class QTimer;
class QToolButton;
class TCustomServer;
class TSongNotifier;

// A one- or two-line display drawn with a bitmap font of the skin.
class TBitmapText : public QWidget
{
    Q_OBJECT
public:
    TBitmapText(int lines, QWidget* parent = nullptr);
    // Lines separated by CR.
    void setValue(const QString& value);
    QString value() const { return value_; }
    // The font picture: one row of equal cells holding `chars` in order.
    void setFont(const QImage& picture, int cellWidth, int cellHeight, const QString& chars);
    QColor background() const { return bg_; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent*) override;

private:
    int lines_;
    QString value_;
    QImage font_;
    int cw_ = 7, ch_ = 12;
    QString chars_;
    QColor bg_ = Qt::black;
};

// A button drawn from a strip of state pictures.
class TGlyphButton : public QAbstractButton
{
    Q_OBJECT
public:
    explicit TGlyphButton(QWidget* parent = nullptr);
    // The picture holds `states` equally wide pictures side by side.
    void setGlyph(const QPixmap& strip, int states);
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QList<QPixmap> states_;
};

// A volume slider: rail and thumb pictures.
class TPictureSlider : public QWidget
{
    Q_OBJECT
public:
    explicit TPictureSlider(QWidget* parent = nullptr);
    void setPictures(const QPixmap& rail, const QPixmap& thumb);
    int position() const { return pos_; }
    int maximum() const { return max_; }
    void setPosition(int p); // emits changed() when it moves
    QSize sizeHint() const override;
signals:
    void changed(int position);

protected:
    void paintEvent(QPaintEvent*) override;
    void mousePressEvent(QMouseEvent*) override;
    void mouseMoveEvent(QMouseEvent*) override;
    void wheelEvent(QWheelEvent*) override;

private:
    int fromX(int x) const;
    QPixmap rail_, thumb_;
    int pos_ = 100, max_ = 100; // one step a percent
};

// Desktop edges of the bar.
enum TAppBarEdge
{
    abeLeft,
    abeTop,
    abeRight,
    abeBottom,
    abeUnknown,
    abeFloat
};

// What the bar needs of the main window.
struct TPlayerHost
{
    std::function<void()> LaunchLast; // plays the last station again (MPRIS Play after Stop)
    QPointer<QWidget> PlayerBox;      // the main window's player box
    QObject* NotifyWindow = nullptr;  // receives the sound device's messages
    std::function<void()> ShowMainWindow;
    std::function<void()> HideMainWindow;
    std::function<void(bool)> SetTrayIcon; // activate (true) or deactivate the tray icon
    std::function<QString(const QString&)> FixSongName;
    // Where the station's logo is kept as a picture file (it may not have arrived yet);
    // empty when the station has none. Song notifications show it.
    std::function<QString(const TCustomServer*)> StationIcon;
};

// A player the bar drives without playing itself (kinds 0, 2, 3).
class TOtherPlayer
{
public:
    virtual ~TOtherPlayer() = default;
    virtual void Start(TCustomServer* station) = 0;
    virtual void Tick() = 0;
    // False when the player is not there (the toggle is undone).
    virtual bool PlayPause(bool pause) = 0;
    virtual void Stop() = 0;
    virtual void SetVolume(int percent) { (void)percent; }
    // Playing position in milliseconds; -1 when the player does not tell.
    virtual qint64 PositionMs() const { return -1; }
    // Recording what plays into a folder, as the own stream player does; a player that
    // cannot record never can.
    virtual bool CanRecord() const { return false; }
    virtual bool StartRecording(const QString& folder, QString* why)
    {
        (void)folder;
        if (why) *why = "This player cannot record";
        return false;
    }
    virtual void StopRecording() {}
    virtual bool Recording() const { return false; }
};

class Tplayer_form : public QWidget
{
    Q_OBJECT
public:
    explicit Tplayer_form(QWidget* parent = nullptr);
    ~Tplayer_form() override;

    TPlayerHost Host;
    int PlayerKind = 1; // 0 external, 1 stream, 2 and 3 embedded
    // Players of the other kinds (owned); a kind without one does nothing.
    std::map<int, std::unique_ptr<TOtherPlayer>> OtherPlayers;

    void StartStation(TCustomServer* station);
    void stop_buttClick();
    void ApplySkin();
    // The main window hands over the sound device's messages.
    void WaveMessage(int msg, qintptr wParam, qintptr lParam);
    // Puts the bar into the player box (start-up and the dock toggle).
    void DockInto(QWidget* box);
    // Back on the desktop edge when the last run left it there (after DockInto at start).
    void RestorePlace();

    void ShowStationLine(const QString& text);
    void ShowSongLine(const QString& title);
    void ShowConnecting();
    // A status in place of the song until the next song update ("Reconnecting...").
    void ShowSongStatus(const QString& text);
    void ShowBuffering(int percent, const QString& title);
    void ShowTime(qint64 seconds);
    static QString TimeText(qint64 seconds);

    void playpause_butt_Click();
    void minmax_butt_Click();
    void buycd_butt_Click();
    void tunelane_butt_Click();
    void TrackBar1Change();
    void timetimerTimer();
    // Recording what the own stream player or the built-in player plays (the button and
    // Record1 toggle it).
    void record_buttClick(bool on);
    // The button and the menu entry show the playing player's state.
    void ShowRecording();

    // State, for the main window and tests.
    TAppBarEdge Edge() const { return edge_; }
    void SetEdge(TAppBarEdge e);
    bool Docked() const { return docked_; }
    QString SongTitle() const { return songTitle_; }
    QString FirstLine() const { return firstLine_; }
    QString StationName() const { return stationName_; }
    QString StationUrl() const { return stationUrl_; }
    // The station last started, as it can be started again (also after a restart).
    const TStationRecord& LastStation() const { return last_; }
    // Playing, paused (true) or stopped.
    bool Active() const;
    // Microseconds into what plays: the song when the stream tells songs apart, else the
    // station since it started.
    qint64 PositionUs() const;
    // Sets the volume (0..1) exactly; the slider shows the nearest step.
    void SetVolume(double v);
    TStreamPlayer& Stream() { return *stream_; }
    // The gauge as last drawn: its width in pixels and colour.
    int GaugeWidth() const;
    QColor GaugeColor() const;

    TBitmapText* titles = nullptr;
    TBitmapText* digits = nullptr;
    QToolButton* tunelane_butt = nullptr;
    TGlyphButton* playpause_butt = nullptr;
    TGlyphButton* stop_butt = nullptr;
    TGlyphButton* buycd_butt = nullptr;
    TGlyphButton* minmax_butt = nullptr;
    TGlyphButton* record_butt = nullptr;
    QAction* Record1 = nullptr; // "Record" in the bar's menu
    TPictureSlider* TrackBar1 = nullptr;
    QLabel* volumeImage = nullptr;
    QTimer* timetimer = nullptr;
    TSongNotifier* Notifier = nullptr; // desktop notifications of song changes

protected:
    void paintEvent(QPaintEvent*) override;
    void closeEvent(QCloseEvent*) override;
    void focusInEvent(QFocusEvent*) override;
    bool event(QEvent*) override;
    void resizeEvent(QResizeEvent*) override;

private:
    void showTitles();
    TOtherPlayer* otherPlayer() const; // the player of the kind playing, if not the bar's own
    void applyVolume(quint32 v);       // 0..65535 on both channels
    void drawBufferGauge();
    void EdgeChanged();
    void applyDesktopEdge();
    void setStrut(bool on);
    void keepOnScreen();
    bool boxVisible() const;

    std::unique_ptr<TStreamPlayer> stream_;
    bool statusShown_ = false;
    bool wmBlink_ = true;
    int dotsIndex_ = 0;
    QStringList dots_;
    QString stationUrl_;  // of the station last started (stations are not kept: rows own them)
    QString stationIcon_; // its logo's file, when it has one
    TStationRecord last_;
    QElapsedTimer startedAt_;
    QString firstLine_;
    QString songTitle_;
    QString stationName_;
    QString displayed_; // the value of `titles`
    TAppBarEdge edge_ = abeFloat;
    bool docked_ = false;
    QPointer<QWidget> box_;
};

// The one player bar, program-wide (nullptr before it exists).
Tplayer_form* PlayerForm();
