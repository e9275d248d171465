// The directory answering a catalog of 100000 stations: the whole list, a genre, a set of
// addresses, in both packings; and loading such a catalog.
#include "catalog.h"
#include "listanswer.h"
#include "listrequest.h"

#include <benchmark/benchmark.h>

using namespace dwdir;

namespace {

constexpr int kStations = 100000;

QByteArray bigCatalogText()
{
    static const char* genres[] = {"Alt",  "Ambient", "Blues", "Classical", "Country", "Dance",
                                   "Jazz", "Metal",   "News",  "Pop",       "Rock",    "Techno"};
    QByteArray t = "ip\thostname\tgenre\tnumplayers\tmaxplayers\tbitrate\tavgtime\tupfor\tchatip"
                   "\turl\tsongtitle\tping\ttype\tbnum\n";
    for (int i = 0; i < kStations; ++i) {
        const QByteArray host = "127." + QByteArray::number(i >> 16 & 255) + '.' +
                                QByteArray::number(i >> 8 & 255) + '.' +
                                QByteArray::number(i & 255);
        const QByteArray g = genres[i % 12];
        t += host + ":8000\tStation " + QByteArray::number(i) + ' ' + g + " Radio\t" + g +
             (i % 3 ? " Live" : "") + '\t' + QByteArray::number(i % 97) + "\t128\t" +
             QByteArray::number(32 << (i % 4)) + '\t' + QByteArray::number(300 + i % 5000) + '\t' +
             QByteArray::number(i * 7 % 1000000) + '\t' + host + ":8000\thttp://" + host +
             "/\tArtist " + QByteArray::number(i % 500) + " - Title " +
             QByteArray::number(i % 777) + "\t0\t0\t\n";
    }
    return t;
}

const QList<Station>& bigCatalog()
{
    static const QList<Station> stations = parseCatalog(bigCatalogText(), 1800000000).stations;
    return stations;
}

void answer(benchmark::State& state, const QByteArray& target, Packing packing)
{
    const QList<Station>& stations = bigCatalog();
    const ListRequest req = parseListRequest("GET " + target + " HTTP/1.0\r\n\r\n");
    qsizetype bytes = 0, count = 0;
    for (auto _ : state) {
        const QList<const Station*> chosen = selectStations(req, {&stations});
        const QByteArray body = pack(listText(chosen), packing);
        benchmark::DoNotOptimize(body.data());
        bytes = body.size();
        count = chosen.size();
    }
    state.counters["stations"] = double(count);
    state.counters["body_bytes"] = double(bytes);
}

void BM_DirectoryWholeListZlib(benchmark::State& s)
{
    answer(s, "/?compress=1", Packing::Zlib);
}
void BM_DirectoryWholeListGzip(benchmark::State& s)
{
    answer(s, "/?compress=1", Packing::Gzip);
}
void BM_DirectoryWholeListPlain(benchmark::State& s)
{
    answer(s, "/", Packing::Plain);
}
void BM_DirectoryGenre(benchmark::State& s)
{
    answer(s, "/?compress=1&genre=rock\\jazz", Packing::Zlib);
}

void BM_DirectoryAddresses(benchmark::State& s)
{
    QByteArray target = "/?compress=1&ip=";
    for (int i = 0; i < 100; ++i)
        target += (i ? "\\" : "") + QByteArray("127.0.") + QByteArray::number(i) + ".1%3A8000";
    answer(s, target, Packing::Zlib);
}

void BM_DirectoryLoadCatalog(benchmark::State& state)
{
    const QByteArray text = bigCatalogText();
    for (auto _ : state) {
        const CatalogLoad c = parseCatalog(text, 1800000000);
        benchmark::DoNotOptimize(c.stations.data());
    }
}

} // namespace

BENCHMARK(BM_DirectoryWholeListZlib)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DirectoryWholeListGzip)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DirectoryWholeListPlain)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DirectoryGenre)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DirectoryAddresses)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DirectoryLoadCatalog)->Unit(benchmark::kMillisecond);
