// Station favicons from outside: any bytes a directory's favicon address answers with,
// decoded as the picture cache does (format by content, bounded, scaled to the box).
#include "bitmapcache.h"

#include <QByteArray>
#include <QImage>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    QString error;
    const QImage img = TBitmapCache::DecodeFavicon(bytes, TBitmapCache::FaviconBox, &error);
    if (!img.isNull() && (img.width() > TBitmapCache::FaviconBox ||
                          img.height() > TBitmapCache::FaviconBox || !error.isEmpty()))
        __builtin_trap();
    return 0;
}
