#include "netutils.h"

#include "debuglog.h"
#include "platform.h"
#include "productprofile.h"

#include <QDateTime>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QUrl>
#include <cmath>

namespace {

TBrowserFailureHandler& failureHandler()
{
    static TBrowserFailureHandler h;
    return h;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isAsciiAlnum(int c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

} // namespace

QByteArray UrlEncode(const QByteArray& bytes)
{
    static const char hex[] = "0123456789ABCDEF";
    QByteArray out;
    out.reserve(bytes.size() * 3);
    for (char ch : bytes) {
        auto c = static_cast<unsigned char>(ch);
        if (isAsciiAlnum(c)) {
            out += char(c);
        } else if (c == ' ') {
            out += '+';
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

QString UrlEncode(const QString& text)
{
    return QString::fromLatin1(UrlEncode(text.toUtf8()));
}

QByteArray UrlDecode(const QByteArray& bytes)
{
    QByteArray out;
    out.reserve(bytes.size());
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '%' && i + 2 < bytes.size() && hexValue(bytes[i + 1]) >= 0 &&
            hexValue(bytes[i + 2]) >= 0) {
            out += char(hexValue(bytes[i + 1]) << 4 | hexValue(bytes[i + 2]));
            i += 2;
        } else {
            out += bytes[i];
        }
    }
    return out;
}

QString UrlDecode(const QString& text)
{
    QByteArray raw = UrlDecode(text.toUtf8());
    // Bytes that are no UTF-8 were meant as Latin-1; nothing is replaced or lost.
    QString s = QString::fromUtf8(raw);
    if (s.contains(QChar::ReplacementCharacter) && !text.contains(QChar::ReplacementCharacter))
        return QString::fromLatin1(raw);
    return s;
}

namespace {
void refused(const QString& url)
{
    DebugLog("Not a web address, not opened: " + url.left(200), dcErrOut);
    if (auto& h = failureHandler())
        h(QStringLiteral("Error"),
          "Only web addresses (http and https) are opened - " + url.left(200));
}
} // namespace

QString RedirectUrl(const QString& target, int product, int area)
{
    QString encoded = UrlEncode(target).replace('+', QLatin1String("%2B"));
    return QStringLiteral("http://%1/redirect.asp?product=%2&area=%3&url=%4")
        .arg(Profile().RedirectHost)
        .arg(product)
        .arg(area)
        .arg(encoded);
}

bool WebAddressAllowed(const QString& url)
{
    // Only web addresses leave the program: no local files, no other schemes or programs,
    // nothing that could be read as an option of the opener.
    const QString t = url.trimmed();
    const qsizetype colon = t.indexOf(':');
    const QString scheme = colon < 0 ? QString() : t.left(colon).toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https")) return false;
    if (!t.mid(colon + 1).startsWith(QLatin1String("//"))) return false;
    for (QChar c : t)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f) return false;
    return QUrl(t).isValid() && !QUrl(t).host().isEmpty();
}

void OpenMailLink(const QString& url)
{
    const QString t = url.trimmed();
    bool plain = t.startsWith(QLatin1String("mailto:"), Qt::CaseInsensitive) && t.size() > 7;
    for (QChar c : t)
        plain &= c.unicode() >= 0x20 && c.unicode() != 0x7f;
    if (!plain) {
        refused(url);
        return;
    }
    platform::OpenUrl(t);
}

void OpenRedirect(const QString& target, int product, int area)
{
    // The redirect service sends the browser on to the target, so the target is held to
    // the same rule as an address opened directly; one without a scheme is a web address.
    const QString t = target.trimmed();
    const qsizetype colon = t.indexOf(':');
    const qsizetype slash = t.indexOf('/');
    const bool hasScheme = colon > 0 && (slash < 0 || colon < slash);
    if (hasScheme && !WebAddressAllowed(t)) {
        refused(target);
        return;
    }
    OpenBrowser(RedirectUrl(target, product, area));
}

void SetBrowserFailureHandler(TBrowserFailureHandler handler)
{
    failureHandler() = std::move(handler);
}

void OpenBrowser(const QString& url)
{
    QString u = url;
    u.replace(' ', '+');
    if (!WebAddressAllowed(u)) {
        refused(url);
        return;
    }
    const auto fail = [u] {
        const QString text = "Unable to launch web browser - " + u;
        if (auto& h = failureHandler())
            h(QStringLiteral("Error"), text);
        else
            DebugLog(text, dcErrOut);
    };
    // The opener runs on its own; its outcome arrives from the loop.
    if (!platform::OpenUrl(u, [fail](bool ok) {
            if (!ok) fail();
        }))
        fail();
}

qint64 ExecuteProgram(const QString& application, const QString& commandLine, int show, bool wait,
                      qint64* threadId)
{
    Q_UNUSED(show);
    QStringList args = QProcess::splitCommand(commandLine);
    QString program = application;
    if (program.isEmpty()) {
        if (args.isEmpty()) throw EExecuteProgram("Failed to execute program.  Error Code 2", 2);
        program = args.takeFirst();
    } else if (!args.isEmpty()) {
        // A command line that starts with the program's own name carries it as argv[0].
        auto base = [](const QString& p) {
            QString n = QFileInfo(p).fileName().toLower();
            return n.endsWith(QLatin1String(".exe")) ? n.chopped(4) : n;
        };
        if (base(args.first()) == base(application)) args.removeFirst();
    }
    auto failure = [&](int code) {
        return EExecuteProgram(
            QStringLiteral("Failed to execute program.  Error Code %1").arg(code), code);
    };
    if (wait) {
        QProcess p;
        p.setProcessChannelMode(QProcess::ForwardedChannels);
        p.start(program, args);
        if (!p.waitForStarted(-1)) throw failure(p.error() == QProcess::FailedToStart ? 2 : 1);
        p.waitForFinished(-1);
        return p.exitCode();
    }
    qint64 pid = platform::StartProcess(program, args);
    if (pid <= 0) throw failure(QStandardPaths::findExecutable(program).isEmpty() ? 2 : 1);
    if (threadId) *threadId = pid; // the first thread of a process carries its id
    return pid;
}

QString NextToken(QString& text, const QString& separator)
{
    if (separator.isEmpty()) {
        QString all = text;
        text.clear();
        return all;
    }
    int p = text.indexOf(separator);
    if (p >= 0) text.remove(0, p + separator.size());
    int q = text.indexOf(separator);
    if (q < 0) {
        QString rest = text;
        text.clear();
        return rest;
    }
    QString token = text.left(q);
    text.remove(0, q);
    return token;
}

QString GetKeyValue(QString& text, const QString& key, bool remove)
{
    const QString marker = '\\' + key + '\\';
    int p = text.indexOf(marker);
    if (p < 0) return QString();
    int start = p + int(marker.size());
    int end = start;
    while (end < text.size() && text.at(end) != '\\' && text.at(end).unicode() >= 32)
        ++end;
    QString value = text.mid(start, end - start);
    if (remove) text.remove(p, end - p);
    return value;
}

QString GetKeyValue(const QString& text, const QString& key)
{
    QString copy = text;
    return GetKeyValue(copy, key, false);
}

QString HostOf(const QString& text)
{
    int c = text.indexOf(':');
    return c < 0 ? text : text.left(c);
}

QString PortOf(const QString& text, const QString& defaultPort)
{
    QString t = text.trimmed();
    int c = t.indexOf(':');
    if (c < 0) return defaultPort;
    QString p = t.mid(c + 1);
    bool ok = false;
    p.toInt(&ok, 10);
    return ok && !p.contains(' ') ? p : defaultPort;
}

bool IsDottedIP(const QString& text)
{
    if (text.isEmpty() || text.startsWith('0')) return false;
    int dots = 0;
    for (QChar c : text) {
        if (c == '.')
            ++dots;
        else if (c != ':' && !(c >= '0' && c <= '9'))
            return false;
    }
    return dots == 3;
}

QString Base64Encode(const char* bytes, int count)
{
    if (!bytes || count <= 0) return QString();
    return QString::fromLatin1(QByteArray(bytes, count).toBase64());
}

QString Base64Encode(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes.toBase64());
}

QByteArray Base64Decode(const QString& text, int count)
{
    auto value = [](QChar ch) -> quint32 {
        ushort c = ch.unicode();
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return 0;
    };
    QByteArray out;
    if (count <= 0) return out;
    const int n = int(text.size());
    for (int i = 0; i < n && out.size() < count; i += 4) {
        int len = qMin(4, n - i);
        quint32 v = 0;
        for (int k = 0; k < 4; ++k)
            v = v << 6 | (k < len ? value(text.at(i + k)) : 0);
        int bytes = len == 4 ? 3 : (len * 6) / 8;
        for (int k = 0; k < bytes && out.size() < count; ++k)
            out += char((v >> (16 - 8 * k)) & 0xff);
    }
    return out;
}

quint32 TextChecksum(const QString& text)
{
    quint32 sum = 0;
    for (int i = 0; i < text.size(); ++i)
        sum += quint32(text.at(i).unicode()) + quint32((i + 1) % 256);
    return sum;
}

QString FilterChars(const QString& text, bool remove)
{
    QString out;
    out.reserve(text.size());
    for (QChar ch : text) {
        ushort c = ch.unicode();
        bool control = c <= 31 || c == 127 || (c >= 128 && c <= 144) || (c >= 147 && c <= 160);
        if (!control)
            out += ch;
        else if (!remove)
            out += ' ';
    }
    return out;
}

int RoundUpFromSix(double value)
{
    if (!(value == value)) return 0; // NaN
    if (value > 2147483647.0) return 2147483647;
    if (value < 0.5) return 0;
    // The first decimal digit as written, so 4.6 counts as 4.6 and not 4.59999.
    const QByteArray text = QByteArray::number(value, 'f', 9);
    const int dot = int(text.indexOf('.'));
    const int whole = int(std::floor(value));
    const int digit = dot >= 0 && dot + 1 < text.size() ? text.at(dot + 1) - '0' : 0;
    return digit >= 6 ? whole + 1 : whole;
}

QString RandomAlnum(int count)
{
    QString s;
    s.reserve(qMax(0, count));
    for (int i = 0; i < count; ++i) {
        int c;
        do {
            c = int(QRandomGenerator::global()->bounded(128));
        } while (!isAsciiAlnum(c));
        s += QChar(c);
    }
    return s;
}

qint64 UnixTimeNow()
{
    return QDateTime::currentSecsSinceEpoch();
}
