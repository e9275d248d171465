// The UDP status query of game servers (TGameServer, TUDPQueryServer, TZelkServer,
// TBGateServer): one request datagram, the reply collected until a datagram holds
// "\final", then parsed into fields, player records and rules.
#include "udpquery.h"

#include "customserver.h"
#include "debuglog.h"

#include "wsockets.h"

#include <QRandomGenerator>

namespace {

// Depth of datagram handlers running: a socket closed from inside one is freed later.
int g_readDepth = 0;

bool IsAsciiLetterOrDigit(int c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Where the value of `key` starts and ends in `text`, or {-1, -1}.
std::pair<qsizetype, qsizetype> FindKeyValue(QStringView text, QStringView key, qsizetype& at)
{
    QString needle;
    needle.reserve(key.size() + 2);
    needle += QLatin1Char('\\');
    needle += key;
    needle += QLatin1Char('\\');
    at = text.indexOf(needle);
    if (at < 0) return {-1, -1};
    const qsizetype start = at + needle.size();
    qsizetype end = start;
    while (end < text.size() && text[end] != QLatin1Char('\\') && text[end].unicode() >= 32)
        ++end;
    return {start, end};
}

// One datagram arrived. The reply may complete the query, and the receiver of the
// completion may free the server: nothing is touched after DataReceived.
void ReadDatagram(TUDPQueryServer* server, TUDPClient* sock)
{
    const QString text = sock->ReceiveText();
    ++g_readDepth;
    server->DataReceived(text);
    --g_readDepth;
}

// Player (or character) records number 0 to count-1, read and removed from the reply.
void ParseRecords(TZelkServer& server, QString& reply, int count)
{
    server.ClearPlayers();
    count = qMin(count, MaxZelkPlayerRecords);
    for (int n = 0; n < count; ++n) {
        const QString suffix = QLatin1Char('_') + QString::number(n);
        QString record;
        for (const QString& key : std::as_const(server.PlayerKeys)) {
            const QString value = TakeZelkKeyValue(reply, QString(key + suffix));
            record += QLatin1Char('\\') + key + QLatin1Char('\\') + value;
        }
        server.AddPlayer(record);
    }
}

} // namespace

QString ZelkKeyValue(QStringView text, QStringView key)
{
    qsizetype at = -1;
    const auto [start, end] = FindKeyValue(text, key, at);
    if (start < 0) return {};
    return text.mid(start, end - start).toString();
}

QString TakeZelkKeyValue(QString& text, QStringView key)
{
    qsizetype at = -1;
    const auto [start, end] = FindKeyValue(text, key, at);
    if (start < 0) return {};
    QString value = text.mid(start, end - start);
    text.remove(at, end - at);
    return value;
}

QString ZelkStatusRequest(bool secure)
{
    QString request = QStringLiteral("\\status\\");
    if (!secure) return request;
    request += QLatin1String("\\secure\\");
    for (int i = 0; i < 6; ++i) {
        int c = 0;
        do
            c = int(QRandomGenerator::global()->bounded(128));
        while (!IsAsciiLetterOrDigit(c));
        request += QLatin1Char(char(c));
    }
    return request;
}

// ---------------------------------------------------------------------------------------
// TGameServer: the query cycle around a socket

void TGameServer::Query(TQueryDoneEvent onDone)
{
    TCustomServer::Query(std::move(onDone));
    OpenSocket();
    SendQuery();
    QueryStartTick = TickCount();
}

void TGameServer::DataReceived(const QString& text)
{
    if (text.isEmpty()) return;
    // After "\final" or a time-out the attempt is over: late datagrams are dropped.
    if (!Querying || !Answered) return;
    if (AppendReply(text)) QueryDone();
}

void TGameServer::QueryDone()
{
    Elapsed = int(TickCount() - QueryStartTick);
    ParseReply();
    CloseSocket();
    TCustomServer::QueryDone();
}

// ---------------------------------------------------------------------------------------
// TUDPQueryServer: the datagram socket of one attempt

TUDPQueryServer::~TUDPQueryServer()
{
    CloseSocket();
}

void TUDPQueryServer::OpenSocket()
{
    CloseSocket();
    auto* sock = new TUDPClient;
    QuerySocket = sock;
    sock->Host = Address;
    sock->Port = Port;
    sock->OnData = [this, sock](TCustomWSockets*, int) { ReadDatagram(this, sock); };
    // A failure (no such host, a refused datagram) is left to the attempt's time-out.
    sock->OnError = [this](TCustomWSockets*, int error, const QString& msg) {
        DebugLog(QStringLiteral("Query of %1:%2: %3 (%4)").arg(Address, Port, msg).arg(error),
                 dcErrOut);
    };
    sock->Open();
}

void TUDPQueryServer::CloseSocket()
{
    if (!QuerySocket) return;
    TUDPClient* sock = QuerySocket;
    QuerySocket = nullptr;
    sock->OnData = nullptr;
    sock->OnError = nullptr;
    sock->Close();
    if (g_readDepth > 0)
        sock->deleteLater();
    else
        delete sock;
}

// ---------------------------------------------------------------------------------------
// TZelkServer: request, reply collection and parsing

void TZelkServer::SendQuery()
{
    Reply.clear();
    if (!QuerySocket || QuerySocket->SocketState() != ssConnected) return;
    QuerySocket->SendText(ZelkStatusRequest(Secure));
}

bool TZelkServer::AppendReply(const QString& text)
{
    const qsizetype room = MaxZelkReplyChars - Reply.size();
    if (room > 0) Reply += QStringView(text).left(room);
    return text.contains(QLatin1String("\\final"));
}

void TZelkServer::ParseReply()
{
    HostPort = TakeZelkKeyValue(Reply, u"hostport");
    if (HostPort.isEmpty()) HostPort = Port;
    Name = TakeZelkKeyValue(Reply, u"hostname");
    Ping = Elapsed;
    MaxPlayers = StrToIntDef0(TakeZelkKeyValue(Reply, u"maxplayers"));
    NumPlayers = StrToIntDef0(TakeZelkKeyValue(Reply, u"numplayers"));
    Map = TakeZelkKeyValue(Reply, u"mapname");
    GameType = TakeZelkKeyValue(Reply, u"gametype");
    GameMode = TakeZelkKeyValue(Reply, u"gamemode");
    Location = StrToIntDef0(TakeZelkKeyValue(Reply, u"location"));
    GameVer = TakeZelkKeyValue(Reply, u"gamever");
    ParsePlayers(Reply);
    SetRules(Reply);
}

void TZelkServer::ParsePlayers(QString& reply)
{
    ParseRecords(*this, reply, NumPlayers);
}

// ---------------------------------------------------------------------------------------
// TBGateServer: the records are characters, counted by "numcharacters"

void TBGateServer::ParseReply()
{
    NumCharacters = StrToIntDef0(TakeZelkKeyValue(Reply, u"numcharacters"));
    TZelkServer::ParseReply();
}

void TBGateServer::ParsePlayers(QString& reply)
{
    ParseRecords(*this, reply, NumCharacters);
}
