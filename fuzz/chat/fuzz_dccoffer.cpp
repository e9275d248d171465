// Arbitrary CTCP DCC texts through the offer parser and the file-name reduction: the
// first line is the CTCP command, the rest its arguments. A parsed offer must hold a
// dotted address other than 0.0.0.0, a port and a size in range, and its reduced name
// must be a plain name of at most 255 bytes without controls or direction marks.
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
    if (!ok || offer.Address == u"0.0.0.0" || port <= 0 || port > 65535 || offer.Size <= 0 ||
        offer.Size > dcc::MaxSize)
        std::abort();
    const QString name = dcc::SafeFileName(offer.FileName);
    if (name.isEmpty() || name.contains(u'/') || name.contains(u'\\') || name.startsWith(u'.') ||
        name.toUtf8().size() > dcc::MaxNameBytes)
        std::abort();
    // No control characters of either set, no direction marks, no half characters.
    for (char32_t c : name.toUcs4())
        if (c < 32 || (c >= 127 && c <= 159) || (c >= 0x202A && c <= 0x202E) ||
            (c >= 0x2066 && c <= 0x2069) || c == 0x200E || c == 0x200F ||
            (c >= 0xD800 && c <= 0xDFFF))
            std::abort();
    return 0;
}
