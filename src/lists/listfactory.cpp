#include "listfactory.h"

#include "debuglog.h"
#include "masterlist.h"

std::unique_ptr<TCustomServerList> CreateServerList(const TProductProfile& profile)
{
    const QString& name = profile.ServerListClass;
    std::unique_ptr<TCustomZelkServerList> master;
    if (name == QLatin1String("TZelkGenericList")) {
        auto generic = std::make_unique<TZelkGenericList>();
        generic->SetGameName(profile.GameName);
        master = std::move(generic);
    } else if (name == QLatin1String("TZelkBGateServerList")) {
        master = std::make_unique<TZelkBGateServerList>();
    } else if (name == QLatin1String("TCustomZelkServerList")) {
        master = std::make_unique<TCustomZelkServerList>();
    } else if (name == QLatin1String("TSCServerList") || profile.Product == TProduct::Radio) {
        if (name != QLatin1String("TSCServerList"))
            DebugLog(QStringLiteral("Unknown server list class %1").arg(name), dcErrOut);
        return std::make_unique<TSCServerList>();
    } else {
        DebugLog(QStringLiteral("Unknown server list class %1").arg(name), dcErrOut);
        auto generic = std::make_unique<TZelkGenericList>();
        generic->SetGameName(profile.GameName);
        master = std::move(generic);
    }
    master->MasterHost = TProductProfile::HostOf(profile.MasterHost);
    master->MasterPort = QString::number(TProductProfile::PortOf(profile.MasterHost, 28900));
    return master;
}
