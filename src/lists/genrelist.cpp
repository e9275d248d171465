#include "genrelist.h"
#include "netutils.h"
#include "platform.h"

#include <QFile>
#include <QUrl>

namespace genres {

const QStringList& DefaultList()
{
    static const QStringList list = {
        AllServers, "Alt",        "Ambient",    "Blues",  "Christian", "Classical", "Comedy",
        "Country",  "Dance",      "Disco",      "Ethnic", "Euro",      "Funk",      "Game",
        "Gospel",   "House",      "Industrial", "Jazz",   "Metal",     "News",      "Oldies",
        "Pacino",   "Pop",        "Punk",       "Rap",    "Reggae",    "Rock",      "Ska",
        "Soul",     "Soundtrack", "Sports",     "Talk",   "Techno",    "Trance"};
    return list;
}

QString GenreFile()
{
    return platform::ProgramFolder() + "/DialwiseGenres.txt";
}

QStringList LoadFile(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    QString text = QString::fromUtf8(f.readAll());
    if (text.isEmpty()) return {};
    text.replace("\r\n", "\n");
    QStringList lines = text.split('\n');
    // A final line break ends the last line rather than starting an empty one.
    if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
    return lines;
}

bool SaveFile(const QString& path, QStringList entries, QString* error)
{
    for (int i = 0; i < entries.size(); ++i)
        if (entries[i].compare(AllServers, Qt::CaseInsensitive) == 0) {
            entries.removeAt(i);
            break;
        }
    QByteArray out;
    for (const QString& e : entries)
        out += e.toUtf8() + "\r\n";
    return platform::WriteFileAtomic(path, out, error);
}

QString AsciiLower(const QString& s)
{
    QString r = s;
    for (QChar& c : r)
        if (c >= 'A' && c <= 'Z') c = QChar(c.unicode() + 32);
    return r;
}

QString AsciiUpper(const QString& s)
{
    QString r = s;
    for (QChar& c : r)
        if (c >= 'a' && c <= 'z') c = QChar(c.unicode() - 32);
    return r;
}

QString RequestSuffix(const QString& entry)
{
    const QString g = AsciiLower(entry);
    // Unencoded, a blank would end the request line and a "&" start another parameter.
    return g == "(all servers)" ? QString() : "&genre=" + UrlEncode(g);
}

QString BannerArea(const QString& entry)
{
    return "M_" + QString::fromLatin1(QUrl::toPercentEncoding(AsciiUpper(entry)));
}

QString ChatChannel(const QString& entry, const QString& homeChannel)
{
    return entry == AllServers ? homeChannel : "#" + entry;
}

} // namespace genres
