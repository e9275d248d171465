// The embedded browser on Qt WebEngine, as a plugin: the program loads it on the first
// page it shows, so that the browser's libraries cost nothing at start.
#include "webview.h"

#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineSettings>
#include <QWebEngineUrlRequestJob>
#include <QWebEngineUrlScheme>
#include <QWebEngineUrlSchemeHandler>
#include <QWebEngineView>
#include <QtPlugin>

namespace {

// The page asks its window about every navigation before it happens.
class TWebPage : public QWebEnginePage
{
public:
    TWebPage(std::function<bool(const QString&, bool)> accept, QObject* parent)
        : QWebEnginePage(parent), accept_(std::move(accept))
    {
    }

protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override
    {
        // Only a click on a link of the page itself may leave the page; subframes,
        // scripts, timers, redirects and form posts stay inside or go nowhere.
        if (!accept_) return false;
        return accept_(QString::fromLatin1(url.toEncoded()),
                       isMainFrame && type == NavigationTypeLinkClicked);
    }
    // Links that ask for a new window open nowhere but through the same checks.
    QWebEnginePage* createWindow(WebWindowType) override { return nullptr; }

private:
    std::function<bool(const QString&, bool)> accept_;
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

class TWebView : public QWebEngineView, public IWebView
{
public:
    TWebView(QWidget* parent, TWebViewHooks hooks, bool linkScheme) : QWebEngineView(parent)
    {
        setObjectName("webControl");
        auto* page = new TWebPage(std::move(hooks.AcceptNavigation), this);
        // Pages reach nothing but their own site and the program's handlers.
        page->settings()->setUnknownUrlSchemePolicy(QWebEngineSettings::DisallowUnknownUrlSchemes);
        page->settings()->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls, false);
        setPage(page);
        QWebEngineProfile* profile = page->profile();
        if (linkScheme && !profile->urlSchemeHandler("dialwise"))
            profile->installUrlSchemeHandler("dialwise", new TLinkSchemeHandler(profile));
        // The page's own menu stays closed; the main window opens it again on request.
        setContextMenuPolicy(Qt::NoContextMenu);
        if (hooks.LoadFinished)
            connect(this, &QWebEngineView::loadFinished, this, hooks.LoadFinished);
    }

    QWidget* Widget() override { return this; }
    void Load(const QUrl& url) override { load(url); }
    QUrl Url() const override { return url(); }
    void RunJavaScript(const QString& script, std::function<void(const QVariant&)> done) override
    {
        page()->runJavaScript(script, [done = std::move(done)](const QVariant& v) {
            if (done) done(v);
        });
    }
};

} // namespace

class TWebEnginePlugin : public QObject, public IWebEngine
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID DIALWISE_WEBENGINE_IID)
    Q_INTERFACES(IWebEngine)
public:
    void RegisterLinkScheme() override
    {
        if (schemeRegistered_) return;
        QWebEngineUrlScheme scheme("dialwise");
        scheme.setSyntax(QWebEngineUrlScheme::Syntax::Path);
        QWebEngineUrlScheme::registerScheme(scheme);
        schemeRegistered_ = true;
    }
    IWebView* CreateView(QWidget* parent, TWebViewHooks hooks) override
    {
        return new TWebView(parent, std::move(hooks), schemeRegistered_);
    }

private:
    bool schemeRegistered_ = false;
};

#include "webengineplugin.moc"
