#include "tbasewebform.h"

#include "debuglog.h"
#include "netutils.h"
#include "platform.h"

#include "webview.h"
#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QTimer>
#include <QUrl>

namespace {

bool sameSite(const QUrl& a, const QUrl& b)
{
    return a.scheme().compare(b.scheme(), Qt::CaseInsensitive) == 0 &&
           a.host().compare(b.host(), Qt::CaseInsensitive) == 0 && a.port(80) == b.port(80);
}

} // namespace

TBaseIEForm::TBaseIEForm(const QString& site, QWidget* parent) : QWidget(parent), site_(site)
{
    setWindowTitle("Default");
    setWindowFlag(Qt::FramelessWindowHint, true);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::black);
    setPalette(pal);

    QString why;
    if (IWebEngine* engine = WebEngine(&why)) {
        TWebViewHooks hooks;
        // The view is this window's child: it never outlives it.
        hooks.AcceptNavigation = [this](const QString& url, bool clicked) {
            return AcceptNavigation(url, clicked);
        };
        hooks.LoadFinished = [this](bool) { webControlNavigateComplete(); };
        view = engine->CreateView(this, std::move(hooks));
        webControl = view->Widget();
    } else {
        // No page, but a window that says why.
        DebugLog("Web pages cannot be shown: " + why, dcErrOut);
        auto* label = new QLabel("The web pages cannot be shown: " + why.toHtmlEscaped(), this);
        label->setObjectName("webControl");
        label->setWordWrap(true);
        label->setAlignment(Qt::AlignCenter);
        label->setStyleSheet("QLabel { color: white; background: black; }");
        webControl = label;
    }
    qApp->installEventFilter(this); // the user's presses on the page (see eventFilter)

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
    if (view) {
        Timer1->start();
        Hider->raise();
    } else {
        Hider->hide();
    }
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
    if (view) view->Load(QUrl(address));
}

QString TBaseIEForm::Location() const
{
    return view ? view->Url().toString() : QString();
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
