// Arbitrary answers of the Radio Browser directory through the JSON station reader (and,
// when the first byte is odd, the tags reader): no crash, no unbounded growth, and every
// station taken has an http(s) stream address and a name without control characters. The
// answer is read a second time as a refresh of the first (its stations kept, in memory
// made ready ahead): the same stations, the same objects.
#include "radiobrowser.h"

#include <QCoreApplication>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static int argc = 1;
    static char arg0[] = "fuzz_radiobrowser";
    static char* argv[] = {arg0, nullptr};
    static QCoreApplication app(argc, argv);
    if (size == 0) return 0;
    const QByteArrayView json(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    if (data[0] & 1) {
        (void)ReadRadioBrowserTags(json);
        return 0;
    }
    const TRBReadResult r = ReadRadioBrowserStations(json);
    for (const TServerRef& s : r.Stations) {
        const auto* st = static_cast<const TRBStation*>(s.get());
        if (!st->StreamURL.startsWith(QLatin1String("http://"), Qt::CaseInsensitive) &&
            !st->StreamURL.startsWith(QLatin1String("https://"), Qt::CaseInsensitive))
            abort();
        for (QChar c : st->Name)
            if (c.unicode() < 0x20) abort();
        QStringList cols;
        s->GetColumns(cols);
        (void)s->InfoLines();
    }
    if (!r.Ok) return 0;
    TRBReadResult again = ReadRadioBrowserStations(json, nullptr, r.Known.get(), true);
    if (!again.Ok || again.Stations != r.Stations) abort();
    ApplyUpdates(again);
    return 0;
}
