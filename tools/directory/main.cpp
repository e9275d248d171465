// dialwise-directory: the station list server of the local demo world.
#include "catalog.h"
#include "directoryserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
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
        "Its message server answers the message-of-the-day requests."));
    cl.addHelpOption();
    QCommandLineOption listenOpt(
        QStringLiteral("listen"),
        QStringLiteral("Address and port to serve on (port 0: any free port)."),
        QStringLiteral("ADDRESS:PORT"), QStringLiteral("127.0.0.1:8620"));
    QCommandLineOption catalogOpt(QStringLiteral("catalog"),
                                  QStringLiteral("Station catalog (default: the demo catalog)."),
                                  QStringLiteral("FILE"));
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
        QStringLiteral("File that keeps the forum posts (default: kept in memory only)."),
        QStringLiteral("FILE"));
    cl.addOptions({listenOpt, catalogOpt, gzipOpt, icecastOpt, streamOpt, pollOpt, motdPortOpt,
                   motdNewsOpt, motdSettingsOpt, updateOpt, updateLocationOpt, forumsOpt});
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

    const QString catalogPath =
        cl.isSet(catalogOpt) ? cl.value(catalogOpt) : QStringLiteral(":/demo-catalog.txt");
    CatalogLoad cat = loadCatalog(catalogPath, QDateTime::currentSecsSinceEpoch());
    if (!cat.error.isEmpty())
        return fail(QStringLiteral("catalog %1: %2").arg(catalogPath, cat.error));
    for (const QString& w : cat.warnings)
        std::fprintf(stderr, "dialwise-directory: catalog %s\n", qPrintable(w));

    const qsizetype catalogSize = cat.stations.size();
    DirectoryServer server(std::move(cat.stations),
                           cl.isSet(gzipOpt) ? Packing::Gzip : Packing::Zlib);
    if (cl.isSet(forumsOpt)) server.setForumFile(cl.value(forumsOpt));
    if (!server.listen(address, port))
        return fail(QStringLiteral("cannot listen on %1: %2")
                        .arg(cl.value(listenOpt), server.errorString()));

    MotdSettings motd;
    for (const auto& [opt, target] :
         {std::pair{&motdNewsOpt, &motd.news}, std::pair{&motdSettingsOpt, &motd.pushed}}) {
        if (!cl.isSet(*opt)) continue;
        QFile f(cl.value(*opt));
        if (!f.open(QIODevice::ReadOnly))
            return fail(QStringLiteral("cannot read %1").arg(cl.value(*opt)));
        *target = f.readAll();
    }
    motd.announceUpdate = cl.isSet(updateOpt);
    if (cl.isSet(signingKeyOpt)) {
        QFile f(cl.value(signingKeyOpt));
        motd.signingKey = f.open(QIODevice::ReadOnly) ? QByteArray::fromHex(f.readAll().trimmed())
                                                      : QByteArray();
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
                motdSocket.writeDatagram(motdAnswer(server.motd(), dg, self), from, fromPort);
            } else if (dg.startsWith("TIME|")) {
                std::printf("dialwise-directory: usage report %s\n", dg.constData());
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
    std::printf("dialwise-directory: listening on %s:%u with %lld catalog stations\n",
                qPrintable(shown), unsigned(server.port()), static_cast<long long>(catalogSize));
    std::fflush(stdout);
    return app.exec();
}
