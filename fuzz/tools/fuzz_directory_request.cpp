// A request head as a client may send it, answered from a small catalog in every way the
// server answers.
#include "catalog.h"
#include "listanswer.h"
#include "listrequest.h"

#include <cstddef>
#include <cstdint>

using namespace dwdir;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const QList<Station> stations =
        parseCatalog("ip\thostname\tgenre\n127.0.0.1:8000\tA\tClassic Rock\n"
                     "127.0.0.2\tB\tJazz \xc3\x89lectro\nhttp://127.0.0.3:9000/x\tC\tPop\n",
                     0)
            .stations;
    const QByteArrayView head(reinterpret_cast<const char*>(data), qsizetype(size));
    const ListRequest req = parseListRequest(head);
    if (req.status != 200) {
        if (req.error.isEmpty()) __builtin_trap();
        return 0;
    }
    const QList<const Station*> chosen = selectStations(req, {&stations});
    if (req.byAddress && chosen.size() > req.addresses.size()) __builtin_trap();
    const QByteArray text = listText(chosen);
    const QByteArray body = pack(text, size % 2 ? Packing::Gzip : Packing::Zlib);
    if (body.isEmpty() || !body.contains('\0')) __builtin_trap();
    catalogPage(chosen, 0);
    return 0;
}
