#pragma once
// A real ngircd on a free loopback port in a temporary folder, for the chat tests.
#include "ircclient.h"
#include "testsupport.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace dwtest {

class Ngircd
{
public:
    // Starts the server; `extra` goes at the end of the configuration (channel blocks).
    // Empty text when it runs, else why not (the test skips when ngircd is missing).
    QString start(const QByteArray& extra = {}, bool* missing = nullptr)
    {
        const QString prog = findProgram("ngircd");
        if (missing) *missing = prog.isEmpty();
        if (prog.isEmpty()) return "ngircd is not installed";
        if (!dir.isValid()) return "no temporary folder";
        // The server drops to user nobody and writes its pid file here.
        QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                              QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                              QFileDevice::WriteOther | QFileDevice::ExeOther);
        port = freePort();
        const QByteArray conf = "[Global]\nName = irc.test\nInfo = test server\n"
                                "Listen = 127.0.0.1\nPorts = " +
                                QByteArray::number(port) +
                                "\nPidFile = " + dir.filePath("ngircd.pid").toUtf8() +
                                "\nMotdPhrase = hello from the test server\n"
                                "[Limits]\nMaxNickLength = 30\nMaxJoins = 0\nMaxPenaltyTime = 0\n"
                                "[Options]\nPAM = no\nIdent = no\nDNS = no\n" +
                                extra;
        const QString confPath = writeFile(dir.filePath("ngircd.conf"), conf);
        if (!peer.start(prog, {"-n", "-f", confPath}, dir.path())) return "ngircd did not start";
        if (!waitForTcpPort(port)) return "ngircd does not listen: " + peer.output();
        return {};
    }
    void stop() { peer.stop(); }
    // Connects a client of the test's own as `nick` (`nick`_ when taken); true once the
    // server has registered it.
    bool connectClient(TIRCClient& cl, const QString& nick, int waitMs = 15000) const
    {
        cl.SetServer("127.0.0.1");
        cl.SetPort(QString::number(port));
        cl.SetNick(nick);
        cl.SetAltNick(nick + "_");
        cl.Connect();
        return QTest::qWaitFor([&] { return cl.State() == isConnected; }, waitMs);
    }
    QString hostPort() const { return "127.0.0.1:" + QString::number(port); }

    QTemporaryDir dir;
    Peer peer;
    quint16 port = 0;
};

} // namespace dwtest
