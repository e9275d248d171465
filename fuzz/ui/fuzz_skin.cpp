// Skin files from outside: skin.ini, shape.msk (a picture, read as the skin's pictures are)
// and zip skins. The first byte picks the parser, the rest is the file.
#include "skins.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QImage>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    const QByteArray body(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    switch (data[0] % 3) {
    case 0: {
        const TSkinIni ini(body);
        TSkinColors c;
        ReadSkinColors(ini, c, data[0] & 4);
        (void)ini.ReadInteger("Tags", "version", -1);
        (void)ini.ReadInteger("Tags", "MaskX", 0);
        qint64 v = 0;
        (void)ParseSkinInt(QString::fromLatin1(body.left(64)), v);
        break;
    }
    case 1: {
        const TShapeMask m = TShapeMask::FromData(body);
        if (!m.IsNull()) {
            (void)m.Region(QSize(500, 230), QPoint(3, -2));
            (void)m.Region(QSize(7, 5));
        }
        break;
    }
    case 2: {
        QByteArray member;
        if (ReadZipMemberFromData(body, "skin.ini", member)) {
            TSkinColors c;
            ReadSkinColors(TSkinIni(member), c, true);
        }
        if (ReadZipMemberFromData(body, "shape.msk", member))
            (void)TShapeMask::FromData(member).Region(QSize(640, 480));
        if (ReadZipMemberFromData(body, "top.bmp", member)) (void)DecodePicture(member);
        break;
    }
    }
    return 0;
}
