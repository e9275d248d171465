// The rules that tie a station to its pages and chat channel, as tables.
#include "customserver.h"
#include "stationpages.h"

#include <QTest>

using namespace stationpages;

namespace {
std::unique_ptr<TSCServer> station(const QString& addr, const QString& port, int kind = 0,
                                   const QString& stream = {}, const QString& name = {})
{
    auto s = std::make_unique<TSCServer>(addr, port);
    s->HostPort = port;
    s->PlayerKind = quint8(kind);
    s->StreamURL = stream;
    s->Name = name;
    return s;
}
} // namespace

class TestStationPages : public QObject
{
    Q_OBJECT
private slots:
    void stationKey_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("stream");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("query");
        QTest::newRow("mp3 station") << 0 << ""
                                     << "127.0.0.5:8000"
                                     << "?ip=127%2E0%2E0%2E5%3A8000";
        QTest::newRow("mp3 station keeps its address though it has a stream")
            << 0 << "http://h:8080/x"
            << "127.0.0.5:8000"
            << "?ip=127%2E0%2E0%2E5%3A8000";
        QTest::newRow("windows audio: stream without scheme") << 1 << "http://h:8080/x"
                                                              << "h:8080/x"
                                                              << "?ip=h%3A8080%2Fx";
        QTest::newRow("only the first scheme goes") << 2 << "mms://a/b?u=http://c"
                                                    << "a/b?u=http://c"
                                                    << "?ip=a%2Fb%3Fu%3Dhttp%3A%2F%2Fc";
        QTest::newRow("other kind without a stream falls back to the address")
            << 1 << ""
            << "127.0.0.5:8000"
            << "?ip=127%2E0%2E0%2E5%3A8000";
    }
    void stationKey()
    {
        QFETCH(int, kind);
        QFETCH(QString, stream);
        auto s = station("127.0.0.5", "8000", kind, stream);
        QTEST(StationKey(s.get()), "key");
        QTEST(PageQuery(s.get()), "query");
    }

    void channel_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("channel");
        QTest::newRow("example") << "Cool Jazz [Live365], Radio"
                                 << "8000"
                                 << "#Cool_Jazz___Radio(lt)";
        QTest::newRow("the last key character does not count") << "Cool Jazz [Live365], Radio"
                                                               << "8001"
                                                               << "#Cool_Jazz___Radio(lt)";
        QTest::newRow("lower-case mark") << "[live365]Talk"
                                         << "8000"
                                         << "#Talk(lt)";
        QTest::newRow("only the first mark goes") << "[Live365]A[Live365]"
                                                  << "8000"
                                                  << "#A[Live365](lt)";
        QTest::newRow("29 characters at most") << "abcdefghijklmnopqrstuvwxyz0123456789ABCD"
                                               << "8000"
                                               << "#abcdefghijklmnopqrstuvwxyz012(lt)";
        QTest::newRow("bell, high latin-1 controls and nbsp become underscores")
            << QString::fromUtf8("a\x07"
                                 "b\u0080c\u00a0d\u00a1e")
            << "8000" << QString::fromUtf8("#a_b_c_d\u00a1e(lt)");
    }
    void channel()
    {
        QFETCH(QString, name);
        QFETCH(QString, port);
        auto s = station("10.0.0.1", port, 0, {}, name);
        QTEST(StationChannel(s.get()), "channel");
    }

    void hash()
    {
        // Two characters of the 62-letter alphabet; another address gives another hash.
        QCOMPARE(ChannelHash("#10.0.0.1:8000"), QString("lt"));
        QVERIFY(ChannelHash("#10.0.0.2:8000") != ChannelHash("#10.0.0.1:8000"));
        QCOMPARE(ChannelHash("#"), QString("00"));
        QCOMPARE(ChannelHash(""), QString("00"));
    }

    void fixSongName_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("fixed");
        QTest::newRow("track number and artist go") << "7. Artist - Song Name"
                                                    << "Song Name";
        QTest::newRow("short part from the dash stays") << "Artist - Hey"
                                                        << "Artist - Hey";
        QTest::newRow("two-digit number stays") << "12. Song"
                                                << "12. Song";
        QTest::newRow("leading dot stays") << ".Song"
                                           << ".Song";
        QTest::newRow("last dash counts") << "A - B - Long Title "
                                          << "Long Title";
        QTest::newRow("no dash") << "Plain"
                                 << "Plain";
        QTest::newRow("letter before the dot stays") << "A. Song"
                                                     << "A. Song";
        QTest::newRow("empty") << ""
                               << "";
    }
    void fixSongName()
    {
        QFETCH(QString, title);
        QTEST(FixSongName(title), "fixed");
    }

    void fillTemplate_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("placeholder");
        QTest::addColumn<QString>("filled");
        QTest::newRow("first placeholder only") << "http://s/?q=%CD%&r=%CD%"
                                                << "%CD%"
                                                << "http://s/?q=X Y&r=%CD%";
        QTest::newRow("appended without placeholder") << "http://s/buy?q="
                                                      << "%CD%"
                                                      << "http://s/buy?q=X Y";
        QTest::newRow("search placeholder") << "http://s/%ST%/go"
                                            << "%ST%"
                                            << "http://s/X Y/go";
    }
    void fillTemplate()
    {
        QFETCH(QString, address);
        QFETCH(QString, placeholder);
        QTEST(FillTemplate(address, placeholder, "X Y"), "filled");
    }
};

QTEST_GUILESS_MAIN(TestStationPages)
#include "test_stationpages.moc"
