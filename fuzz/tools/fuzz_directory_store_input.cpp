// What stations send the directory through its directory protocol (a form), and a Radio
// Browser export imported into its database: read, checked and turned into list records
// without a crash, with every value within its bounds. The first byte chooses the parser.
#include "stationimport.h"
#include "store.h"
#include "yp.h"

#include <cstdlib>

using namespace dwdir;

namespace {

void require(bool ok)
{
    if (!ok) std::abort();
}

void checkStation(const Station& s)
{
    for (const QByteArray* v : {&s.ip, &s.hostname, &s.genre, &s.url, &s.songtitle, &s.chatip})
        for (char c : *v)
            require(c != '\\' && static_cast<unsigned char>(c) >= 0x20);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    const QByteArrayView in(reinterpret_cast<const char*>(data) + 1, qsizetype(size - 1));
    if (data[0] % 2 == 0) {
        const YpRequest r = parseYpRequest(in);
        const QByteArray answer = ypAnswer(r.action != YpRequest::Bad, r.error, r.sid, 30);
        // The answer's headers are whole lines: nothing from the request breaks them.
        const QByteArray head = answer.left(answer.indexOf("\r\n\r\n"));
        for (const QByteArray& line : head.split('\n'))
            require(line.endsWith('\r'));
        if (r.action == YpRequest::Add) {
            require(ypListenUrlOk(r.listing.listenUrl));
            require(!r.listing.name.isEmpty() && r.listing.name.size() <= kYpMaxValue);
            require(r.listing.url.isEmpty() || r.listing.url.startsWith("http"));
            checkStation(stationOf(r.listing));
        }
        if (r.action == YpRequest::Touch || r.action == YpRequest::Remove)
            require(!r.sid.isEmpty() && r.sid.size() <= 64);
    } else {
        const StationImport imp = parseRadioBrowserExport(in);
        require(imp.stations.size() <= kMaxImportStations);
        for (const Station& s : imp.stations) {
            require(s.ip.startsWith("http://") || s.ip.startsWith("https://"));
            checkStation(s);
        }
    }
    return 0;
}
