// Arbitrary "dialwise:" link texts as a page or a second start hands them over: decoded,
// the scheme dropped, the record read into a station.
#include "customserver.h"
#include "location.h"
#include "netutils.h"

#include <QCoreApplication>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static int argc = 1;
    static char arg0[] = "fuzz_location";
    static char* argv[] = {arg0, nullptr};
    static QCoreApplication app(argc, argv);
    const QString link =
        UrlDecode(QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size)));
    QString action;
    if (auto s = location::ParseLocation(link.mid(9), action)) {
        QStringList cols;
        s->GetColumns(cols);
        (void)(s->Address + s->Port + s->Name + s->StreamURL + action);
    }
    return 0;
}
