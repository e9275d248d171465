// Arbitrary text as an external player's settings file (mpv.conf, audacious's config):
// the first byte picks the section and the key. After the edit the key holds the value,
// and editing again changes nothing.
#include "playersettings.h"

#include <QList>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    const QByteArray section = (data[0] & 1) ? "audacious" : "";
    const QByteArray key = (data[0] & 2) ? "net_buffer_kb" : "shuffle";
    const QByteArray value = (data[0] & 4) ? "FALSE" : "64";
    const QByteArray text(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    const QByteArray once = playersettings::SetValue(text, section, key, value);
    bool found = false;
    for (const QByteArray& line : once.split('\n'))
        if (line == key + "=" + value || line == key + "=" + value + "\r") found = true;
    if (!found) __builtin_trap();
    if (playersettings::SetValue(once, section, key, value) != once) __builtin_trap();
    return 0;
}
