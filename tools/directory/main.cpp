// dialwise-directory: the station list server of the local demo world.
#include "catalog.h"
#include "directoryserver.h"
#include "stationimport.h"
#include "store.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QStandardPaths>
#include <QUdpSocket>
#include <QUrl>
#include <cstdio>

using namespace dwdir;

namespace {

bool splitListen(const QString& text, QHostAddress& address, quint16& port)
{
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    QString host = colon < 0 ? QStringLiteral("127.0.0.1") : text.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    if (host.isEmpty()) host = QStringLiteral("127.0.0.1");
    if (host == QLatin1String("localhost")) host = QStringLiteral("127.0.0.1");
    bool ok = false;
    const uint p = text.mid(colon + 1).toUInt(&ok);
    if (!ok || p > 65535 || !address.setAddress(host)) return false;
    port = quint16(p);
    return true;
}

int fail(const QString& text)
{
    std::fprintf(stderr, "dialwise-directory: %s\n", qPrintable(text));
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("dialwise-directory"));

    QCommandLineParser cl;
    cl.setApplicationDescription(QStringLiteral(
        "Answers station list requests (\"/?compress=1\", with \"&genre=\" or \"&ip=\") from a "
        "catalog and from live sources; \"/catalog\" shows the stations as a page. Also the "
        "demo world's banner server (\"/ads/cgi-bin/accipiter/adserver.exe/...\", clicks at "
        "\"adclick.exe\"), station logo folder (\"/logos/buttons/BNUM.bmp\" for the bnums of "
        "the listed stations) and redirect service (\"/redirect.asp?url=...\", followed when "
        "the address is this server's), and the program's web pages: \"/mini2.shtml\" (news), "
        "\"/program/serverinfo.asp?ip=KEY\", \"/program/titlesearch.asp?q=TEXT\", "
        "\"/program/forums.asp?ip=KEY\" (read, and post by POST) and \"/buttons/NAME.bmp\". "
        "Its message server answers the message-of-the-day requests. Stations list "
        "themselves through Icecast's directory protocol at \"/cgi-bin/yp-cgi\". Stations, "
        "listings, forum posts, usage reports and the news are kept in a database."));
    cl.addHelpOption();
    QCommandLineOption listenOpt(
        QStringLiteral("listen"),
        QStringLiteral("Address and port to serve on (port 0: any free port)."),
        QStringLiteral("ADDRESS:PORT"), QStringLiteral("127.0.0.1:8620"));
    QCommandLineOption catalogOpt(
        QStringLiteral("catalog"),
        QStringLiteral("Station catalog, imported into the database in place of the last one "
                       "(default: the demo catalog, into a new database)."),
        QStringLiteral("FILE"));
    QCommandLineOption dbOpt(
        QStringLiteral("db"),
        QStringLiteral("The database: an SQLite file, \":memory:\", or "
                       "postgresql://USER@HOST:PORT/NAME (default: directory.db in the data "
                       "folder)."),
        QStringLiteral("DATABASE"));
    QCommandLineOption importOpt(
        QStringLiteral("import"),
        QStringLiteral("A Radio Browser JSON export of stations, imported into the database in "
                       "place of the last one."),
        QStringLiteral("FILE"));
    QCommandLineOption emptyOpt(QStringLiteral("empty"),
                                QStringLiteral("Start a new database without the demo catalog."));
    QCommandLineOption touchFreqOpt(
        QStringLiteral("touch-freq"),
        QStringLiteral("Seconds between the touches of a listing (a listing not touched for "
                       "three of them is dropped)."),
        QStringLiteral("SECONDS"), QStringLiteral("30"));
    QCommandLineOption addLimitOpt(
        QStringLiteral("add-limit"),
        QStringLiteral("Listings added per minute, and listings kept, per source address."),
        QStringLiteral("COUNT"), QStringLiteral("30"));
    QCommandLineOption proxyOpt(
        QStringLiteral("trusted-proxy"),
        QStringLiteral("Address of a reverse proxy in front of the directory: its requests "
                       "come from the last \"X-Forwarded-For\" address (repeatable)."),
        QStringLiteral("ADDRESS"));
    QCommandLineOption gzipOpt(QStringLiteral("gzip"),
                               QStringLiteral("Compress answers as gzip instead of zlib."));
    QCommandLineOption icecastOpt(
        QStringLiteral("icecast"),
        QStringLiteral("Icecast server whose streams are listed live (repeatable)."),
        QStringLiteral("URL"));
    QCommandLineOption streamOpt(
        QStringLiteral("stream"),
        QStringLiteral("Stream of the program's own kind, listed live while it answers "
                       "(repeatable)."),
        QStringLiteral("URL"));
    QCommandLineOption pollOpt(QStringLiteral("poll"),
                               QStringLiteral("Seconds between polls of the live sources."),
                               QStringLiteral("SECONDS"), QStringLiteral("5"));
    QCommandLineOption motdPortOpt(
        QStringLiteral("motd-port"),
        QStringLiteral("UDP port of the message server (0: any free port). It also answers "
                       "at \"/motd?q=REQUEST\" over HTTP."),
        QStringLiteral("PORT"), QStringLiteral("25636"));
    QCommandLineOption motdNewsOpt(
        QStringLiteral("motd-news"),
        QStringLiteral("File with the message (default: the demo news)."), QStringLiteral("FILE"));
    QCommandLineOption motdSettingsOpt(
        QStringLiteral("motd-settings"),
        QStringLiteral("File of \"name=value\" lines pushed with the message."),
        QStringLiteral("FILE"));
    QCommandLineOption updateOpt(
        QStringLiteral("update"),
        QStringLiteral("Announce an update, downloadable at \"/download/\" here."));
    QCommandLineOption updateLocationOpt(
        QStringLiteral("update-location"),
        QStringLiteral("A further download address of the update, such as an FTP copy "
                       "(repeatable)."),
        QStringLiteral("URL"));
    QCommandLineOption forumsOpt(
        QStringLiteral("forums"),
        QStringLiteral("Forum posts of an older version's file, imported into the database "
                       "once."),
        QStringLiteral("FILE"));
    cl.addOptions({listenOpt, catalogOpt, gzipOpt, icecastOpt, streamOpt, pollOpt, motdPortOpt,
                   motdNewsOpt, motdSettingsOpt, updateOpt, updateLocationOpt, forumsOpt, dbOpt,
                   importOpt, emptyOpt, touchFreqOpt, addLimitOpt, proxyOpt});
    // Update signing: the demo world makes its own key; the program trusts its public half
    // only when DIALWISE_UPDATE_KEY names it.
    QCommandLineOption newKeyOpt(
        QStringLiteral("new-update-key"),
        QStringLiteral("Write a new signing key to FILE, print its public half and end."),
        QStringLiteral("FILE"));
    QCommandLineOption signingKeyOpt(
        QStringLiteral("update-signing-key"),
        QStringLiteral("Sign the announced update with the key in FILE."), QStringLiteral("FILE"));
    cl.addOptions({newKeyOpt, signingKeyOpt});
    cl.process(app);
    if (cl.isSet(newKeyOpt)) return writeNewUpdateKey(cl.value(newKeyOpt));
    if (!cl.positionalArguments().isEmpty())
        return fail(QStringLiteral("unexpected argument %1").arg(cl.positionalArguments().first()));

    QHostAddress address;
    quint16 port = 0;
    if (!splitListen(cl.value(listenOpt), address, port))
        return fail(QStringLiteral("bad --listen value %1").arg(cl.value(listenOpt)));
    bool pollOk = false;
    const double pollSecs = cl.value(pollOpt).toDouble(&pollOk);
    if (!pollOk || pollSecs < 0.05 || pollSecs > 3600)
        return fail(QStringLiteral("bad --poll value %1").arg(cl.value(pollOpt)));
    const int pollMs = int(pollSecs * 1000);

    bool touchOk = false, limitOk = false;
    YpSettings yp;
    yp.touchFreq = cl.value(touchFreqOpt).toInt(&touchOk);
    yp.addLimit = cl.value(addLimitOpt).toInt(&limitOk);
    if (!touchOk || yp.touchFreq < 1 || yp.touchFreq > 3600)
        return fail(QStringLiteral("bad --touch-freq value %1").arg(cl.value(touchFreqOpt)));
    if (!limitOk || yp.addLimit < 1)
        return fail(QStringLiteral("bad --add-limit value %1").arg(cl.value(addLimitOpt)));
    QList<QHostAddress> proxies;
    for (const QString& p : cl.values(proxyOpt)) {
        QHostAddress a;
        if (!a.setAddress(p)) return fail(QStringLiteral("bad --trusted-proxy value %1").arg(p));
        proxies << a;
    }

    // What is to be imported is read before the database is touched.
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    struct Source
    {
        QByteArray origin;
        QList<Station> stations;
        QByteArray fingerprint;
    };
    QList<Source> imports;
    const bool demo = !cl.isSet(catalogOpt);
    const QString catalogPath = demo ? QStringLiteral(":/demo-catalog.txt") : cl.value(catalogOpt);
    {
        QFile f(catalogPath);
        if (!f.open(QIODevice::ReadOnly))
            return fail(
                QStringLiteral("catalog %1: cannot read %1: %2").arg(catalogPath, f.errorString()));
        const QByteArray text = f.readAll();
        CatalogLoad cat = parseCatalog(text, now);
        if (!cat.error.isEmpty())
            return fail(QStringLiteral("catalog %1: %2").arg(catalogPath, cat.error));
        for (const QString& w : cat.warnings)
            std::fprintf(stderr, "dialwise-directory: catalog %s\n", qPrintable(w));
        imports << Source{"catalog", std::move(cat.stations),
                          QCryptographicHash::hash(text, QCryptographicHash::Sha256).toHex()};
    }
    if (cl.isSet(importOpt)) {
        QFile f(cl.value(importOpt));
        if (f.size() > kMaxImportBytes)
            return fail(QStringLiteral("import %1: larger than %2 MB")
                            .arg(cl.value(importOpt))
                            .arg(kMaxImportBytes >> 20));
        if (!f.open(QIODevice::ReadOnly))
            return fail(QStringLiteral("import %1: %2").arg(cl.value(importOpt), f.errorString()));
        const QByteArray text = f.readAll();
        StationImport imp = parseRadioBrowserExport(text);
        if (!imp.error.isEmpty())
            return fail(QStringLiteral("import %1: %2").arg(cl.value(importOpt), imp.error));
        if (imp.skipped > 0)
            std::fprintf(stderr,
                         "dialwise-directory: import skipped %lld stations without a "
                         "usable address\n",
                         static_cast<long long>(imp.skipped));
        imports << Source{"import", std::move(imp.stations),
                          QCryptographicHash::hash(text, QCryptographicHash::Sha256).toHex()};
    }
    QByteArray oldPosts;
    if (cl.isSet(forumsOpt)) {
        QFile f(cl.value(forumsOpt));
        if (f.exists() && !f.open(QIODevice::ReadOnly))
            return fail(QStringLiteral("cannot read %1").arg(cl.value(forumsOpt)));
        if (f.isOpen()) oldPosts = f.readAll();
    }
    MotdSettings motd;
    for (const auto& [opt, target] :
         {std::pair{&motdNewsOpt, &motd.news}, std::pair{&motdSettingsOpt, &motd.pushed}}) {
        if (!cl.isSet(*opt)) continue;
        QFile f(cl.value(*opt));
        if (!f.open(QIODevice::ReadOnly))
            return fail(QStringLiteral("cannot read %1").arg(cl.value(*opt)));
        *target = f.readAll();
    }

    QString db = cl.value(dbOpt);
    if (db.isEmpty())
        db = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) +
             QStringLiteral("/directory.db");
    Store store;
    QString dbError;
    if (!store.open(db, &dbError)) return fail(QStringLiteral("database %1: %2").arg(db, dbError));
    const QUrl dbUrl(db);
    const QString shownDb = store.isPostgres() ? dbUrl.toString(QUrl::RemovePassword) : db;

    for (const Source& src : imports) {
        // The demo catalog goes into a new database only, unless --empty.
        if (src.origin == "catalog" && demo) {
            const std::optional<bool> had = store.imported("catalog");
            if (!had) return fail(QStringLiteral("database %1: %2").arg(db, store.lastError()));
            if (*had || cl.isSet(emptyOpt)) continue;
        }
        switch (store.replaceStations(src.origin, src.stations, src.fingerprint)) {
        case Store::Import::Failed:
            return fail(QStringLiteral("database %1: %2").arg(db, store.lastError()));
        case Store::Import::Done:
            std::fprintf(stderr, "dialwise-directory: imported %lld stations (%s)\n",
                         static_cast<long long>(src.stations.size()), src.origin.constData());
            break;
        case Store::Import::Unchanged:
            break;
        }
    }
    if (!oldPosts.isEmpty()) {
        // Posts already in the database are not added twice.
        int added = 0;
        for (const QByteArray& line : oldPosts.split('\n')) {
            QString key;
            ForumPost p;
            if (!ForumStore::readLine(line, key, p)) continue;
            const std::optional<QList<ForumPost>> have = store.posts(key);
            if (!have) return fail(QStringLiteral("database %1: %2").arg(db, store.lastError()));
            bool known = false;
            for (const ForumPost& h : *have)
                known = known || (h.time == p.time && h.author == p.author && h.text == p.text);
            if (known) continue;
            if (!store.addPost(key, p, ForumStore::MaxPostsPerKey))
                return fail(QStringLiteral("database %1: %2").arg(db, store.lastError()));
            ++added;
        }
        if (added > 0) std::fprintf(stderr, "dialwise-directory: imported %d forum posts\n", added);
    }
    if ((cl.isSet(motdNewsOpt) || cl.isSet(motdSettingsOpt)) &&
        !store.setMotdTexts(motd.news, motd.pushed))
        return fail(QStringLiteral("database %1: %2").arg(db, store.lastError()));

    DirectoryServer server(&store, cl.isSet(gzipOpt) ? Packing::Gzip : Packing::Zlib);
    server.setYp(yp);
    server.setTrustedProxies(proxies);
    if (!server.listen(address, port))
        return fail(QStringLiteral("cannot listen on %1: %2")
                        .arg(cl.value(listenOpt), server.errorString()));

    motd.announceUpdate = cl.isSet(updateOpt);
    if (cl.isSet(signingKeyOpt)) {
        QFile f(cl.value(signingKeyOpt));
        motd.signingKey =
            f.open(QIODevice::ReadOnly) ? QByteArray::fromHex(f.readAll().trimmed()) : QByteArray();
        if (!updateSigningKeyUsable(motd.signingKey))
            return fail(QStringLiteral("bad signing key in %1").arg(cl.value(signingKeyOpt)));
    }
    for (const QString& u : cl.values(updateLocationOpt))
        motd.extraLocations << u.toUtf8();
    server.setMotd(motd);

    bool motdPortOk = false;
    const uint motdPort = cl.value(motdPortOpt).toUInt(&motdPortOk);
    if (!motdPortOk || motdPort > 65535)
        return fail(QStringLiteral("bad --motd-port value %1").arg(cl.value(motdPortOpt)));
    QUdpSocket motdSocket;
    if (!motdSocket.bind(address, quint16(motdPort))) {
        const QString why = QStringLiteral("cannot bind the message server to UDP port %1: %2")
                                .arg(motdPort)
                                .arg(motdSocket.errorString());
        // The usual port may be taken by another world; only an asked-for port must work.
        if (cl.isSet(motdPortOpt)) return fail(why);
        std::fprintf(stderr, "dialwise-directory: %s (HTTP only)\n", qPrintable(why));
    }
    struct
    {
        QElapsedTimer window;
        int count = 0;
        bool take()
        {
            if (!window.isValid() || window.elapsed() > 1000) {
                window.start();
                count = 0;
            }
            return ++count <= 50;
        }
    } motdRate;
    QObject::connect(&motdSocket, &QUdpSocket::readyRead, &motdSocket, [&] {
        while (motdSocket.hasPendingDatagrams()) {
            QByteArray dg(qMax<qint64>(0, motdSocket.pendingDatagramSize()), '\0');
            QHostAddress from;
            quint16 fromPort = 0;
            motdSocket.readDatagram(dg.data(), dg.size(), &from, &fromPort);
            if (dg.startsWith("MOTD|")) {
                // Answers are larger than requests: only well-formed ones, at a bounded
                // rate, so that forged senders cannot aim the server at anyone.
                if (!properMotdRequest(dg) || !motdRate.take()) continue;
                const QByteArray self = "http://" + address.toString().toLatin1() + ':' +
                                        QByteArray::number(server.port());
                // No answer while the database is away: the program asks again next time.
                if (const std::optional<MotdSettings> m = server.motd())
                    motdSocket.writeDatagram(motdAnswer(*m, dg, self), from, fromPort);
            } else if (dg.startsWith("TIME|")) {
                const bool kept = server.storeReport(dg, from);
                std::printf("dialwise-directory: usage report %s %s\n", dg.constData(),
                            kept ? "stored" : "lost");
                std::fflush(stdout);
            }
        }
    });

    int source = 0;
    for (const QString& u : cl.values(icecastOpt)) {
        const QUrl url = QUrl::fromUserInput(u);
        if (!url.isValid() || url.host().isEmpty())
            return fail(QStringLiteral("bad --icecast URL %1").arg(u));
        auto* poller = new IcecastPoller(url, pollMs, &app);
        QObject::connect(
            poller, &IcecastPoller::stationsChanged, &server,
            [&server, source](const QList<Station>& s) { server.setLiveStations(source, s); });
        poller->start();
        ++source;
    }
    for (const QString& u : cl.values(streamOpt)) {
        const QUrl url = QUrl::fromUserInput(u);
        if (!url.isValid() || url.host().isEmpty())
            return fail(QStringLiteral("bad --stream URL %1").arg(u));
        auto* poller = new StreamPoller(url, pollMs, &app);
        QObject::connect(
            poller, &StreamPoller::stationsChanged, &server,
            [&server, source](const QList<Station>& s) { server.setLiveStations(source, s); });
        poller->start();
        ++source;
    }

    const QString shown = address.protocol() == QAbstractSocket::IPv6Protocol
                              ? QStringLiteral("[%1]").arg(address.toString())
                              : address.toString();
    std::printf("dialwise-directory: message server on UDP port %u\n",
                unsigned(motdSocket.localPort()));
    QList<const Station*> listed;
    server.allStations(listed);
    std::printf("dialwise-directory: listening on %s:%u with %lld stations\n", qPrintable(shown),
                unsigned(server.port()), static_cast<long long>(listed.size()));
    std::printf("dialwise-directory: database %s (schema version %d)\n", qPrintable(shownDb),
                store.schemaVersion());
    std::fflush(stdout);
    return app.exec();
}
