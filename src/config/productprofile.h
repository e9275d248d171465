#pragma once
// The product profile: the built-in constants that tell the radio product from the
// game-server browser built on the same code. Set before anything is loaded.
#include <QString>
#include <QStringList>

enum class TProduct
{
    Radio,
    Base
};

struct TProductProfile
{
    TProduct Product = TProduct::Radio;
    QStringList VersionParts;    // shown one after the other: "10" "01" "22"
    QString ProductKeyName;      // "tunelane"; also the favorites file's prefix
    int ProductNumber = 2;       // in redirect URLs
    QString ServerListClass;     // "TSCServerList" for the radio product
    QString GameName;            // game of a game-server list
    QString PlayerFile;          // "winamp.exe"
    QString PlayerDir;           // "winamp"
    QString HomeChannel;         // "#Dialwise"
    QString RegistryKey;         // "Software\Velmora\tunelane"
    QString SubkeySuffix;        // empty
    int BannerInterval = 300000; // ms
    int MinSkinVersion = 1;
    // Colours: 24-bit values with red in the low byte.
    int PrimaryColor = 8342861;
    int SecondaryColor = 8342861;
    int PrimaryFontColor = 16777215;
    int SecondaryFontColor = 16777215;
    int TertiaryColor = 6436149;
    int TertiaryFontColor = 51709;
    int AltLineColor = 13421772;
    int AltLineFontColor = 0;
    int HighlightColor = 65535;
    QString MotdUdpPort; // "25636"

    // Built-in addresses (the local demo world), each overridable by its variable.
    QString ListHost;     // DIALWISE_LIST_HOST: host or host:port of the list server
    QString ChatHost;     // DIALWISE_CHAT_HOST: host or host:port
    QString MotdHost;     // DIALWISE_MOTD_HOST
    QString MotdPort;     // DIALWISE_MOTD_PORT (UDP), defaults to MotdUdpPort
    QString MotdUrl;      // DIALWISE_MOTD_URL: HTTP address of the message of the day
    QString WebSite;      // DIALWISE_WEB_SITE: "http://host:port"
    QString RedirectHost; // DIALWISE_REDIRECT_HOST: host or host:port
    QString AdBase;       // DIALWISE_AD_BASE: "http://host:port/ads"
    QString LogoBase;     // DIALWISE_LOGO_BASE: "http://host:port/logos"
    QString MasterHost;   // DIALWISE_MASTER_HOST: host or host:port (port 28900 when absent)

    QString Version() const { return VersionParts.join(QString()); }
    // The web site's domain name (written into "dl1desc" by an update offer).
    QString WebSiteDomain() const;
    // Host and port of a "host" or "host:port" address.
    static QString HostOf(const QString& hostPort);
    static int PortOf(const QString& hostPort, int defaultPort);
};

// The profile in force: the radio product, or the base product when DIALWISE_PRODUCT=base.
const TProductProfile& Profile();
// Builds the profile for a product, reading the environment overrides.
TProductProfile MakeProfile(TProduct product);
// Re-reads the environment (tests that change the variables call this).
void ReloadProfile();

// Colour value with red in the low byte, as QColor parts.
inline int ColorRed(int c)
{
    return c & 0xff;
}
inline int ColorGreen(int c)
{
    return (c >> 8) & 0xff;
}
inline int ColorBlue(int c)
{
    return (c >> 16) & 0xff;
}
