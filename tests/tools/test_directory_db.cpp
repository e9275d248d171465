// The directory's database: nothing committed is lost when the process is killed in a
// burst of writes (SQLite); and two processes on one PostgreSQL server share their posts
// and listings, answer 503 while the server is away and recover when it is back.
#include "listcheck.h"
#include "privatepostgres.h"
#include "rawhttp.h"
#include "testsupport.h"

#include <QDir>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

using namespace dwtest;

namespace {

const QString kServer = QStringLiteral(DW_BINARY_DIR "/tools/directory/dialwise-directory");

QByteArray postRequest(const QByteArray& key, const QByteArray& text)
{
    const QByteArray form = "author=Burst&text=" + QUrl::toPercentEncoding(text);
    return "POST /program/forums.asp?ip=" + QUrl::toPercentEncoding(key) +
           " HTTP/1.0\r\nHost: 127.0.0.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
           "Content-Length: " +
           QByteArray::number(form.size()) + "\r\n\r\n" + form;
}

QByteArray ypHeader(const Reply& r, const QByteArray& name)
{
    for (const QByteArray& line : r.head.split('\n'))
        if (line.toLower().startsWith(name.toLower() + ':'))
            return line.mid(name.size() + 1).trimmed();
    return {};
}

// A stand-in stream: answers every request with an audio head.
class FakeStream : public QTcpServer
{
public:
    FakeStream()
    {
        listen(QHostAddress::LocalHost, 0);
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* c = nextPendingConnection()) {
                connect(c, &QTcpSocket::readyRead, c, [c] {
                    c->readAll();
                    c->write("HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\n\r\n");
                    c->write(QByteArray(4096, '\xff'));
                });
                connect(c, &QTcpSocket::disconnected, c, &QObject::deleteLater);
            }
        });
    }
};

} // namespace

class TestDirectoryDb : public QObject
{
    Q_OBJECT
private slots:
    void killedInABurst();
    void postgresTwoProcesses();
};

void TestDirectoryDb::killedInABurst()
{
    QVERIFY(QFile::exists(kServer));
    QTemporaryDir dir;
    const QString db = dir.filePath("directory.db");
    const quint16 port = freePort(), udp = freePort();
    QProcess first;
    first.start(kServer, {"--listen", QStringLiteral("127.0.0.1:%1").arg(port), "--db", db,
                          "--motd-port", QString::number(udp)});
    QVERIFY(first.waitForStarted());
    QVERIFY(waitForTcpPort(port));

    // Posts over 16 connections at once and reports by UDP; the process is killed while
    // some are in flight.
    constexpr int kInFlight = 16, kKillAfter = 150;
    QList<QByteArray> acknowledged;
    int sent = 0, reports = 0;
    bool killed = false;
    QUdpSocket reporter;
    std::function<void()> next = [&] {
        if (killed) return;
        const QByteArray key = "127.0.0." + QByteArray::number(sent % 8 + 1) + ":8000";
        const QByteArray text = "Post number " + QByteArray::number(sent++);
        auto* s = new QTcpSocket(this);
        connect(s, &QTcpSocket::connected, s, [s, key, text] { s->write(postRequest(key, text)); });
        connect(s, &QTcpSocket::readyRead, s, [&, s, text] {
            const QByteArray got = s->property("got").toByteArray() + s->readAll();
            s->setProperty("got", got);
            if (!got.contains("\r\n\r\n") || s->property("done").toBool()) return;
            s->setProperty("done", true);
            if (got.startsWith("HTTP/1.0 303")) acknowledged << text;
            if (acknowledged.size() >= kKillAfter && !killed) {
                killed = true;
                ::kill(pid_t(first.processId()), SIGKILL);
                return;
            }
            for (int i = 0; i < 2; ++i, ++reports)
                reporter.writeDatagram("TIME|100122|tunelane|ABCD-EFGH-IJKL-MNOP|" +
                                           QByteArray::number(reports) + "|1|",
                                       QHostAddress::LocalHost, udp);
            next();
        });
        connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
        connect(s, &QTcpSocket::errorOccurred, s, [s] { s->deleteLater(); });
        s->connectToHost(QHostAddress::LocalHost, port);
    };
    for (int i = 0; i < kInFlight; ++i)
        next();
    QTRY_VERIFY_WITH_TIMEOUT(killed, 60000);
    if (first.state() != QProcess::NotRunning) QVERIFY(first.waitForFinished(10000));
    QCOMPARE(first.exitStatus(), QProcess::CrashExit);
    const QByteArray out = first.readAllStandardOutput();
    const qsizetype storedReports = out.count(" stored\n");

    // The file is whole and holds every acknowledged post and every stored report.
    {
        QSqlDatabase check = QSqlDatabase::addDatabase("QSQLITE", "check");
        check.setDatabaseName(db);
        QVERIFY(check.open());
        QSqlQuery q(check);
        QVERIFY(q.exec("PRAGMA integrity_check") && q.next());
        QCOMPARE(q.value(0).toString(), QString("ok"));
        QVERIFY(q.exec("SELECT COUNT(*) FROM usage_reports") && q.next());
        QVERIFY2(q.value(0).toLongLong() >= storedReports,
                 qPrintable(QString("%1 reports stored, %2 found")
                                .arg(storedReports)
                                .arg(q.value(0).toLongLong())));
    }
    QSqlDatabase::removeDatabase("check");

    Peer again;
    QVERIFY(again.start(kServer, {"--listen", QStringLiteral("127.0.0.1:%1").arg(port), "--db", db,
                                  "--motd-port", "0"}));
    QVERIFY(waitForTcpPort(port));
    QByteArray pages;
    for (int k = 1; k <= 8; ++k)
        pages +=
            get(port, "/program/forums.asp?ip=127.0.0." + QByteArray::number(k) + ":8000").body;
    for (const QByteArray& text : acknowledged)
        QVERIFY2(pages.contains(text + "</div>"), text.constData());
}

void TestDirectoryDb::postgresTwoProcesses()
{
    if (PrivatePostgres::binFolder().isEmpty())
        DW_PEER_MISSING("postgresql", "PostgreSQL is not installed");
    QVERIFY(QFile::exists(kServer));
    PrivatePostgres pg;
    QString log;
    QVERIFY2(pg.start("dialwise", &log), qPrintable(log));
    const QString url = pg.url("dialwise");
    const quint16 portA = freePort(), portB = freePort();
    Peer a, b;
    QVERIFY(a.start(kServer, {"--listen", QStringLiteral("127.0.0.1:%1").arg(portA), "--db", url,
                              "--motd-port", "0"}));
    QVERIFY(b.start(kServer, {"--listen", QStringLiteral("127.0.0.1:%1").arg(portB), "--db", url,
                              "--motd-port", "0"}));
    QVERIFY2(waitForTcpPort(portA), qPrintable(a.output()));
    QVERIFY2(waitForTcpPort(portB), qPrintable(b.output()));
    // The demo catalog went in once, whichever process came first.
    QCOMPARE(parseList(get(portA, "/").body).size(), parseList(get(portB, "/").body).size());
    QVERIFY(parseList(get(portB, "/").body).size() > 100);

    // A post through one is read through the other at once.
    QCOMPARE(fetch(portA, postRequest("127.0.0.9:8000", "Shared between processes")).status, 303);
    QVERIFY(get(portB, "/program/forums.asp?ip=127.0.0.9:8000").body.contains("Shared between"));

    // A listing made through one is listed by the other.
    FakeStream stream;
    const QByteArray form = "action=add&sn=Pg+Station&genre=Pgtest&b=64&listenurl=http%3A%2F%2F"
                            "127.0.0.1%3A" +
                            QByteArray::number(stream.serverPort()) + "%2Fs";
    const Reply added = fetch(portA, "POST /cgi-bin/yp-cgi HTTP/1.0\r\nContent-Length: " +
                                         QByteArray::number(form.size()) + "\r\n\r\n" + form);
    QCOMPARE(ypHeader(added, "YPResponse"), QByteArray("1"));
    QTRY_COMPARE_WITH_TIMEOUT(parseList(get(portB, "/?genre=pgtest").body).size(), qsizetype(1),
                              10000);

    // The server goes away: every request is answered 503 by both.
    QVERIFY2(pg.stop(&log), qPrintable(log));
    for (quint16 p : {portA, portB}) {
        QTRY_COMPARE_WITH_TIMEOUT(get(p, "/?compress=1").status, 503, 10000);
        QCOMPARE(get(p, "/program/forums.asp?ip=127.0.0.9:8000").status, 503);
        QCOMPARE(fetch(p, postRequest("127.0.0.9:8000", "Lost")).status, 503);
    }
    // It comes back: both reconnect and serve what was there.
    QVERIFY2(pg.resume(&log), qPrintable(log));
    for (quint16 p : {portA, portB})
        QTRY_COMPARE_WITH_TIMEOUT(get(p, "/?compress=1").status, 200, 15000);
    QVERIFY(get(portB, "/program/forums.asp?ip=127.0.0.9:8000").body.contains("Shared between"));
    QCOMPARE(fetch(portB, postRequest("127.0.0.9:8000", "After the return")).status, 303);
    QVERIFY(get(portA, "/program/forums.asp?ip=127.0.0.9:8000").body.contains("After the return"));
    QCOMPARE(parseList(get(portA, "/?genre=pgtest").body).size(), qsizetype(1));
    QString outA;
    QTRY_VERIFY_WITH_TIMEOUT((outA += a.output()).contains("the database is back"), 5000);
    QVERIFY2(outA.contains("the database went away"), qPrintable(outA));
}

QTEST_GUILESS_MAIN(TestDirectoryDb)
#include "test_directory_db.moc"
