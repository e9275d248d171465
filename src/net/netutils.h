#pragma once
// Network utilities shared by most of the program: URL encoding, the redirect-and-browse
// routine, launching the browser and other programs, backslash key/value texts, host and
// port texts, Base64, the text check value and a few small helpers. None keeps state.
#include <QByteArray>
#include <QString>
#include <functional>
#include <stdexcept>

// Area numbers of the redirect service.
enum TRedirectArea
{
    raBanner = 1,
    raLinkButton = 3,
    raChatLink = 4,
    raMotdLink = 5,
    raBuyCD = 6,
    raSongSearch = 8,
    raSearchLogo = 9,
    raPlayerLogo = 10,
    raPlayerBuyCD = 11,
    raDownloadPage = 13
};

class EExecuteProgram : public std::runtime_error
{
public:
    EExecuteProgram(const QString& message, int code)
        : std::runtime_error(message.toStdString()), Message(message), ErrorCode(code)
    {
    }
    QString Message;
    int ErrorCode;
};

// Letters and digits stay, a space becomes "+", every other byte (UTF-8) "%XX".
QString UrlEncode(const QString& text);
QByteArray UrlEncode(const QByteArray& bytes);
// "%XX" becomes that byte; everything else ("+" too) is copied. A "%" without two
// hexadecimal digits after it is copied as it stands.
QString UrlDecode(const QString& text);
QByteArray UrlDecode(const QByteArray& bytes);

// The redirect service's address for a target, a product number and an area.
QString RedirectUrl(const QString& target, int product, int area);
// True for an http or https address with a host, the only kind the system browser gets.
bool WebAddressAllowed(const QString& url);
// Hands a "mailto:" address (and nothing else) to the desktop's mail program.
void OpenMailLink(const QString& url);
// Opens RedirectUrl(...) in the web browser (a target with another scheme is refused).
void OpenRedirect(const QString& target, int product, int area);
// Opens a URL in the web browser (spaces become "+"); when the opener cannot be started
// or reports failure (later, from the loop), the failure handler gets the caption "Error"
// and "Unable to launch web browser - " + the URL.
void OpenBrowser(const QString& url);
// Shows the failure of OpenBrowser (the user interface installs a message box here; by
// default the text goes to the error channel of the debug console).
using TBrowserFailureHandler = std::function<void(const QString& caption, const QString& text)>;
void SetBrowserFailureHandler(TBrowserFailureHandler handler);

// Starts a program: `application` (or, when empty, the first word of `commandLine`) with
// the arguments of `commandLine`. `show` is the window show mode and has no effect here.
// Without `wait`: returns the process id (and, in *threadId, the id of its first thread).
// With `wait`: blocks until the program ends and returns its exit code. Failure throws
// EExecuteProgram "Failed to execute program.  Error Code %d".
qint64 ExecuteProgram(const QString& application, const QString& commandLine, int show, bool wait,
                      qint64* threadId = nullptr);

// Drops everything up to and including the first separator, then returns the text up to
// the next separator (which stays in `text`), or the whole rest (and `text` is emptied).
QString NextToken(QString& text, const QString& separator);
// Value of `key` in a backslash key/value text; with `remove` the pair leaves `text`.
QString GetKeyValue(QString& text, const QString& key, bool remove = false);
QString GetKeyValue(const QString& text, const QString& key);
QString HostOf(const QString& text);
QString PortOf(const QString& text, const QString& defaultPort);
bool IsDottedIP(const QString& text);

QString Base64Encode(const QByteArray& bytes);
QString Base64Encode(const char* bytes, int count);
// Four characters give three bytes; characters outside the alphabet count as 0; a short
// last group gives the bytes its characters hold. At most `count` bytes.
QByteArray Base64Decode(const QString& text, int count);

quint32 TextChecksum(const QString& text);
QString FilterChars(const QString& text, bool remove);
int RoundUpFromSix(double value);
QString RandomAlnum(int count);
qint64 UnixTimeNow();
