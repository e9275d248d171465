// The network utilities and the proxy settings applied to the network components.
#include "config.h"
#include "httpprot.h"
#include "netconfig.h"
#include "netutils.h"
#include "platform.h"
#include "productprofile.h"
#include "stationaddr.h"
#include "testsupport.h"

#include <QtTest>

namespace {
QStringList g_launched;
void record(const QString& what, const QStringList& args)
{
    g_launched << (args.isEmpty() ? what : what + " " + args.join(' '));
}
} // namespace

class TestNetUtils : public QObject
{
    Q_OBJECT
private slots:
    void urlCoding_data();
    void urlCoding();
    void redirectAndBrowser();
    void browserOutcome_data();
    void browserOutcome();
    void executeProgram();
    void tokensAndKeys();
    void hostsAndPorts_data();
    void hostsAndPorts();
    void base64AndChecksum();
    void smallHelpers();
    void onlyWebAddressesLeave_data();
    void onlyWebAddressesLeave();
    void stationAddresses_data();
    void stationAddresses();
    void applyProxyAndSocks();
};

void TestNetUtils::urlCoding_data()
{
    QTest::addColumn<QString>("plain");
    QTest::addColumn<QString>("encoded");
    QTest::newRow("space and dot") << "a b.c"
                                   << "a+b%2Ec";
    QTest::newRow("reserved") << "x=1&y=/?"
                              << "x%3D1%26y%3D%2F%3F";
    QTest::newRow("non-ASCII as UTF-8") << QString::fromUtf8("caf\u00e9") << "caf%C3%A9";
    QTest::newRow("empty") << ""
                           << "";
}

void TestNetUtils::urlCoding()
{
    QFETCH(QString, plain);
    QFETCH(QString, encoded);
    QCOMPARE(UrlEncode(plain), encoded);
    // Decoding leaves "+" alone, so only texts without spaces come back whole.
    if (!plain.contains(' ')) QCOMPARE(UrlDecode(encoded), plain);
    QCOMPARE(UrlDecode(QString("a+b%2Ec")), QString("a+b.c"));
    QCOMPARE(UrlDecode(QString("100%")), QString("100%"));
    QCOMPARE(UrlDecode(QString("%zz%4")), QString("%zz%4"));
    QCOMPARE(UrlDecode(QString("%E9t%E9")), QString::fromUtf8("\u00e9t\u00e9")); // Latin-1
}

void TestNetUtils::redirectAndBrowser()
{
    dwtest::TempHome home;
    qputenv("DIALWISE_REDIRECT_HOST", "127.0.0.1:8088");
    ReloadProfile();
    platform::SetLaunchRecorder(record);
    g_launched.clear();
    OpenRedirect("a b.c", 2, raChatLink);
    QCOMPARE(g_launched,
             QStringList{"http://127.0.0.1:8088/redirect.asp?product=2&area=4&url=a%2Bb%2Ec"});
    g_launched.clear();
    OpenBrowser("http://127.0.0.1/search?q=two words");
    QCOMPARE(g_launched, QStringList{"http://127.0.0.1/search?q=two+words"});
    platform::SetLaunchRecorder(nullptr);
    qunsetenv("DIALWISE_REDIRECT_HOST");
    ReloadProfile();
}

void TestNetUtils::browserOutcome_data()
{
    QTest::addColumn<int>("exitCode"); // of the opener; -1: there is no opener
    QTest::newRow("opened") << 0;
    QTest::newRow("opener failed") << 4;
    QTest::newRow("no opener") << -1;
}

void TestNetUtils::browserOutcome()
{
    // A stand-in for the desktop's opener, first on the search path.
    QFETCH(int, exitCode);
    QTemporaryDir bin;
    const QString seen = bin.filePath("seen");
    const auto opened = [&seen] {
        QFile f(seen);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    };
    if (exitCode >= 0) {
        const QString opener = dwtest::writeFile(
            bin.filePath("xdg-open"),
            QString("#!/bin/sh\necho \"$1\" >> '%1'\nexit %2\n").arg(seen).arg(exitCode).toUtf8());
        QFile::setPermissions(opener, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    const QByteArray oldPath = qgetenv("PATH");
    qputenv("PATH", bin.path().toLocal8Bit());
    int outcome = -1;
    const bool started = platform::OpenUrl("http://127.0.0.1:9/x", [&](bool ok) { outcome = ok; });
    QStringList failures;
    SetBrowserFailureHandler(
        [&](const QString& caption, const QString& text) { failures << caption + ": " + text; });
    OpenBrowser("http://127.0.0.1:9/a b");
    qputenv("PATH", oldPath);
    QCOMPARE(started, exitCode >= 0);
    if (exitCode >= 0) {
        QTRY_VERIFY_WITH_TIMEOUT(outcome != -1, 20000);
        QCOMPARE(outcome, int(exitCode == 0));
        QTRY_VERIFY(opened().contains("http://127.0.0.1:9/a+b\n"));
        QVERIFY(opened().contains("http://127.0.0.1:9/x\n"));
    }
    const QStringList expected{"Error: Unable to launch web browser - http://127.0.0.1:9/a+b"};
    if (exitCode == 0) {
        // Give the second opener's end time to arrive: it must not count as a failure.
        QTest::qWait(300);
        QCOMPARE(failures, QStringList{});
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(failures, expected, 20000);
    }
    SetBrowserFailureHandler(nullptr);
}

void TestNetUtils::executeProgram()
{
    // Waiting returns the exit code; not waiting returns the process id.
    QCOMPARE(ExecuteProgram("", "sh -c \"exit 7\"", 1, true), qint64(7));
    QCOMPARE(ExecuteProgram("/bin/sh", "sh -c \"exit 3\"", 1, true), qint64(3));
    platform::SetLaunchRecorder(record);
    g_launched.clear();
    qint64 thread = 0;
    QVERIFY(ExecuteProgram("", "player --play \"my list.pls\"", 1, false, &thread) > 0);
    QCOMPARE(g_launched, QStringList{"player --play my list.pls"});
    QVERIFY(thread > 0);
    platform::SetLaunchRecorder(nullptr);
    try {
        ExecuteProgram("", "/nonexistent/program", 1, true);
        QFAIL("no exception");
    } catch (const EExecuteProgram& e) {
        QCOMPARE(e.Message, QString("Failed to execute program.  Error Code 2"));
    }
}

void TestNetUtils::tokensAndKeys()
{
    QString t = "a|b|c";
    QCOMPARE(NextToken(t, "|"), QString("b"));
    QCOMPARE(t, QString("|c"));
    QCOMPARE(NextToken(t, "|"), QString("c"));
    QCOMPARE(t, QString());
    t = "plain";
    QCOMPARE(NextToken(t, "|"), QString("plain"));
    QCOMPARE(t, QString());

    QString kv = "\\hostname\\x\\port\\1";
    QCOMPARE(GetKeyValue(kv, "hostname"), QString("x"));
    QCOMPARE(GetKeyValue(kv, "port"), QString("1"));
    QCOMPARE(GetKeyValue(kv, "Port"), QString()); // letter case counts
    QCOMPARE(GetKeyValue(kv, "hostname", true), QString("x"));
    QCOMPARE(kv, QString("\\port\\1"));
    QString ctl = "\\a\\one\ntail\\b\\2";
    QCOMPARE(GetKeyValue(ctl, "a", true), QString("one"));
    QCOMPARE(ctl, QString("\ntail\\b\\2"));
    QCOMPARE(GetKeyValue(QString("\\k\\"), "k"), QString());
}

void TestNetUtils::hostsAndPorts_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("port");
    QTest::addColumn<bool>("dotted");
    QTest::newRow("with port") << "10.1.2.3:27960"
                               << "10.1.2.3"
                               << "27960" << true;
    QTest::newRow("no port") << "host.name.com"
                             << "host.name.com"
                             << "99" << false;
    QTest::newRow("leading zero") << "010.1.2.3"
                                  << "010.1.2.3"
                                  << "99" << false;
    QTest::newRow("two dots") << "10.1.2"
                              << "10.1.2"
                              << "99" << false;
    QTest::newRow("bad port") << " 127.0.0.1:x1 "
                              << " 127.0.0.1"
                              << "99" << false;
    QTest::newRow("empty") << ""
                           << ""
                           << "99" << false;
}

void TestNetUtils::hostsAndPorts()
{
    QFETCH(QString, text);
    QFETCH(QString, host);
    QFETCH(QString, port);
    QFETCH(bool, dotted);
    QCOMPARE(HostOf(text), host);
    QCOMPARE(PortOf(text, "99"), port);
    QCOMPARE(IsDottedIP(text), dotted);
}

void TestNetUtils::base64AndChecksum()
{
    QCOMPARE(Base64Encode(QByteArray("user:pass")), QString("dXNlcjpwYXNz"));
    QCOMPARE(Base64Encode("ab", 2), QString("YWI="));
    QCOMPARE(Base64Decode("dXNlcjpwYXNz", 100), QByteArray("user:pass"));
    QCOMPARE(Base64Decode("dXNlcjpwYXNz", 4), QByteArray("user"));
    QCOMPARE(Base64Decode("YWI=", 100), QByteArray("ab\0", 3)); // "=" counts as 0
    QCOMPARE(Base64Decode("YW*j", 3), QByteArray("a`#"));       // "*" counts as 0
    QCOMPARE(Base64Decode("YWI", 100), QByteArray("ab"));
    QCOMPARE(TextChecksum("abc"), quint32(300));
    QCOMPARE(TextChecksum(""), quint32(0));
    // Positions wrap at 256.
    QCOMPARE(TextChecksum(QString(257, QChar(0))), quint32(255 * 256 / 2 + 1));
}

void TestNetUtils::smallHelpers()
{
    QString ctl = QString("a\tb") + QChar(0x7f) + QChar(0x85) + QChar(0x91) + QChar(0xa0) + "c";
    QCOMPARE(FilterChars(ctl, true), QString("ab") + QChar(0x91) + "c");
    QCOMPARE(FilterChars(ctl, false), QString("a b  ") + QChar(0x91) + " c");
    const QList<QPair<double, int>> rounding = {{2.5, 2}, {2.6, 3}, {4.6, 5},   {0.49, 0},
                                                {0.5, 0}, {-3, 0},  {9.99, 10}, {3e12, 2147483647}};
    for (const auto& r : rounding)
        QCOMPARE(RoundUpFromSix(r.first), r.second);
    QString rnd = RandomAlnum(200);
    QCOMPARE(rnd.size(), 200);
    QVERIFY(QRegularExpression("^[0-9A-Za-z]+$").match(rnd).hasMatch());
    QVERIFY(qAbs(UnixTimeNow() - QDateTime::currentSecsSinceEpoch()) <= 1);
}

void TestNetUtils::applyProxyAndSocks()
{
    THttpCli http;
    TWSocket sock;
    ApplyProxy(http); // no configuration yet: nothing happens
    QCOMPARE(http.ProxyPort, QString("80"));

    dwtest::TempHome home;
    TConfig config;
    config.SetChecked("useproxies", true);
    config.SetText("proxyaddr", "127.0.0.1");
    config.SetText("proxyport", "3128");
    config.SetText("proxyuser", "pu");
    config.SetText("proxypass", "pp");
    ApplyProxy(http);
    QCOMPARE((QStringList{http.Proxy, http.ProxyPort, http.ProxyUsername, http.ProxyPassword}),
             (QStringList{"127.0.0.1", "3128", "pu", "pp"}));

    config.SetChecked("useproxies", false);
    config.SetChecked("usesocksproxies", true);
    config.SetText("socksproxyaddr", "127.0.0.2");
    config.SetText("socksproxyuser", "su");
    config.SetText("socksproxypass", "sp");
    config.SetChecked("socks5butt", true);
    ApplyProxy(http);
    QVERIFY(http.Proxy.isEmpty() && http.ProxyUsername.isEmpty());
    TWSocket* s = http.CtrlSocket();
    QCOMPARE((QStringList{s->SocksServer(), s->SocksPort(), s->SocksUsercode(), s->SocksPassword(),
                          s->SocksLevel()}),
             (QStringList{"127.0.0.2", "1080", "su", "sp", "5"}));
    QCOMPARE(s->SocksAuthentication(), socksAuthenticateUsercode);

    config.SetText("socksproxyuser", "");
    config.SetChecked("socks4butt", true);
    config.SetChecked("socks5butt", false);
    ApplySocks(sock);
    QCOMPARE(sock.SocksLevel(), QString("4"));
    QCOMPARE(sock.SocksAuthentication(), socksNoAuthentication);

    config.SetChecked("usesocksproxies", false);
    ApplySocks(sock);
    ApplyProxy(http);
    QVERIFY(sock.SocksServer().isEmpty() && sock.SocksPort().isEmpty());
    QVERIFY(s->SocksServer().isEmpty());
}

void TestNetUtils::onlyWebAddressesLeave_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<bool>("opened");     // by OpenBrowser
    QTest::addColumn<bool>("redirected"); // by OpenRedirect, which sends only a web address
    QTest::newRow("http") << "http://127.0.0.1:81/help/" << true << true;
    QTest::newRow("https, upper case") << "HTTPS://127.0.0.1/x" << true << true;
    QTest::newRow("local settings file") << platform::RegistryFile() << false << true;
    QTest::newRow("file URL") << "file:///etc/passwd" << false << false;
    QTest::newRow("smb") << "smb://127.0.0.1/share" << false << false;
    QTest::newRow("javascript") << "javascript:alert(1)" << false << false;
    QTest::newRow("an option for the opener") << "--help" << false << true;
    QTest::newRow("http without a host") << "http:/etc/passwd" << false << false;
    QTest::newRow("line break") << "http://127.0.0.1/a\nb" << false << false;
    QTest::newRow("dialwise link") << "dialwise:fieldcount`1`action`play" << false << false;
}

void TestNetUtils::onlyWebAddressesLeave()
{
    QFETCH(QString, url);
    QFETCH(bool, opened);
    QFETCH(bool, redirected);
    dwtest::TempHome home;
    QStringList failures;
    platform::SetLaunchRecorder(record);
    SetBrowserFailureHandler([&](const QString&, const QString& text) { failures << text; });
    g_launched.clear();
    OpenBrowser(url);
    QCOMPARE(g_launched.size(), opened ? 1 : 0);
    g_launched.clear();
    OpenRedirect(url, 2, raChatLink);
    QCOMPARE(g_launched.size(), redirected ? 1 : 0);
    // What goes to the desktop is always the redirect service's own web address.
    if (redirected)
        QVERIFY(g_launched[0].startsWith("http://") && g_launched[0].contains("redirect.asp"));
    platform::SetLaunchRecorder(nullptr);
    SetBrowserFailureHandler(nullptr);
    QCOMPARE(failures.size(), int(!opened) + int(!redirected));
}

void TestNetUtils::stationAddresses_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("stream");
    QTest::addColumn<bool>("ok");
    QTest::newRow("IPv4 and port") << "127.0.0.9"
                                   << "8000"
                                   << "" << true;
    QTest::newRow("host name, port and path") << "radio-1.example.invalid"
                                              << "8000/live.mp3?x=1&y=2"
                                              << "" << true;
    QTest::newRow("escaped blank") << "127.0.0.9"
                                   << "8000/a%20b"
                                   << "" << true;
    QTest::newRow("stream server's \"/;\"") << "127.0.0.9"
                                            << "8000/;stream.mp3"
                                            << "" << true;
    QTest::newRow("stream address without a port") << "127.0.0.9"
                                                   << "/live"
                                                   << "http://127.0.0.9/live" << true;
    QTest::newRow("command substitution") << "127.0.0.9"
                                          << "8000/$(id)"
                                          << "" << false;
    QTest::newRow("back-quotes") << "127.0.0.9"
                                 << "8000/`id`"
                                 << "" << false;
    QTest::newRow("escaped line break") << "127.0.0.9"
                                        << "8000/a%0Ab"
                                        << "" << false;
    QTest::newRow("raw line break") << "127.0.0.9"
                                    << "8000/a\nFile2=x"
                                    << "" << false;
    QTest::newRow("blank") << "127.0.0.9"
                           << "8000/a b"
                           << "" << false;
    QTest::newRow("no port") << "127.0.0.9"
                             << ""
                             << "" << false;
    QTest::newRow("port too big") << "127.0.0.9"
                                  << "70000"
                                  << "" << false;
    QTest::newRow("port with a blank") << "127.0.0.9"
                                       << "8 "
                                       << "" << false;
    QTest::newRow("host with NUL characters") << QString("127.0.0") + QChar(0) + QChar(0) + ".1"
                                              << "8000"
                                              << "" << false;
    QTest::newRow("host as an option") << "-oProxyCommand=x"
                                       << "8000"
                                       << "" << false;
    QTest::newRow("IPv6") << "::1"
                          << "8000"
                          << "" << false;
    QTest::newRow("short IPv4") << "127.1"
                                << "8000"
                                << "" << false;
    QTest::newRow("underscore host") << "a_b.invalid"
                                     << "8000"
                                     << "" << false;
    QTest::newRow("file stream address") << "127.0.0.9"
                                         << "8000"
                                         << "file:///etc/passwd" << false;
    QTest::newRow("user information") << "127.0.0.9"
                                      << "8000"
                                      << "http://u:p@127.0.0.9:8000/" << false;
    QTest::newRow("stream path with quotes") << "127.0.0.9"
                                             << "8000"
                                             << "http://127.0.0.9:8000/'x'" << false;
}

void TestNetUtils::stationAddresses()
{
    QFETCH(QString, host);
    QFETCH(QString, port);
    QFETCH(QString, stream);
    QFETCH(bool, ok);
    const QString problem = StationProblem(host, port, stream);
    QVERIFY2(problem.isEmpty() == ok, qPrintable(problem));
}

QTEST_GUILESS_MAIN(TestNetUtils)
#include "test_netutils.moc"
