// Receiving the station list: zlib alone against the whole path (inflate, parse, create
// and fill the stations, merge, and free them again), on the same compressed body of N
// generated stations.
#include "config.h"
#include "customserverlist.h"

#include <benchmark/benchmark.h>
#include <malloc.h>
#include <random>
#include <zlib.h>

namespace {

const char* const kWords[] = {"Smooth", "Jazz",   "Radio", "Classic", "Rock",   "Hits",
                              "Lounge", "Deep",   "House", "Country", "Night",  "Metal",
                              "Vinyl",  "Groove", "Indie", "Electro", "Soul",   "Chill",
                              "Urban",  "Retro",  "Beats", "Station", "Public", "Sound"};
const char* const kGenres[] = {"jazz",    "rock",       "classical", "top 40 pop",
                               "ambient", "electronic", "country",   "hip hop",
                               "metal",   "oldies",     "talk news", "blues soul"};

std::string Words(std::mt19937& rng, size_t width)
{
    std::string s;
    while (s.size() < width) {
        if (!s.empty()) s += ' ';
        s += kWords[rng() % std::size(kWords)];
    }
    return s;
}

// The 14 fields with realistic widths: names around 30 characters, titles around 40.
QByteArray MakeList(int n)
{
    std::mt19937 rng(4711);
    std::string t = "\\fieldcount\\14\\ip\\hostname\\genre\\numplayers\\maxplayers\\bitrate"
                    "\\avgtime\\uptime\\chatip\\url\\songtitle\\ping\\type\\bnum";
    t.reserve(size_t(n) * 230);
    for (int i = 0; i < n; ++i) {
        const int a = i % 250 + 1;
        const int port = 8000 + i / 250;
        const std::string ip = "127.0." + std::to_string(i / 64000 % 250) + "." + std::to_string(a);
        t += '\\' + ip + ':' + std::to_string(port);
        t += '\\' + Words(rng, 24 + rng() % 12);
        t += '\\';
        t += kGenres[rng() % std::size(kGenres)];
        const int max = 32 + int(rng() % 480);
        t += '\\' + std::to_string(rng() % max) + '\\' + std::to_string(max);
        t += '\\' + std::to_string(std::array{24, 32, 56, 64, 96, 128, 192}[rng() % 7]);
        t += '\\' + std::to_string(rng() % 7200);
        t += '\\' + std::to_string(1700000000 + rng() % 5000000);
        t += '\\' + ip + ':' + std::to_string(port);
        t += "\\http://www." + Words(rng, 8).substr(0, 8) + std::to_string(i % 977) +
             ".example/radio";
        t += '\\' + Words(rng, 16 + rng() % 10) + " - " + Words(rng, 12 + rng() % 10);
        t += '\\' + std::to_string(rng() % 400);
        t += '\\' + std::to_string(1 + rng() % 3);
        t += '\\' + std::to_string(rng() % 100000);
    }
    return QByteArray(t.data(), qsizetype(t.size()));
}

QByteArray Compress(const QByteArray& in)
{
    uLongf len = compressBound(uLong(in.size()));
    QByteArray out(qsizetype(len), 0);
    compress2(reinterpret_cast<Bytef*>(out.data()), &len,
              reinterpret_cast<const Bytef*>(in.constData()), uLong(in.size()), 6);
    out.truncate(qsizetype(len));
    return out;
}

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
        b.Plain = MakeList(n);
        b.Compressed = Compress(b.Plain);
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
        list->MaxActive = 0; // no queries: receiving only
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
