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
#include <QMessageBox>
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

    void useScript()
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
    }

private slots:
    void initTestCase()
    {
        useScript();
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
            QTRY_VERIFY_WITH_TIMEOUT(window->isHidden(), Wait);
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
        s.write(ack(512));
        s.flush();
        QCOMPARE(readExactly(s, 512).size(), 512);
        s.abort();
        // Cut short: not done, and the receiver counted 512 bytes.
        QTRY_COMPARE_WITH_TIMEOUT(form.status->text(),
                                  QString("Incomplete: 512 of 4096 bytes acknowledged"), Wait);
        QCOMPARE(form.close_butt->text(), QString("Close"));

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
        QTRY_VERIFY_WITH_TIMEOUT(declined.isHidden(), Wait);
        QCOMPARE(dialogs.size(), 1);
    }

    // Received names: controls of either kind and direction marks go, and a long name is
    // cut between characters to at most 255 bytes, keeping its extension.
    void receivedNames_data()
    {
        QTest::addColumn<QString>("offered");
        QTest::addColumn<QString>("kept");
        const QString e = QString::fromUtf8("\xc3\xa9"); // é, two bytes
        QTest::newRow("C1 controls") << QString::fromUtf8("a\xc2\x85\xc2\x9b"
                                                          "b.txt")
                                     << "ab.txt";
        QTest::newRow("right-to-left override")
            << QString::fromUtf8("photo\xe2\x80\xaegpj.exe") << "photogpj.exe";
        QTest::newRow("isolates and marks")
            << QString::fromUtf8("\xe2\x81\xa6x\xe2\x80\x8f.bin\xe2\x81\xa9") << "x.bin";
        QTest::newRow("long, two-byte letters")
            << QString(200, QChar(0xe9)) + ".mp3" << QString(125, QChar(0xe9)) + ".mp3";
        QTest::newRow("long, no extension") << QString(300, 'a') << QString(255, 'a');
        QTest::newRow("long, four-byte letters")
            << QString::fromUtf8("\xf0\x9f\x8e\xb5").repeated(70)
            << QString::fromUtf8("\xf0\x9f\x8e\xb5").repeated(63);
        Q_UNUSED(e);
    }
    void receivedNames()
    {
        QFETCH(QString, offered);
        QFETCH(QString, kept);
        const QString name = dcc::SafeFileName(offered);
        QCOMPARE(name, kept);
        QVERIFY(name.toUtf8().size() <= 255);
    }

    // Offers that open nothing, and an offer without its closing byte, through the client
    // as the server delivers them.
    void offerEdges_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("size"); // empty: no offer
        const QString v(QChar(1));
        QTest::newRow("address zero") << v + "DCC SEND a.bin 0 4000 10" + v << "";
        QTest::newRow("size zero") << v + "DCC SEND a.bin 2130706433 4000 0" + v << "";
        QTest::newRow("closing byte missing") << v + "DCC SEND a.bin 2130706433 4000 1300"
                                              << "1300";
        QTest::newRow("closed") << v + "DCC SEND a.bin 2130706433 4000 1300" + v << "1300";
    }
    void offerEdges()
    {
        QFETCH(QString, text);
        QFETCH(QString, size);
        TChatModule module;
        module.activetimer->setInterval(3600 * 1000);
        QStringList offers;
        module.OnDccOffer = [&](const TDccOffer& o) { offers << QString::number(o.Size); };
        module.IRCClient1->StartSessionForTest();
        module.IRCClient1->ReceiveData(":bob!b@h PRIVMSG me :" + text.toUtf8() + "\r\n");
        QTest::qWait(20); // offers are taken up on a later pass
        QCOMPARE(offers, size.isEmpty() ? QStringList() : QStringList{size});
    }

    // Files that change under a transfer: one that shrinks after it was offered ends with an
    // error instead of a wait; an existing ".part" is left alone.
    void changingFiles()
    {
        QString error;
        const QString path = dwtest::writeFile(home->file("shrinks.bin"), randomBytes(2048));
        TDccTransfer out;
        QString failed;
        out.OnError = [&](const QString& m) { failed = m; };
        QVERIFY(out.StartSending(path, "127.0.0.1", error));
        QVERIFY(QFile::resize(path, 700));
        QTcpSocket s;
        s.connectToHost("127.0.0.1", out.ListeningPort());
        QCOMPARE(readExactly(s, 512).size(), 512);
        s.write(ack(512));
        QCOMPARE(readExactly(s, 188).size(), 188);
        s.write(ack(700));
        QTRY_VERIFY_WITH_TIMEOUT(!failed.isEmpty(), Wait);
        QVERIFY2(failed.contains("became shorter"), qPrintable(failed));
        QVERIFY(out.Done);

        const QString target = home->file("in/kept.bin");
        dwtest::writeFile(target + ".part", "someone else's");
        QTcpServer listener;
        QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
        TDccTransfer in;
        in.PeerAddress = "127.0.0.1";
        in.PeerPort = QString::number(listener.serverPort());
        in.FileSize = 10;
        QVERIFY(in.StartReceiving(target, error));
        QCOMPARE(in.PartPath, target + ".2.part");
        QTRY_VERIFY_WITH_TIMEOUT(listener.hasPendingConnections(), Wait);
        QTcpSocket* peer = listener.nextPendingConnection();
        peer->write("0123456789");
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(target), Wait);
        QFile kept(target + ".part");
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), QByteArray("someone else's"));
    }

    // Offers as the program takes them: the questions do not hold the chat, a flood opens a
    // bounded number of windows, and declined or closed windows are freed.
    void offerFlood()
    {
        if (!irc.port) DW_PEER_MISSING("ngircd", "ngircd is not installed");
        platform::SetDialogScript(nullptr); // real, unanswered questions
        struct Restore
        {
            TestDcc* t;
            ~Restore() { t->useScript(); }
        } restore{this};
        TChatModule module;
        module.activetimer->setInterval(3600 * 1000);
        QWidget owner;
        InstallDccTransfers(&module, &owner);
        module.ConnectChat();
        QTRY_COMPARE_WITH_TIMEOUT(module.IRCClient1->State(), isConnected, Wait);
        TIRCClient peer;
        IrcRecorder rec(peer);
        QVERIFY(irc.connectClient(peer, "flooder", Wait));
        for (int i = 0; i < 30; ++i)
            peer.CTCPQuery(module.IRCClient1->Nick(), "DCC SEND",
                           "f" + QString::number(i) + ".bin 2130706433 4000 10");
        QTRY_COMPARE_WITH_TIMEOUT(Tdcc_form::OpenQuestions(), int(Tdcc_form::MaxOpenQuestions),
                                  Wait);
        // The chat still answers while the questions are open.
        peer.CTCPQuery(module.IRCClient1->Nick(), "VERSION", "");
        QTRY_VERIFY_WITH_TIMEOUT(!rec.log.filter("CTCPReply|").isEmpty(), Wait);
        QTest::qWait(200);
        QCOMPARE(Tdcc_form::OpenWindows(), int(Tdcc_form::MaxOpenQuestions));
        // Declining one frees its window; closing another (its question open) too.
        const QList<Tdcc_form*> windows = owner.findChildren<Tdcc_form*>();
        QCOMPARE(windows.size(), int(Tdcc_form::MaxOpenQuestions));
        auto* box = windows[0]->findChild<QMessageBox*>();
        QVERIFY(box);
        QVERIFY(box->isVisible());
        QCOMPARE(box->textFormat(), Qt::PlainText);
        box->button(QMessageBox::No)->click();
        windows[1]->close();
        QTRY_COMPARE_WITH_TIMEOUT(Tdcc_form::OpenWindows(), int(Tdcc_form::MaxOpenQuestions) - 2,
                                  Wait);
        QCOMPARE(Tdcc_form::OpenQuestions(), int(Tdcc_form::MaxOpenQuestions) - 2);
        QTest::qWait(50);
        QCOMPARE(module.IRCClient1->State(), isConnected);
        peer.Quit("x");
    }
};

QTEST_MAIN(TestDcc)
#include "test_dcc.moc"
