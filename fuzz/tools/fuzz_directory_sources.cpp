// What the directory reads from outside besides requests: a catalog file, an Icecast
// status, a stream server's response head. The first byte chooses the reader.
#include "catalog.h"
#include "listanswer.h"
#include "livestatus.h"

#include <cstddef>
#include <cstdint>

using namespace dwdir;

static void checkTable(const QList<Station>& stations)
{
    QList<const Station*> ptrs;
    for (const Station& s : stations)
        ptrs << &s;
    const QByteArray text = listText(ptrs);
    // Every station gives exactly fourteen tokens: values never hold the separator or a
    // zero byte.
    if (text.count('\\') != 16 + 14 * ptrs.size() || text.contains('\0')) __builtin_trap();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    const QByteArrayView in(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    switch (data[0] % 3) {
    case 0:
        checkTable(parseCatalog(in, 1800000000).stations);
        break;
    case 1:
        checkTable(parseIcecastStatus(in, QUrl(QStringLiteral("http://127.0.0.1:8000/"))));
        break;
    default:
        if (auto s = parseStreamHead(in, QUrl(QStringLiteral("http://127.0.0.1:8001/s"))))
            checkTable({*s});
        break;
    }
    return 0;
}
