#include "location.h"

#include "customserver.h"
#include "debuglog.h"
#include "httpprot.h"
#include "netutils.h"
#include "serverlistparser.h"

namespace location {

namespace {
constexpr int kMaxName = 256;
constexpr int kMaxAddress = 1024;
} // namespace

std::unique_ptr<TSCServer> ParseLocation(const QString& record, QString& action)
{
    action.clear();
    if (record.size() > MaxLinkLength) {
        DebugLog(QStringLiteral("Location link too long: %1 characters").arg(record.size()),
                 dcErrOut);
        return nullptr;
    }
    // The list reader expects a separator before "fieldcount".
    TServerListParser parser("`" + record.toUtf8(), '`');
    // The reader ends the last record at the end of the text with empty values; a link
    // must hold every value.
    if (!parser.NextRecord() || parser.AtEnd()) return nullptr;
    action = parser.GetValueText("action").left(32);
    DebugLog("Went inside");
    const QString a = parser.GetValueText("ip").trimmed().left(kMaxAddress);
    QString address, port, stream;
    if (a.contains(QLatin1String("://"))) {
        DebugLog("found something else");
        const TParsedURL u = ParseURL(a);
        address = u.Host;
        port = u.Port + u.Path;
        stream = a;
    } else {
        const int colon = a.indexOf(QLatin1Char(':'));
        address = colon < 0 ? a : a.left(colon);
        // The text after the colon as it stands (a port, maybe with a path): what is not
        // a usable address is refused where the station is used, not quietly mended.
        port = colon < 0 ? QStringLiteral("8000") : a.mid(colon + 1);
    }
    auto s = std::make_unique<TSCServer>(address, port);
    s->HostPort = port;
    s->StreamURL = stream;
    s->Name = parser.GetValueText("hostname").left(kMaxName);
    bool ok = false;
    const int type = parser.GetValueText("type").trimmed().toInt(&ok);
    s->PlayerKind = ok ? quint8(type & 0xff) : 0;
    return s;
}

QString MakeLink(const QString& action, const QString& ip, const QString& hostname, int type)
{
    return QString(Scheme) + "fieldcount`4`action`ip`hostname`type`" + action + "`" + ip + "`" +
           hostname + "`" + QString::number(type);
}

} // namespace location
