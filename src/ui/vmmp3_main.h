#pragma once
// The radio product's main window: the base window with genres, the radio's banner
// areas and station links.
#include "vm_main.h"

#include <QHash>
#include <QPixmap>

class QMenu;
class QTimer;
class TGenreBox;
class Tchat_form;
class Tvmmp3_pages;

class Tvmmp3_form : public Tvm_form
{
    Q_OBJECT
public:
    explicit Tvmmp3_form(QWidget* parent = nullptr);
    ~Tvmmp3_form() override;

    // Tells a companion program that the player runs.
    static void AnnounceToCompanion();

    // Overrides of the base window.
    void SetLinkButton(QToolButton* control, const QString& record) override;
    void RequestBanner() override;

    // Genres.
    void genreboxClick(QObject* sender = nullptr);
    void genreboxDblClick();
    void Refresh1Click();
    void Joinchatchannel1Click();
    void AddaGenre1Click();
    void DeleteSelectedGenre1Click();
    void Resettodefaults1Click();
    void AutoRefresh1Click();
    void LoadGenres();
    void SaveGenres();

    bool HaveBrowser = false;
    // A "dialwise:" link given to the program (its start, a later start, the desktop).
    void OpenLocationLink(const QString& link);
    // The caption of the news window's page: the news web page has "Dialwise News".
    QString NewsTabCaption() const { return HaveBrowser ? "News" : "Dialwise News"; }
    // Station pages, links, dialogs and console commands.
    Tvmmp3_pages* Pages = nullptr;
    void ExecuteCommand(const QStringList& words) override;
    bool RefreshAgain = false;
    QString nameSearch_; // the next refresh asks the directory for stations of this name
    QString BannerStation;
    QString DefaultChatChannel; // the chat joins it when it connects

    TGenreBox* genrebox = nullptr;
    QMenu* genremenu = nullptr;
    QAction* Refresh1 = nullptr;
    QAction* Joinchatchannel1 = nullptr;
    QAction* AddaGenre1 = nullptr;
    QAction* DeleteSelectedGenre1 = nullptr;
    QAction* Resettodefaults1 = nullptr;
    QAction* AutoRefresh1 = nullptr;
    QToolButton* addgenre_butt = nullptr;
    QToolButton* delgenre_butt = nullptr;
    QToolButton* joingenre_butt = nullptr;
    Tchat_form* chat_form = nullptr; // the first chat window

    // The listeners text of the status strip.
    static QString ListenersText(int listeners, int stations);

protected:
    void FormShowFirst() override;
    void BeforeRefresh() override;
    bool FindElsewhere(const QString& text) override;
    void OnRefreshComplete() override;
    void AfterBannerLoaded() override;
    bool BannerClickOverride() override;
    bool LinkClickOverride(const QString& rest) override;
    QString GenreEntry() const override;
    void AfterSourceChanged() override;
    bool eventFilter(QObject* o, QEvent* e) override;

private:
    void buildGenreControls();
    // The directory's genre counts in the genre panel's tips and the listeners column's
    // tip, for the source in use (cleared for the list server).
    void showSourceTips();
    QString genreFile_;
    // Moving through the genres with the keyboard refreshes the one the user stops at.
    QTimer* genreKeyTimer_ = nullptr;
    QHash<QString, QPixmap> logos_; // station logos drawn so far, by their name
    QString adServerBase_;          // the banner bases for "(All Servers)"
    QString adClickBase_;
};
