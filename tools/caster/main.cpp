// dialwise-caster: serves streams of the program's own kind on loopback, from an audio
// file or a generated tone, each encoded once and sent to every listener in step, like a
// broadcast. Switches make a stream misbehave in the ways the player must survive.
#include "castsource.h"
#include "streamproto.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QHostAddress>
#include <QPointer>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <deque>
#include <memory>

#include <sys/socket.h>
#include <unistd.h>

using namespace caster;

namespace {

struct TTitle
{
    int Seconds;
    QByteArray Title;
};

struct TStreamDef
{
    quint16 Port = 0;
    QString Path = "/";
    QString Name = "Dialwise Caster";
    QString Genre = "Various";
    TCodec Codec = codecMp3;
    QString Source = "tone:440";
    int Rate = 44100;
    int Channels = 2;
    int Bitrate = 128;
    int BurstMs = 4000;
    double LoopSeconds = 20;
    // 401, notab, nogenre, badbase64, shortblock, midpacket, neglength, hugelength; stall
    // (a listener gets one second of the stream, then nothing while the connection stays)
    QString Fail;
    int DownMs = 1000;  // SIGUSR1: every listener is dropped and the port closed this long
    double AfterHz = 0; // a tone of this frequency from the first SIGUSR1 on (0: no change)
    std::vector<TTitle> Titles;
};

QString normPath(QString p)
{
    while (p.startsWith('/'))
        p.remove(0, 1);
    while (p.endsWith('/'))
        p.chop(1);
    return p;
}

class TStream : public QObject
{
public:
    TStreamDef Def;
    TEncodedLoop Loop;
    TEncodedLoop After; // the tone after the first going down (AfterHz)

    bool prepare(QString* why)
    {
        std::vector<int16_t> samples;
        if (Def.Source.startsWith("tone:")) {
            samples =
                MakeTone(Def.Source.mid(5).toDouble(), Def.Rate, Def.Channels, Def.LoopSeconds);
        } else if (!LoadAudioFile(Def.Source, Def.Rate, Def.Channels, Def.LoopSeconds, samples,
                                  why)) {
            return false;
        }
        if (!Encode(samples, Def.Rate, Def.Channels, Def.Codec, Def.Bitrate, 100, Loop, why))
            return false;
        if (Def.AfterHz > 0 &&
            !Encode(MakeTone(Def.AfterHz, Def.Rate, Def.Channels, Def.LoopSeconds), Def.Rate,
                    Def.Channels, Def.Codec, Def.Bitrate, 100, After, why))
            return false;
        if (Def.Titles.empty()) {
            Def.Titles = {{200, "Dialwise Caster - " + Def.Name.toUtf8()},
                          {150, "The Test Tones - Four Forty"},
                          {180, "Signal Path - Loopback"}};
        }
        for (const TTitle& t : Def.Titles)
            titlesUs_ += qint64(t.Seconds) * 1000000;
        clock_.start();
        connect(&timer_, &QTimer::timeout, this, &TStream::tick);
        timer_.start(40);
        return true;
    }

    QByteArray header() const
    {
        if (Def.Fail == "401") return "ICY 401 Service Unavailable\r\n\r\n";
        QByteArray h = "ICY 200 OK\r\n";
        h += "icy-name: " + Def.Name.toUtf8() + "\r\n";
        QByteArray block = Loop.Format;
        if (Def.Fail == "shortblock")
            block[16] = char(quint8(block[16]) + 8); // cbSize promises more than there is
        if (Def.Fail == "notab")
            h += "icy-genre: " + Def.Genre.toUtf8() + "\r\n";
        else if (Def.Fail == "badbase64")
            h += "icy-genre:\t%%not base64%%\t" + Def.Genre.toUtf8() + "\r\n";
        else if (Def.Fail != "nogenre")
            // The TAB follows the colon at once: the format is read from the first character.
            h += "icy-genre:" + streamproto::EncodeFormat(block, Def.Genre).toUtf8() + "\r\n";
        h += "icy-br: " + QByteArray::number(Loop.Bitrate) + "\r\n";
        h += "icy-pub: 1\r\n\r\n";
        return h;
    }

    // A listener asking "?plain" gets the MP3 frames alone, as from an ordinary server.
    void addClient(QTcpSocket* s, bool plain = false)
    {
        if (plain && Def.Codec == codecMp3) {
            s->setProperty("plain", true);
            s->write("HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\nicy-name: " +
                     Def.Name.toUtf8() + "\r\n\r\n");
            for (const auto& r : recent_)
                s->write(r.second.mid(8));
            addListener(s);
            return;
        }
        s->write(header());
        if (Def.Fail == "401") {
            s->disconnectFromHost();
            return;
        }
        if (Def.Fail == "midpacket" && !recent_.empty()) {
            // The tail of a packet first, as if the listener came in mid-stream.
            const QByteArray& p = recent_.back().second;
            s->write(p.right(std::max<qsizetype>(9, p.size() / 2)));
        }
        s->write(metadataNow());
        for (const auto& r : recent_)
            s->write(r.second);
        if (Def.Fail == "neglength") s->write(badHeader(-5000));
        if (Def.Fail == "hugelength") s->write(badHeader(0x7FFFFFF0));
        addListener(s);
    }

    void addListener(QTcpSocket* s)
    {
        clients_.append(s);
        s->setProperty("since", clock_.elapsed());
        std::printf("listener %lld connected\n", ++listeners_);
        std::fflush(stdout);
        connect(s, &QTcpSocket::disconnected, this, [this, s] {
            clients_.removeAll(s);
            s->deleteLater();
        });
    }

private:
    static QByteArray badHeader(qint32 length)
    {
        QByteArray h = streamproto::MakePacket({});
        const quint32 v = quint32(length);
        for (int i = 0; i < 4; ++i)
            h[4 + i] = char((v >> (8 * i)) & 0xFF);
        return h + QByteArray(64, '\x55');
    }

    // The title playing at stream time t, with the seconds left of it.
    QByteArray metadataAt(qint64 t) const
    {
        qint64 at = titlesUs_ > 0 ? t % titlesUs_ : 0;
        for (const TTitle& title : Def.Titles) {
            const qint64 len = qint64(title.Seconds) * 1000000;
            if (at < len)
                return streamproto::MakeMetadata(qint32((len - at + 999999) / 1000000),
                                                 title.Title);
            at -= len;
        }
        return {};
    }
    QByteArray metadataNow() const { return metadataAt(clock_.nsecsElapsed() / 1000); }

    int titleIndexAt(qint64 t) const
    {
        qint64 at = titlesUs_ > 0 ? t % titlesUs_ : 0;
        for (size_t i = 0; i < Def.Titles.size(); ++i) {
            const qint64 len = qint64(Def.Titles[i].Seconds) * 1000000;
            if (at < len) return int(i);
            at -= len;
        }
        return 0;
    }

    void tick()
    {
        const qint64 now = clock_.nsecsElapsed() / 1000;
        while (true) {
            const TEncodedLoop& loop = switched_ ? After : Loop;
            const TAudioPacket& p = loop.Packets[next_];
            const qint64 due = base_ + p.StartUs;
            if (due > now) break;
            QByteArray out;
            const int title = titleIndexAt(due);
            if (title != lastTitle_) {
                lastTitle_ = title;
                out += metadataAt(due);
            }
            const QByteArray packet = streamproto::MakePacket(p.Payload);
            out += packet;
            recent_.emplace_back(due, packet);
            while (!recent_.empty() && recent_.front().first < due - qint64(Def.BurstMs) * 1000)
                recent_.pop_front();
            if (Def.Fail == "bigpackets") {
                // 1 MiB audio packets as fast as each listener takes them.
                if (big_.isEmpty()) {
                    QByteArray audio;
                    for (size_t i = 0; audio.size() < (1 << 20) - 8;
                         i = (i + 1) % Loop.Packets.size())
                        audio += Loop.Packets[i].Payload;
                    big_ = streamproto::MakePacket(audio.left((1 << 20) - 8));
                }
                for (QTcpSocket* c : std::as_const(clients_))
                    while (c->bytesToWrite() < 2 * big_.size())
                        c->write(big_);
            }
            for (QTcpSocket* c : std::as_const(clients_)) {
                if (Def.Fail == "bigpackets") continue;
                if (Def.Fail == "stall" &&
                    clock_.elapsed() - c->property("since").toLongLong() > 1000)
                    continue;
                // A listener that does not keep up is let go.
                if (c->bytesToWrite() > 4 * 1024 * 1024)
                    c->abort();
                else if (c->property("plain").toBool())
                    c->write(p.Payload);
                else
                    c->write(out);
            }
            if (++next_ >= loop.Packets.size()) {
                next_ = 0;
                base_ += loop.DurationUs;
            }
        }
    }

    QElapsedTimer clock_;
    QTimer timer_;
    size_t next_ = 0;
    qint64 base_ = 0;
    qint64 titlesUs_ = 0;
    int lastTitle_ = -1;
    std::deque<std::pair<qint64, QByteArray>> recent_;
    QList<QTcpSocket*> clients_;
    qint64 listeners_ = 0;
    QByteArray big_;

public:
    // Every listener is let go at once, as when the server goes down.
    void dropAll()
    {
        for (QTcpSocket* c : std::as_const(clients_))
            c->abort();
        // What is made from now on is told apart by its tone.
        if (Def.AfterHz > 0 && !switched_) {
            switched_ = true;
            next_ = 0;
            base_ = clock_.nsecsElapsed() / 1000;
        }
    }

private:
    bool switched_ = false;
};

// One listening socket; streams on it are told apart by their path.
class TPort : public QObject
{
public:
    QTcpServer Server;
    QList<TStream*> Streams;

    // Down for `ms`: listeners dropped, connections refused; then back on the same port.
    void goDown(int ms)
    {
        const QHostAddress address = Server.serverAddress();
        const quint16 port = Server.serverPort();
        Server.close();
        for (TStream* st : std::as_const(Streams))
            st->dropAll();
        std::printf("down for %d ms\n", ms);
        std::fflush(stdout);
        QTimer::singleShot(ms, this, [this, address, port] {
            const bool ok = Server.listen(address, port);
            std::printf(ok ? "back on port %u\n" : "cannot listen again on port %u\n", port);
            std::fflush(stdout);
        });
    }

    void handle(QTcpSocket* s)
    {
        auto* buf = new QByteArray;
        connect(s, &QObject::destroyed, this, [buf] { delete buf; });
        QTimer::singleShot(10000, s, [s] {
            if (s->property("served").isNull()) s->abort();
        });
        connect(s, &QTcpSocket::disconnected, s, [s] {
            if (s->property("served").isNull()) s->deleteLater();
        });
        connect(s, &QTcpSocket::readyRead, this, [this, s, buf] {
            if (!s->property("served").isNull()) {
                s->readAll();
                return;
            }
            buf->append(s->readAll());
            if (buf->size() > 16384) {
                s->abort();
                return;
            }
            if (!buf->contains("\r\n\r\n") && !buf->contains("\n\n")) return;
            s->setProperty("served", true);
            const QList<QByteArray> words = buf->left(buf->indexOf('\n')).trimmed().split(' ');
            const QString path = normPath(QString::fromLatin1(words.value(1)).section('?', 0, 0));
            TStream* found = nullptr;
            for (TStream* st : std::as_const(Streams))
                if (normPath(st->Def.Path) == path) found = st;
            if (!found && Streams.size() == 1) found = Streams.first();
            if (!found) {
                s->write(
                    "HTTP/1.0 404 Not Found\r\nContent-Type: text/plain\r\n\r\nNo such stream\r\n");
                s->disconnectFromHost();
                connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
                return;
            }
            found->addClient(s,
                             QString::fromLatin1(words.value(1)).section('?', 1).contains("plain"));
        });
    }
};

bool parseStream(const QString& spec, TStreamDef& d, QString* why)
{
    for (const QString& part : spec.split(',', Qt::SkipEmptyParts)) {
        const QString key = part.section('=', 0, 0).trimmed().toLower();
        const QString value = part.section('=', 1);
        bool ok = true;
        if (key == "port")
            d.Port = quint16(value.toUInt(&ok));
        else if (key == "path")
            d.Path = value;
        else if (key == "name")
            d.Name = value;
        else if (key == "genre")
            d.Genre = value;
        else if (key == "codec")
            ok = CodecFromName(value, d.Codec);
        else if (key == "source")
            d.Source = value;
        else if (key == "rate")
            d.Rate = value.toInt(&ok);
        else if (key == "channels")
            d.Channels = value.toInt(&ok);
        else if (key == "bitrate")
            d.Bitrate = value.toInt(&ok);
        else if (key == "burst")
            d.BurstMs = value.toInt(&ok);
        else if (key == "loop")
            d.LoopSeconds = value.toDouble(&ok);
        else if (key == "fail")
            d.Fail = value.toLower();
        else if (key == "down")
            d.DownMs = value.toInt(&ok);
        else if (key == "after")
            d.AfterHz = value.toDouble(&ok);
        else if (key == "titles") {
            QFile f(value);
            if (!f.open(QIODevice::ReadOnly)) ok = false;
            while (ok && !f.atEnd()) {
                const QByteArray line = f.readLine().trimmed();
                const int bar = line.indexOf('|');
                if (line.isEmpty() || bar < 0) continue;
                d.Titles.push_back({line.left(bar).toInt(), line.mid(bar + 1)});
            }
        } else
            ok = false;
        if (!ok) {
            if (why) *why = "bad stream setting \"" + part + "\"";
            return false;
        }
    }
    if (d.Channels < 1 || d.Channels > 2 || d.Rate < 8000 || d.Rate > 96000) {
        if (why) *why = "rate 8000..96000 and 1 or 2 channels";
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("dialwise-caster");
    QCommandLineParser cl;
    cl.setApplicationDescription(
        "Serves streams of Dialwise's own kind (\"ICY 200 OK\", the wave format in \"icy-genre\", "
        "then packets) from an audio file or a tone. Each --stream is a list of settings: "
        "port=N (0: any free port), path=/P, name=TEXT, genre=TEXT, codec=pcm|ima|msadpcm|mp3, "
        "source=tone:HZ|FILE, rate=HZ, channels=1|2, bitrate=KBPS (mp3), burst=MS (sent at once "
        "to a new listener), loop=SECONDS, titles=FILE (lines \"SECONDS|TITLE\"), "
        "fail=401|notab|nogenre|badbase64|shortblock|midpacket|neglength|hugelength|stall|"
        "bigpackets (1 MiB packets at full speed), "
        "down=MS (how long SIGUSR1 takes the server down: listeners dropped, connections refused), "
        "after=HZ (from then on a tone of HZ). "
        "A request with \"?plain\" gets an MP3 stream's frames alone. "
        "Prints \"listening on ADDRESS:PORT/PATH\" for each stream and a line for each listener.");
    cl.addHelpOption();
    QCommandLineOption listenOpt("listen", "Address to serve on.", "ADDRESS", "127.0.0.1");
    QCommandLineOption streamOpt("stream", "A stream (repeatable).", "SETTINGS");
    cl.addOptions({listenOpt, streamOpt});
    cl.process(app);
    QHostAddress address;
    if (!address.setAddress(cl.value(listenOpt))) {
        std::fprintf(stderr, "dialwise-caster: bad address\n");
        return 2;
    }
    QStringList specs = cl.values(streamOpt);
    if (specs.isEmpty()) specs << QString();
    QHash<quint16, TPort*> ports;
    std::vector<std::unique_ptr<TPort>> owned;
    std::vector<std::unique_ptr<TStream>> streams;
    for (const QString& spec : specs) {
        auto st = std::make_unique<TStream>();
        QString why;
        if (!parseStream(spec, st->Def, &why) || !st->prepare(&why)) {
            std::fprintf(stderr, "dialwise-caster: %s\n", qPrintable(why));
            return 2;
        }
        TPort* port = st->Def.Port ? ports.value(st->Def.Port) : nullptr;
        if (!port) {
            owned.push_back(std::make_unique<TPort>());
            port = owned.back().get();
            if (!port->Server.listen(address, st->Def.Port)) {
                std::fprintf(stderr, "dialwise-caster: cannot listen on port %u: %s\n",
                             st->Def.Port, qPrintable(port->Server.errorString()));
                return 1;
            }
            QObject::connect(&port->Server, &QTcpServer::newConnection, port, [port] {
                while (QTcpSocket* s = port->Server.nextPendingConnection())
                    port->handle(s);
            });
            ports.insert(port->Server.serverPort(), port);
        }
        port->Streams.append(st.get());
        std::printf("listening on %s:%u/%s\n", qPrintable(address.toString()),
                    port->Server.serverPort(), qPrintable(normPath(st->Def.Path)));
        streams.push_back(std::move(st));
    }
    std::fflush(stdout);
    // SIGUSR1 takes the server down for a while, as a station whose server restarts.
    static int pipeFds[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pipeFds) == 0) {
        struct sigaction sa = {};
        sa.sa_handler = [](int) {
            const char c = 1;
            [[maybe_unused]] const auto n = ::write(pipeFds[0], &c, 1);
        };
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        ::sigaction(SIGUSR1, &sa, nullptr);
        auto* notifier = new QSocketNotifier(pipeFds[1], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, [&] {
            char c;
            [[maybe_unused]] const auto n = ::read(pipeFds[1], &c, 1);
            for (auto& port : owned) {
                int ms = 1000;
                for (TStream* st : std::as_const(port->Streams))
                    ms = st->Def.DownMs;
                port->goDown(ms);
            }
        });
    }
    return app.exec();
}
