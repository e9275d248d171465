#pragma once
// The directory's HTTP server and the pollers of its live sources.
#include "listanswer.h"
#include "motd.h"
#include "station.h"
#include "store.h"

#include <QElapsedTimer>
#include <QHash>
#include <memory>
#include <optional>

#include <QHostAddress>
#include <QObject>
#include <QTimer>
#include <QUrl>

class QNetworkAccessManager;
class QTcpServer;
class QTcpSocket;

namespace dwdir {

// How the directory protocol is run.
struct YpSettings
{
    int touchFreq = 30; // seconds between a listing's touches; 3 missed: dropped
    int addLimit = 30;  // adds a minute, and listings, per source address
};

class DirectoryServer : public QObject
{
    Q_OBJECT
public:
    // `compressed` is the packing of "compress=1" answers: Zlib, or Gzip. The stations,
    // posts and listings are kept in `store`, which must outlive the server.
    DirectoryServer(Store* store, Packing compressed, QObject* parent = nullptr);
    ~DirectoryServer() override;

    bool listen(const QHostAddress& address, quint16 port);
    QString errorString() const;
    quint16 port() const;

    // Replaces the stations of live source `source` (0, 1, ...).
    void setLiveStations(int source, QList<Station> stations);
    // The update announcement of the message server; its news and pushed settings are
    // kept in the store.
    void setMotd(MotdSettings settings) { motd_ = std::move(settings); }
    // What the message server answers (at "/motd" and by UDP, see main); none while the
    // database is away.
    std::optional<MotdSettings> motd();
    // Keeps a usage report ("TIME|..."); false when it was not kept.
    bool storeReport(QByteArrayView datagram, const QHostAddress& from);

    void setYp(const YpSettings& yp);
    // Requests from these addresses (a reverse proxy) are taken to come from the last
    // address of their "X-Forwarded-For" header.
    void setTrustedProxies(QList<QHostAddress> proxies) { proxies_ = std::move(proxies); }

    // Every station the lists are answered from: the live sources' and the listings first,
    // then the stored ones. False when the database is away.
    bool allStations(QList<const Station*>& out);

    // The whole answer (status line, header, body) to a request head (and the body of a
    // POST) from `peer`.
    QByteArray answer(QByteArrayView head, QByteArrayView body = {},
                      const QHostAddress& peer = QHostAddress::LocalHost);

    // True when an address (host, port) names this server: its port, and its listening
    // address, or any loopback name while it listens on loopback or on every address.
    bool isSelf(const QByteArray& host, quint16 port) const;

private:
    QByteArray adAnswer(const ListRequest& req, QByteArrayView head);
    QByteArray pageAnswer(const ListRequest& req, QByteArrayView head, QByteArrayView body,
                          const QList<const Station*>& all);
    QByteArray ypRequestAnswer(QByteArrayView head, QByteArrayView body, const QHostAddress& peer);
    // "http://host:port" of this server as the client of `head` reaches it.
    QByteArray selfAddress(QByteArrayView head) const;
    // Loads the stored stations when they changed; false when the database is away.
    bool refresh();
    QList<const QList<Station>*> lists() const;
    // Connects to a new listing's stream and lists it when a stream answers.
    void probe(const Listing& l);
    void startProbes();
    void expire();
    void onNewConnection();
    void onReadyRead(QTcpSocket* socket);

    QTcpServer* server_;
    QHostAddress address_;
    Store* store_;
    QList<Station> stored_;
    bool loaded_ = false;
    bool dirty_ = true;  // stations or listings came or went
    bool stale_ = false; // figures changed
    QElapsedTimer loadedAt_;
    // Packed list answers by request ("compress" and genres), dropped at every reload.
    QHash<QByteArray, QByteArray> listCache_;
    QList<QList<Station>> live_;
    Packing compressed_;
    MotdSettings motd_;
    YpSettings yp_;
    QTimer expiry_;
    QHash<QByteArray, QList<qint64>> adds_; // add times of the last minute, per source
    QList<Listing> probeQueue_;
    int probing_ = 0;
    QList<QHostAddress> proxies_;
    int open_ = 0;
};

// Polls an Icecast server's "/status-json.xsl" every `interval` milliseconds.
class IcecastPoller : public QObject
{
    Q_OBJECT
public:
    IcecastPoller(const QUrl& server, int interval, QObject* parent = nullptr);
    void start();

signals:
    void stationsChanged(const QList<dwdir::Station>& stations);

private:
    void poll();

    QUrl statusUrl_;
    QTimer timer_;
    QNetworkAccessManager* nam_;
    bool busy_ = false;
};

// Probes a stream of the program's own kind every `interval` milliseconds: the station is
// listed while the stream answers.
class StreamPoller : public QObject
{
    Q_OBJECT
public:
    StreamPoller(const QUrl& stream, int interval, QObject* parent = nullptr);
    void start();

signals:
    void stationsChanged(const QList<dwdir::Station>& stations);

private:
    void poll();
    void finish(QTcpSocket* socket, const QByteArray& head);

    QUrl url_;
    QTimer timer_;
    QTcpSocket* socket_ = nullptr;
    qint64 upSince_ = 0;
};

} // namespace dwdir
