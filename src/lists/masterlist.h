#pragma once
// Game-server lists fetched from a master server over TCP. The master greets with a
// challenge ("\basic\\secure\XXXXXX"), the client answers with the validation value
// computed from it and the program's key, asks for the servers of one game and receives
// "\ip\a.b.c.d:port" entries ended by "\final\". The servers found are then queried with
// the UDP status protocol through the common update cycle.
//
//   TCustomZelkServerList   the master exchange; servers of class TZelkServer
//     TZelkBGateServerList  game "bgate", servers of class TBGateServer
//     TZelkGenericList      the game named by SetGameName, servers of class TZelkServer
#include "customserverlist.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <memory>

class TTCPClient;

// The program's validation key.
inline constexpr char ZelkValidationKey[] = "kTqBwe";

// The 8-character validation value of a challenge: the first 6 bytes of the challenge
// (zero bytes stand in for missing ones) enciphered with the key, then Base64.
QByteArray ZelkValidationValue(QByteArrayView challenge,
                               QByteArrayView key = QByteArrayView(ZelkValidationKey));

// One server entry of a master list.
struct TMasterListEntry
{
    QString Host;
    QString Port;
    bool operator==(const TMasterListEntry&) const = default;
};
// The entries of a received list, in order. Only dotted IPv4 addresses are kept; an entry
// without a valid port gets "1025".
QList<TMasterListEntry> ParseMasterList(QStringView received);

// Most list text kept from one master; what comes after is dropped.
constexpr qsizetype MaxMasterListChars = 8 * 1024 * 1024;

class TCustomZelkServerList : public TCustomServerList
{
public:
    TCustomZelkServerList();
    ~TCustomZelkServerList() override;

    const TServerClass& ServerClass() const override { return TZelkServer::Class(); }
    void FetchList() override;
    void ListReceived() override;
    void CancelFetch() override;
    // Slot 10: the list request, sent right after the validation.
    virtual void SendListRequest();

    QString ListFilter; // appended to the list request
    std::unique_ptr<TTCPClient> MasterSocket;
    QString Received; // list text collected so far (the greeting is not part of it)

protected:
    void SendText(const QString& text);

private:
    void MasterData();
    void MasterClosed();
    void AnswerChallenge(const QString& greeting);
    void CloseMaster();
};

class TZelkBGateServerList : public TCustomZelkServerList
{
public:
    const TServerClass& ServerClass() const override { return TBGateServer::Class(); }
    void SendListRequest() override;
};

class TZelkGenericList : public TCustomZelkServerList
{
public:
    void SendListRequest() override;
    void SetGameName(const QString& text) { GameName = text; }

    QString GameName;
};
