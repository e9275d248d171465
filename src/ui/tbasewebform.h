#pragma once
// The page windows that host the embedded web browser: a black window that covers its
// page with a blinking "Loading..." until the first page has loaded (or eleven seconds
// have passed), and its link-catching variant for the song search and station pages.
// Pages may only navigate within the program's web site: "dialwise:" links go to the
// main window, other web addresses to the system browser, anything else nowhere.
#include <QElapsedTimer>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <functional>

class QLabel;
class QTimer;
class IWebEngine;
class IWebView;

// True when the program was built with the embedded browser, its plugin is there and
// DIALWISE_NO_BROWSER is not "1"; writes the result to the debug console. Loads nothing.
bool CheckBrowser();
// The embedded browser's plugin, loaded on the first call (the shared drawing context the
// browser needs is made then, and "dialwise:" becomes a scheme its pages know); nullptr
// with the reason in `why` when it is missing or does not load.
IWebEngine* WebEngine(QString* why = nullptr);

class TBaseIEForm : public QWidget
{
    Q_OBJECT
public:
    // `site` is the program's web site ("http://host:port"): addresses on it stay in the
    // page. Only made when CheckBrowser() holds; a browser plugin that does not load
    // leaves the window with a message instead of a page.
    explicit TBaseIEForm(const QString& site, QWidget* parent = nullptr);
    ~TBaseIEForm() override;

    void Navigate(const QString& address);
    virtual void SaveLocation();
    virtual void RestoreLocation();
    QString Location() const;
    // The browser control as a window (for the right-button suppression).
    QWidget* BrowserWindow() const;

    // A "dialwise:" link the page hands over (already percent-decoded).
    std::function<void(const QString& link)> OnLocation;

    // The browser control (nullptr when the plugin did not load) and its widget.
    IWebView* view = nullptr;
    QWidget* webControl = nullptr;
    QWidget* Hider = nullptr;
    QLabel* Mess = nullptr;
    QTimer* Timer1 = nullptr;
    int Counter = 0;
    QString SavedURL;

    // Decides what happens to a navigation: true lets the page follow it. `clicked`: the
    // user clicked a link in the main frame; only such navigations leave the page (to the
    // main window or the system browser), at most one per MinHandOffMs.
    bool AcceptNavigation(const QString& url, bool clicked);
    static constexpr int MinHandOffMs = 1000;
    // A click counts as the user's when the user pressed a button or key on the page
    // this recently.
    static constexpr int UserInputWindowMs = 1500;

protected:
    void Timer1Timer();
    void webControlNavigateComplete();
    void closeEvent(QCloseEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;

private:
    bool handOffAllowed(const QString& url, bool clicked);
    bool eventFilter(QObject* o, QEvent* e) override;
    QString site_;
    QElapsedTimer lastHandOff_;
    QElapsedTimer lastUserInput_;
};

// The song search and station info pages, whose "dialwise:" links are their point.
class TSongSearch : public TBaseIEForm
{
    Q_OBJECT
public:
    explicit TSongSearch(const QString& site, QWidget* parent = nullptr);
};
