#include "radiobrowser.h"

#include "config.h"
#include "debuglog.h"
#include "productprofile.h"

#include <QHash>
#include <QHostAddress>
#include <QHostInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>
#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <unistd.h>
#include <unordered_map>
#include <utility>
#include <vector>

// ---------------------------------------------------------------------------------------
// Addresses and texts from the directory

namespace {

bool IsControl(char16_t c)
{
    return c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x2028 || c == 0x2029 ||
           (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069);
}

// A text to show: control characters (and the ones that turn writing direction) become
// blanks, runs of blanks one, at most `max` characters.
QString CleanText(QStringView in, qsizetype max, bool* hadControl = nullptr)
{
    QString out;
    out.reserve(qMin(in.size(), max));
    bool blank = true; // drops leading blanks
    for (QChar ch : in) {
        char16_t c = ch.unicode();
        if (IsControl(c)) {
            if (hadControl) *hadControl = true;
            c = u' ';
        }
        if (c == u' ') {
            if (blank) continue;
            blank = true;
        } else {
            blank = false;
        }
        if (out.size() >= max) break;
        out.append(QChar(c));
    }
    while (out.endsWith(QLatin1Char(' ')))
        out.chop(1);
    return out;
}

// The same for a text of its own: one that needs no change is kept, not copied.
QString CleanText(QString&& in, qsizetype max, bool* hadControl = nullptr)
{
    bool clean = in.size() <= max && !in.startsWith(u' ') && !in.endsWith(u' ');
    for (qsizetype i = 0; clean && i < in.size(); ++i) {
        const char16_t c = in[i].unicode();
        clean = !IsControl(c) && !(c == u' ' && i + 1 < in.size() && in[i + 1] == u' ');
    }
    return clean ? std::move(in) : CleanText(QStringView(in), max, hadControl);
}

} // namespace

namespace {

// The parts of an http(s) address, read by hand: a list of many thousands of stations
// holds three addresses each, too many for a general URL parser.
struct TUrlParts
{
    bool Https = false;
    QStringView Host; // without brackets
    int Port = 0;     // the scheme's when none is given
    QStringView Path; // path and query, without the fragment; "" for none
};

bool SplitHttpUrl(QStringView t, TUrlParts& u)
{
    if (t.isEmpty() || t.size() > 2048) return false;
    qsizetype start;
    if (t.startsWith(QLatin1String("http://"), Qt::CaseInsensitive)) {
        start = 7;
    } else if (t.startsWith(QLatin1String("https://"), Qt::CaseInsensitive)) {
        start = 8;
        u.Https = true;
    } else {
        return false;
    }
    for (QChar c : t) {
        const char16_t v = c.unicode();
        if (v <= 0x20 || IsControl(v) || v == u'"' || v == u'<' || v == u'>' || v == u'\\' ||
            v == u'^' || v == u'`' || v == u'{' || v == u'|' || v == u'}')
            return false;
    }
    qsizetype end = start;
    while (end < t.size() && t[end] != u'/' && t[end] != u'?' && t[end] != u'#')
        ++end;
    QStringView authority = t.sliced(start, end - start);
    const qsizetype at = authority.lastIndexOf(u'@');
    if (at >= 0) authority = authority.sliced(at + 1); // user information is not shown
    QStringView portText;
    if (authority.startsWith(u'[')) {
        const qsizetype close = authority.indexOf(u']');
        if (close < 0) return false;
        u.Host = authority.sliced(1, close - 1);
        if (close + 1 < authority.size()) {
            if (authority[close + 1] != u':') return false;
            portText = authority.sliced(close + 2);
        }
        for (QChar c : u.Host)
            if (!(c.isDigit() || (c.toLower() >= u'a' && c.toLower() <= u'f') || c == u':' ||
                  c == u'.'))
                return false;
    } else {
        const qsizetype colon = authority.lastIndexOf(u':');
        u.Host = colon < 0 ? authority : authority.first(colon);
        if (colon >= 0) portText = authority.sliced(colon + 1);
        for (QChar c : u.Host)
            if (c.unicode() < 0x80 && !c.isLetterOrNumber() && c != u'-' && c != u'.' && c != u'_')
                return false;
    }
    if (u.Host.isEmpty()) return false;
    u.Port = u.Https ? 443 : 80;
    if (!portText.isEmpty()) {
        if (portText.size() > 5) return false;
        int p = 0;
        for (QChar c : portText) {
            if (!c.isDigit()) return false;
            p = p * 10 + c.digitValue();
        }
        if (p < 1 || p > 65535) return false;
        u.Port = p;
    }
    qsizetype fragment = t.indexOf(u'#', end);
    if (fragment < 0) fragment = t.size();
    u.Path = t.sliced(end, fragment - end);
    return true;
}

} // namespace

QString RBSafeUrl(QStringView text)
{
    const QStringView t = text.trimmed();
    TUrlParts u;
    return SplitHttpUrl(t, u) ? t.toString() : QString();
}

namespace {
// The same for a text of its own: kept, not copied, when it needs no trimming.
QString SafeUrl(QString&& text)
{
    const QStringView t = QStringView(text).trimmed();
    TUrlParts u;
    if (!SplitHttpUrl(t, u)) return {};
    return t.size() == text.size() ? std::move(text) : t.toString();
}

// Host, and port with path, of a stream address, each made in one piece.
bool StreamAddress(QStringView url, QString& host, QString& port)
{
    TUrlParts u;
    if (!SplitHttpUrl(url, u)) return false;
    host = u.Host.toString();
    char digits[8];
    const int n = std::snprintf(digits, sizeof digits, "%d", u.Port);
    QString p;
    p.reserve(n + u.Path.size());
    p.append(QLatin1StringView(digits, n));
    p.append(u.Path);
    port = std::move(p);
    return true;
}
} // namespace

bool RBStreamAddress(const QString& url, QString& host, QString& port)
{
    return StreamAddress(QStringView(url).trimmed(), host, port);
}

// ---------------------------------------------------------------------------------------
// Host look-ups of the stations, once per host

namespace {

class TRBHostCache
{
public:
    static TRBHostCache& Instance()
    {
        // Lives for the run: look-ups may answer until the loop ends.
        static auto* cache = new TRBHostCache;
        return *cache;
    }

    // The address found for `host` ("" when none), when it is known already.
    bool Known(const QString& host, QString& ip) const
    {
        auto it = known_.constFind(host);
        if (it == known_.cend()) return false;
        ip = *it;
        return true;
    }

    // Calls `done` with the IPv4 address of `host` (empty when it has none) from the loop.
    void Resolve(const QString& host, std::function<void(const QString&)> done)
    {
        auto& waiting = pending_[host];
        waiting.append(std::move(done));
        if (waiting.size() > 1) return; // asked already
        QHostInfo::lookupHost(host, &context_, [this, host](const QHostInfo& info) {
            QString ip;
            for (const QHostAddress& a : info.addresses())
                if (a.protocol() == QAbstractSocket::IPv4Protocol) {
                    ip = a.toString();
                    break;
                }
            if (known_.size() >= 50000) known_.clear();
            known_.insert(host, ip);
            const auto callbacks = pending_.take(host);
            for (const auto& cb : callbacks)
                cb(ip);
        });
    }

private:
    QObject context_;
    QHash<QString, QString> known_;
    QHash<QString, QList<std::function<void(const QString&)>>> pending_;
};

} // namespace

// ---------------------------------------------------------------------------------------
// TRBStation

TRBStation::TRBStation(const QString& address, const QString& port) : TSCServer(address, port) {}

const TServerClass& TRBStation::Class()
{
    static const TServerClass c{
        "TRBStation",
        &TSCServer::Class(),
        [](const QString& a, const QString& p) -> std::unique_ptr<TCustomServer> {
            return std::make_unique<TRBStation>(a, p);
        },
        TSCServer::Class().PlayerClass,
        TSCServer::Class().ColumnCount,
        TSCServer::Class().ColumnNames,
    };
    return c;
}

void TRBStation::GetColumns(QStringList& strings) const
{
    TSCServer::GetColumns(strings);
    if (strings.size() > 2) strings[2] = QString::number(NumPlayers);
}

QList<TRule> TRBStation::InfoLines() const
{
    QList<TRule> lines = TSCServer::InfoLines();
    lines.append({QStringLiteral("Country"),
                  CountryCode.isEmpty() || Country.isEmpty()
                      ? Country + CountryCode
                      : Country + QStringLiteral(" (") + CountryCode + QLatin1Char(')')});
    lines.append({QStringLiteral("Language"), Language});
    lines.append({QStringLiteral("Codec"), Codec + (Hls ? QStringLiteral(" (HLS)") : QString())});
    lines.append({QStringLiteral("Stream"), StreamURL});
    return lines;
}

TSCServer::TLogo TRBStation::StationLogo() const
{
    if (Favicon.isEmpty() || Uuid.isNull()) return {};
    return {QStringLiteral("rb-") + Uuid.toString(QUuid::WithoutBraces) + QStringLiteral(".png"),
            Favicon, true};
}

QString TRBStation::PingAddress() const
{
    return ResolvedIP.isEmpty() ? Address : ResolvedIP;
}

void TRBStation::Query(TQueryDoneEvent onDone)
{
    QHostAddress literal;
    if (ProgramValues().PingMode == 2 || literal.setAddress(Address) || !ResolvedIP.isEmpty() ||
        weak_from_this().expired()) {
        TSCServer::Query(std::move(onDone));
        return;
    }
    TRBHostCache& cache = TRBHostCache::Instance();
    QString ip;
    if (!cache.Known(Address, ip)) {
        // Not known yet: the ping starts when the look-up has answered.
        Querying = true;
        OnQueryDone = std::move(onDone);
        const quint32 id = ++lookup_;
        std::weak_ptr<TCustomServer> self = weak_from_this();
        cache.Resolve(Address, [self, id](const QString&) {
            const auto s = self.lock();
            if (!s) return;
            auto* st = static_cast<TRBStation*>(s.get());
            if (st->lookup_ != id || !st->Querying) return;
            TQueryDoneEvent ev = std::move(st->OnQueryDone);
            st->Query(std::move(ev));
        });
        return;
    }
    if (!ip.isEmpty()) {
        ResolvedIP = ip;
        TSCServer::Query(std::move(onDone));
        return;
    }
    // The host has no address: the attempt ends unanswered from the loop.
    TCustomServer::Query(std::move(onDone));
    QTimer* t = QueryTimer.get();
    QObject::disconnect(t, nullptr, nullptr, nullptr);
    t->setInterval(0);
    QObject::connect(t, &QTimer::timeout, [this, t] {
        if (QueryTimer.get() != t) return;
        Answered = false;
        Ping = 9999;
        RetryCount = MaxRetries;
        QueryDone();
    });
    t->start();
}

void TRBStation::StopQuery()
{
    ++lookup_;
    TSCServer::StopQuery();
}

// ---------------------------------------------------------------------------------------
// Memory for the stations of a big answer

namespace {

// Memory the process has not used before costs a fault for each 4 KiB page when it is
// first written, and on a virtual machine each costs more than reading a station: an
// answer of 50,000 stations and the stations made from it take some 28,000 pages. Their
// pages are therefore provided ahead, a range in one call (MADV_POPULATE_WRITE, which
// writes nothing), and a big answer's block, which the allocator maps on its own and
// unmaps whole, is asked for as huge pages where the system offers them (MADV_HUGEPAGE:
// one fault for 2 MiB). The allocator's heap is not: huge pages there could keep memory
// the stations have given back.
void AdviseHugePages(void* from, void* to)
{
    constexpr uintptr_t huge = 2 * 1024 * 1024;
    const uintptr_t a = (uintptr_t(from) + huge - 1) & ~(huge - 1);
    const uintptr_t b = uintptr_t(to) & ~(huge - 1);
    if (b > a) madvise(reinterpret_cast<void*>(a), b - a, MADV_HUGEPAGE); // a hint only
}

// False when the kernel cannot (before Linux 5.14): the pages then come as written.
bool PreparePages(void* from, void* to)
{
    static const auto page = uintptr_t(sysconf(_SC_PAGESIZE));
    const uintptr_t a = (uintptr_t(from) + page - 1) & ~(page - 1);
    const uintptr_t b = uintptr_t(to) & ~(page - 1);
    return b <= a || madvise(reinterpret_cast<void*>(a), b - a, MADV_POPULATE_WRITE) == 0;
}

// Answer bytes whose pages are provided ahead of the writing.
constexpr qsizetype PrepareAhead = 4 * 1024 * 1024;
// Blocks this big the allocator always maps on their own (its largest mapping threshold).
constexpr qsizetype OwnMappingBytes = 32 * 1024 * 1024;
// What the network thread holds of an answer at most before the loop has taken it.
constexpr qint64 ReplyBufferBytes = 1024 * 1024;

// The stations of a big answer: a reserve takes what the next new stations will need from
// the allocator in blocks small enough to stay in its heap, provides their pages, and
// gives back all but the last: they join free ranges the allocator does not return to the
// system while that one is held, and the stations are carved from them. Freeing the
// reserve lets what the stations did not take go back.
class THeapReserve
{
public:
    THeapReserve() = default;
    ~THeapReserve() { std::free(cork_); }
    THeapReserve(const THeapReserve&) = delete;
    THeapReserve& operator=(const THeapReserve&) = delete;

    void Extend(qsizetype bytes)
    {
        constexpr size_t Block = 96 * 1024; // below the allocator's mapping threshold
        if (bytes <= 0 || !populate_) return;
        std::vector<char*> blocks;
        blocks.reserve(size_t(bytes) / Block + 1);
        for (size_t done = 0; done < size_t(bytes); done += Block) {
            auto* p = static_cast<char*>(std::malloc(Block));
            if (!p) break;
            blocks.push_back(p);
        }
        // Adjacent blocks make one range (the allocator's few bytes between them are its
        // own mapped memory, and populating writes nothing).
        std::vector<char*> sorted = blocks;
        std::sort(sorted.begin(), sorted.end());
        for (size_t i = 0; i < sorted.size();) {
            char* first = sorted[i];
            char* last = first + Block;
            for (++i; i < sorted.size() && sorted[i] - last <= 64; ++i)
                last = sorted[i] + Block;
            if (!PreparePages(first, last)) populate_ = false;
        }
        // The last block taken came from the end of the heap: held, it keeps the others
        // from joining the heap's free end, which the allocator gives back at once.
        if (blocks.empty()) return;
        std::free(std::exchange(cork_, blocks.back()));
        blocks.pop_back();
        for (char* p : blocks)
            std::free(p);
    }

private:
    void* cork_ = nullptr;
    bool populate_ = true;
};

} // namespace

// ---------------------------------------------------------------------------------------
// The JSON reader: one pass over the bytes, no document tree. Values of the fields a
// station needs are kept as views into the answer (or into a decoded copy when they hold
// escapes); everything else is skipped.

namespace {

constexpr int MaxDepth = 64;
constexpr qsizetype MaxStringBytes = 64 * 1024;

class TJsonScanner
{
public:
    TJsonScanner(const char* p, const char* end) : p_(p), end_(end) {}

    bool Failed() const { return !error_.isEmpty(); }
    QString Error() const { return error_; }
    const char* Pos() const { return p_; }

    void Fail(const char* what)
    {
        if (error_.isEmpty())
            error_ = QString::fromLatin1(what) + QStringLiteral(" at byte ") +
                     QString::number(offset_ + (p_ - begin_));
    }
    void SetBegin(const char* b) { begin_ = b; }

    void Ws()
    {
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t'))
            ++p_;
    }
    bool Peek(char c)
    {
        Ws();
        return p_ < end_ && *p_ == c;
    }
    bool Eat(char c)
    {
        if (!Peek(c)) return false;
        ++p_;
        return true;
    }
    bool AtEnd()
    {
        Ws();
        return p_ >= end_;
    }

    // A string; `out` views the answer or `scratch` (escapes decoded to UTF-8).
    bool String(std::string_view& out, std::string& scratch)
    {
        Ws();
        if (p_ >= end_ || *p_ != '"') {
            Fail("string expected");
            return false;
        }
        const char* start = ++p_;
        // Fast path: no escape.
        const char* q = start;
        while (q < end_ && *q != '"' && *q != '\\')
            ++q;
        if (q >= end_) {
            p_ = end_;
            Fail("unterminated string");
            return false;
        }
        if (*q == '"') {
            if (q - start > MaxStringBytes) {
                p_ = q;
                Fail("string too long");
                return false;
            }
            out = std::string_view(start, size_t(q - start));
            p_ = q + 1;
            return true;
        }
        scratch.assign(start, size_t(q - start));
        p_ = q;
        while (p_ < end_) {
            const char c = *p_;
            if (c == '"') {
                ++p_;
                out = scratch;
                return true;
            }
            if (qsizetype(scratch.size()) > MaxStringBytes) {
                Fail("string too long");
                return false;
            }
            if (c != '\\') {
                scratch.push_back(c);
                ++p_;
                continue;
            }
            if (++p_ >= end_) break;
            const char e = *p_++;
            switch (e) {
            case '"':
                scratch.push_back('"');
                break;
            case '\\':
                scratch.push_back('\\');
                break;
            case '/':
                scratch.push_back('/');
                break;
            case 'b':
                scratch.push_back('\b');
                break;
            case 'f':
                scratch.push_back('\f');
                break;
            case 'n':
                scratch.push_back('\n');
                break;
            case 'r':
                scratch.push_back('\r');
                break;
            case 't':
                scratch.push_back('\t');
                break;
            case 'u': {
                uint cp = 0;
                if (!Hex4(cp)) return false;
                if (cp >= 0xd800 && cp < 0xdc00) {
                    // A high surrogate wants its low half.
                    uint lo = 0;
                    if (end_ - p_ >= 6 && p_[0] == '\\' && p_[1] == 'u') {
                        p_ += 2;
                        if (!Hex4(lo)) return false;
                        if (lo >= 0xdc00 && lo < 0xe000)
                            cp = 0x10000 + ((cp - 0xd800) << 10) + (lo - 0xdc00);
                        else
                            cp = 0xfffd;
                    } else {
                        cp = 0xfffd;
                    }
                } else if (cp >= 0xdc00 && cp < 0xe000) {
                    cp = 0xfffd;
                }
                Utf8(cp, scratch);
                break;
            }
            default:
                Fail("bad escape");
                return false;
            }
        }
        Fail("unterminated string");
        return false;
    }

    // A number, true, false or null as its text.
    bool Scalar(std::string_view& out)
    {
        Ws();
        const char* start = p_;
        while (p_ < end_ && ((*p_ >= '0' && *p_ <= '9') || *p_ == '-' || *p_ == '+' || *p_ == '.' ||
                             *p_ == 'e' || *p_ == 'E' || (*p_ >= 'a' && *p_ <= 'z')))
            ++p_;
        if (p_ == start || p_ - start > 64) {
            Fail("value expected");
            return false;
        }
        out = std::string_view(start, size_t(p_ - start));
        if (out == "true" || out == "false" || out == "null") return true;
        if (out[0] != '-' && (out[0] < '0' || out[0] > '9')) {
            Fail("value expected");
            return false;
        }
        return true;
    }

    bool Skip(int depth)
    {
        if (depth > MaxDepth) {
            Fail("nested too deeply");
            return false;
        }
        Ws();
        if (p_ >= end_) {
            Fail("value expected");
            return false;
        }
        std::string_view v;
        std::string scratch;
        switch (*p_) {
        case '"':
            return String(v, scratch);
        case '{': {
            ++p_;
            if (Eat('}')) return true;
            do {
                if (!String(v, scratch)) return false;
                if (!Eat(':')) {
                    Fail("':' expected");
                    return false;
                }
                if (!Skip(depth + 1)) return false;
            } while (Eat(','));
            if (!Eat('}')) {
                Fail("'}' expected");
                return false;
            }
            return true;
        }
        case '[': {
            ++p_;
            if (Eat(']')) return true;
            do {
                if (!Skip(depth + 1)) return false;
            } while (Eat(','));
            if (!Eat(']')) {
                Fail("']' expected");
                return false;
            }
            return true;
        }
        default:
            return Scalar(v);
        }
    }

private:
    bool Hex4(uint& cp)
    {
        if (end_ - p_ < 4) {
            Fail("bad escape");
            return false;
        }
        cp = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = *p_++;
            cp <<= 4;
            if (c >= '0' && c <= '9')
                cp |= uint(c - '0');
            else if (c >= 'a' && c <= 'f')
                cp |= uint(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                cp |= uint(c - 'A' + 10);
            else {
                Fail("bad escape");
                return false;
            }
        }
        return true;
    }
    static void Utf8(uint cp, std::string& s)
    {
        if (cp < 0x80) {
            s.push_back(char(cp));
        } else if (cp < 0x800) {
            s.push_back(char(0xc0 | (cp >> 6)));
            s.push_back(char(0x80 | (cp & 0x3f)));
        } else if (cp < 0x10000) {
            s.push_back(char(0xe0 | (cp >> 12)));
            s.push_back(char(0x80 | ((cp >> 6) & 0x3f)));
            s.push_back(char(0x80 | (cp & 0x3f)));
        } else {
            s.push_back(char(0xf0 | (cp >> 18)));
            s.push_back(char(0x80 | ((cp >> 12) & 0x3f)));
            s.push_back(char(0x80 | ((cp >> 6) & 0x3f)));
            s.push_back(char(0x80 | (cp & 0x3f)));
        }
    }

    const char* p_;
    const char* end_;
    const char* begin_ = nullptr;
    qsizetype offset_ = 0;
    QString error_;
};

QString Utf8Text(std::string_view v)
{
    return QString::fromUtf8(v.data(), qsizetype(v.size()));
}

// A whole number from a number, a string of digits, or true/false; 0 otherwise. Bounded
// to the 32-bit range.
qint64 NumberOf(std::string_view v)
{
    if (v == "true") return 1;
    size_t i = 0;
    bool neg = false;
    if (i < v.size() && (v[i] == '-' || v[i] == '+')) neg = v[i++] == '-';
    qint64 n = 0;
    for (; i < v.size() && v[i] >= '0' && v[i] <= '9'; ++i)
        if (n < INT_MAX) n = n * 10 + (v[i] - '0');
    n = qMin<qint64>(n, INT_MAX);
    return neg ? -n : n;
}

// Fields of one entry, as views.
enum TField : int
{
    fUuid,
    fName,
    fUrl,
    fUrlResolved,
    fHomepage,
    fFavicon,
    fTags,
    fCountry,
    fCountryCode,
    fLanguage,
    fCodec,
    fBitrate,
    fHls,
    fClickCount,
    fCount
};

int FieldOf(std::string_view key)
{
    switch (key.size()) {
    case 3:
        if (key == "url") return fUrl;
        break;
    case 3 + 1:
        if (key == "name") return fName;
        if (key == "tags") return fTags;
        break;
    case 3 + 2:
        if (key == "codec") return fCodec;
        break;
    case 7:
        if (key == "country") return fCountry;
        if (key == "favicon") return fFavicon;
        if (key == "bitrate") return fBitrate;
        break;
    case 8:
        if (key == "homepage") return fHomepage;
        if (key == "language") return fLanguage;
        break;
    case 10:
        if (key == "clickcount") return fClickCount;
        break;
    case 11:
        if (key == "stationuuid") return fUuid;
        if (key == "countrycode") return fCountryCode;
        break;
    case 12:
        if (key == "url_resolved") return fUrlResolved;
        break;
    }
    if (key == "hls") return fHls;
    return -1;
}

// Texts that repeat across an answer (tags, countries, languages, codecs) share one
// string each.
class TShared
{
public:
    QString Get(std::string_view v, qsizetype max)
    {
        if (v.empty()) return {};
        auto it = map_.find(v);
        if (it != map_.end()) return it->second;
        QString text = CleanText(Utf8Text(v), max);
        if (map_.size() < 8192) map_.emplace(std::string(v), text);
        return text;
    }

private:
    struct THash
    {
        using is_transparent = void;
        size_t operator()(std::string_view v) const { return std::hash<std::string_view>()(v); }
    };
    std::unordered_map<std::string, QString, THash, std::equal_to<>> map_;
};

bool KnownCodec(const QString& c)
{
    static const QStringList known = {
        QStringLiteral("MP3"),    QStringLiteral("AAC"),   QStringLiteral("AAC+"),
        QStringLiteral("OGG"),    QStringLiteral("OPUS"),  QStringLiteral("FLAC"),
        QStringLiteral("WMA"),    QStringLiteral("MP4"),   QStringLiteral("AACP"),
        QStringLiteral("HE-AAC"), QStringLiteral("VORBIS")};
    const QString u = c.toUpper();
    for (const QString& k : known)
        if (u == k || u.startsWith(k + QLatin1Char(','))) return true;
    return false;
}

class TSkipCount
{
public:
    void Add(const char* reason) { ++counts_[reason]; }
    int Total() const
    {
        int n = 0;
        for (const auto& [r, c] : counts_)
            n += c;
        return n;
    }
    QStringList Lines() const
    {
        QStringList out;
        for (const auto& [r, c] : counts_)
            out << QString::fromLatin1(r) + QStringLiteral(": ") + QString::number(c);
        return out;
    }

private:
    std::map<std::string, int> counts_;
};

} // namespace

namespace {
// The fingerprint of the texts a station is made from.
quint64 TextsPrint(const std::array<std::string_view, fCount>& f)
{
    size_t h = QHashSeed::globalSeed();
    for (int field : {fName, fUrl, fUrlResolved, fHomepage, fFavicon, fTags, fCountry, fCountryCode,
                      fLanguage, fCodec})
        h = qHash(QByteArrayView(f[size_t(field)].data(), qsizetype(f[size_t(field)].size())),
                  h + f[size_t(field)].size());
    return h;
}
} // namespace

TRBReadResult ReadRadioBrowserStations(QByteArrayView json, const std::atomic<bool>* cancel,
                                       const TRBKnown* previous, bool prepareMemory)
{
    TRBReadResult out;
    const char* begin = json.data();
    TJsonScanner sc(begin, begin + json.size());
    sc.SetBegin(begin);
    // A byte order mark is allowed before the text.
    if (json.size() >= 3 && uchar(begin[0]) == 0xef && uchar(begin[1]) == 0xbb &&
        uchar(begin[2]) == 0xbf)
        sc = TJsonScanner(begin + 3, begin + json.size()), sc.SetBegin(begin);
    if (!sc.Eat('[')) {
        out.Error = sc.AtEnd() ? QStringLiteral("empty answer")
                               : QStringLiteral("not a list of stations (no JSON array)");
        return out;
    }
    TSkipCount skipped;
    TShared tags, countries, languages, codecs;
    THeapReserve reserve;
    constexpr int ReserveAhead = 1024; // new stations a reserve is made for
    int made = 0;
    auto known = std::make_shared<TRBKnown>();
    QHash<QUuid, TRBKnown::TEntry>& seen = known->ByUuid;
    out.Stations.reserve(qMin<qsizetype>(json.size() / 600 + 16, MaxRBStations));
    std::array<std::string_view, fCount> f;
    std::array<std::string, fCount> scratch;
    std::string keyScratch;
    bool first = true;
    while (!sc.Eat(']')) {
        if (!first && !sc.Eat(',')) {
            sc.Fail(sc.AtEnd() ? "answer ends early" : "',' expected");
            break;
        }
        first = false;
        if (cancel && (out.Entries & 255) == 0 && cancel->load(std::memory_order_relaxed)) {
            out.Error = QStringLiteral("cancelled");
            return out;
        }
        ++out.Entries;
        if (!sc.Peek('{')) {
            // Something else in the list: skipped whole.
            if (!sc.Skip(1)) break;
            skipped.Add("not an object");
            continue;
        }
        sc.Eat('{');
        f.fill(std::string_view());
        std::array<bool, fCount> has{};
        bool ok = true;
        if (!sc.Eat('}')) {
            do {
                std::string_view key;
                if (!sc.String(key, keyScratch)) {
                    ok = false;
                    break;
                }
                const int field = FieldOf(key);
                if (!sc.Eat(':')) {
                    sc.Fail("':' expected");
                    ok = false;
                    break;
                }
                if (field < 0 || (sc.Peek('{') || sc.Peek('['))) {
                    if (!sc.Skip(2)) {
                        ok = false;
                        break;
                    }
                    continue;
                }
                if (sc.Peek('"')) {
                    if (!sc.String(f[field], scratch[field])) {
                        ok = false;
                        break;
                    }
                } else if (!sc.Scalar(f[field])) {
                    ok = false;
                    break;
                } else if (f[field] == "null") {
                    f[field] = {};
                }
                has[field] = true;
            } while (sc.Eat(','));
            if (ok && !sc.Eat('}')) {
                sc.Fail(sc.AtEnd() ? "answer ends early" : "'}' expected");
                ok = false;
            }
        }
        if (!ok) break;
        if (out.Stations.size() >= MaxRBStations) {
            skipped.Add("beyond the station limit");
            continue;
        }

        const QUuid uuid = QUuid::fromString(
            QAnyStringView(QByteArrayView(f[fUuid].data(), qsizetype(f[fUuid].size()))));
        if (!has[fUuid] || uuid.isNull()) {
            skipped.Add("no station uuid");
            continue;
        }
        if (seen.contains(uuid)) {
            skipped.Add("duplicate uuid");
            continue;
        }
        const int players = int(qMax<qint64>(0, NumberOf(f[fClickCount])));
        const int bitrate = int(qBound<qint64>(qint64(0), NumberOf(f[fBitrate]), qint64(100000)));
        const bool hls = NumberOf(f[fHls]) != 0;
        const quint64 print = TextsPrint(f);
        if (previous) {
            // The same texts as the station of the answer before: that station is kept.
            const auto it = previous->ByUuid.constFind(uuid);
            if (it != previous->ByUuid.cend() && it->Print == print &&
                it->Row < previous->Stations.size()) {
                if (it->NameHadControl) skipped.Add("name with control characters (cleaned, kept)");
                const QString codec = codecs.Get(f[fCodec], 24);
                if (!codec.isEmpty() && !KnownCodec(codec))
                    skipped.Add("unknown codec (kept, built-in player)");
                seen.insert(uuid, {print, int(out.Stations.size()), it->NameHadControl});
                out.Updates.push_back({int(out.Stations.size()), players, bitrate, hls});
                out.TotalListeners = int(quint32(out.TotalListeners) + quint32(players));
                out.Stations.append(previous->Stations.at(it->Row));
                continue;
            }
        }
        if (prepareMemory && made++ % ReserveAhead == 0) {
            // What the next new stations will take, by what the entries so far took (a
            // station takes about the bytes of its entry), and no more than the rest of
            // the answer can make.
            const qsizetype perEntry = (sc.Pos() - begin) / out.Entries;
            reserve.Extend(
                qMin(perEntry * ReserveAhead, qsizetype(json.size()) - (sc.Pos() - begin)));
        }
        QString stream = Utf8Text(f[fUrlResolved]).trimmed();
        QString host, port;
        if (!StreamAddress(stream, host, port)) {
            stream = Utf8Text(f[fUrl]).trimmed();
            if (!StreamAddress(stream, host, port)) stream.clear();
        }
        if (stream.isEmpty()) {
            skipped.Add(has[fUrl] || has[fUrlResolved] ? "stream address not http(s)"
                                                       : "no stream address");
            continue;
        }
        bool control = false;
        QString name = CleanText(Utf8Text(f[fName]), 200, &control);
        if (name.isEmpty()) {
            skipped.Add("no name");
            continue;
        }
        if (control) skipped.Add("name with control characters (cleaned, kept)");
        seen.insert(uuid, {print, int(out.Stations.size()), control});

        auto station = std::make_shared<TRBStation>(host, port);
        station->HostPort = station->Port;
        station->StreamURL = std::move(stream);
        station->Name = std::move(name);
        station->Uuid = uuid;
        station->Genre = tags.Get(f[fTags], 400);
        station->Country = countries.Get(f[fCountry], 100);
        station->CountryCode = countries.Get(f[fCountryCode], 8);
        station->Language = languages.Get(f[fLanguage], 100);
        station->Codec = codecs.Get(f[fCodec], 24);
        if (!station->Codec.isEmpty() && !KnownCodec(station->Codec))
            skipped.Add("unknown codec (kept, built-in player)");
        station->Bitrate = bitrate;
        station->Hls = hls;
        station->NumPlayers = players;
        station->URL = SafeUrl(Utf8Text(f[fHomepage]));
        station->Favicon = SafeUrl(Utf8Text(f[fFavicon]));
        station->ChatIP = host;
        station->PlayerKind = 0; // every codec plays in the built-in player
        station->Answered = true;
        out.TotalListeners = int(quint32(out.TotalListeners) + quint32(station->NumPlayers));
        out.Stations.append(std::move(station));
    }
    if (sc.Failed()) {
        out.Error = QStringLiteral("malformed JSON: ") + sc.Error();
        out.Stations.clear();
        out.Updates.clear();
        return out;
    }
    if (!sc.AtEnd()) {
        out.Error = QStringLiteral("malformed JSON: text after the list");
        out.Stations.clear();
        out.Updates.clear();
        return out;
    }
    out.Ok = true;
    known->Stations = out.Stations;
    out.Known = std::move(known);
    const QStringList lines = skipped.Lines();
    out.Reasons = lines;
    // Kept entries with a note do not count as skipped.
    int kept = 0;
    for (const QString& l : lines)
        if (l.contains(QLatin1String("kept"))) kept += l.section(QStringLiteral(": "), -1).toInt();
    out.Skipped = skipped.Total() - kept;
    return out;
}

void ApplyUpdates(TRBReadResult& result)
{
    for (const TRBUpdate& u : result.Updates) {
        auto* st = static_cast<TRBStation*>(result.Stations.at(u.Row).get());
        st->NumPlayers = u.NumPlayers;
        st->Bitrate = u.Bitrate;
        st->Hls = u.Hls;
        st->PlayerKind = 0;
        st->Answered = true;
    }
    result.Updates.clear();
}

QList<TRBTag> ReadRadioBrowserTags(QByteArrayView json, QString* error)
{
    QList<TRBTag> tags;
    QJsonParseError pe;
    const QJsonDocument doc = QJsonDocument::fromJson(json.toByteArray(), &pe);
    if (!doc.isArray()) {
        if (error)
            *error = pe.error != QJsonParseError::NoError ? pe.errorString()
                                                          : QStringLiteral("no JSON array");
        return tags;
    }
    for (const QJsonValue& v : doc.array()) {
        if (tags.size() >= 20000) break;
        const QJsonObject o = v.toObject();
        const QString name = CleanText(o.value(QLatin1String("name")).toString(), 100);
        if (name.isEmpty()) continue;
        tags.append({name, qMax(0, o.value(QLatin1String("stationcount")).toInt())});
    }
    return tags;
}

// ---------------------------------------------------------------------------------------
// TRBServerChoice

namespace {
QString TrimSlash(QString u)
{
    while (u.endsWith(QLatin1Char('/')))
        u.chop(1);
    return u;
}

void Shuffle(QStringList& list)
{
    for (qsizetype i = list.size() - 1; i > 0; --i)
        list.swapItemsAt(i, qsizetype(QRandomGenerator::global()->bounded(quint32(i + 1))));
}
} // namespace

void TRBServerChoice::SetServers(const QString& urls)
{
    candidates_.clear();
    for (const QString& part :
         urls.split(QRegularExpression(QStringLiteral("[,\\s]+")), Qt::SkipEmptyParts)) {
        const QString u = RBSafeUrl(part);
        if (!u.isEmpty() && !candidates_.contains(TrimSlash(u))) candidates_ << TrimSlash(u);
        if (candidates_.size() >= 32) break;
    }
    Shuffle(candidates_);
    current_ = 0;
    failures_ = 0;
    known_ = !candidates_.isEmpty();
    lookupName_.clear();
}

void TRBServerChoice::SetLookup(const QString& name, const QString& scheme, int port)
{
    candidates_.clear();
    current_ = 0;
    failures_ = 0;
    known_ = false;
    lookupName_ = name;
    scheme_ = scheme;
    port_ = port;
}

QString TRBServerChoice::Current() const
{
    return candidates_.value(current_);
}

bool TRBServerChoice::Failed()
{
    if (candidates_.isEmpty()) return false;
    ++failures_;
    current_ = (current_ + 1) % int(candidates_.size());
    if (failures_ < candidates_.size()) return true;
    failures_ = 0;
    // Every one failed: look the name up again next time, the servers may have moved.
    if (!lookupName_.isEmpty()) known_ = false;
    return false;
}

void TRBServerChoice::Find(QObject* context, std::function<void()> done)
{
    if (known_ || lookupName_.isEmpty()) {
        done();
        return;
    }
    const int gen = ++*generation_;
    std::weak_ptr<int> alive = generation_;
    const QString name = lookupName_;
    const QString scheme = scheme_;
    const int port = port_;
    auto finish = [this, alive, gen, name, scheme, port, done](QStringList names) {
        if (alive.expired() || *alive.lock() != gen) return;
        candidates_.clear();
        for (const QString& n : names) {
            QString u = scheme + QStringLiteral("://") + n;
            if (port > 0) u += QLatin1Char(':') + QString::number(port);
            if (!candidates_.contains(u)) candidates_ << u;
        }
        if (candidates_.isEmpty()) {
            // No address, or none with a name: the name itself, resolved by the request.
            QString u = scheme + QStringLiteral("://") + name;
            if (port > 0) u += QLatin1Char(':') + QString::number(port);
            candidates_ << u;
        }
        Shuffle(candidates_);
        current_ = 0;
        failures_ = 0;
        known_ = true;
        DebugLog(QStringLiteral("Radio Browser servers: ") +
                 candidates_.join(QStringLiteral(", ")));
        done();
    };
    QHostInfo::lookupHost(name, context, [context, finish, scheme](const QHostInfo& info) {
        QList<QHostAddress> addrs = info.addresses();
        if (addrs.size() > 16) addrs.resize(16);
        if (addrs.isEmpty()) {
            DebugLog(QStringLiteral("Radio Browser: ") + info.errorString(), dcErrOut);
            finish({});
            return;
        }
        // Each address by its name (a certificate names the server, not its address).
        auto names = std::make_shared<QStringList>();
        auto left = std::make_shared<int>(int(addrs.size()));
        for (const QHostAddress& a : addrs) {
            const QString ip = a.toString();
            QHostInfo::lookupHost(
                ip, context, [names, left, finish, ip, a, scheme](const QHostInfo& r) {
                    const QString n = r.hostName();
                    if (!n.isEmpty() && n != ip && !names->contains(n))
                        names->append(n);
                    else if ((n.isEmpty() || n == ip) && scheme == QLatin1String("http"))
                        names->append(a.protocol() == QAbstractSocket::IPv6Protocol
                                          ? QLatin1Char('[') + ip + QLatin1Char(']')
                                          : ip);
                    if (--*left == 0) finish(*names);
                });
        }
    });
}

// ---------------------------------------------------------------------------------------
// TRadioBrowserList

struct TRadioBrowserList::TParseJob
{
    QByteArray Body;
    std::shared_ptr<const TRBKnown> Previous;
    std::atomic<bool> Cancel{false};
    TRBReadResult Result;
};

QByteArray TRadioBrowserList::UserAgent()
{
    return "Dialwise/" + Profile().VersionParts.join(QLatin1Char('.')).toLatin1();
}

TRadioBrowserList::TRadioBrowserList() : context_(std::make_unique<QObject>())
{
    nam_ = new QNetworkAccessManager(context_.get());
    nam_->setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
    Servers_.SetLookup(TRBServerChoice::DefaultName());
}

TRadioBrowserList::~TRadioBrowserList()
{
    StopParse();
    StopReply();
}

void TRadioBrowserList::SetGenre(const QString& genreEntry)
{
    uuids_.clear();
    if (genreEntry.isEmpty() ||
        genreEntry.compare(QLatin1String("(All Servers)"), Qt::CaseInsensitive) == 0) {
        mode_ = rbMostPlayed;
        term_.clear();
        return;
    }
    // Several genres in one entry (separated by backslashes): the directory takes one tag.
    QString tag;
    for (const QString& part : genreEntry.split(QLatin1Char('\\'), Qt::SkipEmptyParts))
        if (!(tag = part.trimmed()).isEmpty()) break;
    mode_ = rbTag;
    term_ = tag.toLower();
}

void TRadioBrowserList::SetNameSearch(const QString& text)
{
    uuids_.clear();
    mode_ = rbName;
    term_ = text.trimmed().left(200);
}

QString TRadioBrowserList::RequestPath() const
{
    auto enc = [](const QString& s) { return QString::fromLatin1(QUrl::toPercentEncoding(s)); };
    if (!uuids_.isEmpty())
        return QStringLiteral("/json/stations/byuuid?uuids=") + uuids_.join(QLatin1Char(','));
    QString q = QStringLiteral("/json/stations/search?");
    if (mode_ == rbTag)
        q += QStringLiteral("tag=") + enc(term_) + QStringLiteral("&tagExact=true&");
    if (mode_ == rbName) q += QStringLiteral("name=") + enc(term_) + QLatin1Char('&');
    q += QStringLiteral("hidebroken=true&order=clickcount&reverse=true&limit=") +
         QString::number(Limit);
    return q;
}

void TRadioBrowserList::RefreshAll()
{
    StopParse();
    StopReply();
    uuids_.clear();
    asked_.clear();
    TCustomServerList::RefreshAll();
}

void TRadioBrowserList::UpdateServers(const QList<TServerRef>& list)
{
    StopParse();
    StopReply();
    uuids_.clear();
    for (const TServerRef& s : list)
        if (auto* rb = dynamic_cast<TRBStation*>(s.get()); rb && !rb->Uuid.isNull())
            if (uuids_.size() < 1000) uuids_ << rb->Uuid.toString(QUuid::WithoutBraces);
    if (uuids_.isEmpty()) {
        // Nothing the directory knows: the stations are pinged as they are.
        TCustomServerList::UpdateServers(list);
        return;
    }
    Aborted = false;
    DropCycle();
    Servers = list;
    asked_ = list;
    FetchList();
}

void TRadioBrowserList::FetchList()
{
    TCustomServerList::FetchList();
    LastError.clear();
    Servers_.Find(context_.get(), [this] {
        if (State == lsFetching && !Aborted) SendRequest();
    });
}

void TRadioBrowserList::CancelFetch()
{
    StopReply();
    StopParse();
    TCustomServerList::CancelFetch();
}

void TRadioBrowserList::StopReply()
{
    if (QNetworkReply* r = reply_.data()) {
        reply_ = nullptr;
        r->disconnect();
        r->abort();
        r->deleteLater();
    }
}

void TRadioBrowserList::StopParse()
{
    if (parseJob_) parseJob_->Cancel = true;
    if (parseThread_.joinable()) parseThread_.join();
    parseJob_.reset();
}

void TRadioBrowserList::SendRequest()
{
    const QString base = Servers_.Current();
    if (base.isEmpty()) {
        FallBack(QStringLiteral("no server of the directory found"));
        return;
    }
    LastRequest = RequestPath();
    QNetworkRequest req{QUrl(base + LastRequest)};
    req.setHeader(QNetworkRequest::UserAgentHeader, UserAgent());
    req.setRawHeader("Accept", "application/json");
    req.setTransferTimeout(RequestTimeoutMs);
    req.setMaximumRedirectsAllowed(4);
    DebugLog(QStringLiteral("Radio Browser: GET ") + base + LastRequest);
    QNetworkReply* reply = nam_->get(req);
    reply_ = reply;
    // The answer comes over in slices of a bounded buffer, which the network thread
    // fills again and again, instead of a second copy of the whole answer in new memory.
    reply->setReadBufferSize(ReplyBufferBytes);
    auto body = std::make_shared<QByteArray>();
    bodyReady_ = 0;
    QObject::connect(reply, &QNetworkReply::readyRead, context_.get(), [this, reply, body] {
        if (reply != reply_) return;
        RestartListTimer();
        if (body->isEmpty()) {
            // The whole answer in one block when its length is told (within the bound):
            // growing a block of many megabytes chunk by chunk copies it again and again.
            const qint64 told = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
            if (told > 0 && told <= MaxBodyBytes) body->reserve(qsizetype(told));
            if (body->capacity() > OwnMappingBytes)
                AdviseHugePages(body->data(), body->data() + body->capacity());
        }
        // Straight into the answer's block: no copy of each chunk on the way.
        const qint64 avail = reply->bytesAvailable();
        if (body->size() + avail > MaxBodyBytes) {
            reply_ = nullptr;
            reply->disconnect();
            reply->abort();
            reply->deleteLater();
            ServerFailed(QStringLiteral("answer larger than ") +
                         QString::number(MaxBodyBytes / (1024 * 1024)) + QStringLiteral(" MB"));
            return;
        }
        const qsizetype old = body->size();
        body->resize(old + qsizetype(avail));
        // The block's pages are made ready a range at a time, a little ahead of the
        // writing, instead of a page fault for every page.
        const qsizetype ready = qMin(body->capacity(), old + qsizetype(avail) + PrepareAhead);
        if (ready > bodyReady_) {
            PreparePages(body->data() + qMax(bodyReady_, old), body->data() + ready);
            bodyReady_ = ready;
        }
        const qint64 got = reply->read(body->data() + old, avail);
        body->resize(old + qsizetype(qMax<qint64>(0, got)));
        Status(-1,
               QStringLiteral("Server List (") + QString::number(body->size()) + QLatin1Char(')'));
    });
    QObject::connect(reply, &QNetworkReply::finished, context_.get(), [this, reply, body] {
        if (reply != reply_) return;
        reply_ = nullptr;
        reply->deleteLater();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (reply->error() != QNetworkReply::NoError && status < 400) {
            ServerFailed(reply->errorString());
            return;
        }
        if (status >= 400 || status == 0) {
            ServerFailed(QStringLiteral("HTTP status ") + QString::number(status));
            return;
        }
        body->append(reply->readAll());
        if (body->size() > MaxBodyBytes) {
            ServerFailed(QStringLiteral("answer too large"));
            return;
        }
        parseClock_.start();
        // A refresh keeps the stations of the answer before that have not changed (not
        // a favorites refresh, which updates its own).
        const std::shared_ptr<const TRBKnown> previous = uuids_.isEmpty() ? known_ : nullptr;
        if (body->size() < OffThreadParseBytes) {
            AnswerParsed(ReadRadioBrowserStations(*body, nullptr, previous.get()));
            return;
        }
        // A big answer is read on a worker thread, so that the window answers.
        auto job = std::make_shared<TParseJob>();
        job->Body = std::move(*body);
        job->Previous = previous;
        parseJob_ = job;
        QObject* ctx = context_.get();
        parseThread_ = std::thread([this, job, ctx] {
            job->Result =
                ReadRadioBrowserStations(job->Body, &job->Cancel, job->Previous.get(), true);
            if (job->Cancel) return;
            QMetaObject::invokeMethod(
                ctx,
                [this, job] {
                    if (job != parseJob_) return;
                    if (parseThread_.joinable()) parseThread_.join();
                    parseJob_.reset();
                    if (State != lsFetching) return;
                    AnswerParsed(std::move(job->Result));
                },
                Qt::QueuedConnection);
        });
    });
}

void TRadioBrowserList::ServerFailed(const QString& why)
{
    const QString server = Servers_.Current();
    DebugLog(QStringLiteral("Radio Browser: ") + server + QStringLiteral(" failed: ") + why,
             dcErrOut);
    if (State != lsFetching || Aborted) return;
    if (Servers_.Failed()) {
        SendRequest();
        return;
    }
    FallBack(why);
}

void TRadioBrowserList::FallBack(const QString& why)
{
    LastError = why;
    Status(0, QStringLiteral("Radio Browser: ") + why);
    // The stations shown before stay (queried again); a favorites refresh keeps its own.
    if (uuids_.isEmpty()) {
        Servers = lastGood_;
        TotalListeners = 0;
        StationCount = int(Servers.size());
        for (const TServerRef& s : std::as_const(Servers))
            TotalListeners += s->NumPlayers;
    } else {
        for (const TServerRef& s : std::as_const(Servers))
            if (s->Name.isEmpty())
                if (auto* sc = dynamic_cast<TSCServer*>(s.get())) s->Name = sc->StreamURL;
    }
    TCustomServerList::ListReceived();
}

void TRadioBrowserList::AnswerParsed(TRBReadResult result)
{
    if (!result.Ok) {
        ServerFailed(result.Error);
        return;
    }
    Servers_.Succeeded();
    ApplyUpdates(result);
    DebugLog(QStringLiteral("Radio Browser: %1 stations of %2 entries in %3 ms")
                 .arg(result.Stations.size())
                 .arg(result.Entries)
                 .arg(parseClock_.elapsed()),
             dcPerfOut);
    if (!result.Reasons.isEmpty())
        DebugLog(QStringLiteral("Radio Browser: %1 entries skipped (%2)")
                     .arg(result.Skipped)
                     .arg(result.Reasons.join(QStringLiteral(", "))));
    TotalListeners = result.TotalListeners;
    StationCount = int(result.Stations.size());
    if (!uuids_.isEmpty()) {
        // A favorites refresh: the answer updates the stations asked for, in place.
        QHash<QUuid, TRBStation*> byUuid;
        for (const TServerRef& s : std::as_const(result.Stations))
            byUuid.insert(static_cast<TRBStation*>(s.get())->Uuid,
                          static_cast<TRBStation*>(s.get()));
        for (const TServerRef& s : std::as_const(Servers)) {
            auto* to = dynamic_cast<TRBStation*>(s.get());
            TRBStation* from = to ? byUuid.value(to->Uuid) : nullptr;
            if (!from) {
                if (s->Name.isEmpty())
                    if (auto* sc = dynamic_cast<TSCServer*>(s.get())) s->Name = sc->StreamURL;
                continue;
            }
            to->Address = from->Address;
            to->Port = from->Port;
            to->HostPort = from->HostPort;
            to->StreamURL = from->StreamURL;
            to->Name = from->Name;
            to->Genre = from->Genre;
            to->NumPlayers = from->NumPlayers;
            to->Bitrate = from->Bitrate;
            to->URL = from->URL;
            to->ChatIP = from->ChatIP;
            to->Country = from->Country;
            to->CountryCode = from->CountryCode;
            to->Language = from->Language;
            to->Codec = from->Codec;
            to->Favicon = from->Favicon;
            to->Hls = from->Hls;
            to->ResolvedIP.clear();
        }
    } else {
        Servers = std::move(result.Stations);
        known_ = std::move(result.Known);
        // The stations of the answer before go in slices from the loop: freeing many
        // thousands at once would hold the window.
        graveyard_ += std::exchange(lastGood_, Servers);
        ReleaseSoon();
    }
    TCustomServerList::ListReceived();
}

void TRadioBrowserList::ReleaseSoon()
{
    if (graveyard_.isEmpty() || releasing_) return;
    releasing_ = true;
    QTimer::singleShot(0, context_.get(), [this] {
        releasing_ = false;
        const qsizetype n = qMin<qsizetype>(graveyard_.size(), 2000);
        graveyard_.remove(graveyard_.size() - n, n);
        ReleaseSoon();
    });
}

void TRadioBrowserList::StationLaunched(TCustomServer* station)
{
    auto* rb = dynamic_cast<TRBStation*>(station);
    const QString base = Servers_.Current();
    if (!rb || rb->Uuid.isNull() || base.isEmpty()) return;
    // The directory counts plays this way; the answer is not needed.
    QNetworkRequest req{
        QUrl(base + QStringLiteral("/json/url/") + rb->Uuid.toString(QUuid::WithoutBraces))};
    req.setHeader(QNetworkRequest::UserAgentHeader, UserAgent());
    req.setTransferTimeout(RequestTimeoutMs);
    QNetworkReply* reply = nam_->get(req);
    reply->setReadBufferSize(64 * 1024);
    const QString uuid = rb->Uuid.toString(QUuid::WithoutBraces);
    QObject::connect(reply, &QNetworkReply::finished, context_.get(), [reply, uuid] {
        reply->deleteLater();
        DebugLog(QStringLiteral("Radio Browser: play of ") + uuid +
                 (reply->error() == QNetworkReply::NoError
                      ? QStringLiteral(" counted")
                      : QStringLiteral(" not counted: ") + reply->errorString()));
    });
    QObject::connect(reply, &QNetworkReply::readyRead, context_.get(), [reply] {
        if (reply->bytesAvailable() >= 64 * 1024)
            reply->abort();
        else
            reply->readAll();
    });
}

void TRadioBrowserList::FetchTags(std::function<void(const QList<TRBTag>&)> done, int attempts)
{
    Servers_.Find(context_.get(), [this, done, attempts] {
        const QString base = Servers_.Current();
        if (base.isEmpty()) {
            done({});
            return;
        }
        QNetworkRequest req{QUrl(
            base + QStringLiteral(
                       "/json/tags?hidebroken=true&order=stationcount&reverse=true&limit=2000"))};
        req.setHeader(QNetworkRequest::UserAgentHeader, UserAgent());
        req.setTransferTimeout(RequestTimeoutMs);
        QNetworkReply* reply = nam_->get(req);
        auto body = std::make_shared<QByteArray>();
        QObject::connect(reply, &QNetworkReply::readyRead, context_.get(), [reply, body] {
            body->append(reply->readAll());
            if (body->size() > 8 * 1024 * 1024) reply->abort();
        });
        QObject::connect(
            reply, &QNetworkReply::finished, context_.get(), [this, reply, body, done, attempts] {
                reply->deleteLater();
                if (reply->error() != QNetworkReply::NoError &&
                    reply->error() != QNetworkReply::OperationCanceledError && attempts > 1) {
                    DebugLog(QStringLiteral("Radio Browser tags: ") + reply->errorString() +
                                 QStringLiteral("; asked again"),
                             dcErrOut);
                    QTimer::singleShot(1000, context_.get(),
                                       [this, done, attempts] { FetchTags(done, attempts - 1); });
                    return;
                }
                body->append(reply->readAll());
                QString error;
                const QList<TRBTag> tags =
                    reply->error() == QNetworkReply::NoError && body->size() <= 8 * 1024 * 1024
                        ? ReadRadioBrowserTags(*body, &error)
                        : QList<TRBTag>();
                if (reply->error() != QNetworkReply::NoError) error = reply->errorString();
                if (!error.isEmpty())
                    DebugLog(QStringLiteral("Radio Browser tags: ") + error, dcErrOut);
                DebugLog(QStringLiteral("Radio Browser: %1 tags").arg(tags.size()));
                done(tags);
            });
    });
}
