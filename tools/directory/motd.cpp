#include "motd.h"

#include "listrequest.h"

#include <QCryptographicHash>
#include <QFile>
#include <QList>
#include <cstdio>
#include <sodium.h>

namespace dwdir {

QByteArray updateFileName()
{
    return "dialwise-" + updateVersion() + "-update.txt";
}

QByteArray updateVersion()
{
    return "10.01.23";
}

QByteArray updateFileContent()
{
    QByteArray t = "Dialwise " + updateVersion() +
                   " (demo world update)\n\n"
                   "This file stands in for an installer. The updater downloaded it from\n"
                   "the demo world, checked its signature, and opened it.\n\n";
    // Enough bytes for the progress bar to move.
    for (int i = 0; i < 4000; ++i)
        t += "Line " + QByteArray::number(i + 1) + " of the demo update's release notes.\n";
    return t;
}

QByteArray motdAnswer(const MotdSettings& s, QByteArrayView request, const QByteArray& self)
{
    const QList<QByteArray> f = request.toByteArray().split('|');
    const QByteArray version = f.size() > 1 ? f[1] : QByteArray();
    QByteArray out = s.pushed;
    if (!out.isEmpty() && !out.endsWith('\n')) out += "\r\n";
    if (s.announceUpdate) {
        QList<QByteArray> locs{self + "/download/" + updateFileName()};
        locs += s.extraLocations;
        out += "updatever=" + updateVersion() + "\r\n";
        out += "updatedesc=Faster station lists, a news page that reads rich text, and an "
               "updater that resumes FTP downloads.\r\n";
        out += "updatesize=" + QByteArray::number(updateFileContent().size() / 1024) + "kb\r\n";
        out += "updateurl=" + self + "/download/\r\n";
        out += "updatesha256=" +
               QCryptographicHash::hash(updateFileContent(), QCryptographicHash::Sha256).toHex() +
               "\r\n";
        if (const QByteArray sig = updateSignature(s.signingKey); !sig.isEmpty())
            out += "updatesig=" + sig + "\r\n";
        out += "dlcount=" + QByteArray::number(locs.size()) + "\r\n";
        for (int i = 0; i < locs.size(); ++i) {
            const QByteArray n = QByteArray::number(i + 1);
            out += "dl" + n + "=" + locs[i] + "\r\n";
            out += "dl" + n + "desc=" +
                   (locs[i].startsWith("ftp:") ? "Demo world FTP mirror" : "Demo world web site") +
                   "\r\n";
        }
    }
    out += "MOTD\r\n";
    if (!s.news.isEmpty()) return out + s.news;
    out += "{\\rtf1\\ansi{\\colortbl;\\red0\\green64\\blue128;\\red160\\green0\\blue0;}"
           "{\\b\\fs28\\cf1 Welcome to the Dialwise demo world}\\par\\par "
           "Every station in this list lives on your own machine: a catalog of made-up "
           "stations on loopback addresses, and a few {\\b live} stations from the local "
           "Icecast server that really play.\\par\\par "
           "{\\b Tips:} double-click a live station to hear it, and join its chat channel "
           "from the right-click menu. The catalog page is at " +
           self + "/catalog \\par\\par ";
    if (!version.isEmpty()) out += "You run version " + version + ". ";
    if (s.announceUpdate)
        out += "{\\cf2 Version " + updateVersion() + " is out:} the updater can fetch it.";
    else
        out += "You have the newest version.";
    out += "\\par}\r\n";
    return out;
}

bool properMotdRequest(QByteArrayView datagram)
{
    // "MOTD|" and nine fields, each closed by "|", of printable text, and short.
    if (datagram.size() > 1024 || !datagram.startsWith("MOTD|") || !datagram.endsWith('|'))
        return false;
    for (char c : datagram)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
    // Ten separators; a few more where the user's own texts hold one.
    const qsizetype bars = datagram.count('|');
    return bars >= 10 && bars <= 16;
}

bool updateSigningKeyUsable(const QByteArray& secretKey)
{
    return sodium_init() >= 0 && secretKey.size() == crypto_sign_SECRETKEYBYTES;
}

QByteArray updateSignature(const QByteArray& secretKey)
{
    if (!updateSigningKeyUsable(secretKey)) return {};
    const QByteArray data = updateFileContent();
    crypto_sign_state st;
    crypto_sign_init(&st);
    crypto_sign_update(&st, reinterpret_cast<const unsigned char*>(data.constData()),
                       quint64(data.size()));
    QByteArray sig(crypto_sign_BYTES, '\0');
    crypto_sign_final_create(&st, reinterpret_cast<unsigned char*>(sig.data()), nullptr,
                             reinterpret_cast<const unsigned char*>(secretKey.constData()));
    return sig.toHex();
}

int writeNewUpdateKey(const QString& file)
{
    if (sodium_init() < 0) return 1;
    QByteArray pub(crypto_sign_PUBLICKEYBYTES, '\0'), sec(crypto_sign_SECRETKEYBYTES, '\0');
    crypto_sign_keypair(reinterpret_cast<unsigned char*>(pub.data()),
                        reinterpret_cast<unsigned char*>(sec.data()));
    QFile f(file);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return 1;
    f.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    f.write(sec.toHex() + "\n");
    f.close();
    std::printf("%s\n", pub.toHex().constData());
    return 0;
}

int motdPage(QByteArrayView head, QByteArray& request)
{
    const qsizetype eol = head.indexOf('\n');
    QByteArray line = (eol < 0 ? head : head.first(eol)).toByteArray().trimmed();
    const QList<QByteArray> parts = line.split(' ');
    if (parts.size() < 2) return 0;
    QByteArray target = parts[1];
    if (target.startsWith("http://")) {
        const qsizetype slash = target.indexOf('/', 7);
        target = slash < 0 ? QByteArray("/") : target.mid(slash);
    }
    if (target == "/download/" + updateFileName()) return 2;
    if (!target.startsWith("/motd")) return 0;
    const qsizetype q = target.indexOf("q=");
    request.clear();
    if (q >= 0 && !percentDecode(QByteArrayView(target).sliced(q + 2), request, true))
        request.clear();
    return 1;
}

} // namespace dwdir
