// Arbitrary CTCP DCC texts through the offer parser and the file-name reduction: the
// first line is the CTCP command, the rest its arguments. A parsed offer must hold a
// dotted address, a port and a size in range, and its reduced name must be a plain name.
#include "chatmodule.h"
#include "dcctransfer.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    const qsizetype nl = text.indexOf(u'\n');
    const QString command = nl < 0 ? QStringLiteral("DCC") : text.left(nl);
    const QString args = nl < 0 ? text : text.mid(nl + 1);
    TDccOffer offer;
    if (!TChatModule::ParseDccOffer(command, args, offer)) return 0;
    bool ok = false;
    dcc::AddressNumber(offer.Address, &ok);
    const int port = offer.Port.toInt();
    if (!ok || port <= 0 || port > 65535 || offer.Size <= 0 || offer.Size > dcc::MaxSize)
        std::abort();
    const QString name = dcc::SafeFileName(offer.FileName);
    if (name.isEmpty() || name.contains(u'/') || name.contains(u'\\') || name.startsWith(u'.'))
        std::abort();
    for (QChar c : name)
        if (c.unicode() < 32) std::abort();
    return 0;
}
