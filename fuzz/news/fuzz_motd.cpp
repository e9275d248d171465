// An answer of the message server as it may arrive: split into settings lines and
// message, its check value, and the message read as rich text and as plain text.
#include "motd.h"
#include "rtfreader.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray text(reinterpret_cast<const char*>(data), qsizetype(size));
    const TMotdResponse r = ParseMotdResponse(text);
    volatile qint32 ck = MotdChecksum(text);
    (void)ck;
    for (const QString& line : r.SettingsLines) {
        const qsizetype eq = line.indexOf('=');
        if (eq >= 0) (void)PushedNameAllowed(line.left(eq));
    }
    const TRtfDocument d = TRtfReader::Read(text);
    if (d.Plain.size() > TRtfReader::MaxOutput + 8) __builtin_trap();
    volatile qsizetype n = PlainToHtml(r.Message()).size() + d.Html.size();
    (void)n;
    return 0;
}
