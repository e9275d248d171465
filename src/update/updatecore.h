#pragma once
// The updater's rules without its window: download locations read from the program's
// key, the local file name, progress figures and texts, and the check of a downloaded
// file against the announced SHA-256 sum.
#include <QList>
#include <QString>

// One download location.
struct TDLInfo
{
    QString URL;
    QString Proto, Host, Port, Path, User, Pass;
    QString Desc; // the name shown for it
};

// Reads "dl1", "dl2", ... (and their "desc") from `key` until a missing or empty value,
// or after "dlcount" entries when that is a number.
QList<TDLInfo> ReadDownloadLocations(const QString& key);

// The local name of a download: the text after the path's last "/", without a query,
// reduced to a plain file name (no directory parts, no ".."); "dialwise-update" when
// nothing usable is left.
QString DownloadFileName(const QString& path);

// Percent of the progress bar: the fraction dropped unless its first decimal is 6 or
// more; 0 while the total is unknown.
int ProgressPercent(qint64 received, qint64 total);
// "%d of %d (%f k/s) %s:%s left" with a known total, else "%d of Unknown".
QString ProgressText(qint64 received, qint64 total, qint64 elapsedMs);

// The picture of a round-trip time: 1 below 251 ms, 2 up to 500 ms, 3 above.
int PingImage(int ms);

// True when `file`'s SHA-256 is `hexSum` (letter case ignored).
bool FileMatchesSha256(const QString& file, const QString& hexSum);

// Where updates are downloaded: "Dialwise updates" in the user's download folder (the
// cache folder when there is none; under DIALWISE_HOME when that is set), never the
// program's own folder. Created when missing.
QString UpdateFolder();
// `name` in `folder`, or "name (2).ext", "name (3).ext", ... when that exists already.
QString FreshFileName(const QString& folder, const QString& name);

// The public keys an update's signature may be made with: the built-in one, and the
// one in DIALWISE_UPDATE_KEY (64 hex digits) when set.
QList<QByteArray> TrustedUpdateKeys();
enum class TSignatureCheck
{
    Good,
    Missing,
    Malformed,
    Bad,
    Unreadable
};
// Checks the detached Ed25519 signature (128 hex digits; over the file's bytes, made with
// the multi-part Ed25519ph interface) of `file` against the trusted keys.
TSignatureCheck CheckUpdateSignature(const QString& file, const QString& hexSignature);
// The user's explanation of a check that is not Good.
QString SignatureProblemText(TSignatureCheck c);
// Signs `data` with a 64-byte libsodium secret key (for the demo directory and tests).
QByteArray SignUpdate(const QByteArray& data, const QByteArray& secretKey);
