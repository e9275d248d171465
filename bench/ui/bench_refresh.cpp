// A whole refresh as the window runs it: the station list source asks an in-process list
// server for a generated catalog of N stations on 127.x addresses, inflates and parses
// it, pings every station by the program's own ping path, and hands each finished one to
// the list view (model and view, shown on the offscreen platform), which is sorted once
// the update is complete. Timed as the window's Refresh over the list it shows: from
// clearing the last list and requesting the new one until the update completes.
//
// Counters: stall_ms, the longest time the event loop did not turn during the refresh
// (the stall watchdog's figure, beyond its 10 ms beat), with stall_cpu_ms and
// busy_stall_ms telling work on the loop from a machine too loaded to run it;
// bytes_per_station, what the whole program holds more after the refresh than before the
// first list, per station.
#include "config.h"
#include "customserverlist.h"
#include "serverview.h"
#include "stallwatch.h"
#include "stationcatalog.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <map>
#include <unistd.h>

namespace {

// Resident memory of the process, after the allocator has handed back what it can.
qint64 ResidentBytes()
{
    malloc_trim(0);
    QFile f(QStringLiteral("/proc/self/statm"));
    if (!f.open(QIODevice::ReadOnly)) return 0;
    const QList<QByteArray> parts = f.readAll().split(' ');
    return parts.value(1).toLongLong() * sysconf(_SC_PAGESIZE);
}

// Answers every request with the same compressed list.
class TListServer : public QTcpServer
{
public:
    explicit TListServer(QByteArray body) : body_(std::move(body))
    {
        listen(QHostAddress::LocalHost, 0);
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = nextPendingConnection()) {
                connect(s, &QTcpSocket::readyRead, s, [this, s] {
                    if (!s->readAll().contains("\r\n\r\n") || s->property("sent").toBool()) return;
                    s->setProperty("sent", true);
                    s->write("HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n"
                             "Content-Length: " +
                             QByteArray::number(body_.size()) + "\r\n\r\n");
                    s->write(body_);
                    s->disconnectFromHost();
                });
                connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
    }

private:
    QByteArray body_;
};

const QByteArray& Catalog(int n)
{
    static std::map<int, QByteArray> cache;
    auto it = cache.find(n);
    if (it == cache.end())
        it = cache.emplace(n, benchcatalog::Compress(benchcatalog::MakeList(n))).first;
    return it->second;
}

void BM_RefreshAll(benchmark::State& state)
{
    const int n = int(state.range(0));
    TListServer server(Catalog(n));
    TConfig config; // the program's settings: its ping mode among them
    double stall = 0, stallCpu = 0, busyStall = 0, perStation = 0, answered = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto view = std::make_unique<TServerView>();
        view->resize(900, 600);
        view->show();
        TSCServerList list;
        list.ListURL = QStringLiteral("http://127.0.0.1:%1/?compress=1").arg(server.serverPort());
        QEventLoop loop;
        list.OnServerDone = [&](TCustomServerList*, TCustomServer* s) { view->StationDone(s); };
        list.OnComplete = [&](TCustomServerList*) {
            view->Resort();
            view->ScrollSelectedIntoView();
            loop.quit();
        };
        QCoreApplication::processEvents();
        const qint64 before = ResidentBytes();
        // The list the window shows when the user presses Refresh: the last one.
        list.RefreshAll();
        loop.exec();
        TStallWatch watch(50);
        watch.Start();
        state.ResumeTiming();

        // Refresh as the window does it: the old rows go, the new list comes.
        view->ClearList();
        list.RefreshAll();
        loop.exec();

        state.PauseTiming();
        QCoreApplication::processEvents(); // the last batch drawn
        stall = double(watch.LongestStall());
        stallCpu = double(watch.LongestStallCpu());
        busyStall = double(watch.LongestBusyStall());
        perStation = double(ResidentBytes() - before) / n;
        answered = view->Model()->AnsweredCount();
        if (view->RowCount() != n) state.SkipWithError("not every station was listed");
        view.reset();
        state.ResumeTiming();
    }
    state.counters["stall_ms"] = stall;
    state.counters["stall_cpu_ms"] = stallCpu;   // the loop's own share of that stall
    state.counters["busy_stall_ms"] = busyStall; // the longest stall spent working
    state.counters["bytes_per_station"] = perStation;
    state.counters["answered"] = answered;
}

} // namespace

BENCHMARK(BM_RefreshAll)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(1);
