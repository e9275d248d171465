// The Radio Browser directory as a station source: the JSON station reader against the
// answers the API documents and hostile ones, and the list against loopback stand-ins
// over HTTP and HTTPS (a certificate made by the test): server fail-over, what stays when
// every server fails, the click count on play, the host look-up, favorites by uuid.
#include "config.h"
#include "favorites.h"
#include "radiobrowser.h"
#include "testsupport.h"

#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <functional>
#include <memory>

namespace {

QByteArray entry(const QByteArray& uuid, const QByteArray& name, const QByteArray& url,
                 const QByteArray& extra = {})
{
    return "{\"changeuuid\":\"5c2f7b9e-0000-4000-8000-000000000000\",\"stationuuid\":\"" + uuid +
           "\",\"name\":\"" + name + "\",\"url\":\"" + url + "\",\"url_resolved\":\"" + url +
           "\",\"homepage\":\"http://127.0.0.1/home\",\"favicon\":\"\",\"tags\":\"jazz,smooth "
           "jazz\",\"country\":\"Testland\",\"countrycode\":\"TL\",\"state\":\"\",\"language\":"
           "\"english\",\"languagecodes\":\"en\",\"votes\":3,\"lastchangetime_iso8601\":\"2024-01-"
           "01T00:00:00Z\",\"codec\":\"MP3\",\"bitrate\":128,\"hls\":0,\"lastcheckok\":1,"
           "\"clickcount\":42,\"clicktrend\":-1,\"ssl_error\":0,\"geo_lat\":null,\"geo_long\":null,"
           "\"has_extended_info\":false" +
           extra + "}";
}

const QByteArray kUuid1 = "96062a7b-0601-11e8-ae97-52543be04c81";
const QByteArray kUuid2 = "960e57c5-0601-11e8-ae97-52543be04c81";
const QByteArray kUuid3 = "9617a958-0601-11e8-ae97-52543be04c81";

QByteArray twoStations()
{
    return "[" + entry(kUuid1, "Radio One", "http://127.0.0.1:8000/live") + "," +
           entry(kUuid2, "Radio Two", "https://127.0.0.2/stream.mp3") + "]";
}

using dwtest::httpAnswer;
using StandIn = dwtest::HttpStandIn;

// Runs a refresh of `list` to its end; the stations reported.
QList<TRBStation*> refresh(TRadioBrowserList& list, bool all = true)
{
    QList<TRBStation*> done;
    bool complete = false;
    list.OnServerDone = [&](TCustomServerList*, TCustomServer* s) {
        done << static_cast<TRBStation*>(s);
        s->shared_from_this(); // the receiver may keep it
    };
    list.OnComplete = [&](TCustomServerList*) { complete = true; };
    if (all) list.RefreshAll();
    [&] { QTRY_VERIFY_WITH_TIMEOUT(complete, 30000); }();
    list.OnServerDone = nullptr;
    list.OnComplete = nullptr;
    return done;
}

QStringList names(const QList<TRBStation*>& stations)
{
    QStringList n;
    for (auto* s : stations)
        n << s->Name;
    n.sort();
    return n;
}

} // namespace

class TestRadioBrowser : public QObject
{
    Q_OBJECT
    dwtest::TempHome home_;
    QSslConfiguration serverTls_;
    bool haveTls_ = false;

private slots:
    void initTestCase()
    {
        ProgramValues().PingMode = 2; // the list's own values; pings are tested elsewhere
        // A certificate for "localhost", trusted by this process as a certificate authority
        // the system knew would be.
        haveTls_ = dwtest::localhostTls(home_.path(), serverTls_);
    }

    void readerMapsTheDocumentedFields()
    {
        const TRBReadResult r = ReadRadioBrowserStations(
            "[" +
            entry(kUuid1, "Caf\\u00e9 \\ud83c\\udfb5 Radio", "http://ignored.invalid/",
                  ",\"url_resolved\":\"https://127.0.0.3:8443/jazz?x=1\",\"hls\":1,"
                  "\"favicon\":\"https://127.0.0.3/icon.png\",\"nested\":{\"a\":[1,{\"b\":2}]}") +
            "]");
        QVERIFY2(r.Ok, qPrintable(r.Error));
        QCOMPARE(r.Stations.size(), 1);
        auto* s = static_cast<TRBStation*>(r.Stations[0].get());
        QCOMPARE(s->Name, QString::fromUtf8("Café 🎵 Radio"));
        // The later key wins, as in any JSON object; the resolved address is played.
        QCOMPARE(s->StreamURL, QString("https://127.0.0.3:8443/jazz?x=1"));
        QCOMPARE(s->Address, QString("127.0.0.3"));
        QCOMPARE(s->Port, QString("8443/jazz?x=1"));
        QCOMPARE(s->Uuid, QUuid::fromString(QLatin1String(kUuid1)));
        QCOMPARE(s->Genre, QString("jazz,smooth jazz"));
        QCOMPARE(s->Bitrate, 128);
        QCOMPARE(s->NumPlayers, 42);
        QCOMPARE(s->Codec, QString("MP3"));
        QVERIFY(s->Hls);
        QVERIFY(s->BuiltInOnly());
        {
            // An HLS stream on a plain address still plays in the built-in player only.
            TRBStation hls(QStringLiteral("127.0.0.3"), QStringLiteral("80/live"));
            hls.StreamURL = QStringLiteral("http://127.0.0.3/live");
            QVERIFY(!hls.BuiltInOnly());
            hls.Hls = true;
            QVERIFY(hls.BuiltInOnly());
        }
        QCOMPARE(s->URL, QString("http://127.0.0.1/home"));
        QCOMPARE(s->Favicon, QString("https://127.0.0.3/icon.png"));
        // Its logo key: the favicon, kept in the picture cache by the station's uuid.
        QCOMPARE(s->StationLogo().Name, "rb-" + QString(kUuid1) + ".png");
        QCOMPARE(s->StationLogo().URL, s->Favicon);
        QVERIFY(s->StationLogo().Favicon);
        QCOMPARE(s->Country, QString("Testland"));
        QCOMPARE(s->Language, QString("english"));
        QCOMPARE(s->PlayerKind, quint8(0));
        QStringList cols;
        s->GetColumns(cols);
        QCOMPARE(cols.value(2), QString("42")); // the click count, no capacity
        bool country = false;
        for (const TRule& l : s->InfoLines())
            country |= l.Key == "Country" && l.Value == "Testland (TL)";
        QVERIFY(country);
        QCOMPARE(TFavorites::KeyOf(s), s->StreamURL);
    }

    void readerSkipsBadEntries_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QString>("reason");
        const QByteArray good = entry(kUuid1, "Good", "http://127.0.0.1:8000/");
        QTest::newRow("empty list") << QByteArray("[ ]") << true << QStringList() << QString();
        QTest::newRow("not a list") << QByteArray("{\"error\":\"x\"}") << false << QStringList()
                                    << QString("no JSON array");
        QTest::newRow("html error page")
            << QByteArray("<html>502</html>") << false << QStringList() << QString("no JSON array");
        QTest::newRow("truncated") << ("[" + good + "," + good.left(good.size() / 2)) << false
                                   << QStringList() << QString("malformed");
        QTest::newRow("no closing bracket")
            << ("[" + good) << false << QStringList() << QString("ends early");
        QTest::newRow("garbage after")
            << ("[" + good + "]x") << false << QStringList() << QString("text after");
        QTest::newRow("missing uuid")
            << ("[" + good + ",{\"name\":\"No uuid\",\"url\":\"http://127.0.0.1/\"}]") << true
            << QStringList{"Good"} << QString("no station uuid: 1");
        QTest::newRow("missing url")
            << ("[" + good + ",{\"stationuuid\":\"" + kUuid2 + "\",\"name\":\"No url\"}]") << true
            << QStringList{"Good"} << QString("no stream address: 1");
        QTest::newRow("duplicate uuid")
            << ("[" + good + "," + entry(kUuid1, "Again", "http://127.0.0.1:8001/") + "]") << true
            << QStringList{"Good"} << QString("duplicate uuid: 1");
        QTest::newRow("not http") << ("[" + good + "," +
                                      entry(kUuid2, "File", "file:///etc/passwd") + "," +
                                      entry(kUuid3, "Script", "javascript:alert(1)") + "]")
                                  << true << QStringList{"Good"}
                                  << QString("stream address not http(s): 2");
        QTest::newRow("control characters")
            << ("[" + entry(kUuid1, "Bell\\u0007 and\\r\\nbreak\\u202e", "http://127.0.0.1/") +
                "," + entry(kUuid2, "\\u0001\\u0002", "http://127.0.0.1/") + "]")
            << true << QStringList{"Bell and break"} << QString("no name: 1");
        QTest::newRow("unknown codec")
            << ("[" + entry(kUuid1, "Odd", "http://127.0.0.1/", ",\"codec\":\"ZZZ-99\"") + "]")
            << true << QStringList{"Odd"} << QString("unknown codec (kept, built-in player): 1");
        QTest::newRow("wrong types")
            << ("[" +
                entry(kUuid1, "Types", "http://127.0.0.1/",
                      ",\"bitrate\":\"abc\",\"clickcount\":-5,\"hls\":true,\"tags\":[1]") +
                ",17,\"text\",null]")
            << true << QStringList{"Types"} << QString("not an object: 3");
        QTest::newRow("too deep") << (QByteArray(100, '[') + QByteArray(100, ']')) << false
                                  << QStringList() << QString("nested too deeply");
        QTest::newRow("bad escape") << QByteArray("[{\"name\":\"a\\q\"}]") << false << QStringList()
                                    << QString("bad escape");
        QTest::newRow("byte order mark")
            << ("\xef\xbb\xbf[" + good + "]") << true << QStringList{"Good"} << QString();
    }

    void readerSkipsBadEntries()
    {
        QFETCH(QByteArray, json);
        QFETCH(bool, ok);
        QFETCH(QStringList, names);
        QFETCH(QString, reason);
        const TRBReadResult r = ReadRadioBrowserStations(json);
        QCOMPARE(r.Ok, ok);
        QStringList got;
        for (const TServerRef& s : r.Stations)
            got << s->Name;
        QCOMPARE(got, names);
        if (!ok) QVERIFY2(r.Error.contains(reason), qPrintable(r.Error));
        if (ok && !reason.isEmpty())
            QVERIFY2(r.Reasons.contains(reason), qPrintable(r.Reasons.join(" | ")));
        if (ok && reason.isEmpty()) QVERIFY(r.Reasons.isEmpty());
    }

    void tagsReader()
    {
        QString error;
        const QList<TRBTag> tags = ReadRadioBrowserTags(
            "[{\"name\":\"rock\",\"stationcount\":5000},{\"name\":\"\\u0007\"},{\"name\":\"jazz\","
            "\"stationcount\":-3},7]",
            &error);
        QCOMPARE(tags.size(), 2);
        QCOMPARE(tags[0].Name, QString("rock"));
        QCOMPARE(tags[0].StationCount, 5000);
        QCOMPARE(tags[1].StationCount, 0);
        QVERIFY(ReadRadioBrowserTags("[{", &error).isEmpty());
        QVERIFY(!error.isEmpty());
    }

    void listsOverHttpAndHttps_data()
    {
        QTest::addColumn<bool>("tls");
        QTest::newRow("http") << false;
        QTest::newRow("https") << true;
    }

    void listsOverHttpAndHttps()
    {
        QFETCH(bool, tls);
        if (tls && !haveTls_) DW_PEER_MISSING("openssl", "no certificate could be made");
        StandIn api;
        api.answer = [](const QByteArray&) { return httpAnswer(200, twoStations()); };
        QVERIFY(api.listen(tls, serverTls_));
        TRadioBrowserList list;
        list.Servers_.SetServers(api.url(tls));
        list.SetGenre("Smooth Jazz");
        const auto done = refresh(list);
        QCOMPARE(names(done), (QStringList{"Radio One", "Radio Two"}));
        QCOMPARE(list.StationCount, 2);
        QCOMPARE(list.TotalListeners, 84);
        QVERIFY(list.LastError.isEmpty());
        const QByteArray head = api.heads.value(0);
        QVERIFY2(head.startsWith("GET /json/stations/search?tag=smooth%20jazz&tagExact=true&"
                                 "hidebroken=true&order=clickcount&reverse=true&limit="),
                 head.constData());
        QVERIFY2(head.contains("\r\nUser-Agent: Dialwise/10.01.22\r\n"), head.constData());

        // "(All Servers)": the most played; a name search.
        list.SetGenre("(All Servers)");
        refresh(list);
        QVERIFY(
            api.lastPath().startsWith("/json/stations/search?hidebroken=true&order=clickcount"));
        list.SetNameSearch("Radio & Two");
        refresh(list);
        QVERIFY2(api.lastPath().startsWith("/json/stations/search?name=Radio%20%26%20Two&"),
                 api.lastPath().constData());
    }

    void failOverAndWhatStays()
    {
        StandIn good, malformed, refusing, silent;
        good.answer = [](const QByteArray&) { return httpAnswer(200, twoStations()); };
        malformed.answer = [](const QByteArray&) { return httpAnswer(200, "[{\"stationuuid\":"); };
        refusing.answer = [](const QByteArray&) { return httpAnswer(503, "busy"); };
        QVERIFY(good.listen() && malformed.listen() && refusing.listen() && silent.listen());
        const QString dead = QString("http://127.0.0.1:%1").arg(dwtest::freePort());
        TRadioBrowserList list;
        list.RequestTimeoutMs = 500;
        list.Servers_.SetServers(
            QStringList{dead, malformed.url(), refusing.url(), silent.url(), good.url()}.join(","));
        QCOMPARE(list.Servers_.Candidates().size(), 5);
        // Whichever server is picked first, the refresh ends with the good one's stations.
        for (int round = 0; round < 3; ++round) {
            const auto done = refresh(list);
            QCOMPARE(names(done), (QStringList{"Radio One", "Radio Two"}));
            QVERIFY(list.LastError.isEmpty());
        }
        // Every server fails: the stations shown before stay, with the reason.
        good.answer = [](const QByteArray&) {
            return httpAnswer(200, "[" + entry(kUuid1, "X", "http://127.0.0.1/"));
        };
        const auto kept = refresh(list);
        QCOMPARE(names(kept), (QStringList{"Radio One", "Radio Two"}));
        QVERIFY(!list.LastError.isEmpty());
    }

    void refreshKeepsUnchangedStations_data()
    {
        QTest::addColumn<bool>("worker");
        QTest::newRow("read on the loop") << false;
        QTest::newRow("read on a worker") << true;
    }

    // A refresh keeps the station objects whose texts the directory sends unchanged (their
    // figures updated), and makes new ones for the others.
    void refreshKeepsUnchangedStations()
    {
        QFETCH(bool, worker);
        QByteArray body = twoStations();
        StandIn api;
        api.answer = [&](const QByteArray&) { return httpAnswer(200, body); };
        QVERIFY(api.listen());
        TRadioBrowserList list;
        list.Servers_.SetServers(api.url());
        if (worker) list.OffThreadParseBytes = 0;
        auto byUuid = [](const QList<TRBStation*>& done) {
            QHash<QByteArray, TServerRef> out;
            for (TRBStation* s : done)
                out.insert(s->Uuid.toByteArray(QUuid::WithoutBraces), s->shared_from_this());
            return out;
        };
        const auto before = byUuid(refresh(list));
        QCOMPARE(before.size(), 2);

        body = "[" +
               entry(kUuid1, "Radio One", "http://127.0.0.1:8000/live",
                     ",\"clickcount\":7,\"bitrate\":64,\"hls\":1") +
               "," + entry(kUuid2, "Radio Two Mended", "https://127.0.0.2/stream.mp3") + "," +
               entry(kUuid3, "Radio Three", "http://127.0.0.3/") + "]";
        auto after = byUuid(refresh(list));
        QCOMPARE(after.size(), 3);
        auto* one = static_cast<TRBStation*>(after.value(kUuid1).get());
        QCOMPARE(one, before.value(kUuid1).get());
        QCOMPARE(one->NumPlayers, 7);
        QCOMPARE(one->Bitrate, 64);
        QVERIFY(one->Hls);
        QVERIFY(after.value(kUuid2) != before.value(kUuid2));
        QCOMPARE(after.value(kUuid2)->Name, QString("Radio Two Mended"));
        QCOMPARE(before.value(kUuid2)->Name, QString("Radio Two")); // not changed under a holder
        QCOMPARE(list.TotalListeners, 7 + 42 + 42);

        // A failed refresh keeps the list, and what the next one may keep.
        const QByteArray good = body;
        body = "[{\"stationuuid\":";
        QCOMPARE(refresh(list).size(), 3);
        QVERIFY(!list.LastError.isEmpty());
        body = good;
        QCOMPARE(byUuid(refresh(list)).value(kUuid3), after.value(kUuid3));
    }

    void oversizedAnswerIsRefused()
    {
        // A 100 MB answer: the transfer ends at the limit and the stations before stay.
        StandIn big;
        QByteArray huge = "[" + entry(kUuid1, "Huge", "http://127.0.0.1/");
        huge.append(QByteArray(100 * 1024 * 1024, ' '));
        huge.append("]");
        big.answer = [&](const QByteArray&) { return httpAnswer(200, huge); };
        QVERIFY(big.listen());
        TRadioBrowserList list;
        list.Servers_.SetServers(big.url());
        const auto done = refresh(list);
        QVERIFY(done.isEmpty());
        QVERIFY2(list.LastError.contains("larger than"), qPrintable(list.LastError));
    }

    void playIsCounted()
    {
        StandIn api;
        api.answer = [](const QByteArray& head) {
            if (head.startsWith("GET /json/url/"))
                return httpAnswer(200, "{\"ok\":true,\"message\":\"retrieved station url\"}");
            return httpAnswer(200, twoStations());
        };
        QVERIFY(api.listen());
        TRadioBrowserList list;
        list.Servers_.SetServers(api.url());
        const auto done = refresh(list);
        QCOMPARE(done.size(), 2);
        TRBStation* one = done[0]->Name == "Radio One" ? done[0] : done[1];
        list.StationLaunched(one);
        QTRY_COMPARE(api.heads.size(), 2);
        QVERIFY2(api.heads[1].startsWith("GET /json/url/" + kUuid1 + " HTTP/1.1"),
                 api.heads[1].constData());
        QVERIFY(api.heads[1].contains("User-Agent: Dialwise/"));
        // A station of another source is not the directory's to count.
        TSCServer other("127.0.0.1", "8000");
        list.StationLaunched(&other);
        QTest::qWait(200);
        QCOMPARE(api.heads.size(), 2);
    }

    void serversFoundByName()
    {
        // The default choice looks a name up without blocking and names each address;
        // "localhost" stands in for the directory's name here.
        StandIn api;
        api.answer = [](const QByteArray&) { return httpAnswer(200, twoStations()); };
        QVERIFY(api.listen());
        TRadioBrowserList list;
        list.Servers_.SetLookup("localhost", "http", api.port());
        QVERIFY(!list.Servers_.Known());
        const auto done = refresh(list);
        QCOMPARE(done.size(), 2);
        QVERIFY(list.Servers_.Known());
        QVERIFY2(!list.Servers_.Candidates().isEmpty(), "no candidate");
        // A name with no address ends with the stations before, and a reason.
        TRadioBrowserList nowhere;
        nowhere.RequestTimeoutMs = 2000;
        nowhere.Servers_.SetLookup("no-such-host.invalid", "http", api.port());
        QVERIFY(refresh(nowhere).isEmpty());
        QVERIFY(!nowhere.LastError.isEmpty());
    }

    void favoritesRoundTrip()
    {
        StandIn api;
        api.answer = [](const QByteArray& head) {
            if (head.startsWith("GET /json/stations/byuuid"))
                return httpAnswer(
                    200,
                    "[" + entry(kUuid1, "Radio One Renamed", "http://127.0.0.1:8009/new") + "]");
            return httpAnswer(200, twoStations());
        };
        QVERIFY(api.listen());
        TRadioBrowserList list;
        list.Servers_.SetServers(api.url());
        const auto done = refresh(list);
        QCOMPARE(done.size(), 2);

        // Both directory stations and a list-server station, kept across a restart.
        TFavorites favs;
        for (TRBStation* s : done)
            QVERIFY(favs.Add(TFavorites::KeyOf(s), TFavorites::UuidOf(s)));
        QVERIFY(favs.Add("127.0.0.5:8000"));
        QVERIFY(!favs.Add("127.0.0.5:8000"));
        QVERIFY(!favs.Add("evil\nline"));
        const QString file = home_.file("favors.txt");
        QVERIFY(favs.Save(file));
        TFavorites again;
        again.Load(file);
        QCOMPARE(again.Keys(), favs.Keys());
        QCOMPARE(again.UuidOf(QString("http://127.0.0.1:8000/live")),
                 QUuid::fromString(QLatin1String(kUuid1)));
        QVERIFY(again.UuidOf(QString("127.0.0.5:8000")).isNull());
        QVERIFY(again.Contains("HTTP://127.0.0.1:8000/LIVE")); // without regard to case
        QVERIFY(again.Remove("127.0.0.5:8000"));

        // Refreshed by uuid: the directory's answer updates them in place; the one it no
        // longer knows keeps its stream address as its name.
        QList<TServerRef> stations;
        for (const QString& k : again.Keys())
            stations << TFavorites::StationFor(list, k, again.UuidOf(k));
        list.OnServerDone = nullptr;
        bool complete = false;
        list.OnComplete = [&](TCustomServerList*) { complete = true; };
        list.UpdateServers(stations);
        QTRY_VERIFY_WITH_TIMEOUT(complete, 20000);
        QVERIFY2(api.lastPath() == "/json/stations/byuuid?uuids=" + kUuid1 + "," + kUuid2 ||
                     api.lastPath() == "/json/stations/byuuid?uuids=" + kUuid2 + "," + kUuid1,
                 api.lastPath().constData());
        QStringList got;
        for (const TServerRef& s : stations)
            got << s->Name;
        got.sort();
        QCOMPARE(got, (QStringList{"Radio One Renamed", "https://127.0.0.2/stream.mp3"}));
    }
};

QTEST_GUILESS_MAIN(TestRadioBrowser)
#include "test_radiobrowser.moc"
