// What a message server and a download site choose for the updater and the launcher: a
// download path (the local file name made from it), a signature with the file it claims
// to sign, and a station address. The name stays a plain file name, no forged signature
// passes, and an accepted station address holds nothing a shell or a playlist would read.
#include "stationaddr.h"
#include "updatecore.h"

#include <QFile>
#include <QTemporaryDir>
#include <cstdint>

namespace {
QString line(const QByteArray& in, qsizetype& pos)
{
    qsizetype end = in.indexOf('\n', pos);
    if (end < 0) end = in.size();
    const QString out = QString::fromUtf8(in.mid(pos, end - pos));
    pos = end + 1;
    return out;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static QTemporaryDir dir;
    const QByteArray in(reinterpret_cast<const char*>(data), qsizetype(size));
    qsizetype pos = 0;
    const QString path = line(in, pos);
    const QString signature = line(in, pos);
    const QString host = line(in, pos);
    const QString port = line(in, pos);
    const QByteArray content = pos < in.size() ? in.mid(pos) : QByteArray();

    const QString name = DownloadFileName(path);
    if (name.isEmpty() || name.size() > 200 || name.contains('/') || name.contains('\\') ||
        name.startsWith('.'))
        __builtin_trap();
    for (QChar c : name)
        if (c.unicode() < 0x20) __builtin_trap();

    const QString file = dir.filePath("update.bin");
    QFile f(file);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        f.write(content);
        f.close();
        if (CheckUpdateSignature(file, signature) == TSignatureCheck::Good) __builtin_trap();
    }

    for (const QString& problem : {StationAddressProblem(host, port), StreamUrlProblem(host),
                                   StationProblem(host, port, path)}) {
        (void)problem;
    }
    if (StationAddressProblem(host, port).isEmpty()) {
        for (QChar c : host + port)
            if (c.unicode() <= 0x20 || QStringLiteral("$`'\"\\|<>(){}*!").contains(c))
                __builtin_trap();
        if (port.contains(QLatin1String("%0a"), Qt::CaseInsensitive) ||
            port.contains(QLatin1String("%0d"), Qt::CaseInsensitive))
            __builtin_trap();
    }
    return 0;
}
