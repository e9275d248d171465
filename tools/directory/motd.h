#pragma once
// The demo world's message server: the answer to a "MOTD|..." request (by UDP or at
// "/motd?q=..."), with optional pushed settings and, when asked for, the announcement of
// an update whose file the directory serves at "/download/NAME".
#include <QByteArray>
#include <QList>

namespace dwdir {

struct MotdSettings
{
    QByteArray news;                  // the message; empty: the demo news
    QByteArray pushed;                // settings lines put before the message
    bool announceUpdate = false;      // announce the update below
    QList<QByteArray> extraLocations; // further download addresses (an FTP copy)
    QByteArray signingKey;            // secret key that signs the update ("updatesig")
};

// A message request as the program sends it, and nothing else, is answered: a datagram
// of another form (or from a sender that only pretends to be one) gets no answer.
bool properMotdRequest(QByteArrayView datagram);

// A new signing key: its secret half goes to `file` (hex, owner-only), its public half
// to standard output. The exit code.
int writeNewUpdateKey(const QString& file);
bool updateSigningKeyUsable(const QByteArray& secretKey);
// The update file's detached signature (hex), empty without a usable key.
QByteArray updateSignature(const QByteArray& secretKey);

// The update's file, its name and its announced version.
QByteArray updateFileName();
QByteArray updateFileContent();
QByteArray updateVersion();

// The answer to a request text. `self` is "http://host:port" of the directory, for the
// links and the HTTP download location.
QByteArray motdAnswer(const MotdSettings& s, QByteArrayView request, const QByteArray& self);

// What a request head asks of the message server: 0 nothing, 1 "/motd?...", 2 the
// update file. For 1, `request` gets the decoded "q=" text.
int motdPage(QByteArrayView head, QByteArray& request);

} // namespace dwdir
