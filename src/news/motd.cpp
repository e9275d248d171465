#include "motd.h"

#include "config.h"
#include "debuglog.h"
#include "httpprot.h"
#include "netconfig.h"
#include "netutils.h"
#include "resolve.h"
#include "wsockets.h"

#include <QBuffer>
#include <QPointer>
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
    if (name.isEmpty() || name.size() > 64 || name.contains('<')) return false;
    for (QChar ch : name) {
        // Path separators would reach other keys; control characters have no place.
        if (ch == '\\' || ch == '/' || ch.unicode() < 0x20 || ch.unicode() == 0x7f) return false;
    }
    return true;
}

TPushedSettings ApplyPushedSettings(TConfig& config, const QStringList& lines)
{
    TPushedSettings r;
    QStringList seen;
    for (const QString& line : lines) {
        const qsizetype eq = line.indexOf('=');
        if (eq < 0) continue;
        const QString name = line.left(eq);
        if (seen.contains(name, Qt::CaseInsensitive)) continue; // the first line counts
        seen << name;
        if (!PushedNameAllowed(name)) {
            if (!name.contains('<')) {
                r.Refused << name;
                DebugLog("MOTD: pushed setting refused: " + name, dcErrOut);
            }
            continue;
        }
        config.WriteValue(name, line.mid(eq + 1));
        r.Stored << name;
        if (name.compare("updatever", Qt::CaseInsensitive) == 0) r.NewVersion = true;
    }
    config.ReadLinkRecords();
    return r;
}

TMotdClient::TMotdClient(TConfig* config, QObject* parent)
    : QObject(parent), Httpmotdcli(new THttpCli(this)), UDPmotdcli(new TUDPClient(this)),
      config_(config)
{
    UDPmotdcli->OnData = [this](TCustomWSockets*, int) {
        // One datagram is one answer.
        const QByteArray bytes = UDPmotdcli->ReceiveBytes();
        if (!bytes.isEmpty()) ProcessResponse(bytes);
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

void TMotdClient::ProcessResponse(const QByteArray& text)
{
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
    if (pushed.NewVersion)
        if (auto f = OnNewVersion) f();
}
