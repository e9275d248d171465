#pragma once
// The radio window's station pages and links: launching with the station's chat, short
// station links and manual connect, the four web pages of the page area with the queries
// that name the station, Buy CD and the web search, "dialwise:" location links from the
// pages, from a second start or from the window itself, and the debug console's
// commands. One object, owned by the main window.
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <memory>

#include "tbasewebform.h"

class QEvent;
class QLabel;
class QLineEdit;
class QRadioButton;
class QToolButton;
class QWidget;
class TCustomServer;
class TSCServer;
class Taddgenre_form;
class Tinfo_form;
class Tmanualconnect_form;
class Tvmmp3_form;

class Tvmmp3_pages : public QObject
{
    Q_OBJECT
public:
    // Messages posted to this object (the window's own message numbers).
    static constexpr int kProcessLocation = 2000; // WM_USER+2000
    static constexpr int kOpenNewsPage = 1001;    // WM_USER+1001

    enum TPage
    {
        pgSongSearch,
        pgStationInfo,
        pgForums,
        pgNews
    };

    explicit Tvmmp3_pages(Tvmmp3_form* form);
    ~Tvmmp3_pages() override;

    bool HaveBrowser = false;
    QString ServerInfoQuery;
    QString ForumQuery;
    QString PendingLocation;
    bool SuppressRightClick = true;

    // Launching and chat.
    void JoinStationChat(const TCustomServer* station);
    void ConnectStationLink(const QString& text);
    void serverviewDblClick();
    void StationSelected(TCustomServer* station);
    void JoinFromsExecute();
    void BuyCDExecute(TCustomServer* station);
    void search_buttClick();
    void hb_imageClick();
    void manualconnect_buttClick();

    // Pages.
    QString PageAddress(TPage page) const;
    QWidget* TabOf(TPage page) const;
    TBaseIEForm* Page(TPage page) const { return pages_[page].data(); }
    void pagesChange(const QString& caption);
    void ShowWebPage(TPage page, bool navigate, const QString& address);
    void CreateWebPage(TPage page, const QString& address);
    void OpenNewsPage();
    // First showing: the news page is posted, the search choices take their captions.
    void FormShowFirst();

    // Links. The location receivers store the link and post kProcessLocation.
    void NewLocationExecuteMacro(const QStringList& lines);
    void ReceiveLocation(const QString& link);
    void ProcessLocation();
    // The station the last link named (launches keep a pointer to it).
    TSCServer* LinkStation() const { return linkStation_.get(); }

    // Console commands.
    void ExecuteCommand(const QStringList& words);

    // The dialogs, made on first use and kept (with what was typed) from then on.
    Taddgenre_form* AddGenreForm();
    Tmanualconnect_form* ManualConnectForm();
    // The information window: a page of its own without the browser (null with it, whose
    // pages show a station's details).
    Tinfo_form* info_form = nullptr;
    // The search box and its choices in the button bar.
    QLineEdit* search_box = nullptr;
    QRadioButton* searchmp3_butt = nullptr;
    QRadioButton* searchweb_butt = nullptr;
    QToolButton* search_butt = nullptr;
    QLabel* hb_image = nullptr;

protected:
    bool event(QEvent* e) override;
    bool eventFilter(QObject* o, QEvent* e) override;

private:
    Taddgenre_form* addgenre_form_ = nullptr;
    Tmanualconnect_form* manualconnect_form_ = nullptr;
    void buildSearchBox();
    void buildFixedTabs();
    void setTabVisible(TPage page, bool visible);
    bool tabVisible(TPage page) const;
    void activateTab(TPage page);
    void applySuppression();

    Tvmmp3_form* form_;
    QPointer<TBaseIEForm> pages_[4];
    QList<QPointer<QWidget>> WebWindows;
    std::unique_ptr<TSCServer> linkStation_;
    bool launching_ = false;       // a link's station is being launched
    bool locationWaiting_ = false; // a link came during that launch; processed after it
    void launchEnded();
    // Shows why a link's station address may not be used; true when it may not.
    bool refuseStation(const TSCServer& s);
};
