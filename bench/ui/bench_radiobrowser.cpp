// The Radio Browser source with many stations: a loopback stand-in answers
// /json/stations/search with N stations in the API's documented shape (every field an
// answer carries, on 127.x addresses); the list source reads them, runs its cycle with
// pinging disabled (each station completes at once) and hands each to the list view's
// model, which is sorted at the end. Timed from the request to the last row in the model,
// for the window's refresh of the list it shows (the stations that have not changed are
// kept); in the same run QJsonDocument parses the same bytes, for comparison.
//
// Counters: ratio, this source's time over QJsonDocument's parse alone (goal at most 2);
// fresh_ms and fresh_ratio, the same for the first list of a new source, where every
// station is made new (not timed by the framework);
// json_ms and read_ms, QJsonDocument's parse and this source's reader alone (medians);
// stall_ms, the longest time the event loop did not turn (goal: no stall over 50 ms),
// with stall_cpu_ms and busy_stall_ms telling work on the loop from a loaded machine;
// bytes_per_station, what the process holds more with the list shown than before, per
// station (goal at most 1.5 KB); answer_bytes_per_station, the size of the answer.
#include "benchstats.h"
#include "config.h"
#include "radiobrowser.h"
#include "serverview.h"
#include "stallwatch.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTcpServer>
#include <QTcpSocket>
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

namespace {

qint64 ResidentBytes()
{
    malloc_trim(0);
    QFile f(QStringLiteral("/proc/self/statm"));
    if (!f.open(QIODevice::ReadOnly)) return 0;
    const QList<QByteArray> parts = f.readAll().split(' ');
    return parts.value(1).toLongLong() * sysconf(_SC_PAGESIZE);
}

// N stations as the API sends them (its field set and order).
QByteArray MakeAnswer(int n)
{
    static const char* const tags[] = {"pop,rock,top 40", "jazz,smooth jazz",       "news,talk",
                                       "classical",       "electronic,house,dance", "country"};
    static const char* const countries[] = {
        "Germany", "United States Of America", "France", "Brazil", "Japan", "Canada"};
    static const char* const codes[] = {"DE", "US", "FR", "BR", "JP", "CA"};
    static const char* const codecs[] = {"MP3", "AAC", "AAC+", "OGG"};
    QByteArray out;
    out.reserve(qsizetype(n) * 1300);
    out += '[';
    for (int i = 0; i < n; ++i) {
        const QByteArray a = QByteArray::number((i >> 16) & 255) + '.' +
                             QByteArray::number((i >> 8) & 255) + '.' + QByteArray::number(i & 255);
        const QByteArray uuid =
            QByteArray::number(0x10000000u + uint(i), 16) + "-0601-11e8-ae97-52543be04c81";
        const int k = i % 6;
        if (i) out += ',';
        out += "{\"changeuuid\":\"" + uuid + "\",\"stationuuid\":\"" + uuid +
               "\",\"serveruuid\":null,\"name\":\"Station " + QByteArray::number(i) +
               " - Radio of the City\",\"url\":\"http://127." + a +
               ":8000/stream\",\"url_resolved\":\"http://127." + a +
               ":8000/stream.mp3\",\"homepage\":\"https://radio" + QByteArray::number(i) +
               ".example/\",\"favicon\":\"https://radio" + QByteArray::number(i) +
               ".example/favicon.png\",\"tags\":\"" + tags[k] + "\",\"country\":\"" + countries[k] +
               "\",\"countrycode\":\"" + codes[k] +
               "\",\"iso_3166_2\":null,\"state\":\"\",\"language\":\"english,german\","
               "\"languagecodes\":\"en,de\",\"votes\":" +
               QByteArray::number(i % 977) +
               ",\"lastchangetime\":\"2024-05-01 10:00:00\",\"lastchangetime_iso8601\":\"2024-05-"
               "01T10:00:00Z\",\"codec\":\"" +
               codecs[i % 4] + "\",\"bitrate\":" + QByteArray::number(64 + 32 * (i % 5)) +
               ",\"hls\":0,\"lastcheckok\":1,\"lastchecktime\":\"2024-05-02 10:00:00\","
               "\"lastchecktime_iso8601\":\"2024-05-02T10:00:00Z\",\"lastcheckoktime\":\"2024-05-"
               "02 10:00:00\",\"lastcheckoktime_iso8601\":\"2024-05-02T10:00:00Z\","
               "\"lastlocalchecktime\":\"2024-05-02 09:00:00\",\"lastlocalchecktime_iso8601\":"
               "\"2024-05-02T09:00:00Z\",\"clicktimestamp\":\"2024-05-02 11:00:00\","
               "\"clicktimestamp_iso8601\":\"2024-05-02T11:00:00Z\",\"clickcount\":" +
               QByteArray::number((n - i) * 3) +
               ",\"clicktrend\":-2,\"ssl_error\":0,\"geo_lat\":52.52,\"geo_long\":13.405,"
               "\"geo_distance\":null,\"has_extended_info\":false}";
    }
    out += ']';
    return out;
}

class TStandIn : public QTcpServer
{
public:
    explicit TStandIn(const QByteArray& body)
        : answer_("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                  QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body)
    {
        listen(QHostAddress::LocalHost, 0);
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = nextPendingConnection()) {
                connect(s, &QTcpSocket::readyRead, s, [this, s] {
                    if (!s->readAll().contains("\r\n\r\n") || s->property("sent").toBool()) return;
                    s->setProperty("sent", true);
                    s->write(answer_);
                    s->disconnectFromHost();
                });
                connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
    }

private:
    QByteArray answer_;
};

void BM_RadioBrowserList(benchmark::State& state)
{
    const int n = int(state.range(0));
    QByteArray answer = MakeAnswer(n);
    TConfig config;
    ProgramValues().PingMode = 2; // "Ping servers with" Disable: the stations are not pinged

    // QJsonDocument alone, and this source's reader alone, on the same bytes.
    std::vector<double> json, read;
    for (int r = 0; r < 3; ++r) {
        QElapsedTimer t;
        t.start();
        const QJsonDocument doc = QJsonDocument::fromJson(answer);
        json.push_back(double(t.nsecsElapsed()) / 1e6);
        if (!doc.isArray() || doc.array().size() != n) state.SkipWithError("bad answer");
        t.restart();
        const TRBReadResult rr = ReadRadioBrowserStations(answer);
        read.push_back(double(t.nsecsElapsed()) / 1e6);
        if (rr.Stations.size() != n) state.SkipWithError("the reader lost stations");
    }
    TStandIn standIn(answer);
    const qsizetype answerBytes = answer.size();
    answer = QByteArray();

    double stall = 0, stallCpu = 0, busyStall = 0, perStation = 0, ms = 0;
    std::vector<double> rounds, fresh;
    for (auto _ : state) {
        state.PauseTiming();
        auto view = std::make_unique<TServerView>();
        view->resize(900, 600);
        view->show();
        auto list = std::make_unique<TRadioBrowserList>();
        list->Servers_.SetServers(QStringLiteral("http://127.0.0.1:%1").arg(standIn.serverPort()));
        list->Limit = n;
        QEventLoop loop;
        list->OnServerDone = [&](TCustomServerList*, TCustomServer* s) { view->StationDone(s); };
        list->OnComplete = [&](TCustomServerList*) {
            view->Resort();
            view->ScrollSelectedIntoView();
            loop.quit();
        };
        QCoreApplication::processEvents();
        const qint64 before = ResidentBytes();
        // The list the window shows before the refresh that is timed.
        QElapsedTimer first;
        first.start();
        list->RefreshAll();
        loop.exec();
        fresh.push_back(double(first.nsecsElapsed()) / 1e6);
        TStallWatch watch(50);
        watch.Start();
        QElapsedTimer t;
        t.start();
        state.ResumeTiming();

        view->ClearList();
        list->RefreshAll();
        loop.exec();

        state.PauseTiming();
        rounds.push_back(double(t.nsecsElapsed()) / 1e6);
        QCoreApplication::processEvents();
        stall = double(watch.LongestStall());
        stallCpu = double(watch.LongestStallCpu());
        busyStall = double(watch.LongestBusyStall());
        perStation = double(ResidentBytes() - before) / n;
        if (view->RowCount() != n) state.SkipWithError("not every station was listed");
        list.reset();
        view.reset();
        state.ResumeTiming();
    }
    ms = benchstats::Median(rounds);
    const double jsonMs = benchstats::Median(json);
    state.counters["ratio"] = jsonMs > 0 ? ms / jsonMs : 0;
    state.counters["fresh_ms"] = benchstats::Median(fresh);
    state.counters["fresh_ratio"] = jsonMs > 0 ? benchstats::Median(fresh) / jsonMs : 0;
    state.counters["json_ms"] = jsonMs;
    state.counters["read_ms"] = benchstats::Median(read);
    state.counters["list_ms"] = ms;
    state.counters["stall_ms"] = stall;
    state.counters["stall_cpu_ms"] = stallCpu;   // the loop's own share of that stall
    state.counters["busy_stall_ms"] = busyStall; // the longest stall spent working
    state.counters["bytes_per_station"] = perStation;
    state.counters["answer_bytes_per_station"] = double(answerBytes) / n;
}

} // namespace

BENCHMARK(BM_RadioBrowserList)->Arg(50000)->Unit(benchmark::kMillisecond)->Iterations(3);
