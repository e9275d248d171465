// The message of the day: the answer's parts and check value, the pushed settings, the
// rich-text reader, and the request and usage report as they go out by UDP and HTTP.
#include "config.h"
#include "motd.h"
#include "registry.h"
#include "rtfreader.h"
#include "testsupport.h"

#include "platform.h"
#include <QFileInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QUdpSocket>

class TestMotd : public QObject
{
    Q_OBJECT
    const QString key = "Software\\Velmora\\tunelane";

private slots:
    void init() { TRegistry::Reset(); }

    void parse_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QStringList>("settings");
        QTest::addColumn<QStringList>("message");
        QTest::addColumn<bool>("rich");
        QTest::newRow("two lines") << QByteArray("MOTD\r\nHello\r\nSecond line\r\n")
                                   << QStringList{} << QStringList{"Hello", "Second line"} << false;
        QTest::newRow("settings first, bare LF and CR")
            << QByteArray("a=1\nb=2\rMOTD\nText") << QStringList{"a=1", "b=2"}
            << QStringList{"Text"} << false;
        QTest::newRow("no marker: all settings")
            << QByteArray("x=1\r\nnot a setting\r\n") << QStringList{"x=1", "not a setting"}
            << QStringList{} << false;
        QTest::newRow("rich") << QByteArray("MOTD\r\n{\\rtf1 {\\b News}}\r\n") << QStringList{}
                              << QStringList{"{\\rtf1 {\\b News}}"} << true;
        QTest::newRow("rich marker in a setting")
            << QByteArray("n={\\rtf\r\nMOTD\r\nplain") << QStringList{"n={\\rtf"}
            << QStringList{"plain"} << true;
    }
    void parse()
    {
        QFETCH(QByteArray, answer);
        QFETCH(QStringList, settings);
        QFETCH(QStringList, message);
        QFETCH(bool, rich);
        const TMotdResponse r = ParseMotdResponse(answer);
        QCOMPARE(r.SettingsLines, settings);
        QCOMPARE(r.MessageLines, message);
        QCOMPARE(r.Rich, rich);
    }

    void checksumAndMinutes()
    {
        // "AB": (65 + 1) + (66 + 2)
        QCOMPARE(MotdChecksum("AB"), 134);
        QByteArray big(300, char(0xff)); // positions past 256 wrap to 0
        qint64 expect = 0;
        for (int i = 1; i <= 300; ++i)
            expect += 255 + i % 256;
        QCOMPARE(qint64(MotdChecksum(big)), expect);
        const struct
        {
            double in;
            int out;
        } rows[] = {{0.49, 0}, {0.5, 0},    {0.55, 0},         {0.6, 1}, {1.59, 1},
                    {1.6, 2},  {59.99, 60}, {3e9, 2147483647}, {-4, 0}};
        for (const auto& r : rows)
            QCOMPARE(WholeMinutes(r.in), r.out);
    }

    void pushedSettings()
    {
        dwtest::TempHome home;
        TConfig c;
        const QString before = c.Link("help").Url;
        const TPushedSettings p = ApplyPushedSettings(
            c, {"updatever=10.01.23", "helpurl=http://127.0.0.1:9/newhelp/", "bad<name=1",
                "helpurl=http://127.0.0.1:9/second/", "..\\..\\evil=1", "sub/key=1", "noequals",
                "dl1=ftp://127.0.0.1/pub/x.bin"});
        QVERIFY(p.NewVersion);
        QCOMPARE(p.Stored, (QStringList{"updatever", "helpurl", "dl1"}));
        QCOMPARE(p.Refused, (QStringList{"..\\..\\evil", "sub/key"}));
        QCOMPARE(c.ReadValue("updatever"), QString("10.01.23"));
        QCOMPARE(c.Link("help").Url, QString("http://127.0.0.1:9/newhelp/")); // at once
        QVERIFY(before != c.Link("help").Url);
        QVERIFY(c.ReadValue("bad<name").isEmpty());
        // Nothing reached a key outside the program's own.
        QCOMPARE(TRegistry::ValueNames("Software\\Velmora\\tunelane\\sub").size(), 0);
        QVERIFY(!TRegistry::KeyExists("Software\\evil") && !TRegistry::KeyExists("evil"));
        QVERIFY(!ApplyPushedSettings(c, {"motd=plain"}).NewVersion);
    }

    // Only the names a message of the day has a use for, within bounds.
    void pushedNames_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<bool>("stored");
        const struct
        {
            const char* line;
            bool stored;
        } rows[] = {
            {"updatedesc=New", true},
            {"UPDATESIZE=1kb", true},
            {"dlcount=2", true},
            {"dl20=http://127.0.0.1/x", true},
            {"dl20desc=Mirror", true},
            {"dl21=http://127.0.0.1/x", false},
            {"dl0=x", false},
            {"dl01=x", false},
            {"dlxdesc=x", false},
            {"lb5hint=Five", true},
            {"searchimgtext=a.gif", true},
            {"bannerinterval=60000", true},
            {"distcode=AB", true},
            {"updatesig=00", true},
            {"program_dir_Text=/bin/sh", false},
            {"registry.ini=x", false},
            {"useproxies=1", false},
            {"motdck=1", false},
            {"skinpathbox_Text=../../x", false},
            {"genre=3", false},
        };
        for (const auto& r : rows)
            QTest::newRow(r.line) << QString(r.line) << r.stored;
        QTest::newRow("value at the bound")
            << "updatedesc=" + QString(MaxPushedValueLength, 'x') << true;
        QTest::newRow("value past the bound")
            << "updatedesc=" + QString(MaxPushedValueLength + 1, 'x') << false;
    }
    void pushedNames()
    {
        QFETCH(QString, line);
        QFETCH(bool, stored);
        dwtest::TempHome home;
        TConfig c;
        const TPushedSettings p = ApplyPushedSettings(c, {line});
        const QString name = line.left(line.indexOf('=')).toLower();
        QCOMPARE(p.Stored.size(), stored ? 1 : 0);
        QCOMPARE(c.ReadValue(name), stored ? line.mid(line.indexOf('=') + 1) : QString());
    }

    void pushedBounds()
    {
        dwtest::TempHome home;
        TConfig c;
        // Thousands of lines: only the first MaxPushedLines are looked at, written at once.
        QStringList lines;
        for (int i = 1; i <= 3000; ++i)
            lines << QStringLiteral("dl%1desc=Mirror %1").arg(i % 30 + 1)
                  << QStringLiteral("junk%1=x").arg(i);
        lines.insert(150, "updatedesc=early");
        lines << "updatever=late";
        const TPushedSettings p = ApplyPushedSettings(c, lines);
        QCOMPARE(c.ReadValue("updatedesc"), QString("early"));
        QVERIFY(!p.NewVersion);        // past the bound
        QCOMPARE(p.Stored.size(), 21); // dl1desc .. dl20desc, updatedesc
        QVERIFY(TRegistry::ValueNames("Software\\Velmora\\tunelane").filter("junk").isEmpty());
        QVERIFY(QFileInfo(platform::RegistryFile()).size() < 16 * 1024);

        // A new announcement clears the checksum and signature of an earlier one.
        ApplyPushedSettings(c, {"updatever=1", "updatesha256=aa", "updatesig=bb"});
        QCOMPARE(c.ReadValue("updatesha256"), QString("aa"));
        ApplyPushedSettings(c, {"updatever=2", "updatesig=cc"});
        QVERIFY(c.ReadValue("updatesha256").isEmpty());
        QCOMPARE(c.ReadValue("updatesig"), QString("cc"));
        ApplyPushedSettings(c, {"helpurl=http://127.0.0.1/"}); // no announcement: kept
        QCOMPARE(c.ReadValue("updatesig"), QString("cc"));
    }

    void rtf_data()
    {
        QTest::addColumn<QByteArray>("rtf");
        QTest::addColumn<QString>("plain");
        QTest::addColumn<QStringList>("htmlHas");
        QTest::newRow("bold and paragraphs")
            << QByteArray("{\\rtf1\\ansi{\\fonttbl{\\f0 Arial;}}\\b Big\\b0  news\\par next}")
            << "Big news\nnext" << QStringList{"font-weight:bold", "<br>"};
        QTest::newRow("colour table")
            << QByteArray("{\\rtf1{\\colortbl;\\red255\\green0\\blue0;}\\cf1 red}") << "red"
            << QStringList{"color:#ff0000"};
        QTest::newRow("escapes") << QByteArray("{\\rtf1 caf\\'e9 \\u8364? \\{x\\} <b>}")
                                 << QString::fromUtf8("café € {x} <b>") << QStringList{"&lt;b&gt;"};
        QTest::newRow("ignorable destination")
            << QByteArray("{\\rtf1{\\*\\generator Writer;}shown}") << "shown" << QStringList{};
        QTest::newRow("link") << QByteArray("{\\rtf1 see http://127.0.0.1/news.}")
                              << "see http://127.0.0.1/news."
                              << QStringList{"<a href=\"http://127.0.0.1/news\">"};
        QTest::newRow("unbalanced") << QByteArray("{\\rtf1 {{{ open") << " open" << QStringList{};
    }
    void rtf()
    {
        QFETCH(QByteArray, rtf);
        QFETCH(QString, plain);
        QFETCH(QStringList, htmlHas);
        const TRtfDocument d = TRtfReader::Read(rtf);
        QCOMPARE(d.Plain, plain);
        for (const QString& h : htmlHas)
            QVERIFY2(d.Html.contains(h), qPrintable(d.Html));
        QVERIFY(!d.Html.contains("<b>"));
    }

    // The request and the usage report byte for byte, and the answer over UDP.
    void udpRequestAnswerAndReport()
    {
        dwtest::TempHome home;
        QUdpSocket server;
        QVERIFY(server.bind(QHostAddress::LocalHost, 0));
        qputenv("DIALWISE_MOTD_HOST", "127.0.0.1");
        qputenv("DIALWISE_MOTD_PORT", QByteArray::number(server.localPort()));
        ReloadProfile();
        TConfig c;
        c.SetChecked("udpmotdbutt", true);
        c.SetText("email", "ann@example.invalid");
        c.SetText("realname", "Ann Lee");
        c.SetText("age", "33");
        c.SetText("zip", "12345");
        c.SetChecked("notify_box", false);
        TMotdClient m(&c);
        QList<bool> changes;
        QStringList messages;
        m.OnMessage = [&](const TMotdResponse& r, bool changed) {
            changes << changed;
            messages << r.Message();
        };
        m.SendRequest();
        QTRY_VERIFY(server.hasPendingDatagrams());
        QByteArray dg(int(server.pendingDatagramSize()), 0);
        QHostAddress from;
        quint16 fromPort = 0;
        server.readDatagram(dg.data(), dg.size(), &from, &fromPort);
        QCOMPARE(dg, "MOTD|100122|tunelane|ann@example.invalid|" + c.InstallCode().toLatin1() +
                         "|N|0|Ann Lee|33|12345|");

        const QByteArray answer = "MOTD\r\nFirst line\r\nSecond line\r\n";
        server.writeDatagram(answer, from, fromPort);
        QTRY_COMPARE(changes.size(), 1);
        QCOMPARE(changes[0], true);
        QCOMPARE(messages[0], QString("First line\r\nSecond line"));
        QCOMPARE(c.ReadValue("motdck"), QString::number(MotdChecksum(answer)));
        // A repeat, or anything later from the server's address, answers no request.
        server.writeDatagram(answer, from, fromPort);
        server.writeDatagram("updatever=9\r\nMOTD\r\nLater\r\n", from, fromPort);
        QTest::qWait(500);
        QCOMPARE(changes.size(), 1);
        // A second request takes one answer again; its new-version notice comes from the
        // loop, after the socket's callback has returned.
        int announced = 0;
        m.OnNewVersion = [&] { ++announced; };
        m.SendRequest();
        QTRY_VERIFY(server.hasPendingDatagrams());
        dg.resize(int(server.pendingDatagramSize()));
        server.readDatagram(dg.data(), dg.size(), &from, &fromPort);
        server.writeDatagram("updatever=9\r\nMOTD\r\nNew\r\n", from, fromPort);
        server.writeDatagram("updatever=9\r\nMOTD\r\nNew\r\n", from, fromPort);
        QTRY_COMPARE(changes.size(), 2);
        QCOMPARE(messages[1], QString("New"));
        QTRY_COMPARE(announced, 1);
        QTest::qWait(300);
        QCOMPARE(announced, 1);
        QCOMPARE(changes.size(), 2);

        m.SendUsageReport(WholeMinutes(125.7), WholeMinutes(3.2));
        QTRY_VERIFY(server.hasPendingDatagrams());
        dg.resize(int(server.pendingDatagramSize()));
        server.readDatagram(dg.data(), dg.size());
        QCOMPARE(dg, "TIME|100122|tunelane|" + c.InstallCode().toLatin1() + "|126|3|");
        qunsetenv("DIALWISE_MOTD_HOST");
        qunsetenv("DIALWISE_MOTD_PORT");
        ReloadProfile();
    }

    // By HTTP the request travels URL-encoded after the message address.
    void httpRequestAndAnswer()
    {
        dwtest::TempHome home;
        QTcpServer web;
        QVERIFY(web.listen(QHostAddress::LocalHost, 0));
        QByteArray head;
        connect(&web, &QTcpServer::newConnection, this, [&] {
            QTcpSocket* s = web.nextPendingConnection();
            connect(s, &QTcpSocket::readyRead, s, [&, s] {
                head += s->readAll();
                if (!head.contains("\r\n\r\n")) return;
                s->write("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n"
                         "updatever=10.02.00\r\nMOTD\r\nNews by HTTP\r\n");
                s->disconnectFromHost();
            });
        });
        qputenv("DIALWISE_MOTD_URL", QByteArray("http://127.0.0.1:") +
                                         QByteArray::number(web.serverPort()) + "/motd?q=");
        ReloadProfile();
        TConfig c;
        QVERIFY(c.Checked("httpmotdbutt"));
        TMotdClient m(&c);
        QString message;
        bool newVersion = false;
        m.OnMessage = [&](const TMotdResponse& r, bool) { message = r.Message(); };
        m.OnNewVersion = [&] { newVersion = true; };
        m.SendRequest();
        QTRY_VERIFY_WITH_TIMEOUT(newVersion, 10000);
        QCOMPARE(message, QString("News by HTTP"));
        QVERIFY2(head.startsWith("GET /motd?q=MOTD%7C100122%7Ctunelane%7C"), head.constData());
        QCOMPARE(c.ReadValue("updatever"), QString("10.02.00"));
        qunsetenv("DIALWISE_MOTD_URL");
        ReloadProfile();
    }

    // The window that owns the client may close, and free it, while the message is shown.
    // The client and its sockets must not run on afterwards, over UDP or HTTP: under the
    // sanitizer build a use after the free would end the test.
    void freedInItsMessage()
    {
        dwtest::TempHome home;
        QUdpSocket udp;
        QVERIFY(udp.bind(QHostAddress::LocalHost, 0));
        QTcpServer web;
        QVERIFY(web.listen(QHostAddress::LocalHost, 0));
        connect(&web, &QTcpServer::newConnection, this, [&] {
            QTcpSocket* s = web.nextPendingConnection();
            connect(s, &QTcpSocket::readyRead, s, [s] {
                s->write("HTTP/1.0 200 OK\r\n\r\nupdatever=11\r\nMOTD\r\nBye\r\n");
                s->disconnectFromHost();
            });
        });
        qputenv("DIALWISE_MOTD_HOST", "127.0.0.1");
        qputenv("DIALWISE_MOTD_PORT", QByteArray::number(udp.localPort()));
        qputenv("DIALWISE_MOTD_URL", QByteArray("http://127.0.0.1:") +
                                         QByteArray::number(web.serverPort()) + "/motd?q=");
        ReloadProfile();
        for (const bool byUdp : {true, false}) {
            TConfig c;
            c.SetChecked("udpmotdbutt", byUdp);
            c.SetChecked("httpmotdbutt", !byUdp);
            auto* m = new TMotdClient(&c);
            QPointer<TMotdClient> alive(m);
            int messages = 0;
            bool announced = false;
            m->OnMessage = [&, m](const TMotdResponse&, bool) {
                ++messages;
                delete m;
            };
            m->OnNewVersion = [&] { announced = true; };
            m->SendRequest();
            if (byUdp) {
                QTRY_VERIFY(udp.hasPendingDatagrams());
                QByteArray dg(int(udp.pendingDatagramSize()), 0);
                QHostAddress from;
                quint16 fromPort = 0;
                udp.readDatagram(dg.data(), dg.size(), &from, &fromPort);
                udp.writeDatagram("updatever=11\r\nMOTD\r\nBye\r\n", from, fromPort);
            }
            QTRY_VERIFY2_WITH_TIMEOUT(!alive, byUdp ? "UDP" : "HTTP", 10000);
            QTest::qWait(300); // what was queued for the client runs, and finds it gone
            QCOMPARE(messages, 1);
            QVERIFY(!announced); // nobody is left to ask
        }
        qunsetenv("DIALWISE_MOTD_HOST");
        qunsetenv("DIALWISE_MOTD_PORT");
        qunsetenv("DIALWISE_MOTD_URL");
        ReloadProfile();
    }
};

QTEST_GUILESS_MAIN(TestMotd)
#include "test_motd.moc"
