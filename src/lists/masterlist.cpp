#include "masterlist.h"

#include "debuglog.h"
#include "productprofile.h"
#include "udpquery.h"
#include "wsockets.h"

#include <QHostAddress>
#include <array>

// ---------------------------------------------------------------------------------------
// Validation value

QByteArray ZelkValidationValue(QByteArrayView challenge, QByteArrayView key)
{
    if (key.isEmpty()) return {};
    std::array<quint8, 256> s;
    for (int i = 0; i < 256; ++i)
        s[i] = quint8(i);
    quint8 j = 0;
    for (int i = 0; i < 256; ++i) {
        j = quint8(j + quint8(key[i % key.size()]) + s[i]);
        std::swap(s[i], s[j]);
    }
    // The data byte steers the cipher's index: x advances by the byte plus one.
    QByteArray data(6, '\0');
    for (qsizetype i = 0; i < qMin<qsizetype>(6, challenge.size()); ++i)
        data[i] = challenge[i];
    quint8 x = 0, y = 0;
    for (char& c : data) {
        const quint8 b = quint8(c);
        x = quint8(x + b + 1);
        y = quint8(y + s[x]);
        std::swap(s[x], s[y]);
        c = char(b ^ s[quint8(s[x] + s[y])]);
    }
    return data.toBase64();
}

// ---------------------------------------------------------------------------------------
// List entries

namespace {

bool IsDottedQuad(QStringView host)
{
    QHostAddress a;
    return host.count(QLatin1Char('.')) == 3 && a.setAddress(host.toString()) &&
           a.protocol() == QAbstractSocket::IPv4Protocol;
}

} // namespace

QList<TMasterListEntry> ParseMasterList(QStringView received)
{
    static const QString tag = QStringLiteral("\\ip\\");
    QList<TMasterListEntry> entries;
    qsizetype pos = received.indexOf(tag);
    while (pos >= 0) {
        const qsizetype next = received.indexOf(tag, pos + tag.size());
        const qsizetype entryEnd = next < 0 ? received.size() : next;
        const qsizetype start = pos + tag.size();
        qsizetype end = start;
        while (end < entryEnd && received[end] != QLatin1Char('\\') &&
               received[end].unicode() >= 32)
            ++end;
        pos = next;

        const QStringView value = received.mid(start, end - start);
        if (value.isEmpty() || value.startsWith(QLatin1Char('0')) ||
            value.count(QLatin1Char('.')) != 3)
            continue;
        bool plain = true;
        for (QChar c : value)
            if (!(c.isDigit() && c.unicode() < 128) && c != QLatin1Char('.') &&
                c != QLatin1Char(':'))
                plain = false;
        if (!plain) continue;

        const qsizetype colon = value.indexOf(QLatin1Char(':'));
        const QStringView host = colon < 0 ? value : value.left(colon);
        // Three dots alone still let through "1...:2"; such an entry has no address.
        if (!IsDottedQuad(host)) continue;
        QString port = QStringLiteral("1025");
        if (colon >= 0) {
            const QStringView text = value.mid(colon + 1);
            bool ok = false;
            const uint n = text.toUInt(&ok, 10);
            if (ok && n >= 1 && n <= 65535) port = text.toString();
        }
        entries.append(TMasterListEntry{host.toString(), port});
    }
    return entries;
}

// ---------------------------------------------------------------------------------------
// TCustomZelkServerList

TCustomZelkServerList::TCustomZelkServerList() : MasterSocket(new TTCPClient)
{
    MaxActive = 10;
    MasterPort = QString::number(TProductProfile::PortOf(Profile().MasterHost, 28900));
}

TCustomZelkServerList::~TCustomZelkServerList()
{
    // The list may be freed from inside one of the socket's own notifications.
    CloseMaster();
    MasterSocket.release()->deleteLater();
}

void TCustomZelkServerList::CloseMaster()
{
    MasterSocket->OnData = nullptr;
    MasterSocket->OnClose = nullptr;
    MasterSocket->OnError = nullptr;
    MasterSocket->Close();
}

void TCustomZelkServerList::FetchList()
{
    CloseMaster();
    TCustomServerList::FetchList();
    Received.clear();
    MasterSocket->Host = MasterHost;
    MasterSocket->Port = MasterPort;
    MasterSocket->OnData = [this](TCustomWSockets*, int) { MasterData(); };
    MasterSocket->OnClose = [this](TCustomWSockets*, int) { MasterClosed(); };
    // A connection that cannot be made (or breaks) ends the transfer like a close.
    MasterSocket->OnError = [this](TCustomWSockets*, int error, const QString& msg) {
        DebugLog(QStringLiteral("Master server %1:%2: %3 (%4)")
                     .arg(MasterHost, MasterPort, msg)
                     .arg(error),
                 dcErrOut);
        MasterClosed();
    };
    MasterSocket->Open();
}

void TCustomZelkServerList::MasterData()
{
    const QString text = MasterSocket->ReceiveText();
    if (text.isEmpty()) return;
    // Data after an abort, or after the list was taken, changes nothing.
    if (Aborted || State != lsFetching) return;
    RestartListTimer();
    const bool greeting = text.contains(QLatin1String("\\basic\\"));
    if (greeting) {
        AnswerChallenge(text);
    } else if (Received.size() < MaxMasterListChars) {
        Received += QStringView(text).left(MaxMasterListChars - Received.size());
    }
    Status(-1, QStringLiteral("Server List (%1)").arg(Received.size()));
    // Only the list ends with "\final\"; a greeting that carries one ends nothing.
    if (!greeting && text.contains(QLatin1String("\\final\\"))) ListReceived();
}

void TCustomZelkServerList::MasterClosed()
{
    if (State == lsFetching) ListReceived();
}

void TCustomZelkServerList::AnswerChallenge(const QString& greeting)
{
    const QString challenge = ZelkKeyValue(greeting, u"secure");
    const QByteArray value =
        challenge.isEmpty() ? QByteArray() : ZelkValidationValue(challenge.toLatin1());
    SendText(QStringLiteral("\\gamename\\velmoralite\\gamever\\01\\location\\0\\validate\\") +
             QString::fromLatin1(value) + QStringLiteral("\\final\\\\queryid\\1.1"));
    SendListRequest();
}

void TCustomZelkServerList::SendListRequest()
{
    SendText(QStringLiteral("\\list\\") + ListFilter);
}

void TCustomZelkServerList::SendText(const QString& text)
{
    MasterSocket->SendText(text);
}

void TCustomZelkServerList::ListReceived()
{
    // The list is complete (or the transfer ended): the master is not needed any more.
    CloseMaster();
    const QList<TMasterListEntry> entries = ParseMasterList(Received);
    Received.clear();
    for (const TMasterListEntry& e : entries)
        Servers.append(CreateServer(e.Host, e.Port));
    TCustomServerList::ListReceived();
}

void TCustomZelkServerList::CancelFetch()
{
    CloseMaster();
    TCustomServerList::CancelFetch();
}

// ---------------------------------------------------------------------------------------

void TZelkBGateServerList::SendListRequest()
{
    SendText(QStringLiteral("\\list\\\\gamename\\bgate") + ListFilter);
}

void TZelkGenericList::SendListRequest()
{
    SendText(QStringLiteral("\\list\\\\gamename\\") + GameName + ListFilter);
}
