#pragma once
// The browser main window shared by both products. The radio product's window,
// Tvmmp3_form, derives from it and overrides some of its virtual operations.
#include "customserver.h"
#include "favorites.h"
#include "winconsole.h"

#include <QElapsedTimer>
#include <QImage>
#include <QList>
#include <QRect>
#include <QStringList>
#include <QWidget>
#include <functional>
#include <memory>
#include <vector>

class QAction;
class QFrame;
class QLabel;
class QMenu;
class QProgressBar;
class QSplitter;
class QStatusBar;
class QSystemTrayIcon;
class QTabWidget;
class QTimer;
class QToolButton;
class TBitmapCache;
class TConfig;
class TCustomServerList;
class TFindDialog;
class TServerView;
class TTitleImage;
class TBannerImage;
class TBannerFetcher;

// What the window calls in the parts that sit above it (players, chat, station pages,
// dialogs). Each part fills its entry when it is created; an empty entry does nothing.
struct TWindowHooks
{
    std::function<void(TCustomServer*)> LaunchStation;      // play the selected station
    std::function<void(const QString&)> AutoJoinChannel;    // join a chat channel
    std::function<void(TCustomServer*)> JoinServerChat;     // the station's chat channel
    std::function<void(const QString&)> ConnectStationLink; // "s..."/"w..." station links
    std::function<void()> ShowConfigDialog;                 // configure button
    std::function<void()> ShowTips;                         // help button
    std::function<void(TCustomServer*)> StationSelected;    // station pages follow
    std::function<void(const QString&)> TabChanged;         // web page of a tab
    std::function<void(TCustomServer*)> BuyCD;
    std::function<void()> JoinForums;
    std::function<bool(QString&)> AddGenreDialog;           // true with a text on OK
    std::function<void()> SendUsageReport;                  // at closing
    std::function<void()> DockPlayer;                       // first showing: the player bar docks
    std::function<void(int, qintptr, qintptr)> WaveMessage; // sound device messages
};

class Tvm_form : public QWidget, public ICommandReceiver
{
    Q_OBJECT
public:
    explicit Tvm_form(QWidget* parent = nullptr);
    ~Tvm_form() override;

    // Thrown by the library check when the program must end with an exit code.
    struct TProgramExit
    {
        int Code;
    };

    // A saved placement moved onto a present screen when its title area lies on none.
    static QRect ReachablePlacement(const QRect& saved);

    // Virtual operations, in slot order.
    virtual void SetLinkButton(QToolButton* control, const QString& record);
    virtual void ApplySkin(bool reskinOthers);
    virtual void SetupColumns();
    virtual void RefreshFavorites();
    virtual void RequestBanner();
    virtual void UpdatesComplete();
    virtual void UpdateActions();
    virtual int AddServerItem(TCustomServer* station);

    // Console commands typed into the debug console.
    void ExecuteCommand(const QStringList& words) override;

    // Handlers, named as in the window's design.
    virtual void refresh_buttClick();
    void fav_buttClick();
    void configure_buttClick();
    void help_buttClick();
    void lb1Click(QWidget* sender);
    void LaunchExecute();
    void AddtoFavoritesExecute();
    void RemoveFromFavoritesExecute();
    void RefreshSelectedExecute();
    void CopytoClipboardExecute();
    void FindExecute();
    void FindDialog1Show();
    void FindDialog1Find();
    void ServerListPopupPopup();
    void bannertimerTimer();
    void bannerLoaded(const QImage& image);
    void bannerimgClick();
    void RxTrayIcon1Click();
    void AppEvents1Minimize();
    void AppEvents1Restore();
    void min_buttClick();
    void max_buttClick();
    void close_buttClick();
    void topimageMouseDown();
    void topimageDblClick();
    void repainttimerTimer();
    void pagesChange(int index);
    void ScrollToSelection();

    // The list source's callbacks.
    void ShowStatus(int percent, const QString& text);
    void StationDone(TCustomServer* station);
    // The station source in the settings changed: the list is made anew from it and
    // refreshed; the rows shown stay until its first station arrives (for good when
    // none does).
    void StationSourceChanged();

    // Station key: the stream address for stations of another player kind, else
    // address ":" port.
    static QString StationKey(const TCustomServer* station);
    bool IsFavorite(const TCustomServer* station) const;
    void AddFavoriteKey(const QString& key);
    // The "add" action of a location link (address ":" port, whatever the type).
    void AddLinkFavorite(const QString& address, const QString& port);

    // A setting the configuration window changed that takes effect at once: "use_taskbar"
    // (the tray icon), "disablebanners" (the banner goes or comes back), "interfacestyle"
    // (the columns).
    void ApplySettingChange(const QString& control);
    // The tab area where docked windows (chat, news) become pages.
    QTabWidget* PageTabs() const { return pages; }

    TConfig* Configuration() const { return config_.get(); }
    TCustomServerList* ServerList() const { return serverList_.get(); }
    bool Shown() const { return shown_; }
    bool IsMaximized() const { return Maximized; }
    bool IsUpdating() const { return Updating; }
    QStringList FavoritesList() const { return Favorites.Keys(); }
    qint64 ActiveMilliseconds() const;

    TWindowHooks Hooks;

    // Controls, named as in the window's design, that other parts reach (pages, player
    // bar, chat).
    QToolButton* close_butt = nullptr;
    QToolButton* fav_butt = nullptr;
    TServerView* serverview = nullptr;
    QProgressBar* gauge = nullptr;
    QSplitter* splitter = nullptr;
    QTabWidget* pages = nullptr;
    QFrame* playerbox = nullptr;
    TBannerImage* bannerimg = nullptr;
    QSystemTrayIcon* RxTrayIcon1 = nullptr;
    TFindDialog* FindDialog1 = nullptr;
    TBitmapCache* BitmapCache = nullptr;

    // Row actions.
    QAction* Launch = nullptr;
    QAction* AddtoFavorites = nullptr;
    QAction* RemoveFromFavorites = nullptr;
    QAction* Find = nullptr;
    QAction* BuyCD = nullptr;
    QAction* JoinServerChat = nullptr;
    QAction* JoinFroms = nullptr;
    QAction* Refresh = nullptr; // F5
    QToolButton* manualconnect_butt = nullptr;
    QToolButton* buycd_butt = nullptr;

protected:
    // Controls only the window and its radio variant use.
    QFrame* toppanel = nullptr;
    TTitleImage* leftimage = nullptr;
    TTitleImage* topimage = nullptr;
    TTitleImage* midimage = nullptr;
    TTitleImage* rightimage = nullptr;
    QToolButton* min_butt = nullptr;
    QToolButton* max_butt = nullptr;
    QFrame* leftpanel = nullptr;
    QLabel* leftpicture = nullptr;
    QToolButton* company_butt = nullptr;
    QToolButton* velmora_butt = nullptr;
    QToolButton* lb[5] = {};
    QWidget* genrearea = nullptr; // the radio window puts its genre list here
    QToolButton* refresh_butt = nullptr;
    QToolButton* configure_butt = nullptr;
    QToolButton* help_butt = nullptr;
    QFrame* buttonbar = nullptr;
    QLabel* linklabel = nullptr;
    QStatusBar* statusbar2 = nullptr;
    QLabel* statuspanel[4] = {};
    QTimer* repainttimer = nullptr;
    QMenu* ServerListPopup = nullptr;
    QAction* RefreshSelected = nullptr;
    QAction* CopytoClipboard = nullptr;
    QList<QAction*> Actions;

    // Base creation steps (run by the derived window at its place in the order).
    void FormCreate();
    // First showing (runs once).
    virtual void FormShowFirst();
    // Radio hooks of the base steps.
    virtual void BeforeRefresh() {}
    virtual void OnRefreshComplete() {}
    virtual void AfterBannerLoaded() {}
    virtual bool BannerClickOverride() { return false; }
    virtual bool LinkClickOverride(const QString&) { return false; }
    // Find found the text in no row: another source may take the search (true).
    virtual bool FindElsewhere(const QString&) { return false; }
    virtual QString GenreEntry() const { return {}; }
    // A new station source is in place (its first refresh has started).
    virtual void AfterSourceChanged() {}

    void showEvent(QShowEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    void changeEvent(QEvent* e) override;
    bool event(QEvent* e) override;
    bool eventFilter(QObject* o, QEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;

    void buildControls();
    void buildActions();
    void checkLibraries();
    void savePlacement();
    void restorePlacement();
    void showResourceWarning();
    void pressRefresh(bool down);
    void rearmBanner();
    void startRefreshOf(bool selectedMode);
    void saveFavorites();
    // A user file that could not be written: ErrOut and an error box (the old file stays).
    void reportSaveFailure(const QString& path, const QString& error);
    void applyWindowShape();

    std::unique_ptr<TConfig> config_;
    std::unique_ptr<TCustomServerList> serverList_;
    TBannerFetcher* banner_ = nullptr;
    QString sourceKey_;               // the source serverList_ was made from
    bool keepRowsUntilFirst_ = false; // a new source's list has not sent a station yet
    void makeServerList();
    // The rows of the list while the favorites view is shown.
    std::unique_ptr<std::vector<TServerRef>> SavedStations;
    // The stations of a favorites or selected-rows update (the list source keeps them
    // for its cycle; this list is emptied once the update has started).
    QList<TServerRef> RefreshList;
    bool shown_ = false;
    bool Maximized = false;
    QRect RestoreRect;
    int FindIndex = -1;
    bool Updating = false;
    bool RefreshSelectedMode = false;
    TFavorites Favorites;
    QString FavoritesFile;
    QString BannerBase;      // request base
    QString BannerClickBase; // click base
    int DragY = 0;
    bool dragging_ = false;
    qint64 StartTick = 0;
    qint64 RestoreTick = 0;
    qint64 ActiveTime = 0;
    QElapsedTimer clock_;
};

// The main window, program-wide.
Tvm_form* MainForm();

// Text and test of the free-resources warning shared with the program entry.
namespace platform {
struct FreeResources;
}
QString ResourceWarningText(const platform::FreeResources& r);
bool ResourcesLow(const platform::FreeResources& r);
