// File transfer between chat users: the offer through a real ngircd, the other end a
// raw socket speaking the block-and-acknowledgement protocol, and the hostile offers.
#include "chatmodule.h"
#include "config.h"
#include "dcc_form.h"
#include "dialogs.h"
#include "ircrecorder.h"
#include "ngircd.h"
#include "productprofile.h"
#include "testsupport.h"

#include <QLabel>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtEndian>
#include <QtTest>
#include <memory>

namespace {
constexpr int Wait = 15000;

QByteArray randomBytes(int n)
{
    QByteArray b(n, Qt::Uninitialized);
    for (char& c : b)
        c = char(QRandomGenerator::global()->bounded(256));
    return b;
}

QByteArray ack(quint32 n)
{
    QByteArray b(4, 0);
    qToBigEndian(n, reinterpret_cast<uchar*>(b.data()));
    return b;
}

// Reads exactly n bytes, or fewer when the peer stops; the program's side runs on the
// same loop meanwhile.
QByteArray readExactly(QTcpSocket& s, int n)
{
    QByteArray out;
    QElapsedTimer t;
    t.start();
    while (out.size() < n && t.elapsed() < Wait) {
        if (!s.bytesAvailable()) QTest::qWait(5);
        out += s.read(n - out.size());
    }
    return out;
}

// True when nothing arrives within ms.
bool quiet(QTcpSocket& s, int ms)
{
    QTest::qWait(ms);
    return s.bytesAvailable() == 0;
}
} // namespace

class TestDcc : public QObject
{
    Q_OBJECT

    dwtest::Ngircd irc;
    std::unique_ptr<dwtest::TempHome> home;
    std::unique_ptr<TConfig> config;
    QStringList dialogs;
    QString openAnswer, saveAnswer;
    int confirmAnswer = platform::mrYes;

private slots:
    void initTestCase()
    {
        platform::SetDialogScript([this](const platform::DialogRequest& r) {
            dialogs << r.text;
            if (r.kind == platform::DialogRequest::OpenFile)
                return platform::DialogAnswer{platform::mrOk, openAnswer};
            if (r.kind == platform::DialogRequest::SaveFile)
                return platform::DialogAnswer{platform::mrOk, saveAnswer};
            return platform::DialogAnswer{
                r.buttons & platform::mbYes ? confirmAnswer : platform::mrOk, {}};
        });
        bool missing = false;
        const QString err = irc.start({}, &missing);
        if (!missing) QVERIFY2(err.isEmpty(), qPrintable(err));
        qputenv("DIALWISE_CHAT_HOST", irc.hostPort().toUtf8());
        ReloadProfile();
    }
    void init()
    {
        home = std::make_unique<dwtest::TempHome>();
        config = std::make_unique<TConfig>();
        dialogs.clear();
        confirmAnswer = platform::mrYes;
    }
    void cleanup()
    {
        config.reset();
        home.reset();
    }
    void cleanupTestCase() { irc.stop(); }

    void addresses()
    {
        QCOMPARE(dcc::AddressNumber("192.168.1.2"), 3232235778u);
        QCOMPARE(dcc::AddressText(3232235778u), QString("192.168.1.2"));
        TDccOffer o;
        QVERIFY(TChatModule::ParseDccOffer("DCC", "SEND a.txt 3232235778 5000 10", o));
        QCOMPARE(o.Address, QString("192.168.1.2"));
        // The chat connection's own address wins; the old rule is the fall-back.
        QCOMPARE(dcc::AnnounceAddress("127.0.0.1", {"172.17.0.1"}), QString("127.0.0.1"));
        QCOMPARE(dcc::AnnounceAddress("", {"127.0.0.1", "10.0.0.5", "192.168.1.2"}),
                 QString("127.0.0.1"));
        QCOMPARE(dcc::AnnounceAddress("", {"127.0.0.1", "172.17.0.1", "10.1.1.1"}),
                 QString("172.17.0.1"));
        // Percentages stay right above 21474836 bytes.
        QCOMPARE(dcc::SpeedText(25000000, 30000000), QString("25000000 of 30000000 (83%) "));
        QCOMPARE(dcc::SpeedText(4000000000ll, 4294967295ll),
                 QString("4000000000 of 4294967295 (93%) "));
        QCOMPARE(dcc::TimeText(1000, 61000, 1000), QString("1:00 remaining 1000 cps"));
    }

    // Offers: what opens a window, and under which name.
    void offers_data()
    {
        QTest::addColumn<QString>("args");
        QTest::addColumn<bool>("opens");
        QTest::addColumn<QString>("name");
        QTest::newRow("plain") << "SEND Song.MP3 2130706433 4000 1300" << true << "Song.MP3";
        QTest::newRow("quoted blanks")
            << "SEND \"my song.mp3\" 2130706433 4000 10" << true << "my song.mp3";
        QTest::newRow("path") << "SEND ../../etc/passwd 2130706433 4000 10" << true << "passwd";
        QTest::newRow("windows path")
            << "SEND C:\\x\\..\\evil.exe 2130706433 4000 10" << true << "evil.exe";
        QTest::newRow("dots") << "SEND .. 2130706433 4000 10" << true << "file";
        QTest::newRow("hidden") << "SEND .bashrc 2130706433 4000 10" << true << "bashrc";
        QTest::newRow("empty quoted") << "SEND \"\" 2130706433 4000 10" << true << "file";
        QTest::newRow("size text") << "SEND a.txt 2130706433 4000 lots" << false << "";
        QTest::newRow("size zero") << "SEND a.txt 2130706433 4000 0" << false << "";
        QTest::newRow("size negative") << "SEND a.txt 2130706433 4000 -5" << false << "";
        QTest::newRow("size huge") << "SEND a.txt 2130706433 4000 99999999999" << false << "";
        QTest::newRow("address text") << "SEND a.txt localhost 4000 10" << false << "";
        QTest::newRow("port zero") << "SEND a.txt 2130706433 0 10" << false << "";
        QTest::newRow("missing") << "SEND a.txt 2130706433" << false << "";
        QTest::newRow("chat") << "CHAT chat 2130706433 4000" << false << "";
    }
    void offers()
    {
        QFETCH(QString, args);
        QFETCH(bool, opens);
        QFETCH(QString, name);
        TDccOffer o;
        QCOMPARE(TChatModule::ParseDccOffer("DCC", args, o), opens);
        if (opens) QCOMPARE(dcc::SafeFileName(o.FileName), name);
    }

    // Sending: blocks of 512, 512 and 276, each only after the acknowledgement.
    void send()
    {
        if (!irc.port) DW_PEER_MISSING("ngircd", "ngircd is not installed");
        TChatModule module;
        module.activetimer->setInterval(3600 * 1000);
        module.ConnectChat();
        QTRY_COMPARE_WITH_TIMEOUT(module.IRCClient1->State(), isConnected, Wait);
        TIRCClient peer;
        IrcRecorder rec(peer);
        QVERIFY(irc.connectClient(peer, "getter", Wait));
        const QByteArray content = randomBytes(1300);
        openAnswer = dwtest::writeFile(home->file("out/song one.bin"), content);

        Tdcc_form form;
        QVERIFY(form.OfferFile(module.IRCClient1, "getter"));
        QTRY_VERIFY_WITH_TIMEOUT(!rec.log.filter("CTCPQuery|").isEmpty(), Wait);
        const QString query = rec.log.filter("CTCPQuery|").front();
        const QStringList f = query.section('|', 4).split(' ');
        QCOMPARE(query.section('|', 3, 3), QString("DCC"));
        QCOMPARE(f.value(0), QString("SEND"));
        QCOMPARE(f.value(1), QString("song_one.bin"));
        QCOMPARE(f.value(2), QString::number(dcc::AddressNumber("127.0.0.1")));
        QCOMPARE(f.value(4), QString("1300"));
        const int port = f.value(3).toInt();
        QVERIFY(port >= 1024 && port <= 30023);

        QTcpSocket s;
        s.connectToHost("127.0.0.1", quint16(port));
        QTRY_COMPARE_WITH_TIMEOUT(s.state(), QAbstractSocket::ConnectedState, Wait);
        QByteArray got;
        for (int block : {512, 512, 276}) {
            const QByteArray b = readExactly(s, block);
            QCOMPARE(b.size(), block);
            // Nothing more before the acknowledgement.
            QVERIFY(quiet(s, 200));
            got += b;
            s.write(ack(quint32(got.size())));
            s.flush();
        }
        QCOMPARE(got, content);
        QTRY_COMPARE_WITH_TIMEOUT(s.state(), QAbstractSocket::UnconnectedState, Wait);
        QTRY_COMPARE_WITH_TIMEOUT(form.status->text(), QString("Done Sending"), Wait);
        QCOMPARE(form.close_butt->text(), QString("Close"));
        QCOMPARE(form.speed->text(), QString("1300 of 1300 (100%) "));
        peer.Quit("x");
    }

    // Receiving: the question, the save dialog, acknowledgements at 512, 1024 and 1300,
    // and the file under its name once complete.
    void receive_data()
    {
        QTest::addColumn<bool>("vanish");
        QTest::newRow("whole") << false;
        QTest::newRow("sender vanishes") << true;
    }
    void receive()
    {
        if (!irc.port) DW_PEER_MISSING("ngircd", "ngircd is not installed");
        QFETCH(bool, vanish);
        TChatModule module;
        module.activetimer->setInterval(3600 * 1000);
        std::unique_ptr<Tdcc_form> window;
        module.OnDccOffer = [&](const TDccOffer& o) {
            window = std::make_unique<Tdcc_form>();
            window->ReceiveOffer(o);
        };
        module.ConnectChat();
        QTRY_COMPARE_WITH_TIMEOUT(module.IRCClient1->State(), isConnected, Wait);
        TIRCClient peer;
        QVERIFY(irc.connectClient(peer, vanish ? "giver2" : "giver", Wait));

        QTcpServer listener;
        QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
        const QByteArray content = randomBytes(1300);
        saveAnswer = home->file("in/Got.Bin");
        QDir().mkpath(home->file("in"));
        peer.CTCPQuery(module.IRCClient1->Nick(), "DCC SEND",
                       "../Got.Bin 2130706433 " + QString::number(listener.serverPort()) + " 1300");
        QTRY_VERIFY_WITH_TIMEOUT(listener.hasPendingConnections(), Wait);
        QTcpSocket* s = listener.nextPendingConnection();
        QVERIFY(dialogs.first().startsWith(peer.Nick() + " wants to send you Got.Bin\r\n"));
        QVERIFY(dialogs.first().contains("Do NOT accept files from someone you do not trust."));
        QVERIFY(window);
        QTRY_COMPARE_WITH_TIMEOUT(window->status->text(), QString("Connected"), Wait);

        QList<quint32> acks;
        int sent = 0;
        for (int block : {512, 512, 276}) {
            // The block goes in two pieces: the receiver acknowledges only at 512's.
            s->write(content.mid(sent, 100));
            s->flush();
            QVERIFY(quiet(*s, 150));
            s->write(content.mid(sent + 100, block - 100));
            s->flush();
            sent += block;
            const QByteArray a = readExactly(*s, 4);
            QCOMPARE(a.size(), 4);
            acks << qFromBigEndian<quint32>(a.constData());
            if (vanish) break;
        }
        if (vanish) {
            s->abort();
            QTRY_VERIFY_WITH_TIMEOUT(dialogs.contains("Sender closed file transfer"), Wait);
            QVERIFY(QFile::exists(saveAnswer + ".part"));
            QVERIFY(!QFile::exists(saveAnswer));
            QCOMPARE(QFileInfo(saveAnswer + ".part").size(), 512);
            QVERIFY(window->isHidden());
        } else {
            QCOMPARE(acks, (QList<quint32>{512, 1024, 1300}));
            QTRY_COMPARE_WITH_TIMEOUT(window->status->text(), QString("Done Receiving"), Wait);
            QFile f(saveAnswer);
            QVERIFY(f.open(QIODevice::ReadOnly));
            QCOMPARE(f.readAll(), content);
            QVERIFY(!QFile::exists(saveAnswer + ".part"));
            // Bytes past the announced size are never written.
            QCOMPARE(window->Transfer.Transferred, 1300);
        }
        peer.Quit("x");
    }

    // A transfer freed midway, on either side: its thread lets go, the peer sees the
    // connection end, and a partial received file stays as its ".part".
    void freedMidway_data()
    {
        QTest::addColumn<bool>("sending");
        QTest::newRow("receiving") << false;
        QTest::newRow("sending") << true;
    }
    void freedMidway()
    {
        QFETCH(bool, sending);
        const int before = TDccTransfer::LiveTransfers();
        auto t = std::make_unique<TDccTransfer>();
        bool heard = false;
        t->OnDone = t->OnSenderClosed = [&] { heard = true; };
        t->OnError = [&](const QString&) { heard = true; };
        QString error;
        QTcpServer listener;
        QTcpSocket own;
        QTcpSocket* s = &own;
        const QString target = home->file("in.bin");
        if (sending) {
            QVERIFY(t->StartSending(dwtest::writeFile(home->file("out.bin"), randomBytes(8192)),
                                    "127.0.0.1", error));
            own.connectToHost("127.0.0.1", t->ListeningPort());
            QTRY_COMPARE_WITH_TIMEOUT(own.state(), QAbstractSocket::ConnectedState, Wait);
            QCOMPARE(readExactly(own, 512).size(), 512);
        } else {
            QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
            t->PeerAddress = "127.0.0.1";
            t->PeerPort = QString::number(listener.serverPort());
            t->FileSize = 8192;
            QVERIFY(t->StartReceiving(target, error));
            QTRY_VERIFY_WITH_TIMEOUT(listener.hasPendingConnections(), Wait);
            s = listener.nextPendingConnection();
            s->write(randomBytes(512));
            QCOMPARE(readExactly(*s, 4), ack(512));
        }
        QTRY_COMPARE_WITH_TIMEOUT(t->Transferred, 512, Wait);
        QCOMPARE(TDccTransfer::LiveTransfers(), before + 1);
        t.reset();
        QTRY_COMPARE_WITH_TIMEOUT(TDccTransfer::LiveTransfers(), before, Wait);
        QTRY_COMPARE_WITH_TIMEOUT(s->state(), QAbstractSocket::UnconnectedState, Wait);
        QVERIFY(!heard);
        if (!sending) {
            QCOMPARE(QFileInfo(target + ".part").size(), 512);
            QVERIFY(!QFile::exists(target));
        }
    }

    // A receiver that vanishes ends the sending side; a folder that cannot be written
    // is an error, not a wait; a declined offer opens nothing more.
    void failures()
    {
        if (!irc.port) DW_PEER_MISSING("ngircd", "ngircd is not installed");
        TChatModule module;
        module.activetimer->setInterval(3600 * 1000);
        module.ConnectChat();
        QTRY_COMPARE_WITH_TIMEOUT(module.IRCClient1->State(), isConnected, Wait);
        openAnswer = dwtest::writeFile(home->file("big.bin"), randomBytes(4096));
        Tdcc_form form;
        QVERIFY(form.OfferFile(module.IRCClient1, "nobody_here"));
        QTcpSocket s;
        s.connectToHost("127.0.0.1", form.Transfer.ListeningPort());
        QTRY_COMPARE_WITH_TIMEOUT(s.state(), QAbstractSocket::ConnectedState, Wait);
        QCOMPARE(readExactly(s, 512).size(), 512);
        s.abort();
        QTRY_COMPARE_WITH_TIMEOUT(form.status->text(), QString("Done Sending"), Wait);

        Tdcc_form denied;
        TDccTransfer& t = denied.Transfer;
        QString error;
        t.PeerAddress = "127.0.0.1";
        t.PeerPort = "9";
        t.FileSize = 10;
        QVERIFY(!t.StartReceiving("/proc/no/such/folder/x.bin", error));
        QVERIFY(error.startsWith("Unable to write /proc/no/such/folder/x.bin"));

        // Declining: nothing is saved or connected.
        confirmAnswer = platform::mrNo;
        dialogs.clear();
        Tdcc_form declined;
        TDccOffer o;
        QVERIFY(TChatModule::ParseDccOffer("DCC", "SEND x.bin 2130706433 9 10", o));
        declined.ReceiveOffer(o);
        QCOMPARE(dialogs.size(), 1);
        QVERIFY(declined.isHidden());
    }
};

QTEST_MAIN(TestDcc)
#include "tst_dcc.moc"
