#include "listfactory.h"

#include "config.h"
#include "debuglog.h"
#include "masterlist.h"
#include "radiobrowser.h"

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
        if (UseRadioBrowser()) return CreateRadioBrowserList();
        auto list = std::make_unique<TSCServerList>();
        const QString stored =
            Config() ? Config()->Text(QStringLiteral("listhost")).trimmed() : QString();
        if (qEnvironmentVariableIsEmpty("DIALWISE_LIST_HOST") && !stored.isEmpty())
            list->ListURL = QStringLiteral("http://") + stored + QStringLiteral("/?compress=1");
        return list;
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

bool UseRadioBrowser()
{
    if (!qEnvironmentVariableIsEmpty("DIALWISE_LIST_HOST")) return false;
    return !Config() || Config()->Text(QStringLiteral("listhost")).trimmed().isEmpty();
}

QString StationSourceKey()
{
    if (UseRadioBrowser()) {
        QString servers = qEnvironmentVariable("DIALWISE_RADIOBROWSER").trimmed();
        if (servers.isEmpty() && Config())
            servers = Config()->Text(QStringLiteral("radiobrowser")).trimmed();
        return QStringLiteral("directory ") + servers;
    }
    const QString host = qEnvironmentVariable("DIALWISE_LIST_HOST");
    return QStringLiteral("list ") + (host.isEmpty() && Config()
                                          ? Config()->Text(QStringLiteral("listhost")).trimmed()
                                          : host);
}

std::unique_ptr<TRadioBrowserList> CreateRadioBrowserList()
{
    auto list = std::make_unique<TRadioBrowserList>();
    QString servers = qEnvironmentVariable("DIALWISE_RADIOBROWSER").trimmed();
    if (servers.isEmpty() && Config())
        servers = Config()->Text(QStringLiteral("radiobrowser")).trimmed();
    if (!servers.isEmpty()) {
        list->Servers_.SetServers(servers);
        if (list->Servers_.Candidates().isEmpty())
            DebugLog(QStringLiteral("Radio Browser: no http(s) address in ") + servers, dcErrOut);
    }
    DebugLog(QStringLiteral("Station source: Radio Browser ") +
             (servers.isEmpty() ? TRBServerChoice::DefaultName() : servers));
    return list;
}
