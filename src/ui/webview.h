#pragma once
// The embedded browser is a plugin of the program's own (loaded on the first page shown,
// never at start): these are the only parts of it the rest of the program sees.
#include <QObject>
#include <QString>
#include <QUrl>
#include <QVariant>
#include <functional>

class QWidget;

// One browser control inside a page window.
class IWebView
{
public:
    virtual ~IWebView() = default;
    // The control itself, a child of the parent it was made for (which frees it).
    virtual QWidget* Widget() = 0;
    virtual void Load(const QUrl& url) = 0;
    virtual QUrl Url() const = 0;
    // Runs a script in the page; `done` gets its result on this thread.
    virtual void RunJavaScript(const QString& script,
                               std::function<void(const QVariant&)> done) = 0;
};

// What a control asks of its page window.
struct TWebViewHooks
{
    // Every navigation before it happens: true lets the page follow it. `clicked`: a click
    // on a link of the main frame.
    std::function<bool(const QString& url, bool clicked)> AcceptNavigation;
    std::function<void(bool ok)> LoadFinished;
};

// The plugin's entry.
class IWebEngine
{
public:
    virtual ~IWebEngine() = default;
    // Makes "dialwise:" a scheme the pages know, so that its links reach the page windows
    // instead of the desktop; called once, right after the plugin is loaded.
    virtual void RegisterLinkScheme() = 0;
    // A control with the program's rules (no window of its own, no unknown schemes, no
    // reach from local content to remote addresses, no context menu).
    virtual IWebView* CreateView(QWidget* parent, TWebViewHooks hooks) = 0;
};

#define DIALWISE_WEBENGINE_IID "org.dialwise.WebEngine/1"
Q_DECLARE_INTERFACE(IWebEngine, DIALWISE_WEBENGINE_IID)

// The browser plugin's file name (without folder).
inline constexpr const char* kWebEnginePlugin = "libdialwise-web.so";
