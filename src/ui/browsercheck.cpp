#include "datafolders.h"
#include "debuglog.h"
#include "tbasewebform.h"
#include "webview.h"

#include <QGuiApplication>
#include <QOpenGLContext>
#include <QSurfaceFormat>
#include <unistd.h>

// QtGui's context that every other one shares with; the browser draws through it.
Q_GUI_EXPORT QOpenGLContext* qt_gl_global_share_context();
Q_GUI_EXPORT void qt_gl_set_global_share_context(QOpenGLContext* context);

bool CheckBrowser()
{
#ifdef DIALWISE_HAVE_WEBENGINE
    // Pages need a display to be drawn on; the off-screen platforms have none.
    const QString platform = QGuiApplication::platformName();
    const bool drawable =
        platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
    if (drawable && qEnvironmentVariable("DIALWISE_NO_BROWSER") != QLatin1String("1")) {
        if (platform::FindPlugin(kWebEnginePlugin).isEmpty()) {
            DebugLog(
                QString("WebBrowser V1 Control missing: %1 is not installed").arg(kWebEnginePlugin),
                dcErrOut);
            return false;
        }
        // The browser's helper processes cannot sandbox themselves as root and would end
        // the program instead.
        if (geteuid() == 0 && !qEnvironmentVariableIsSet("QTWEBENGINE_DISABLE_SANDBOX"))
            qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
        DebugLog("Found WebBrowser V1");
        return true;
    }
#endif
    DebugLog("WebBrowser V1 Control missing");
    return false;
}

IWebEngine* WebEngine(QString* why)
{
    static IWebEngine* engine = nullptr;
    if (engine) return engine;
    // The browser draws through QtGui's shared context, which Qt makes at start only when
    // asked before the application object exists; made here, the program pays for it on
    // the first page instead of at every start. It must exist before the browser's
    // libraries load: they look for it then.
    if (qGuiApp && !qt_gl_global_share_context()) {
        // It stays for the program's life, like the one Qt would have made: the browser
        // holds on to it until its very end.
        auto* shared = new QOpenGLContext;
        shared->setFormat(QSurfaceFormat::defaultFormat());
        if (shared->create()) {
            qt_gl_set_global_share_context(shared);
        } else {
            // Software drawing still works without it.
            DebugLog("No shared drawing context for the web pages", dcErrOut);
            delete shared;
        }
    }
    QString reason;
    QObject* root = platform::LoadPlugin(kWebEnginePlugin, &reason);
    engine = qobject_cast<IWebEngine*>(root);
    if (!engine) {
        if (root) reason = QString("%1 is not the web page plugin").arg(kWebEnginePlugin);
        if (why) *why = reason;
        return nullptr;
    }
    engine->RegisterLinkScheme();
    DebugLog("Web page plugin loaded");
    return engine;
}
