// Game-server replies and master lists from hostile peers. The first byte picks what the
// rest is: a master server's list text (and greeting), or the datagrams of a status reply
// (separated by 0xff bytes) parsed by a plain or a character-listing game server.
#include "customserver.h"
#include "masterlist.h"
#include "udpquery.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    const int mode = data[0] % 3;
    const QByteArray rest(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));

    if (mode == 0) {
        const QString text = QString::fromLatin1(rest);
        for (const TMasterListEntry& e : ParseMasterList(text))
            if (e.Host.isEmpty() || e.Port.isEmpty()) __builtin_trap();
        const QByteArray value = ZelkValidationValue(ZelkKeyValue(text, u"secure").toLatin1());
        if (value.size() != 8) __builtin_trap();
        return 0;
    }

    std::unique_ptr<TZelkServer> server;
    if (mode == 1)
        server = std::make_unique<TZelkServer>("127.0.0.1", "7777");
    else
        server = std::make_unique<TBGateServer>("127.0.0.1", "7777");
    for (const QByteArray& datagram : rest.split('\xff'))
        if (server->AppendReply(QString::fromLatin1(datagram))) break;
    server->ParseReply();
    if (server->Reply.size() > MaxZelkReplyChars) __builtin_trap();
    if (int(server->Players.size()) > MaxZelkPlayerRecords) __builtin_trap();
    QStringList columns;
    server->GetColumns(columns);
    for (const auto& p : server->Players)
        p->GetColumns(columns);
    for (const TRule& r : server->Rules)
        for (QChar c : r.Key + r.Value)
            if (c.unicode() < 32 || c.unicode() > 127) __builtin_trap();
    return 0;
}
