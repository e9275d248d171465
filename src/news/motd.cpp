#include "motd.h"

#include "config.h"
#include "debuglog.h"
#include "httpprot.h"
#include "netconfig.h"
#include "netutils.h"
#include "registry.h"
#include "resolve.h"
#include "wsockets.h"

#include <QBuffer>
#include <QPointer>
#include <QTimer>
#include <cmath>
#include <limits>

TMotdResponse ParseMotdResponse(const QByteArray& text)
{
    TMotdResponse r;
    QString t = QString::fromLatin1(text);
    t.replace("\r\n", "\n").replace('\r', '\n');
    QStringList lines = t.split('\n');
    // A final line break does not start another line.
    if (!lines.isEmpty() && lines.last().isEmpty() && t.endsWith('\n')) lines.removeLast();
    qsizetype i = 0;
    bool marker = false;
    for (; i < lines.size(); ++i) {
        if (lines[i] == "MOTD") {
            marker = true;
            ++i;
            break;
        }
        r.SettingsLines << lines[i];
    }
    if (marker) r.MessageLines = lines.mid(i);
    r.Rich = text.contains("{\\rtf");
    return r;
}

qint32 MotdChecksum(const QByteArray& text)
{
    quint32 sum = 0; // wraps as the 32-bit signed sum does
    for (qsizetype i = 0; i < text.size(); ++i)
        sum += quint32(static_cast<unsigned char>(text[i])) + quint32((i + 1) % 256);
    return qint32(sum);
}

QString MotdRequestText(const TConfig& c)
{
    const TProductProfile& p = Profile();
    return "MOTD|" + p.Version() + "|" + p.ProductKeyName + "|" + c.Text("email") + "|" +
           c.InstallCode() + "|" + c.DistCode() + "|" + (c.Checked("notify_box") ? "1" : "0") +
           "|" + c.Text("realname") + "|" + c.Text("age") + "|" + c.Text("zip") + "|";
}

QString UsageReportText(const TConfig& c, int totalMinutes, int foregroundMinutes)
{
    const TProductProfile& p = Profile();
    return "TIME|" + p.Version() + "|" + p.ProductKeyName + "|" + c.InstallCode() + "|" +
           QString::number(totalMinutes) + "|" + QString::number(foregroundMinutes) + "|";
}

int WholeMinutes(double minutes)
{
    if (!std::isfinite(minutes) || minutes < 0.5) return 0;
    if (minutes > 2147483647.0) return std::numeric_limits<int>::max();
    const double whole = std::floor(minutes);
    const int firstDecimal = int((minutes - whole) * 10.0);
    return int(whole) + (firstDecimal >= 6 ? 1 : 0);
}

bool PushedNameAllowed(const QString& name)
{
    // The names a message of the day has a use for: the pending update and its download
    // locations, the link records, the banner interval and the distribution code. Any
    // other value (the player program, the proxy, the file names of the program) is the
    // user's and no server's.
    static const QStringList fixed = {"updatever",  "updatedesc",     "updateurl",
                                      "updatesize", "updatesha256",   "updatesig",
                                      "dlcount",    "bannerinterval", "distcode"};
    const QString n = name.toLower();
    if (fixed.contains(n)) return true;
    for (const QString& record : TConfig::LinkRecordNames())
        for (const char* part : {"text", "url", "hint"})
            if (n == record + part) return true;
    // "dl" number and "dl" number "desc", for the first MaxPushedLocations locations.
    if (n.startsWith("dl")) {
        QString digits = n.mid(2);
        if (digits.endsWith("desc")) digits.chop(4);
        bool ok = false;
        const int i = digits.toInt(&ok);
        return ok && i >= 1 && i <= MaxPushedLocations && QString::number(i) == digits;
    }
    return false;
}

TPushedSettings ApplyPushedSettings(TConfig& config, const QStringList& lines)
{
    TPushedSettings r;
    QStringList seen;
    QList<QPair<QString, QString>> writes;
    for (const QString& line : lines.mid(0, MaxPushedLines)) {
        const qsizetype eq = line.indexOf('=');
        if (eq < 0) continue;
        const QString name = line.left(eq);
        if (name.contains('<')) continue;                       // skipped without a word, as ever
        if (seen.contains(name, Qt::CaseInsensitive)) continue; // the first line counts
        seen << name;
        const QString value = line.mid(eq + 1);
        if (!PushedNameAllowed(name) || value.size() > MaxPushedValueLength) {
            r.Refused << name.left(64);
            continue;
        }
        writes.append({name.toLower(), value});
        r.Stored << name;
        if (name.compare("updatever", Qt::CaseInsensitive) == 0) r.NewVersion = true;
    }
    if (lines.size() > MaxPushedLines)
        DebugLog(QStringLiteral("MOTD: %1 settings lines past the first %2 ignored")
                     .arg(lines.size() - MaxPushedLines)
                     .arg(MaxPushedLines),
                 dcErrOut);
    if (!r.Refused.isEmpty())
        DebugLog("MOTD: pushed settings refused: " + r.Refused.mid(0, 20).join(", "), dcErrOut);
    const QString key = config.ProductKey();
    if (r.NewVersion) {
        // A new announcement replaces the whole pending update: a checksum or signature of
        // an earlier one must not stay behind to judge this one's file.
        for (const char* stale : {"updatesha256", "updatesig"})
            if (!seen.contains(QLatin1String(stale), Qt::CaseInsensitive))
                TRegistry::DeleteValue(key, QLatin1String(stale));
    }
    for (const auto& [name, value] : writes)
        TRegistry::WriteString(key, name, value);
    // One flush for the whole answer.
    if (!writes.isEmpty() || r.NewVersion) TRegistry::Flush();
    config.ReadLinkRecords();
    return r;
}

TMotdClient::TMotdClient(TConfig* config, QObject* parent)
    : QObject(parent), Httpmotdcli(new THttpCli(this)), UDPmotdcli(new TUDPClient(this)),
      config_(config)
{
    UDPmotdcli->OnData = [this](TCustomWSockets*, int) {
        // One datagram is one answer, and a request has one answer: repeats and late
        // datagrams from the server's address are read and dropped.
        const QByteArray bytes = UDPmotdcli->ReceiveBytes();
        if (bytes.isEmpty()) return;
        if (!awaitingAnswer_) {
            DebugLog(QStringLiteral("MOTD: datagram of %1 bytes without a request dropped")
                         .arg(bytes.size()),
                     dcErrOut);
            return;
        }
        awaitingAnswer_ = false;
        ProcessResponse(bytes);
    };
    Httpmotdcli->OnDocData = [this](THttpCli* h, const char*, int) {
        if (stream_ && stream_->size() > MaxMotdBytes) h->Abort(); // what came is cut below
    };
    Httpmotdcli->OnDocBegin = [this](THttpCli* h) {
        delete stream_;
        stream_ = new QBuffer(this);
        stream_->open(QIODevice::WriteOnly);
        h->RcvdStream = stream_;
    };
    Httpmotdcli->OnDocEnd = [this](THttpCli* h) {
        if (!stream_) return;
        QBuffer* s = stream_;
        stream_ = nullptr;
        h->RcvdStream = nullptr;
        const QByteArray body = s->data().left(qsizetype(h->RcvdCount()));
        s->deleteLater();
        if (h->StatusCode() >= 400) {
            DebugLog(QStringLiteral("MOTD: HTTP %1 %2").arg(h->StatusCode()).arg(h->ReasonPhrase()),
                     dcErrOut);
            return; // an error page is no message
        }
        ProcessResponse(body);
    };
}

TMotdClient::~TMotdClient()
{
    Httpmotdcli->OnDocEnd = nullptr;
    Httpmotdcli->Abort();
}

void TMotdClient::SendRequest()
{
    if (!config_) return;
    const QString request = MotdRequestText(*config_);
    if (config_->Checked("udpmotdbutt")) {
        awaitingAnswer_ = true;
        sendDatagram(request);
        return;
    }
    Httpmotdcli->URL = Profile().MotdUrl + UrlEncode(request);
    Httpmotdcli->RcvdStream = nullptr;
    ApplyProxy(*Httpmotdcli);
    try {
        Httpmotdcli->GetAsync();
    } catch (const std::exception& e) {
        DebugLog(QString("MOTD: %1").arg(e.what()), dcErrOut);
    }
}

void TMotdClient::SendUsageReport(int totalMinutes, int foregroundMinutes)
{
    if (!config_) return;
    sendDatagram(UsageReportText(*config_, totalMinutes, foregroundMinutes));
}

void TMotdClient::sendDatagram(const QString& text)
{
    const QString host = Profile().MotdHost;
    auto send = [this, text](const QString& address) {
        UDPmotdcli->Host = address;
        UDPmotdcli->Port = Profile().MotdPort;
        try {
            UDPmotdcli->Open();
            UDPmotdcli->SendText(text);
        } catch (const std::exception& e) {
            DebugLog(QString("MOTD: %1").arg(e.what()), dcErrOut);
        }
    };
    // A name is looked up without holding the loop.
    ResolveIPv4(host, this, [send](const QString& address) {
        if (address.isEmpty())
            DebugLog("MOTD: cannot resolve " + Profile().MotdHost, dcErrOut);
        else
            send(address);
    });
}

void TMotdClient::ProcessResponse(const QByteArray& whole)
{
    // A message of the day is a short text: a longer answer is cut.
    const QByteArray text = whole.left(MaxMotdBytes);
    if (whole.size() > MaxMotdBytes)
        DebugLog(QStringLiteral("MOTD: answer of %1 bytes cut to %2")
                     .arg(whole.size())
                     .arg(MaxMotdBytes),
                 dcErrOut);
    const TMotdResponse r = ParseMotdResponse(text);
    const QString ck = QString::number(MotdChecksum(text));
    bool changed = false;
    if (config_ && ck != config_->ReadValue("motdck")) {
        changed = true;
        config_->WriteValue("motdck", ck);
    }
    QPointer<TMotdClient> self(this);
    if (auto f = OnMessage) f(r, changed);
    if (!self || r.SettingsLines.isEmpty() || !config_) return;
    const TPushedSettings pushed = ApplyPushedSettings(*config_, r.SettingsLines);
    // The question and the updater run from the loop, after the socket's callback has
    // returned.
    if (pushed.NewVersion)
        QTimer::singleShot(0, this, [this] {
            if (auto f = OnNewVersion) f();
        });
}
