#pragma once
// The message of the day without its window: the request and usage-report texts, the
// answer's settings lines and message, its check value, the pushed settings, and the
// client that sends the request by UDP or HTTP and takes the answer.
#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>

class TConfig;
class THttpCli;
class TUDPClient;
class QBuffer;

struct TMotdResponse
{
    QStringList SettingsLines; // the lines before "MOTD"
    QStringList MessageLines;  // the lines after it
    bool Rich = false;         // "{\rtf" occurs somewhere in the answer
    QString Message() const { return MessageLines.join("\r\n"); }
};

// Splits an answer (lines end in CR LF, LF or CR).
TMotdResponse ParseMotdResponse(const QByteArray& text);
// Sum over the bytes of (byte + position mod 256), positions from 1, as 32-bit signed.
qint32 MotdChecksum(const QByteArray& text);

// "MOTD|version|key|email|code|distcode|notify|name|age|zip|".
QString MotdRequestText(const TConfig& config);
// "TIME|version|key|code|total|foreground|".
QString UsageReportText(const TConfig& config, int totalMinutes, int foregroundMinutes);
// Minutes as a whole number: the fraction is dropped unless its first decimal digit is
// 6 or more; below 0.5 gives 0, above 2147483647 gives 2147483647.
int WholeMinutes(double minutes);

struct TPushedSettings
{
    QStringList Stored;  // names written
    QStringList Refused; // names that may not be written
    bool NewVersion = false;
};
// Bounds of what a message of the day may push.
inline constexpr int MaxMotdBytes = 64 * 1024; // the answer is cut there
inline constexpr int MaxPushedLines = 200;     // settings lines looked at
inline constexpr int MaxPushedValueLength = 1024;
inline constexpr int MaxPushedLocations = 20; // "dl1" to "dl20"
// Stores the "name=value" lines whose names a message of the day may set (the first line
// of each name counts; names with "<" are skipped); others are refused. All values are
// written with one flush, and an update announcement clears the checksum and signature of
// an earlier one. Re-reads the link table afterwards.
TPushedSettings ApplyPushedSettings(TConfig& config, const QStringList& lines);
bool PushedNameAllowed(const QString& name);

class TMotdClient : public QObject
{
    Q_OBJECT
public:
    explicit TMotdClient(TConfig* config, QObject* parent = nullptr);
    ~TMotdClient() override;

    // Sends the request by UDP or HTTP, as the settings say.
    void SendRequest();
    // The "TIME" datagram, always by UDP.
    void SendUsageReport(int totalMinutes, int foregroundMinutes);

    // Handles an answer as if it had arrived.
    void ProcessResponse(const QByteArray& text);

    // An answer arrived: its parts, and whether its check value differs from "motdck"
    // (which then holds the new one).
    std::function<void(const TMotdResponse& response, bool changed)> OnMessage;
    // The pushed settings announced a new version ("updatever"); called from the loop.
    std::function<void()> OnNewVersion;

    THttpCli* Httpmotdcli;
    TUDPClient* UDPmotdcli;

private:
    void sendDatagram(const QString& text);
    TConfig* config_;
    QBuffer* stream_ = nullptr;
    bool awaitingAnswer_ = false; // a UDP request is out and has had no answer yet
};
