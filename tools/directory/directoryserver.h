#pragma once
// The directory's HTTP server and the pollers of its live sources.
#include "listanswer.h"
#include "motd.h"
#include "station.h"

#include <memory>

#include <QHostAddress>
#include <QObject>
#include <QTimer>
#include <QUrl>

class QNetworkAccessManager;
class QTcpServer;
class QTcpSocket;

namespace dwdir {

class DirectoryServer : public QObject
{
    Q_OBJECT
public:
    // `compressed` is the packing of "compress=1" answers: Zlib, or Gzip.
    DirectoryServer(QList<Station> catalog, Packing compressed, QObject* parent = nullptr);
    ~DirectoryServer() override;

    bool listen(const QHostAddress& address, quint16 port);
    QString errorString() const;
    quint16 port() const;

    // Replaces the stations of live source `source` (0, 1, ...).
    void setLiveStations(int source, QList<Station> stations);
    // What the message server answers (at "/motd" and by UDP, see main).
    void setMotd(MotdSettings settings) { motd_ = std::move(settings); }
    const MotdSettings& motd() const { return motd_; }

    // Keeps the forum posts in `file` (read now, appended to at every post).
    void setForumFile(const QString& file);

    // The whole answer (status line, header, body) to a request head (and the body of a
    // POST).
    QByteArray answer(QByteArrayView head, QByteArrayView body = {}) const;

    // True when an address (host, port) names this server: its port, and its listening
    // address, or any loopback name while it listens on loopback or on every address.
    bool isSelf(const QByteArray& host, quint16 port) const;

private:
    QByteArray adAnswer(const ListRequest& req, QByteArrayView head) const;
    QByteArray pageAnswer(const ListRequest& req, QByteArrayView head, QByteArrayView body,
                          const QList<const Station*>& all) const;
    // "http://host:port" of this server as the client of `head` reaches it.
    QByteArray selfAddress(QByteArrayView head) const;
    void onNewConnection();
    void onReadyRead(QTcpSocket* socket);

    QTcpServer* server_;
    QHostAddress address_;
    QList<Station> catalog_;
    QList<QList<Station>> live_;
    Packing compressed_;
    MotdSettings motd_;
    std::unique_ptr<class ForumStore> forums_;
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
