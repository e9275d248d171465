#include "debuglog.h"
#include "tbasewebform.h"

bool CheckBrowser()
{
#ifdef DIALWISE_HAVE_WEBENGINE
    if (qEnvironmentVariable("DIALWISE_NO_BROWSER") != QLatin1String("1")) {
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
