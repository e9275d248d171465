#include "debuglog.h"
#include "tbasewebform.h"

#include <QGuiApplication>
#include <unistd.h>

bool CheckBrowser()
{
#ifdef DIALWISE_HAVE_WEBENGINE
    // Pages need a display to be drawn on; the off-screen platforms have none.
    const QString platform = QGuiApplication::platformName();
    const bool drawable =
        platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
    if (drawable && qEnvironmentVariable("DIALWISE_NO_BROWSER") != QLatin1String("1")) {
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

#ifndef DIALWISE_HAVE_WEBENGINE
void RegisterLinkScheme() {}
#endif
