#pragma once
// Applies the proxy settings of the configuration to the network components. Both do
// nothing while no configuration object exists.
class THttpCli;
class TWSocket;

// HTTP proxy host, port, user and password from the settings when "useproxies" is
// checked; otherwise they are cleared and the client's socket gets the SOCKS settings.
void ApplyProxy(THttpCli& http);
// SOCKS server, port "1080", user, password, level and authentication when
// "usesocksproxies" is checked; otherwise the SOCKS server, port, user and password are
// cleared. The socket must be closed.
void ApplySocks(TWSocket& socket);
