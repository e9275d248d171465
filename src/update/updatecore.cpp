#include "updatecore.h"

#include "debuglog.h"
#include "httpprot.h"
#include "latelibrary.h"
#include "registry.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <cctype>
#include <cmath>
#include <sodium.h>

QList<TDLInfo> ReadDownloadLocations(const QString& key)
{
    bool limited = false;
    const int count = TRegistry::ReadString(key, "dlcount").trimmed().toInt(&limited);
    QList<TDLInfo> out;
    for (int n = 1;; ++n) {
        if (limited && n > count) break;
        const QString url = TRegistry::ReadString(key, QStringLiteral("dl%1").arg(n));
        if (url.isEmpty()) break;
        TDLInfo d;
        d.URL = url;
        const TParsedURL p = ParseURL(url);
        d.Proto = p.Proto;
        d.Host = p.Host;
        d.Port = p.Port;
        d.Path = p.Path;
        d.User = p.User;
        d.Pass = p.Pass;
        d.Desc = TRegistry::ReadString(key, QStringLiteral("dl%1desc").arg(n));
        out << d;
        if (n > 10000) break;
    }
    return out;
}

QString DownloadFileName(const QString& path)
{
    QString name = path;
    const qsizetype q = name.indexOf('?');
    if (q >= 0) name.truncate(q);
    name = name.mid(name.lastIndexOf('/') + 1);
    name = name.mid(name.lastIndexOf('\\') + 1);
    QString clean;
    for (QChar c : name)
        if (c.unicode() >= 0x20 && c != ':' && c.unicode() != 0x7f) clean += c;
    while (clean.startsWith('.'))
        clean.remove(0, 1); // no "..", no hidden file
    if (clean.trimmed().isEmpty()) return QStringLiteral("dialwise-update");
    return clean.left(200);
}

int ProgressPercent(qint64 received, qint64 total)
{
    if (total <= 0) return 0;
    const double v = double(received) / double(total) * 100.0;
    const double whole = std::floor(v);
    return int(whole) + (int((v - whole) * 10.0) >= 6 ? 1 : 0);
}

QString ProgressText(qint64 received, qint64 total, qint64 elapsedMs)
{
    if (total <= 0) return QStringLiteral("%1 of Unknown").arg(received);
    const qint64 elapsed = qMax<qint64>(1, elapsedMs / 1000);
    const double rate = qMax(0.1, double(received) / 1000.0 / double(elapsed));
    const qint64 left = qMax<qint64>(0, qRound64(double(total - received) / (rate * 1000.0)));
    return QStringLiteral("%1 of %2 (%3 k/s) %4:%5 left")
        .arg(received)
        .arg(total)
        .arg(rate, 0, 'f', 2)
        .arg(left / 60)
        .arg(left % 60, 2, 10, QChar('0'));
}

int PingImage(int ms)
{
    if (ms < 251) return 1;
    if (ms <= 500) return 2;
    return 3;
}

bool FileMatchesSha256(const QString& file, const QString& hexSum)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly)) return false;
    QCryptographicHash h(QCryptographicHash::Sha256);
    if (!h.addData(&f)) return false;
    return h.result().toHex().compare(hexSum.trimmed().toLatin1(), Qt::CaseInsensitive) == 0;
}

QString UpdateFolder()
{
    QString base;
    const QString home = qEnvironmentVariable("DIALWISE_HOME");
    if (!home.isEmpty()) {
        base = QDir(home).absoluteFilePath("Downloads");
    } else {
        base = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
        if (base.isEmpty() || base == QDir::homePath())
            base = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    }
    const QString folder = base + "/Dialwise updates";
    QDir().mkpath(folder);
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return folder;
}

QString FreshFileName(const QString& folder, const QString& name)
{
    const QString first = folder + "/" + name;
    if (!QFileInfo::exists(first) && !QFileInfo(first).isSymLink()) return first;
    const qsizetype dot = name.lastIndexOf('.');
    const QString stem = dot > 0 ? name.left(dot) : name;
    const QString ext = dot > 0 ? name.mid(dot) : QString();
    for (int n = 2;; ++n) {
        const QString p = folder + QStringLiteral("/%1 (%2)%3").arg(stem).arg(n).arg(ext);
        if (!QFileInfo::exists(p) && !QFileInfo(p).isSymLink()) return p;
    }
}

namespace {
// The vendor's update key: only files signed with its secret half are ever opened.
constexpr char kBuiltInUpdateKey[] =
    "e85fad6350a519e876c33433e802d12e6f537be6aa3e7846579bdd7df6b58161";

// The signature library, loaded with the first signature checked or made, never at start.
// The functions used, each crypto_<name>.
#define DW_SODIUM_FUNCTIONS(X)                                                                     \
    X(sign_init)                                                                                   \
    X(sign_update)                                                                                 \
    X(sign_final_verify)                                                                           \
    X(sign_final_create)

struct TSodiumApi
{
#define DW_SODIUM_MEMBER(name) decltype(&::crypto_##name) name = nullptr;
    DW_SODIUM_FUNCTIONS(DW_SODIUM_MEMBER)
#undef DW_SODIUM_MEMBER
};

// Null when the library is missing or does not start.
const TSodiumApi* sodium()
{
    static const TSodiumApi* api = []() -> const TSodiumApi* {
        static platform::TLateLibrary library(QStringLiteral("sodium"), 23);
        static TSodiumApi a;
        decltype(&::sodium_init) init = nullptr;
        library.Get(init, "sodium_init");
#define DW_SODIUM_GET(name) library.Get(a.name, "crypto_" #name);
        DW_SODIUM_FUNCTIONS(DW_SODIUM_GET)
#undef DW_SODIUM_GET
        if (!library.AllFound() || init() < 0) {
            DebugLog("No signature library: " + library.ErrorString(), dcErrOut);
            return nullptr;
        }
        return &a;
    }();
    return api;
}
#undef DW_SODIUM_FUNCTIONS
} // namespace

QList<QByteArray> TrustedUpdateKeys()
{
    QList<QByteArray> keys{QByteArray::fromHex(kBuiltInUpdateKey)};
    const QByteArray extra = QByteArray::fromHex(qgetenv("DIALWISE_UPDATE_KEY").trimmed());
    if (extra.size() == crypto_sign_PUBLICKEYBYTES) keys << extra;
    return keys;
}

TSignatureCheck CheckUpdateSignature(const QString& file, const QString& hexSignature)
{
    const QString hex = hexSignature.trimmed();
    if (hex.isEmpty()) return TSignatureCheck::Missing;
    if (hex.size() != 2 * crypto_sign_BYTES) return TSignatureCheck::Malformed;
    for (QChar c : hex)
        if (!std::isxdigit(c.toLatin1())) return TSignatureCheck::Malformed;
    const QByteArray sig = QByteArray::fromHex(hex.toLatin1());
    const TSodiumApi* na = sodium();
    if (!na) return TSignatureCheck::Unreadable;
    for (const QByteArray& key : TrustedUpdateKeys()) {
        QFile f(file);
        if (!f.open(QIODevice::ReadOnly)) return TSignatureCheck::Unreadable;
        crypto_sign_state st;
        na->sign_init(&st);
        while (!f.atEnd()) {
            const QByteArray chunk = f.read(1 << 16);
            if (chunk.isEmpty()) break;
            na->sign_update(&st, reinterpret_cast<const unsigned char*>(chunk.constData()),
                            quint64(chunk.size()));
        }
        if (na->sign_final_verify(&st, reinterpret_cast<const unsigned char*>(sig.constData()),
                                  reinterpret_cast<const unsigned char*>(key.constData())) == 0)
            return TSignatureCheck::Good;
    }
    return TSignatureCheck::Bad;
}

QString SignatureProblemText(TSignatureCheck c)
{
    switch (c) {
    case TSignatureCheck::Good:
        return {};
    case TSignatureCheck::Missing:
        return QStringLiteral("The update was announced without a signature, so it cannot be "
                              "trusted. It was not opened.");
    case TSignatureCheck::Malformed:
        return QStringLiteral("The update's signature is not readable, so the update cannot be "
                              "trusted. It was not opened.");
    case TSignatureCheck::Bad:
        return QStringLiteral("The downloaded update is not signed by Dialwise's update key. It "
                              "was deleted and not opened.");
    case TSignatureCheck::Unreadable:
        return QStringLiteral("The downloaded update could not be read for its signature check. "
                              "It was not opened.");
    }
    return {};
}

QByteArray SignUpdate(const QByteArray& data, const QByteArray& secretKey)
{
    const TSodiumApi* na = sodium();
    if (!na || secretKey.size() != crypto_sign_SECRETKEYBYTES) return {};
    crypto_sign_state st;
    na->sign_init(&st);
    na->sign_update(&st, reinterpret_cast<const unsigned char*>(data.constData()),
                    quint64(data.size()));
    QByteArray sig(crypto_sign_BYTES, '\0');
    na->sign_final_create(&st, reinterpret_cast<unsigned char*>(sig.data()), nullptr,
                          reinterpret_cast<const unsigned char*>(secretKey.constData()));
    return sig;
}
