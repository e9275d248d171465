#include "productprofile.h"

#include <QUrl>
#include <memory>

namespace {
std::unique_ptr<TProductProfile> g_profile;

QString env(const char* name, const QString& def)
{
    const QString v = qEnvironmentVariable(name);
    return v.isEmpty() ? def : v;
}
} // namespace

TProductProfile MakeProfile(TProduct product)
{
    TProductProfile p;
    p.Product = product;
    p.VersionParts = {"10", "01", "22"};
    p.ProductKeyName = "tunelane";
    p.ProductNumber = 2;
    p.ServerListClass = "TSCServerList";
    p.PlayerFile = "winamp.exe";
    p.PlayerDir = "winamp";
    p.HomeChannel = "#Dialwise";
    p.RegistryKey = "Software\\Velmora\\tunelane";
    p.SubkeySuffix = "";
    p.BannerInterval = 300000;
    p.MinSkinVersion = 1;
    p.MotdUdpPort = "25636";
    if (product == TProduct::Base) {
        // The game-server browser: a master-server list of one game.
        p.ServerListClass = "TZelkGenericList";
        p.GameName = "unreal";
    }

    // The local demo world on loopback.
    p.ListHost = env("DIALWISE_LIST_HOST", "127.0.0.1:8620");
    p.ChatHost = env("DIALWISE_CHAT_HOST", "127.0.0.1:6667");
    p.MotdHost = env("DIALWISE_MOTD_HOST", "127.0.0.1");
    p.MotdPort = env("DIALWISE_MOTD_PORT", p.MotdUdpPort);
    p.WebSite = env("DIALWISE_WEB_SITE", "http://127.0.0.1:8620");
    p.MotdUrl = env("DIALWISE_MOTD_URL", p.WebSite + "/motd?q=");
    p.RedirectHost = env("DIALWISE_REDIRECT_HOST", QUrl(p.WebSite).authority());
    p.AdBase = env("DIALWISE_AD_BASE", p.WebSite + "/ads");
    p.LogoBase = env("DIALWISE_LOGO_BASE", p.WebSite + "/logos");
    p.MasterHost = env("DIALWISE_MASTER_HOST", "127.0.0.1:28900");
    return p;
}

const TProductProfile& Profile()
{
    if (!g_profile) ReloadProfile();
    return *g_profile;
}

void ReloadProfile()
{
    const TProduct product =
        qEnvironmentVariable("DIALWISE_PRODUCT").compare("base", Qt::CaseInsensitive) == 0
            ? TProduct::Base
            : TProduct::Radio;
    g_profile = std::make_unique<TProductProfile>(MakeProfile(product));
}

QString TProductProfile::WebSiteDomain() const
{
    const QUrl u(WebSite);
    return u.host().isEmpty() ? WebSite : u.host();
}

QString TProductProfile::HostOf(const QString& hostPort)
{
    const int i = hostPort.lastIndexOf(':');
    return i < 0 ? hostPort : hostPort.left(i);
}

int TProductProfile::PortOf(const QString& hostPort, int defaultPort)
{
    const int i = hostPort.lastIndexOf(':');
    if (i < 0) return defaultPort;
    bool ok = false;
    const int p = hostPort.mid(i + 1).toInt(&ok);
    return ok ? p : defaultPort;
}
