// Receiving the station list: zlib alone against the whole path (inflate, parse, create
// and fill the stations, merge, and free them again), on the same compressed body of N
// generated stations.
#include "config.h"
#include "customserverlist.h"
#include "stationcatalog.h"

#include <benchmark/benchmark.h>
#include <malloc.h>
#include <zlib.h>

namespace {

struct TBody
{
    QByteArray Plain;
    QByteArray Compressed;
};

const TBody& Body(int n)
{
    static std::map<int, TBody> cache;
    auto it = cache.find(n);
    if (it == cache.end()) {
        TBody b;
        b.Plain = benchcatalog::MakeList(n);
        b.Compressed = benchcatalog::Compress(b.Plain);
        it = cache.emplace(n, std::move(b)).first;
    }
    return it->second;
}

void BM_ZlibInflate(benchmark::State& state)
{
    const TBody& b = Body(int(state.range(0)));
    QByteArray out(b.Plain.size(), Qt::Uninitialized);
    for (auto _ : state) {
        uLongf len = uLongf(out.size());
        const int rc = uncompress(reinterpret_cast<Bytef*>(out.data()), &len,
                                  reinterpret_cast<const Bytef*>(b.Compressed.constData()),
                                  uLong(b.Compressed.size()));
        if (rc != Z_OK || len != uLongf(b.Plain.size())) state.SkipWithError("inflate failed");
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["compressed_bytes"] = double(b.Compressed.size());
    state.counters["plain_bytes"] = double(b.Plain.size());
}

void BM_StationListReceive(benchmark::State& state)
{
    const int n = int(state.range(0));
    const TBody& b = Body(n);
    ProgramValues().PingMode = 2;
    double bytesPerStation = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto list = std::make_unique<TSCServerList>();
        list->MaxActive = 0;                            // no queries: receiving only
        list->OffThreadParseBytes = qsizetype(1) << 62; // the parse itself, on this thread
        list->Body = b.Compressed;
        list->State = TCustomServerList::lsFetching;
        // Let the allocator settle the chunks the previous round freed (a large request
        // consolidates them) outside the timed part.
        free(malloc(size_t(64) << 20));
        const size_t before = mallinfo2().uordblks;
        state.ResumeTiming();

        list->ListReceived();

        state.PauseTiming();
        if (list->StationCount != n || list->Servers.size() != n)
            state.SkipWithError("wrong station count");
        // What stays allocated after receiving: the stations, the list's references and
        // the body as received.
        bytesPerStation = double(mallinfo2().uordblks - before) / n;
        state.ResumeTiming();

        // Freeing the stations is part of every refresh, so it is timed too.
        list.reset();
    }
    state.counters["bytes_per_station"] = bytesPerStation;
}

} // namespace

BENCHMARK(BM_ZlibInflate)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StationListReceive)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
