// BM_DirectoryLoad: the directory under load. 200 clients ask for genre lists while 1,000
// listings are touched every second through the directory protocol, for
// DW_DIRECTORY_LOAD_SECONDS (default 30) per round. Rounds: one directory on SQLite with
// the clients asking about once a second each (p99_ms, the goal), the same with the
// clients asking as fast as they are answered (lists_per_s, full_p99_ms), and as fast
// against one and against two directories sharing one PostgreSQL server (pg1_*, pg2_*;
// ratio: the list throughput of the two over the one).
#include "privatepostgres.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <benchmark/benchmark.h>
#include <functional>
#include <memory>
#include <tuple>

namespace {

const QString kServer = QStringLiteral(DW_BINARY_DIR "/tools/directory/dialwise-directory");
constexpr int kClients = 200;
constexpr int kListings = 1000;
const char* const kGenres[] = {"rock",    "jazz",  "pop",   "dance",  "news",    "classical",
                               "country", "metal", "blues", "techno", "ambient", "alternative"};

struct Round
{
    std::vector<double> listMs;
    qint64 touches = 0;
    double seconds = 0;
    QString error;
};

// Stands in for the stations' streams: every request gets an audio head.
class Streams : public QTcpServer
{
public:
    Streams()
    {
        listen(QHostAddress::LocalHost, 0);
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* c = nextPendingConnection()) {
                connect(c, &QTcpSocket::readyRead, c, [c] {
                    c->readAll();
                    c->write("HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\n\r\n");
                    c->disconnectFromHost();
                });
                connect(c, &QTcpSocket::disconnected, c, &QObject::deleteLater);
            }
        });
    }
};

// One HTTP exchange; `done` gets the whole answer (empty on failure). The socket is a
// child of `round`: an exchange still open when the round ends goes with it, unanswered.
void exchange(QObject* round, quint16 port, const QByteArray& request,
              std::function<void(const QByteArray&)> done)
{
    auto* s = new QTcpSocket(round);
    auto finish = [s, done] {
        if (s->property("done").toBool()) return;
        s->setProperty("done", true);
        const QByteArray answer = s->property("got").toByteArray() + s->readAll();
        s->deleteLater();
        done(answer);
    };
    QObject::connect(s, &QTcpSocket::connected, s, [s, request] { s->write(request); });
    QObject::connect(s, &QTcpSocket::readyRead, s, [s] {
        s->setProperty("got", s->property("got").toByteArray() + s->readAll());
    });
    QObject::connect(s, &QTcpSocket::disconnected, s, finish);
    QObject::connect(s, &QTcpSocket::errorOccurred, s, [s, finish] {
        if (s->error() != QAbstractSocket::RemoteHostClosedError) finish();
    });
    s->connectToHost(QHostAddress::LocalHost, port);
}

QByteArray form(const QByteArray& body)
{
    return "POST /cgi-bin/yp-cgi HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\n"
           "Content-Length: " +
           QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

// Runs one round against the directories on `ports` (clients and listings spread over them).
// `paced`: each client asks about once a second, as programs refreshing their lists do;
// otherwise it asks again as soon as its answer came (the most the directories take).
Round load(const QList<quint16>& ports, int seconds, bool paced)
{
    Round r;
    Streams streams;
    QList<QByteArray> sids(kListings);
    QByteArray refusal;
    int pending = 0;
    QElapsedTimer clock;
    bool running = false;
    int inFlight = 0;
    std::function<void(int)> ask;
    QTimer touch;
    int slice = 0;
    // Owns every socket and timer of the round; goes first, while what its callbacks
    // touch is still there (and `running` is false).
    QObject round;
    // The listings, added through the protocol and listed once their stream answered.
    for (int attempt = 0; attempt < 3; ++attempt) {
        pending = 0;
        for (int i = 0; i < kListings; ++i) {
            if (!sids[i].isEmpty()) continue;
            ++pending;
            const QByteArray body = "action=add&sn=Load+Station+" + QByteArray::number(i) +
                                    "&genre=" + kGenres[i % 12] + "+Live&b=128&type=audio/mpeg" +
                                    "&listenurl=http%3A%2F%2F127.0.0.1%3A" +
                                    QByteArray::number(streams.serverPort()) + "%2Fs" +
                                    QByteArray::number(i);
            exchange(&round, ports[i % ports.size()], form(body), [&, i](const QByteArray& a) {
                --pending;
                const qsizetype at = a.indexOf("\r\nSID: ");
                if (at >= 0)
                    sids[i] = a.mid(at + 7, a.indexOf('\r', at + 7) - at - 7);
                else if (refusal.isEmpty())
                    refusal = a.left(300);
            });
            QElapsedTimer wait;
            wait.start();
            while (pending >= 20 && wait.elapsed() < 30000)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        }
        QElapsedTimer wait;
        wait.start();
        while (pending > 0 && wait.elapsed() < 30000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    const qsizetype added = kListings - sids.count(QByteArray());
    if (added != kListings) {
        r.error = QStringLiteral("%1 of %2 listings were added (%3)")
                      .arg(added)
                      .arg(kListings)
                      .arg(QString::fromLatin1(refusal));
        return r;
    }
    QElapsedTimer wait;
    wait.start();
    // Let the stream checks finish.
    while (wait.elapsed() < 3000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);

    clock.start();
    const qint64 end = qint64(seconds) * 1000;
    running = true;
    ask = [&](int client) {
        if (!running) return;
        ++inFlight;
        const qint64 started = clock.nsecsElapsed();
        const QByteArray genre = kGenres[QRandomGenerator::global()->bounded(12)];
        exchange(&round, ports[client % ports.size()],
                 "GET /?compress=1&genre=" + genre + " HTTP/1.0\r\n\r\n",
                 [&, client, started](const QByteArray& a) {
                     --inFlight;
                     if (a.startsWith("HTTP/1.0 200"))
                         r.listMs.push_back(double(clock.nsecsElapsed() - started) / 1e6);
                     if (!running) return;
                     if (paced)
                         QTimer::singleShot(500 + QRandomGenerator::global()->bounded(1000), &round,
                                            [&, client] { ask(client); });
                     else
                         ask(client);
                 });
    };
    for (int c = 0; c < kClients; ++c)
        ask(c);
    // Every listing touched once a second, spread over the second in 20 slices.
    QObject::connect(&touch, &QTimer::timeout, [&] {
        for (int i = slice; i < kListings; i += 20) {
            ++inFlight;
            exchange(&round, ports[i % ports.size()],
                     form("action=touch&sid=" + sids[i] + "&st=Song+" +
                          QByteArray::number(clock.elapsed() / 1000) +
                          "&listeners=" + QByteArray::number(i % 50) + "&max_listeners=100"),
                     [&](const QByteArray& a) {
                         --inFlight;
                         if (a.contains("YPResponse: 1")) ++r.touches;
                     });
        }
        slice = (slice + 1) % 20;
    });
    touch.start(50);
    while (clock.elapsed() < end)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    running = false;
    touch.stop();
    r.seconds = double(clock.elapsed()) / 1000;
    wait.restart();
    while (inFlight > 0 && wait.elapsed() < 20000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    return r;
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(double(v.size()) * p))];
}

bool startDirectories(std::vector<std::unique_ptr<dwtest::Peer>>& peers, QList<quint16>& ports,
                      int count, const QString& db)
{
    for (int i = 0; i < count; ++i) {
        const quint16 port = dwtest::freePort();
        auto peer = std::make_unique<dwtest::Peer>();
        if (!peer->start(kServer, {"--listen", QStringLiteral("127.0.0.1:%1").arg(port), "--db", db,
                                   "--motd-port", "0", "--add-limit", "100000"}) ||
            !dwtest::waitForTcpPort(port))
            return false;
        peers.push_back(std::move(peer));
        ports << port;
    }
    return true;
}

void BM_DirectoryLoad(benchmark::State& state)
{
    const int seconds = qEnvironmentVariableIsSet("DW_DIRECTORY_LOAD_SECONDS")
                            ? qEnvironmentVariableIntValue("DW_DIRECTORY_LOAD_SECONDS")
                            : 30;
    for (auto _ : state) {
        QTemporaryDir tmp;
        Round sqlite, sqliteFull, pg1, pg2;
        {
            std::vector<std::unique_ptr<dwtest::Peer>> peers;
            QList<quint16> ports;
            if (!startDirectories(peers, ports, 1, tmp.filePath("directory.db")))
                return state.SkipWithError("the directory did not start");
            sqlite = load(ports, seconds, true);
        }
        {
            std::vector<std::unique_ptr<dwtest::Peer>> peers;
            QList<quint16> ports;
            if (!startDirectories(peers, ports, 1, tmp.filePath("full.db")))
                return state.SkipWithError("the directory did not start");
            sqliteFull = load(ports, seconds, false);
        }
        dwtest::PrivatePostgres pg;
        QString error;
        if (!pg.start("load1", &error) || !pg.createDatabase("load2", &error))
            return state.SkipWithError(qPrintable(error));
        for (auto [round, count, name] :
             {std::tuple{&pg1, 1, "load1"}, std::tuple{&pg2, 2, "load2"}}) {
            std::vector<std::unique_ptr<dwtest::Peer>> peers;
            QList<quint16> ports;
            if (!startDirectories(peers, ports, count, pg.url(name)))
                return state.SkipWithError("the directories did not start");
            *round = load(ports, seconds, false);
        }
        for (const Round* r : {&sqlite, &sqliteFull, &pg1, &pg2})
            if (!r->error.isEmpty()) return state.SkipWithError(qPrintable(r->error));
        auto rate = [](const Round& r) { return double(r.listMs.size()) / r.seconds; };
        state.counters["p99_ms"] = percentile(sqlite.listMs, 0.99);
        state.counters["p50_ms"] = percentile(sqlite.listMs, 0.5);
        state.counters["paced_lists_per_s"] = rate(sqlite);
        state.counters["touches_per_s"] = double(sqlite.touches) / sqlite.seconds;
        state.counters["lists_per_s"] = rate(sqliteFull);
        state.counters["full_p99_ms"] = percentile(sqliteFull.listMs, 0.99);
        state.counters["pg1_p99_ms"] = percentile(pg1.listMs, 0.99);
        state.counters["pg1_lists_per_s"] = rate(pg1);
        state.counters["pg2_p99_ms"] = percentile(pg2.listMs, 0.99);
        state.counters["pg2_lists_per_s"] = rate(pg2);
        state.counters["pg2_touches_per_s"] = double(pg2.touches) / pg2.seconds;
        state.counters["ratio"] = rate(pg1) > 0 ? rate(pg2) / rate(pg1) : 0;
    }
}

} // namespace

BENCHMARK(BM_DirectoryLoad)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
