#include "yp.h"

#include "catalog.h"
#include "listrequest.h"

#include <QUrl>

namespace dwdir {

namespace {

bool printable(QByteArrayView v)
{
    for (char c : v)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
    return true;
}

// A figure sent as text: 0 when it is not a number, and never below 0 or absurdly large.
qint64 figure(const QByteArray& v)
{
    return qBound(qint64(0), toNumber(v), qint64(1000000000));
}

// Text fields keep their letters; control bytes become blanks.
QByteArray text(const QByteArray& v)
{
    QByteArray out = v;
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    return out.trimmed();
}

// An SID as this directory hands them out: letters and digits.
bool sidOk(QByteArrayView sid)
{
    if (sid.isEmpty() || sid.size() > 64) return false;
    for (char c : sid)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')))
            return false;
    return true;
}

} // namespace

bool ypListenUrlOk(QByteArrayView url)
{
    if (url.size() > 512 || !url.startsWith("http://") || !printable(url) || url.contains(' ') ||
        url.contains('\\'))
        return false;
    const QUrl u(QString::fromLatin1(url), QUrl::StrictMode);
    return u.isValid() && u.scheme() == QLatin1String("http") && !u.host().isEmpty() &&
           u.port(80) >= 1 && u.port(80) <= 65535 && u.userInfo().isEmpty();
}

YpRequest parseYpRequest(QByteArrayView form)
{
    YpRequest r;
    auto bad = [&](const QByteArray& why) {
        r.action = YpRequest::Bad;
        r.error = why;
        return r;
    };
    QHash<QByteArray, QByteArray> f;
    int fields = 0;
    for (const QByteArray& piece : form.toByteArray().split('&')) {
        if (piece.isEmpty()) continue;
        if (++fields > kYpMaxFields) return bad("Too many fields");
        const qsizetype eq = piece.indexOf('=');
        QByteArray name, value;
        if (!percentDecode(QByteArrayView(piece).first(eq < 0 ? piece.size() : eq), name, true) ||
            (eq >= 0 && !percentDecode(QByteArrayView(piece).sliced(eq + 1), value, true)))
            return bad("Bad escape in the request");
        if (value.size() > kYpMaxValue)
            return bad("The value of " + text(name.left(32)) + " is too long");
        name = name.toLower();
        if (!f.contains(name)) f.insert(name, value);
    }
    const QByteArray action = f.value("action").toLower();
    if (action.isEmpty()) return bad("No action given");
    if (action == "add") {
        Listing& l = r.listing;
        l.name = text(f.value("sn"));
        l.listenUrl = text(f.value("listenurl"));
        if (l.name.isEmpty()) return bad("No station name (sn) given");
        if (l.listenUrl.isEmpty()) return bad("No listen URL (listenurl) given");
        if (!ypListenUrlOk(l.listenUrl)) return bad("The listen URL must be an http:// address");
        l.genre = text(f.value("genre"));
        l.description = text(f.value("desc"));
        l.url = text(f.value("url"));
        // A home page is shown to listeners: only web addresses.
        if (!l.url.startsWith("http://") && !l.url.startsWith("https://")) l.url.clear();
        l.contentType = text(f.value("type"));
        l.stype = text(f.value("stype"));
        l.bitrate = figure(f.value("b"));
        if (l.bitrate > 100000) l.bitrate = 0;
        l.audioInfo = text(f.value("audio_info", f.value("ai")));
        if (l.bitrate == 0) {
            // "ice-bitrate=128;ice-channels=2" carries it when "b" does not.
            for (const QByteArray& part : l.audioInfo.split(';')) {
                const QByteArray p = part.trimmed();
                if (p.startsWith("ice-bitrate=") || p.startsWith("bitrate="))
                    l.bitrate = figure(p.mid(p.indexOf('=') + 1));
            }
        }
        r.action = YpRequest::Add;
        return r;
    }
    if (action == "touch" || action == "remove") {
        const QByteArray sid = f.value("sid");
        if (sid.isEmpty()) return bad("No SID given");
        if (!sidOk(sid)) return bad("SID does not exist");
        r.sid = sid;
        if (action == "remove") {
            r.action = YpRequest::Remove;
            return r;
        }
        r.song = text(f.value("st"));
        r.listeners = figure(f.value("listeners"));
        r.maxListeners = figure(f.value("max_listeners"));
        r.action = YpRequest::Touch;
        return r;
    }
    return bad("Unknown action " + text(action.left(32)));
}

QByteArray ypAnswer(bool ok, const QByteArray& message, const QByteArray& sid, int touchFreq)
{
    QByteArray out = "HTTP/1.0 200 OK\r\nServer: dialwise-directory\r\nYPResponse: " +
                     QByteArray(ok ? "1" : "0") + "\r\nYPMessage: " + text(message) + "\r\n";
    if (sidOk(sid))
        out += "SID: " + sid + "\r\nTouchFreq: " + QByteArray::number(touchFreq) + "\r\n";
    const QByteArray body = (ok ? "OK: " : "Error: ") + text(message) + '\n';
    out += "Content-Type: text/plain; charset=utf-8\r\nContent-Length: " +
           QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    return out;
}

} // namespace dwdir
