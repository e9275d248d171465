#pragma once
// A generated station list for the benchmarks: N stations on 127.x.y.z addresses with
// the 14 fields at realistic widths (names around 30 characters, titles around 40), and
// its zlib packing.
#include <QByteArray>
#include <array>
#include <random>
#include <string>
#include <zlib.h>

namespace benchcatalog {

inline const char* const kWords[] = {"Smooth", "Jazz",   "Radio", "Classic", "Rock",   "Hits",
                                     "Lounge", "Deep",   "House", "Country", "Night",  "Metal",
                                     "Vinyl",  "Groove", "Indie", "Electro", "Soul",   "Chill",
                                     "Urban",  "Retro",  "Beats", "Station", "Public", "Sound"};
inline const char* const kGenres[] = {"jazz",    "rock",       "classical", "top 40 pop",
                                      "ambient", "electronic", "country",   "hip hop",
                                      "metal",   "oldies",     "talk news", "blues soul"};

inline std::string Words(std::mt19937& rng, size_t width)
{
    std::string s;
    while (s.size() < width) {
        if (!s.empty()) s += ' ';
        s += kWords[rng() % std::size(kWords)];
    }
    return s;
}

inline QByteArray MakeList(int n)
{
    std::mt19937 rng(4711);
    std::string t = "\\fieldcount\\14\\ip\\hostname\\genre\\numplayers\\maxplayers\\bitrate"
                    "\\avgtime\\uptime\\chatip\\url\\songtitle\\ping\\type\\bnum";
    t.reserve(size_t(n) * 230);
    for (int i = 0; i < n; ++i) {
        const int a = i % 250 + 1;
        const int port = 8000 + i / 250;
        const std::string ip = "127.0." + std::to_string(i / 64000 % 250) + "." + std::to_string(a);
        t += '\\' + ip + ':' + std::to_string(port);
        t += '\\' + Words(rng, 24 + rng() % 12);
        t += '\\';
        t += kGenres[rng() % std::size(kGenres)];
        const int max = 32 + int(rng() % 480);
        t += '\\' + std::to_string(rng() % max) + '\\' + std::to_string(max);
        t += '\\' + std::to_string(std::array{24, 32, 56, 64, 96, 128, 192}[rng() % 7]);
        t += '\\' + std::to_string(rng() % 7200);
        t += '\\' + std::to_string(1700000000 + rng() % 5000000);
        t += '\\' + ip + ':' + std::to_string(port);
        t += "\\http://www." + Words(rng, 8).substr(0, 8) + std::to_string(i % 977) +
             ".example/radio";
        t += '\\' + Words(rng, 16 + rng() % 10) + " - " + Words(rng, 12 + rng() % 10);
        t += '\\' + std::to_string(rng() % 400);
        t += '\\' + std::to_string(1 + rng() % 3);
        t += '\\' + std::to_string(rng() % 100000);
    }
    return QByteArray(t.data(), qsizetype(t.size()));
}

inline QByteArray Compress(const QByteArray& in)
{
    uLongf len = compressBound(uLong(in.size()));
    QByteArray out(qsizetype(len), 0);
    compress2(reinterpret_cast<Bytef*>(out.data()), &len,
              reinterpret_cast<const Bytef*>(in.constData()), uLong(in.size()), 6);
    out.truncate(qsizetype(len));
    return out;
}

} // namespace benchcatalog
