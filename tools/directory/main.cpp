// dialwise-directory: the station list server of the local demo world.
#include "catalog.h"
#include "directoryserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QHostAddress>
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
        "the address is this server's)."));
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
    cl.addOptions({listenOpt, catalogOpt, gzipOpt, icecastOpt, streamOpt, pollOpt});
    cl.process(app);
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
    if (!server.listen(address, port))
        return fail(QStringLiteral("cannot listen on %1: %2")
                        .arg(cl.value(listenOpt), server.errorString()));

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
    std::printf("dialwise-directory: listening on %s:%u with %lld catalog stations\n",
                qPrintable(shown), unsigned(server.port()), static_cast<long long>(catalogSize));
    std::fflush(stdout);
    return app.exec();
}
