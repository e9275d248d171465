// The station list: sort rules, the cell rules of both styles (speed bar, quality bars,
// pictures, too-fast stations), column setup, saved state, row ownership, events, and the
// drawn list itself.
#include "config.h"
#include "customserver.h"
#include "platform.h"
#include "registry.h"
#include "serverview.h"
#include "skins.h"
#include "testsupport.h"

#include <QDir>
#include <QHeaderView>
#include <QImage>
#include <QPainter>
#include <QScrollBar>
#include <QtTest>

#include <memory>

namespace {

struct StationFields
{
    QString Name;
    int Ping = 100;
    int Num = 5;
    int Max = 10;
    int Bitrate = 128;
    int Kind = 0;
    int Avg = 0;
    int UpSince = 0;
};

int g_destroyed = 0;

class CountedStation : public TSCServer
{
public:
    using TSCServer::TSCServer;
    ~CountedStation() override { ++g_destroyed; }
};

std::unique_ptr<TSCServer> makeStation(const StationFields& fields, int n = 1)
{
    auto s = std::make_unique<CountedStation>(QStringLiteral("127.0.0.%1").arg(n), "8000");
    s->Name = fields.Name;
    s->Ping = fields.Ping;
    s->NumPlayers = fields.Num;
    s->MaxPlayers = fields.Max;
    s->Bitrate = fields.Bitrate;
    s->PlayerKind = quint8(fields.Kind);
    s->AvgTime = fields.Avg;
    s->UpSince = fields.UpSince;
    s->Genre = "Rock";
    s->Answered = true;
    return s;
}

QStringList rowNames(const TServerView& v)
{
    QStringList out;
    for (int i = 0; i < v.RowCount(); ++i)
        out << v.model()->index(i, 0).data().toString();
    return out;
}

// Pixels of an image region that satisfy a test.
template <class Pred> int countPixels(const QImage& img, const QRect& r, Pred pred)
{
    int n = 0;
    const QRect c = r & img.rect();
    for (int y = c.top(); y <= c.bottom(); ++y)
        for (int x = c.left(); x <= c.right(); ++x)
            if (pred(QColor(img.pixel(x, y)))) ++n;
    return n;
}

bool reddish(const QColor& c)
{
    return c.red() > 160 && c.green() < 90 && c.blue() < 90;
}

} // namespace

Q_DECLARE_METATYPE(StationFields)

class TestServerView : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();

    void sortRules_data();
    void sortRules();
    void sortingRows();
    void columnClickScrollsSelectionToTop();
    void qualityBars_data();
    void qualityBars();
    void speedBar_data();
    void speedBar();
    void pictures();
    void tooFast_data();
    void tooFast();
    void columnSetup();
    void savedState_data();
    void savedState();
    void rowsOwnStations();
    void batchedRows();
    void selectAndLaunch();
    void fontChangeRowHeight();
    void drawnList();

private:
    std::unique_ptr<dwtest::TempHome> home_;
    std::unique_ptr<TConfig> config_;
};

void TestServerView::initTestCase()
{
    home_ = std::make_unique<dwtest::TempHome>();
    config_ = std::make_unique<TConfig>();
}

void TestServerView::init()
{
    TRegistry::DeleteKey(TServerView::ColumnsKey());
    TRegistry::DeleteKey(TServerView::SortKey());
    config_->SetItemIndex("speedbox", -1);
}

// ---------------------------------------------------------------------------------------

void TestServerView::sortRules_data()
{
    QTest::addColumn<int>("kind"); // column kind, 0 = the name column
    QTest::addColumn<StationFields>("a");
    QTest::addColumn<StationFields>("b");
    QTest::addColumn<int>("expected");

    auto st = [](QString name) { return StationFields{name}; };
    StationFields k1_64 = st("a"), k0_96 = st("b"), k2_64 = st("c"), k3_64 = st("d");
    k1_64.Kind = 1, k1_64.Bitrate = 64;
    k0_96.Bitrate = 96;
    k2_64.Kind = 2, k2_64.Bitrate = 64;
    k3_64.Kind = 3, k3_64.Bitrate = 64;
    QTest::newRow("bitrate doubled for kind 1") << int(ckBitrate) << k1_64 << k0_96 << 1;
    QTest::newRow("bitrate kind 2 not doubled") << int(ckBitrate) << k2_64 << k0_96 << -1;
    StationFields k0_64 = k0_96;
    k0_64.Bitrate = 64;
    QTest::newRow("bitrate kind 3 not doubled") << int(ckBitrate) << k3_64 << k0_64 << 0;

    StationFields l5_10 = st("a"), l5_20 = st("b"), l12_50 = st("c"), l5_100 = st("d");
    l5_20.Max = 20;
    l12_50.Num = 12, l12_50.Max = 50;
    l5_100.Max = 100;
    QTest::newRow("listeners 5/10 < 5/20") << int(ckPlayers) << l5_10 << l5_20 << -1;
    QTest::newRow("listeners 12/50 > 5/100") << int(ckPlayers) << l12_50 << l5_100 << 1;
    QTest::newRow("listeners equal") << int(ckPlayers) << l5_10 << l5_10 << 0;

    QTest::newRow("same name") << 0 << st("Radio One") << st("Radio One") << 0;
    QTest::newRow("names ignore ASCII case") << 0 << st("RADIO one") << st("radio ONE") << 0;
    QTest::newRow("names by bytes") << 0 << st("abc") << st("ABD") << -1;
    QTest::newRow("non-ASCII after ASCII") << 0 << st("\u00c9cole") << st("ecole") << 1;

    StationFields up1000 = st("a"), up2000 = st("b"), up0 = st("c");
    up1000.UpSince = 1000, up2000.UpSince = 2000;
    QTest::newRow("uptime: longest running first") << int(ckUptime) << up1000 << up2000 << -1;
    QTest::newRow("uptime: unknown before all") << int(ckUptime) << up0 << up1000 << -1;

    StationFields avg300 = st("a"), avg200 = st("b");
    avg300.Avg = 300, avg200.Avg = 200;
    QTest::newRow("average time") << int(ckAvgTime) << avg300 << avg200 << 1;

    StationFields p9999 = st("a"), p120 = st("b"), p0 = st("c");
    p9999.Ping = 9999, p120.Ping = 120, p0.Ping = 0;
    QTest::newRow("ping as numbers") << int(ckPing) << p9999 << p120 << 1;
    QTest::newRow("ping 0 first") << int(ckPing) << p0 << p120 << -1;
}

void TestServerView::sortRules()
{
    QFETCH(int, kind);
    QFETCH(StationFields, a);
    QFETCH(StationFields, b);
    QFETCH(int, expected);
    TServerView v;
    v.SetupColumns(TSCServer::Class(), 1);
    int column = 0;
    if (kind != 0) {
        const TColumnNames names = TSCServer::Class().ColumnNames();
        for (int i = 0; i < names.size(); ++i)
            if (names[i].Kind == kind) column = i;
        QVERIFY(column > 0);
    }
    auto sa = makeStation(a), sb = makeStation(b);
    QCOMPARE(TServerView::SortCompare(*sa, *sb, column, v), expected);
    QCOMPARE(TServerView::SortCompare(*sb, *sa, column, v), -expected);
    // The rows are sorted from the stations' fields; the cell texts give the same order.
    QStringList ta, tb;
    sa->GetColumns(ta);
    sb->GetColumns(tb);
    QCOMPARE(TServerView::CompareKeys(v.SortValue(*sa, ta.value(column), column),
                                      v.SortValue(*sb, tb.value(column), column)),
             expected);
}

// The rows themselves follow the rules, both directions, keeping equal rows in place.
void TestServerView::sortingRows()
{
    TServerView v;
    v.SetupColumns(TSCServer::Class(), 1);
    const QList<StationFields> rows = {
        {"delta", 300, 5, 10, 96, 0},
        {"Alpha", 9999, 5, 20, 64, 1},
        {"charlie", 40, 12, 50, 128, 2},
        {"bravo", 40, 0, 10, 24, 0},
    };
    int n = 1;
    for (const StationFields& s : rows)
        v.StationDone(makeStation(s, n++));
    QCOMPARE(rowNames(v), QStringList({"delta", "Alpha", "charlie", "bravo"}));

    v.SortBy(0, true);
    QCOMPARE(rowNames(v), QStringList({"Alpha", "bravo", "charlie", "delta"}));
    v.SortBy(v.BitrateColumn, true); // 24, 96, 128 (64 doubled), 128
    QCOMPARE(rowNames(v), QStringList({"bravo", "delta", "Alpha", "charlie"}));
    v.SortBy(v.PingColumn, true); // equal pings keep their order
    QCOMPARE(rowNames(v), QStringList({"bravo", "charlie", "delta", "Alpha"}));
    v.SortBy(v.PingColumn, false);
    QCOMPARE(rowNames(v), QStringList({"Alpha", "delta", "bravo", "charlie"}));
    v.SortBy(v.PlayersColumn, false);
    QCOMPARE(rowNames(v), QStringList({"charlie", "Alpha", "delta", "bravo"}));

    // A refreshed station's new values count at the next sort.
    auto* alpha = v.Station(1);
    alpha->Ping = 1;
    v.StationDone(alpha);
    QCOMPARE(v.RowCount(), 4);
    v.SortBy(v.PingColumn, true);
    QCOMPARE(rowNames(v).first(), QString("Alpha"));

    // Names alike in their first bytes, differing in case only, or one the start of
    // another; equal ones keep their order in both directions.
    TServerView w;
    w.SetupColumns(TSCServer::Class(), 1);
    const QStringList names = {"Radio Station B", "radio station a2", "Radio Station",
                               "RADIO STATION A", "radio station b",  "Radio Statio\u00e9n"};
    for (const QString& name : names)
        w.StationDone(makeStation({name}, n++));
    w.SortBy(0, true);
    QCOMPARE(rowNames(w),
             QStringList({"Radio Station", "RADIO STATION A", "radio station a2", "Radio Station B",
                          "radio station b", "Radio Statio\u00e9n"}));
    w.SortBy(0, false);
    QCOMPARE(rowNames(w), QStringList({"Radio Statio\u00e9n", "Radio Station B", "radio station b",
                                       "radio station a2", "RADIO STATION A", "Radio Station"}));
}

void TestServerView::columnClickScrollsSelectionToTop()
{
    TServerView v;
    v.SetupColumns(TSCServer::Class(), 1);
    v.resize(700, 300);
    v.show();
    QVERIFY(QTest::qWaitForWindowExposed(&v));
    for (int i = 0; i < 200; ++i)
        v.StationDone(makeStation(
            {QStringLiteral("station %1").arg(i, 3, 10, QChar('0')), (i * 37) % 900}, i % 250 + 1));
    QCOMPARE(v.SortColumn(), 1);
    QVERIFY(v.SortAscending());

    TCustomServer* target = v.Station(150);
    v.SetCurrentRow(150);
    v.ColumnClick(1); // the current column: reverses
    QVERIFY(!v.SortAscending());
    QCOMPARE(v.CurrentStation(), target); // the selection follows its station
    QTRY_COMPARE(v.RowRect(v.RowOf(target)).top(), 0);

    v.verticalScrollBar()->setValue(0);
    v.ColumnClick(0); // another column: ascending
    QCOMPARE(v.SortColumn(), 0);
    QVERIFY(v.SortAscending());
    QCOMPARE(v.RowOf(target), 150); // names were in order already
    QTRY_COMPARE(v.RowRect(v.RowOf(target)).top(), 0);

    // Without a selection nothing moves.
    v.clearSelection();
    v.verticalScrollBar()->setValue(0);
    v.ColumnClick(0);
    QCoreApplication::sendPostedEvents(&v);
    QCOMPARE(v.verticalScrollBar()->value(), 0);
}

// ---------------------------------------------------------------------------------------

void TestServerView::qualityBars_data()
{
    QTest::addColumn<int>("bitrate");
    QTest::addColumn<int>("bars");
    for (auto [rate, bars] : {std::pair{0, 1}, {28, 1}, {29, 2}, {48, 2}, {112, 3}, {113, 4}})
        QTest::addRow("%d", rate) << rate << bars;
}

void TestServerView::qualityBars()
{
    QFETCH(int, bitrate);
    QFETCH(int, bars);
    QCOMPARE(TServerView::QualityBars(bitrate), bars);
}

void TestServerView::speedBar_data()
{
    QTest::addColumn<int>("ping");
    QTest::addColumn<int>("right"); // cell from x 0
    QTest::addColumn<int>("s");
    QTest::addColumn<int>("width");
    QTest::addColumn<QColor>("color"); // invalid: not checked

    const QColor red(255, 0, 0), yellow(255, 255, 0), green(0, 255, 0);
    QTest::newRow("ping 0: full green") << 0 << 60 << 63 << 55 << green;
    QTest::newRow("ping 630: one red pixel") << 630 << 60 << 0 << 1 << red;
    QTest::newRow("no answer") << 9999 << 60 << 0 << 1 << red;
    QTest::newRow("ping 320: yellow") << 320 << 60 << 31 << 27 << yellow;
    QTest::newRow("half rounds to even, down") << 510 << 60 << 12 << 10 << QColor();
    QTest::newRow("half rounds to even, up") << 590 << 60 << 4 << 4 << QColor();
    QTest::newRow("narrow cell") << 0 << 30 << 63 << 26 << green;
    QTest::newRow("wide cell is capped") << 0 << 300 << 63 << 55 << green;
}

void TestServerView::speedBar()
{
    QFETCH(int, ping);
    QFETCH(int, right);
    QFETCH(int, s);
    QFETCH(int, width);
    QFETCH(QColor, color);
    const TSpeedBar bar = TServerView::SpeedBar(ping, 0, right, 10);
    QCOMPARE(bar.S, s);
    QCOMPARE(bar.Fill, QRect(2, 10, width, 4));
    if (color.isValid()) QCOMPARE(bar.Color, color);
}

void TestServerView::pictures()
{
    const QList<std::pair<QString, int>> pings = {{"0", 1},   {"250", 1},  {"251", 2}, {"500", 2},
                                                  {"501", 3}, {"9999", 3}, {"abc", 3}, {"", 3}};
    for (const auto& [text, pic] : pings)
        QVERIFY2(TServerView::PingPicture(text) == pic, qPrintable(text));
    QCOMPARE(TServerView::PlayersPicture(0, 0), 4);
    QCOMPARE(TServerView::PlayersPicture(0, 10), 4);
    QCOMPARE(TServerView::PlayersPicture(10, 10), 6);
    QCOMPARE(TServerView::PlayersPicture(5, 10), 5);
}

void TestServerView::tooFast_data()
{
    QTest::addColumn<QString>("connection"); // empty: nothing chosen
    QTest::addColumn<int>("bitrate");
    QTest::addColumn<bool>("tooFast");
    QTest::newRow("56k modem, 56") << "56k Modem " << 56 << true;
    QTest::newRow("56k modem, 48") << "56k Modem " << 48 << false;
    QTest::newRow("28.8k modem, 28") << "28.8k Modem" << 28 << true;
    QTest::newRow("cable, 256") << "Cable" << 256 << false;
    QTest::newRow("nothing chosen, 999") << "" << 999 << false;
    QTest::newRow("nothing chosen, 1000") << "" << 1000 << true;
}

void TestServerView::tooFast()
{
    QFETCH(QString, connection);
    QFETCH(int, bitrate);
    QFETCH(bool, tooFast);
    const int index = connection.isEmpty() ? -1 : int(TConfig::SpeedboxItems().indexOf(connection));
    QVERIFY(connection.isEmpty() || index >= 0);
    config_->SetItemIndex("speedbox", index);
    QCOMPARE(TServerView::TooFast(bitrate, TServerView::MaxBitrate()), tooFast);
}

// ---------------------------------------------------------------------------------------

void TestServerView::columnSetup()
{
    TServerView v;
    v.resize(800, 300);
    v.SetupColumns(TSCServer::Class(), 0);
    QCOMPARE(v.columnCount(), 6);
    QCOMPARE(v.PingColumn, 1);
    QCOMPARE(v.PlayersColumn, 2);
    QCOMPARE(v.BitrateColumn, 3);
    QCOMPARE(v.AvgTimeColumn, 4);
    QCOMPARE(v.UptimeColumn, 5);
    auto captions = [&v] {
        QStringList c;
        for (int i = 0; i < v.columnCount(); ++i)
            c << v.HeaderText(i);
        return c;
    };
    QCOMPARE(captions(), QStringList({"Station Name", "Speed", "Listeners", "Quality", "", ""}));
    QCOMPARE(v.header()->sectionSize(v.AvgTimeColumn), 0);
    QCOMPARE(v.header()->sectionSize(v.UptimeColumn), 0);
    QCOMPARE(v.header()->sectionSize(0), 325);

    v.SetupColumns(TSCServer::Class(), 1);
    QCOMPARE(captions(),
             QStringList({"Station Name", "Ping", "Listeners", "Bit Rate", "Avg Time", "Uptime"}));
    QVERIFY(v.header()->sectionSize(v.UptimeColumn) >= 60);
    QCOMPARE(v.header()->sectionSize(v.AvgTimeColumn), 0); // until the user widens it

    // Another server kind: its own columns, special ones found by kind only.
    v.SetupColumns(TZelkServer::Class(), 1);
    QCOMPARE(v.columnCount(), 5);
    QCOMPARE(v.PingColumn, 1);
    QCOMPARE(v.PlayersColumn, 2);
    QCOMPARE(v.BitrateColumn, -1);
    QCOMPARE(v.UptimeColumn, -1);
    QCOMPARE(captions(), QStringList({"Server Name", "Ping", "Players", "Map", "Game Type"}));
}

void TestServerView::savedState_data()
{
    QTest::addColumn<QString>("sortCol"); // as saved; empty: nothing saved
    QTest::addColumn<QString>("ascending");
    QTest::addColumn<int>("column");
    QTest::addColumn<bool>("isAscending");
    QTest::newRow("nothing saved") << ""
                                   << "" << 1 << true;
    QTest::newRow("name column saved") << "0"
                                       << "0" << 1 << false;
    QTest::newRow("bitrate descending") << "3"
                                        << "0" << 3 << false;
    QTest::newRow("uptime ascending") << "5"
                                      << "1" << 5 << true;
    QTest::newRow("column out of range") << "9"
                                         << "1" << 1 << true;
    QTest::newRow("not a number") << "x"
                                  << "1" << 1 << true;
}

void TestServerView::savedState()
{
    QFETCH(QString, sortCol);
    QFETCH(QString, ascending);
    QFETCH(int, column);
    QFETCH(bool, isAscending);
    if (!sortCol.isEmpty()) {
        TRegistry::WriteString(TServerView::SortKey(), "SortCol", sortCol);
        TRegistry::WriteString(TServerView::SortKey(), "Ascending", ascending);
    }
    {
        TServerView v;
        QCOMPARE(v.SortColumn(), column);
        QCOMPARE(v.SortAscending(), isAscending);
        QCOMPARE(v.header()->sortIndicatorSection(), column);
        // A round trip: a click on another column, widths changed, saved at destruction.
        v.ColumnClick(2);
        v.ColumnClick(2);
        v.header()->resizeSection(0, 400);
        v.header()->resizeSection(3, 90);
    }
    QCOMPARE(TRegistry::ReadString(TServerView::SortKey(), "SortCol"), QString("2"));
    QCOMPARE(TRegistry::ReadString(TServerView::SortKey(), "Ascending"), QString("0"));
    QVERIFY(TRegistry::ReadString(TServerView::ColumnsKey(), "Sizes").startsWith("400,60,70,90,"));
    TServerView again;
    QCOMPARE(again.SortColumn(), 2);
    QVERIFY(!again.SortAscending());
    QCOMPARE(again.header()->sectionSize(0), 400);
    QCOMPARE(again.header()->sectionSize(3), 90);
}

void TestServerView::rowsOwnStations()
{
    g_destroyed = 0;
    auto v = std::make_unique<TServerView>();
    for (int i = 0; i < 3; ++i)
        v->StationDone(makeStation({QStringLiteral("s%1").arg(i)}, i + 1));
    QCOMPARE(v->RowCount(), 3);

    // A station that did not answer shows 9999; a known station is updated in place.
    TCustomServer* second = v->Station(1);
    second->Answered = false;
    second->Ping = 42;
    QCOMPARE(v->StationDone(second), 1);
    QCOMPARE(v->RowCount(), 3);
    QCOMPARE(second->Ping, 9999);
    QCOMPARE(v->model()->index(1, v->PingColumn).data().toString(), QString("9999"));
    QCOMPARE(v->RowOf(second), 1);
    QCOMPARE(v->Model()->AnsweredCount(), 2);
    QCOMPARE(g_destroyed, 0);

    // Taking the stations keeps them alive, in list order.
    auto taken = v->TakeStations();
    QCOMPARE(v->RowCount(), 0);
    QCOMPARE(taken.size(), size_t(3));
    QCOMPARE(taken[1].get(), second);
    QCOMPARE(g_destroyed, 0);
    QCOMPARE(v->RowOf(second), -1);

    // Given back, then cleared: freed unless someone else holds them.
    for (auto& s : taken)
        v->StationDone(std::move(s));
    QCOMPARE(v->RowCount(), 3);
    const TServerRef kept = second->shared_from_this();
    v->ClearList();
    QCOMPARE(g_destroyed, 2);
    QCOMPARE(v->RowOf(second), -1);
    QCOMPARE(kept->Ping, 9999); // still whole

    // A big list lets go of its stations over the next passes of the loop, every one.
    const int big = 2 * TServerModel::ReleaseSlice + 1;
    for (int i = 0; i < big; ++i)
        v->StationDone(makeStation({QStringLiteral("b%1").arg(i)}, i % 250 + 1));
    v->ClearList();
    QCOMPARE(v->RowCount(), 0);
    QCOMPARE(g_destroyed, 2);
    QTRY_COMPARE(g_destroyed, 2 + big);
    QCOMPARE(v->Model()->PendingRelease(), 0);

    // The rest go with the view, those still to be let go of included.
    for (int i = 0; i < big; ++i)
        v->StationDone(makeStation({QStringLiteral("t%1").arg(i)}, i % 250 + 1));
    v->ClearList();
    for (int i = 0; i < 2; ++i)
        v->StationDone(makeStation({QStringLiteral("t%1").arg(i)}, i + 1));
    v.reset();
    QCOMPARE(g_destroyed, 2 + 2 * big + 2);
}

// Rows reach the view in batches: one insertion notice for many stations, and all of
// them visible to the view's own calls at once.
void TestServerView::batchedRows()
{
    TServerView v;
    QSignalSpy inserted(v.model(), &QAbstractItemModel::rowsInserted);
    QSignalSpy changed(v.model(), &QAbstractItemModel::dataChanged);
    for (int i = 0; i < 500; ++i)
        v.Model()->Append(TServerRef(makeStation({QStringLiteral("s%1").arg(i)}, i % 250 + 1)));
    QCOMPARE(inserted.count(), 0);
    QTRY_COMPARE(inserted.count(), 1);
    QCOMPARE(v.model()->rowCount(), 500);
    for (int row : {3, 400, 7})
        v.StationDone(v.Station(row));
    v.Model()->Append(TServerRef(makeStation({"late"}, 1)));
    QCOMPARE(v.RowCount(), 501); // the view's own interface flushes
    QCOMPARE(inserted.count(), 2);
    QCOMPARE(changed.count(), 1);
    const QModelIndex first = changed.last().at(0).value<QModelIndex>();
    const QModelIndex last = changed.last().at(1).value<QModelIndex>();
    QCOMPARE(first.row(), 3);
    QCOMPARE(last.row(), 400);
}

void TestServerView::selectAndLaunch()
{
    TServerView v;
    v.SetupColumns(TSCServer::Class(), 1);
    v.resize(700, 300);
    v.show();
    QVERIFY(QTest::qWaitForWindowExposed(&v));
    for (int i = 0; i < 5; ++i)
        v.StationDone(makeStation({QStringLiteral("s%1").arg(i)}, i + 1));

    QList<TCustomServer*> selected;
    int launches = 0;
    v.OnSelect = [&](TCustomServer* s) { selected << s; };
    v.OnLaunch = [&] { ++launches; };

    const QPoint row2 = v.RowRect(2).center();
    QTest::mouseClick(v.viewport(), Qt::LeftButton, {}, row2);
    QCOMPARE(selected.size(), 1);
    QCOMPARE(selected.last(), v.Station(2));
    const QPoint row4 = v.RowRect(4).center();
    QTest::mouseClick(v.viewport(), Qt::LeftButton, Qt::ControlModifier, row4);
    QCOMPARE(selected.last(), v.Station(4));
    QCOMPARE(v.SelectedStations(), QList<TCustomServer*>({v.Station(2), v.Station(4)}));
    QCOMPARE(v.CurrentStation(), v.Station(4));

    QTest::keyClick(&v, Qt::Key_Return);
    QCOMPARE(launches, 1);
    QTest::mouseClick(v.viewport(), Qt::LeftButton, {}, row2);
    QTest::mouseDClick(v.viewport(), Qt::LeftButton, {}, row2);
    QCOMPARE(launches, 2);

    v.clearSelection();
    QCOMPARE(selected.last(), nullptr);
    QVERIFY(v.SelectedStations().isEmpty());

    // A click below the last row leaves no current row; Home and End still go to the
    // first and the last row.
    QTest::mouseClick(v.viewport(), Qt::LeftButton, {}, QPoint(10, v.viewport()->height() - 2));
    v.setCurrentIndex({});
    QTest::keyClick(&v, Qt::Key_End);
    QCOMPARE(v.CurrentStation(), v.Station(4));
    v.setCurrentIndex({});
    v.clearSelection();
    QTest::keyClick(&v, Qt::Key_Home);
    QCOMPARE(v.CurrentStation(), v.Station(0));
    QCOMPARE(selected.last(), v.Station(0));
    // The view made the first row current without selecting it (as it does when it gets
    // the focus): Home selects it.
    v.clearSelection();
    v.selectionModel()->setCurrentIndex(v.model()->index(0, 0), QItemSelectionModel::NoUpdate);
    QVERIFY(v.SelectedStations().isEmpty());
    QTest::keyClick(&v, Qt::Key_Home);
    QCOMPARE(v.SelectedStations(), QList<TCustomServer*>{v.Station(0)});
}

void TestServerView::fontChangeRowHeight()
{
    TServerView v;
    v.resize(700, 300);
    v.show();
    QVERIFY(QTest::qWaitForWindowExposed(&v));
    v.StationDone(makeStation({"one"}));
    v.StationDone(makeStation({"two"}, 2));
    QTRY_VERIFY(v.BaseItemHeight > 0);
    QCOMPARE(v.BaseItemHeight, QFontMetrics(v.font()).height());
    QCOMPARE(v.RowRect(1).height(), 2 * v.BaseItemHeight);

    QFont f = v.font();
    f.setPixelSize(QFontInfo(f).pixelSize() * 2);
    v.setFont(f);
    const int h = QFontMetrics(f).height();
    QTRY_COMPARE(v.BaseItemHeight, h);
    QTRY_COMPARE(v.RowRect(1).height(), 2 * h);
}

// The list as users see it, in both styles; the pictures are kept for a look.
void TestServerView::drawnList()
{
    config_->SetItemIndex("speedbox", -1);
    TServerView v;
    v.resize(760, 330);
    v.SetupColumns(TSCServer::Class(), 0);
    v.IsFavorite = [](const TCustomServer* s) { return s->Name.startsWith("Groove"); };
    const QList<StationFields> rows = {
        {"Groove Salad", 0, 120, 200, 128, 0, 3600, 1},
        {"Drone Zone", 630, 0, 50, 56, 0, 600, 0},
        {"Secret Agent", 9999, 50, 50, 24, 0, 0, 0},
        {"Lush Radio", 320, 3, 100, 96, 1, 7200, 1},
        {"Indie Pop Rocks! and a rather long station name to be cut", 80, 7, 64, 48, 0, 60, 1},
        {"Jazz Corner", 450, 12, 40, 32, 2, 120, 0},
    };
    int n = 1;
    for (const StationFields& s : rows) {
        auto st = makeStation(s, n++);
        if (n == 3) st->SongTitle = "Artist - A Title";
        if (n == 5) st->SongTitle = "Long Artist Name - And A Very Long Title Indeed (Remix)";
        v.StationDone(std::move(st));
    }
    v.show();
    QVERIFY(QTest::qWaitForWindowExposed(&v));
    QTRY_VERIFY(v.BaseItemHeight > 0);

    const QString outDir = qEnvironmentVariable("DW_TEST_TMP", QDir::tempPath());
    auto grab = [&](const QString& name) {
        QImage img = v.grab().toImage();
        img.save(outDir + "/serverview-" + name + ".png");
        return v.viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    };
    auto cell = [&](int row, int column) { return v.visualRect(v.model()->index(row, column)); };
    const int base = v.BaseItemHeight;

    // Basic: the speed bar's colour and width.
    QImage basic = grab("basic");
    for (int row : {0, 1, 3}) {
        const QRect c = cell(row, v.PingColumn);
        const TSpeedBar bar =
            TServerView::SpeedBar(rows[row].Ping, c.left(), c.right() + 1, c.top() + base / 2 + 5);
        const QColor first(basic.pixel(bar.Fill.left(), bar.Fill.top() + 1));
        QCOMPARE(first, bar.Color);
        const int coloured = countPixels(basic, QRect(c.left(), bar.Fill.top() + 1, c.width(), 1),
                                         [&](const QColor& p) { return p == bar.Color; });
        QCOMPARE(coloured, bar.Fill.width());
        QCOMPARE(QColor(basic.pixel(bar.Fill.left() - 1, bar.Fill.top() + 1)),
                 QColor(192, 192, 192));
    }
    // Quality bars: the drawn part of the cell ends within the last bar.
    auto barsEnd = [&](const QImage& img, int row) {
        const QRect c = cell(row, v.BitrateColumn);
        const QColor bg(img.pixel(c.right(), c.top() + 1));
        int last = -1;
        for (int x = c.left(); x <= c.right(); ++x)
            for (int y = c.top(); y <= c.bottom(); ++y)
                if (QColor(img.pixel(x, y)) != bg) last = x - c.left();
        return last;
    };
    for (int row : {2, 4, 0}) {
        const int k = TServerView::QualityBars(rows[row].Bitrate);
        const int end = barsEnd(basic, row);
        QVERIFY2(end >= 16 * (k - 1) && end < 16 * k, qPrintable(QString::number(end)));
    }
    // A too-fast station's bars change when the connection is chosen.
    const QRect fastCell = cell(1, v.BitrateColumn);
    config_->SetItemIndex("speedbox", int(TConfig::SpeedboxItems().indexOf("56k Modem ")));
    v.viewport()->update();
    QImage basicFast = grab("basic-56k");
    QVERIFY(basicFast.copy(fastCell) != basic.copy(fastCell));
    QCOMPARE(basicFast.copy(cell(4, v.BitrateColumn)), basic.copy(cell(4, v.BitrateColumn)));

    // Favourites are green; the others are not.
    auto greenish = [](const QColor& c) { return c.green() > 90 && c.red() < 60 && c.blue() < 60; };
    QVERIFY(countPixels(basic, cell(0, 0), greenish) > 0);
    QCOMPARE(countPixels(basic, cell(1, 0), greenish), 0);

    // Advanced: too-fast bitrate in red.
    v.SetupColumns(TSCServer::Class(), 1);
    QImage advanced = grab("advanced-56k");
    QVERIFY(countPixels(advanced, cell(1, v.BitrateColumn), reddish) > 0);
    QCOMPARE(countPixels(advanced, cell(4, v.BitrateColumn), reddish), 0);
    config_->SetItemIndex("speedbox", -1);
    v.viewport()->update();
    advanced = grab("advanced");
    QCOMPARE(countPixels(advanced, cell(1, v.BitrateColumn), reddish), 0);

    // A selected row takes the system colours.
    v.SetCurrentRow(2);
    v.setFocus();
    QImage sel = grab("advanced-selected");
    const QColor hl = v.palette().color(QPalette::Active, QPalette::Highlight);
    QVERIFY(countPixels(sel, cell(2, v.UptimeColumn), [&](const QColor& c) { return c == hl; }) >
            0);

    // Logos: drawn at the cell's corner with magenta transparent, the text moved right.
    QPixmap logo(24, 24);
    logo.fill(QColor(255, 0, 255));
    {
        QPainter p(&logo);
        p.fillRect(6, 6, 12, 12, QColor(0, 0, 255));
    }
    QStringList asked;
    v.Logo = [&](const TSCServer& s) {
        asked << s.StationLogo().Name;
        return s.BNum == "7" ? logo : QPixmap();
    };
    v.Station(3)->Name = "Lush Radio"; // unchanged text, new logo only
    static_cast<TSCServer*>(v.Station(3))->BNum = "7";
    v.clearSelection();
    v.clearFocus();
    QImage logos = grab("advanced-logo");
    QVERIFY(!asked.isEmpty());
    const QRect nameCell = cell(3, 0);
    auto blue = [](const QColor& c) { return c == QColor(0, 0, 255); };
    auto magenta = [](const QColor& c) { return c == QColor(255, 0, 255); };
    QCOMPARE(countPixels(logos, QRect(nameCell.topLeft(), QSize(24, 24)), blue), 144);
    QCOMPARE(countPixels(logos, nameCell, magenta), 0);
    auto dark = [](const QColor& c) { return c.lightness() < 100; };
    QCOMPARE(countPixels(logos, QRect(nameCell.left(), nameCell.top(), 26, nameCell.height()),
                         [&](const QColor& c) { return dark(c) && !blue(c); }),
             0);
    QVERIFY(countPixels(logos, nameCell.adjusted(26, 0, 0, 0), dark) > 0);
}

QTEST_MAIN(TestServerView)
#include "test_serverview.moc"
