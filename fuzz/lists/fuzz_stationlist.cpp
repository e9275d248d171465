// Arbitrary list bodies through the whole receiving path: inflating, parsing, creating
// and merging stations. The first byte chooses between a fresh list, an address refresh
// with stations already listed, and the parser alone with another separator.
#include "config.h"
#include "customserverlist.h"
#include "serverlistparser.h"

#include <QCoreApplication>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static int argc = 1;
    static char arg0[] = "fuzz_stationlist";
    static char* argv[] = {arg0, nullptr};
    static QCoreApplication app(argc, argv);
    ProgramValues().PingMode = 2;
    if (size == 0) return 0;
    const uint8_t mode = data[0] % 3;
    const QByteArray body(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));

    if (mode == 2) {
        TServerListParser p(body, '|');
        for (int i = 0; i < 100000 && p.NextRecord(); ++i)
            for (const QByteArrayView& n : p.FieldNames())
                (void)p.GetValue(n);
        return 0;
    }

    // Objects released for later (socket notifiers) go before the next input.
    struct TFlush
    {
        ~TFlush() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }
    } flush;
    TSCServerList list;
    list.MaxActive = 0;                            // no queries
    list.OffThreadParseBytes = qsizetype(1) << 62; // the whole path on this thread
    if (mode == 1) {
        QList<TServerRef> given;
        for (const char* ip : {"127.0.0.1", "127.0.0.2"})
            given << TServerRef(TSCServer::Class().Create(ip, "8000"));
        list.Servers = given;
    }
    list.Body = body;
    list.State = TCustomServerList::lsFetching;
    list.ListReceived();
    QStringList cols;
    for (const TServerRef& s : list.Servers)
        s->GetColumns(cols);
    list.Servers.clear();
    return 0;
}
