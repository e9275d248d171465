// The field-counted list text, its parser with its diagnostic lines, and the inflating of
// list bodies (zlib, gzip, plain text, broken streams).
#include "customserverlist.h"
#include "debuglog.h"
#include "serverlistparser.h"

#include <QTest>
#include <zlib.h>

namespace {

QStringList g_log;

// Reads every record as "a|b|c" with the values of the given fields.
QStringList ReadAll(const QByteArray& text, const QList<QByteArray>& fields, char sep = '\\')
{
    TServerListParser p(text, sep);
    QStringList out;
    while (p.NextRecord()) {
        QStringList vals;
        for (const QByteArray& f : fields)
            vals << QString::fromLatin1(p.GetValue(f));
        out << vals.join('|');
    }
    return out;
}

QByteArray Zlib(const QByteArray& in, int windowBits = 15)
{
    z_stream zs{};
    deflateInit2(&zs, 9, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
    QByteArray out(int(deflateBound(&zs, uLong(in.size()))) + 32, 0);
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    zs.avail_in = uInt(in.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = uInt(out.size());
    deflate(&zs, Z_FINISH);
    out.truncate(int(zs.total_out));
    deflateEnd(&zs);
    return out;
}

// A gzip member: the plain 10-byte header (or one with a file name), raw deflate, trailer.
QByteArray Gzip(const QByteArray& in, bool withName = false)
{
    QByteArray h("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10);
    if (withName) {
        h[3] = 0x08;
        h += QByteArray("list.txt", 9); // with its terminating zero
    }
    const quint32 crc =
        quint32(crc32(0, reinterpret_cast<const Bytef*>(in.data()), uInt(in.size())));
    QByteArray t(8, 0);
    for (int i = 0; i < 4; ++i) {
        t[i] = char(crc >> (8 * i));
        t[4 + i] = char(quint32(in.size()) >> (8 * i));
    }
    return h + Zlib(in, -15) + t;
}

QByteArray SampleList(int records)
{
    QByteArray t = "\\fieldcount\\3\\ip\\hostname\\numplayers";
    for (int i = 0; i < records; ++i)
        t += "\\127.0.0." + QByteArray::number(i % 250 + 1) + ":" + QByteArray::number(8000 + i) +
             "\\Station number " + QByteArray::number(i) + "\\" + QByteArray::number(i % 97);
    return t;
}

} // namespace

class TestServerListParser : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        SetDebugSink([](const QString& t, int ch) {
            if (ch == dcPerfOut) g_log << t;
        });
    }
    void init() { g_log.clear(); }
    void cleanupTestCase() { SetDebugSink(nullptr); }

    void records_data();
    void records();
    void fieldLookup();
    void inPlaceViews();
    void ipMapping_data();
    void ipMapping();
    void decompress_data();
    void decompress();
};

void TestServerListParser::records_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QStringList>("records"); // ip|hostname|genre
    QTest::addColumn<QStringList>("log");
    const QByteArray head = "\\fieldcount\\3\\ip\\hostname\\genre";
    QTest::newRow("well formed") << head +
                                        "\\127.0.0.1:8000\\Radio A\\rock\\127.0.0.2\\Radio B\\jazz"
                                 << QStringList{"127.0.0.1:8000|Radio A|rock",
                                                "127.0.0.2|Radio B|jazz"}
                                 << QStringList{"GetNext got a 0 at END", "eof:1"};
    QTest::newRow("final separator")
        << head + "\\127.0.0.1:8000\\Radio A\\rock\\127.0.0.2\\Radio B\\jazz\\"
        << QStringList{"127.0.0.1:8000|Radio A|rock", "127.0.0.2|Radio B|jazz"}
        << QStringList{"GetNext got a 0 at END", "eof:1"};
    QTest::newRow("partial last record")
        << head + "\\127.0.0.1\\A\\rock\\127.0.0.2" << QStringList{"127.0.0.1|A|rock"}
        << QStringList{"GetNext got a 0 at END", "eof:2"};
    // A token runs to the end of the text: a last record whose last value is empty is
    // whole, with or without the separator after it.
    QTest::newRow("empty last value") << head + "\\127.0.0.1\\A\\rock\\127.0.0.2\\B\\"
                                      << QStringList{"127.0.0.1|A|rock", "127.0.0.2|B|"}
                                      << QStringList{"GetNext got a 0 at END", "eof:0"};
    QTest::newRow("empty values") << head + "\\\\\\x" << QStringList{"||x"}
                                  << QStringList{"GetNext got a 0 at END", "eof:1"};
    QTest::newRow("one character")
        << QByteArray("\\") << QStringList() << QStringList{"short server list", "fieldcout 0"};
    QTest::newRow("empty") << QByteArray() << QStringList()
                           << QStringList{"short server list", "fieldcout 0"};
    QTest::newRow("header case counts")
        << QByteArray("\\FieldCount\\3\\ip\\hostname\\genre\\a\\b\\c") << QStringList()
        << QStringList{"fieldcount expected, found FieldCount", "fieldcout 0"};
    QTest::newRow("error page") << QByteArray("<html><body>Not found</body></html>")
                                << QStringList()
                                << QStringList{"GetNext got a 0 at END",
                                               "fieldcount expected, found ", "fieldcout 0"};
    QTest::newRow("count zero") << QByteArray("\\fieldcount\\0\\a\\b") << QStringList()
                                << QStringList{"fieldcout 0"};
    QTest::newRow("count not a number")
        << QByteArray("\\fieldcount\\x3\\a\\b") << QStringList() << QStringList{"fieldcout 0"};
    QTest::newRow("count negative")
        << QByteArray("\\fieldcount\\-2\\a\\b") << QStringList() << QStringList{"fieldcout 0"};
    QTest::newRow("names cut short") << QByteArray("\\fieldcount\\5\\ip\\hostname") << QStringList()
                                     << QStringList{"GetNext got a 0 at END", "fieldcout 0"};
}

void TestServerListParser::records()
{
    QFETCH(QByteArray, text);
    QFETCH(QStringList, records);
    QFETCH(QStringList, log);
    QCOMPARE(ReadAll(text, {"ip", "hostname", "genre"}), records);
    // The end of the text is reported at its length.
    log.replaceInStrings("END", QString::number(text.size()));
    QCOMPARE(g_log, log);
}

void TestServerListParser::fieldLookup()
{
    // Names ignore letter case, the first of repeated names wins, unknown names are empty.
    TServerListParser p("\\fieldcount\\3\\IP\\ip\\Genre\\127.0.0.1\\127.0.0.2\\rock");
    QCOMPARE(p.FieldCount(), 3);
    QVERIFY(p.NextRecord());
    QCOMPARE(p.GetValue("ip"), QByteArrayView("127.0.0.1"));
    QCOMPARE(p.GetValue("GENRE"), QByteArrayView("rock"));
    QVERIFY(p.GetValue("bitrate").isEmpty());
    QCOMPARE(p.FieldIndex("genre"), 2);
    QVERIFY(!p.NextRecord());

    // Another separator, as the link protocol uses.
    QCOMPARE(ReadAll("|fieldcount|2|a|b|1|2|3|4", {"b", "a"}, '|'), QStringList({"2|1", "4|3"}));
}

void TestServerListParser::inPlaceViews()
{
    // Values stay valid and unchanged while later records are read: they are views into
    // the parser's own buffer, not into the caller's text.
    QByteArray text = SampleList(3);
    const QByteArray copy = text;
    TServerListParser p(text);
    QVERIFY(p.NextRecord());
    const QByteArrayView first = p.GetValue("hostname");
    text.fill('x');
    QVERIFY(p.NextRecord());
    QCOMPARE(first, QByteArrayView("Station number 0"));
    QCOMPARE(text.size(), copy.size());
}

void TestServerListParser::ipMapping_data()
{
    QTest::addColumn<QByteArray>("ip");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("stream");
    QTest::newRow("address and port") << QByteArray("127.0.0.4:9000") << "127.0.0.4"
                                      << "9000"
                                      << "";
    QTest::newRow("address alone") << QByteArray("127.0.0.4") << "127.0.0.4"
                                   << "8000"
                                   << "";
    QTest::newRow("port not a number") << QByteArray("127.0.0.4:abc") << "127.0.0.4"
                                       << "8000"
                                       << "";
    QTest::newRow("empty") << QByteArray() << ""
                           << "8000"
                           << "";
    QTest::newRow("stream url") << QByteArray("http://127.0.0.5:8000/live") << "127.0.0.5"
                                << "8000/live"
                                << "http://127.0.0.5:8000/live";
    QTest::newRow("stream url without port") << QByteArray("http://127.0.0.5/a.mp3") << "127.0.0.5"
                                             << "/a.mp3"
                                             << "http://127.0.0.5/a.mp3";
}

void TestServerListParser::ipMapping()
{
    QFETCH(QByteArray, ip);
    QFETCH(QString, address);
    QFETCH(QString, port);
    QFETCH(QString, stream);
    const TStationAddress a = MapStationIp(ip);
    QCOMPARE(a.Address, address);
    QCOMPARE(a.Port, port);
    QCOMPARE(a.StreamURL, stream);
}

void TestServerListParser::decompress_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("expected");
    const QByteArray list = SampleList(200);
    const QByteArray small = SampleList(1);
    QTest::newRow("plain") << list << list;
    QTest::newRow("zlib") << Zlib(list) << list;
    QTest::newRow("gzip") << Gzip(list) << list;
    QTest::newRow("gzip with file name") << Gzip(list, true) << list;
    QTest::newRow("small zlib") << Zlib(small) << small;
    QTest::newRow("short body kept") << QByteArray("\\a\\b") << QByteArray("\\a\\b");
    // A broken stream keeps what it produced.
    const QByteArray z = Zlib(list);
    QByteArray corrupt = z;
    for (int i = z.size() / 2; i < z.size(); ++i)
        corrupt[i] = char(0xff);
    QTest::newRow("truncated") << z.left(z.size() / 2) << QByteArray("prefix");
    QTest::newRow("corrupt tail") << corrupt << QByteArray("prefix");
    // Not a stream at all, but holding a zero byte: inflating gives nothing, body stays.
    const QByteArray junk("\\fieldcount\0garbage-here", 23);
    QTest::newRow("zero byte, not compressed") << junk << junk;
}

void TestServerListParser::decompress()
{
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, expected);
    QByteArray b = body;
    DecompressListBody(b);
    if (expected == "prefix") {
        const QByteArray list = SampleList(200);
        QVERIFY(b.size() > 0 && b != body);
        // Up to the damage the text is the list's (a corrupt stream may still decode a
        // little garbage before inflate notices).
        QVERIFY(list.startsWith(b.left(list.size() / 4)));
        if (QByteArray(QTest::currentDataTag()) == "truncated") QVERIFY(list.startsWith(b));
        // The parser then drops the partial last record.
        const QStringList got = ReadAll(b, {"hostname"});
        QVERIFY(!got.isEmpty());
        QCOMPARE(got.first(), QString("Station number 0"));
    } else {
        QCOMPARE(b, expected);
    }
}

QTEST_GUILESS_MAIN(TestServerListParser)
#include "test_serverlistparser.moc"
