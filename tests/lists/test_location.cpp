// "dialwise:" location records read into a station and an action.
#include "customserver.h"
#include "location.h"
#include "netutils.h"

#include <QTest>

class TestLocation : public QObject
{
    Q_OBJECT
private slots:
    void parse_data()
    {
        QTest::addColumn<QString>("record");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("stream");
        QTest::addColumn<int>("kind");
        QTest::newRow("four fields")
            << "fieldcount`4`action`ip`hostname`type`play`127.0.0.1:8000`Some Station`0" << true
            << "play"
            << "127.0.0.1"
            << "8000"
            << "Some Station"
            << "" << 0;
        QTest::newRow("no port: 8000, no type: 0")
            << "fieldcount`3`action`ip`hostname`play`127.0.0.1`X" << true << "play"
            << "127.0.0.1"
            << "8000"
            << "X"
            << "" << 0;
        QTest::newRow("stream address")
            << "fieldcount`4`action`ip`hostname`type`add`http://h:8080/live`S`1" << true << "add"
            << "h"
            << "8080/live"
            << "S"
            << "http://h:8080/live" << 1;
        QTest::newRow("fields in another order, names in any case")
            << "fieldcount`3`HostName`IP`Action`N`127.0.0.2:9000`ShowInfo" << true << "ShowInfo"
            << "127.0.0.2"
            << "9000"
            << "N"
            << "" << 0;
        QTest::newRow("type not a number") << "fieldcount`2`ip`type`127.0.0.1:1`x" << true << ""
                                           << "127.0.0.1"
                                           << "1"
                                           << ""
                                           << "" << 0;
        QTest::newRow("one character too many before the record")
            << ":fieldcount`3`action`ip`hostname`play`127.0.0.1`X" << false << ""
            << ""
            << ""
            << ""
            << "" << 0;
        QTest::newRow("too few values")
            << "fieldcount`3`action`ip`hostname`play`127.0.0.1" << false << ""
            << ""
            << ""
            << ""
            << "" << 0;
        QTest::newRow("no fieldcount") << "action`ip`play`127.0.0.1" << false << ""
                                       << ""
                                       << ""
                                       << ""
                                       << "" << 0;
        QTest::newRow("huge field count") << "fieldcount`999999999`a`b" << false << ""
                                          << ""
                                          << ""
                                          << ""
                                          << "" << 0;
        QTest::newRow("empty") << "" << false << ""
                               << ""
                               << ""
                               << ""
                               << "" << 0;
    }
    void parse()
    {
        QFETCH(QString, record);
        QFETCH(bool, ok);
        QString action = "stale";
        auto s = location::ParseLocation(record, action);
        QCOMPARE(bool(s), ok);
        if (!ok) return;
        QTEST(action, "action");
        QTEST(s->Address, "address");
        QTEST(s->Port, "port");
        QCOMPARE(s->HostPort, s->Port);
        QTEST(s->Name, "name");
        QTEST(s->StreamURL, "stream");
        QTEST(int(s->PlayerKind), "kind");
    }

    void decodedLink()
    {
        // Pages send the back-quotes percent-encoded; the receiver decodes first.
        const QString link = location::MakeLink("play", "127.0.0.9:8010", "A Name", 0);
        QString encoded = link;
        encoded.replace("`", "%60").replace(" ", "%20");
        const QString decoded = UrlDecode(encoded);
        QCOMPARE(decoded, link);
        QString action;
        auto s = location::ParseLocation(decoded.mid(9), action);
        QVERIFY(s);
        QCOMPARE(s->Name, QString("A Name"));
        QCOMPARE(s->Port, QString("8010"));
    }

    void caps()
    {
        // A link longer than any station record is refused; long names are cut.
        QString action;
        QVERIFY(!location::ParseLocation(
            "fieldcount`2`action`ip`play`" + QString(location::MaxLinkLength, 'a'), action));
        auto s = location::ParseLocation(
            "fieldcount`3`action`ip`hostname`play`127.0.0.1`" + QString(1000, 'n'), action);
        QVERIFY(s);
        QCOMPARE(s->Name.size(), 256);
    }
};

QTEST_GUILESS_MAIN(TestLocation)
#include "test_location.moc"
