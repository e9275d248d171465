#include "netconfig.h"

#include "config.h"
#include "httpprot.h"
#include "wsocket.h"

void ApplyProxy(THttpCli& http)
{
    TConfig* c = Config();
    if (!c) return;
    if (c->Checked("useproxies")) {
        const THttpProxySettings p = c->HttpProxySettings();
        http.Proxy = p.Host;
        http.ProxyPort = p.Port;
        http.ProxyUsername = p.User;
        http.ProxyPassword = p.Password;
        return;
    }
    http.Proxy.clear();
    http.ProxyPort.clear();
    http.ProxyUsername.clear();
    http.ProxyPassword.clear();
    // Also when SOCKS is off: a server left from earlier settings must go.
    ApplySocks(*http.CtrlSocket());
}

void ApplySocks(TWSocket& socket)
{
    TConfig* c = Config();
    if (!c) return;
    const TSocksSettings s = c->SocksSettings();
    if (c->Checked("usesocksproxies")) {
        socket.SetSocksServer(s.Server);
        socket.SetSocksPort(s.Port);
        socket.SetSocksUsercode(s.User);
        socket.SetSocksPassword(s.Password);
        socket.SetSocksLevel(s.Level.isEmpty() ? QStringLiteral("4") : s.Level);
        socket.SetSocksAuthentication(s.Authentication ? socksAuthenticateUsercode
                                                       : socksNoAuthentication);
        return;
    }
    socket.SetSocksServer(QString());
    socket.SetSocksPort(QString());
    socket.SetSocksUsercode(QString());
    socket.SetSocksPassword(QString());
}
