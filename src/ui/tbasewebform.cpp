#include "tbasewebform.h"

#include "debuglog.h"
#include "netutils.h"
#include "platform.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QTimer>
#include <QUrl>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineSettings>
#include <QWebEngineUrlRequestJob>
#include <QWebEngineUrlScheme>
#include <QWebEngineUrlSchemeHandler>
#include <QWebEngineView>

namespace {

// The page asks its window about every navigation before it happens.
class TWebPage : public QWebEnginePage
{
public:
    TWebPage(TBaseIEForm* form, QObject* parent) : QWebEnginePage(parent), form_(form) {}

protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override
    {
        // Only a click of the user's on a link of the page itself may leave the page;
        // subframes, scripts, timers, redirects and form posts stay inside or go nowhere.
        return form_->AcceptNavigation(QString::fromLatin1(url.toEncoded()),
                                       isMainFrame && type == NavigationTypeLinkClicked);
    }
    // Links that ask for a new window open nowhere but through the same checks.
    QWebEnginePage* createWindow(WebWindowType) override { return nullptr; }

private:
    TBaseIEForm* form_;
};

// Station links that get past a page's navigation check load nothing.
class TLinkSchemeHandler : public QWebEngineUrlSchemeHandler
{
public:
    using QWebEngineUrlSchemeHandler::QWebEngineUrlSchemeHandler;
    void requestStarted(QWebEngineUrlRequestJob* job) override
    {
        job->fail(QWebEngineUrlRequestJob::RequestDenied);
    }
};

bool g_schemeRegistered = false;

void installLinkHandler(QWebEngineProfile* profile)
{
    if (!g_schemeRegistered || profile->urlSchemeHandler("dialwise")) return;
    profile->installUrlSchemeHandler("dialwise", new TLinkSchemeHandler(profile));
}

bool sameSite(const QUrl& a, const QUrl& b)
{
    return a.scheme().compare(b.scheme(), Qt::CaseInsensitive) == 0 &&
           a.host().compare(b.host(), Qt::CaseInsensitive) == 0 && a.port(80) == b.port(80);
}

} // namespace

void RegisterLinkScheme()
{
    if (g_schemeRegistered) return;
    QWebEngineUrlScheme scheme("dialwise");
    scheme.setSyntax(QWebEngineUrlScheme::Syntax::Path);
    QWebEngineUrlScheme::registerScheme(scheme);
    g_schemeRegistered = true;
}

TBaseIEForm::TBaseIEForm(const QString& site, QWidget* parent) : QWidget(parent), site_(site)
{
    setWindowTitle("Default");
    setWindowFlag(Qt::FramelessWindowHint, true);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::black);
    setPalette(pal);

    webControl = new QWebEngineView(this);
    webControl->setObjectName("webControl");
    auto* page = new TWebPage(this, webControl);
    // Pages reach nothing but their own site and the program's handlers.
    page->settings()->setUnknownUrlSchemePolicy(QWebEngineSettings::DisallowUnknownUrlSchemes);
    page->settings()->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls, false);
    webControl->setPage(page);
    qApp->installEventFilter(this); // the user's presses on the page (see eventFilter)
    installLinkHandler(page->profile());
    // The page's own menu stays closed; the main window opens it again on request.
    webControl->setContextMenuPolicy(Qt::NoContextMenu);
    connect(webControl, &QWebEngineView::loadFinished, this,
            [this](bool) { webControlNavigateComplete(); });

    // A cover with a blinking "Loading..." hides the page until it has loaded; the
    // timer blinks it.
    Hider = new QWidget(this);
    Hider->setObjectName("Hider");
    Hider->setAutoFillBackground(true);
    Hider->setPalette(pal);
    Mess = new QLabel("Loading...", Hider);
    Mess->setObjectName("Mess");
    Mess->setStyleSheet("QLabel { color: white; background: black; font-family: Arial; }");
    Mess->move(8, 8);
    Mess->adjustSize();
    Counter = 0;
    Timer1 = new QTimer(this);
    Timer1->setObjectName("Timer1");
    Timer1->setInterval(1000);
    connect(Timer1, &QTimer::timeout, this, &TBaseIEForm::Timer1Timer);
    Timer1->start();
    Hider->raise();
}

TBaseIEForm::~TBaseIEForm() = default;

void TBaseIEForm::resizeEvent(QResizeEvent* e)
{
    QWidget::resizeEvent(e);
    webControl->setGeometry(rect());
    Hider->setGeometry(rect());
}

void TBaseIEForm::Timer1Timer()
{
    // The label blinks; the page shows after eleven ticks even if it never loads, so a
    // hanging page cannot keep its area black.
    Mess->setVisible(Counter % 2 == 0);
    ++Counter;
    if (Counter > 10) {
        Hider->hide();
        Timer1->stop();
    }
}

void TBaseIEForm::webControlNavigateComplete()
{
    webControl->setGeometry(rect());
    Hider->hide();
    DebugLog("navcomplete");
}

void TBaseIEForm::Navigate(const QString& address)
{
    webControl->load(QUrl(address));
}

QString TBaseIEForm::Location() const
{
    return webControl->url().toString();
}

QWidget* TBaseIEForm::BrowserWindow() const
{
    return webControl;
}

void TBaseIEForm::SaveLocation()
{
    SavedURL = Location();
}

void TBaseIEForm::RestoreLocation()
{
    Navigate(SavedURL);
}

void TBaseIEForm::closeEvent(QCloseEvent* e)
{
    // A page window is never closed by the user: it stays where it is.
    SaveLocation();
    e->ignore();
    RestoreLocation();
}

bool TBaseIEForm::eventFilter(QObject* o, QEvent* e)
{
    // The user's own presses on the page: a script's click() looks like a link click to
    // the browser, but comes with no press of the user's.
    const QEvent::Type t = e->type();
    if ((t == QEvent::MouseButtonPress || t == QEvent::MouseButtonRelease ||
         t == QEvent::KeyPress) &&
        o->isWidgetType() && webControl->isAncestorOf(static_cast<QWidget*>(o)))
        lastUserInput_.start();
    return QWidget::eventFilter(o, e);
}

bool TBaseIEForm::handOffAllowed(const QString& url, bool clicked)
{
    if (clicked && (!lastUserInput_.isValid() || lastUserInput_.elapsed() > UserInputWindowMs)) {
        DebugLog("Page link clicked by the page itself refused: " + url.left(200), dcErrOut);
        return false;
    }
    if (!clicked) {
        DebugLog("Page navigation without a click refused: " + url.left(200), dcErrOut);
        return false;
    }
    // Even clicks leave at a human pace: a page cannot fire a burst of them.
    if (lastHandOff_.isValid() && lastHandOff_.elapsed() < MinHandOffMs) {
        DebugLog("Page navigation too soon after the last one refused: " + url.left(200), dcErrOut);
        return false;
    }
    lastHandOff_.start();
    return true;
}

bool TBaseIEForm::AcceptNavigation(const QString& url, bool clicked)
{
    if (url.startsWith(QLatin1String("dialwise:"))) {
        if (!handOffAllowed(url, clicked)) return false;
        // Every page hands its station links to the main window, after the callback has
        // returned; a link never starts another program.
        DebugLog("Using Before Navigate");
        const QString link = UrlDecode(url);
        if (OnLocation)
            QTimer::singleShot(0, this, [this, link] {
                if (OnLocation) OnLocation(link);
            });
        return false;
    }
    const QUrl target(url);
    const QString scheme = target.scheme().toLower();
    if (scheme == QLatin1String("about") || scheme == QLatin1String("data")) return false;
    if (sameSite(target, QUrl(site_))) return true;
    if (scheme == QLatin1String("http") || scheme == QLatin1String("https")) {
        if (!handOffAllowed(url, clicked)) return false;
        DebugLog("Page link to the system browser: " + url);
        platform::OpenUrl(url);
        return false;
    }
    DebugLog("Page link refused: " + url, dcErrOut);
    return false;
}

TSongSearch::TSongSearch(const QString& site, QWidget* parent) : TBaseIEForm(site, parent)
{
    setWindowTitle("Song Search");
}
