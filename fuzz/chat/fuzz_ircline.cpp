// Arbitrary text through the IRC line parser alone: whatever a server sends, the parts
// hold together. The command is the second slot, the prefix the first, the text after
// the command is bounded, and every parameter is a piece of that text.
#include "ircline.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString line = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    const TIrcLine m = ParseIrcLine(line);
    if (m.P(1) != m.Command || m.ParamText.size() > TIrcLine::MaxLine) std::abort();
    if (!line.startsWith(u':') && !m.P(0).isEmpty()) std::abort();
    if (!m.PrefixNick.isEmpty() && m.P(0) != m.PrefixNick + u'!' + m.PrefixAddress) std::abort();
    if (!m.Command.isEmpty() && m.Command.contains(u' ')) std::abort();
    for (int i = 2; i < TIrcLine::ParamCount; ++i) {
        if (m.P(i).size() > TIrcLine::MaxLine) std::abort();
        if (!m.P(i).isEmpty() && !line.contains(m.P(i))) std::abort();
    }
    return 0;
}
