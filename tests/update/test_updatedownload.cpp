// The updater's transfer without its window: an HTTP download into the partial file with
// its stages and progress, and an error page that is no update.
#include "testsupport.h"
#include "updatedownload.h"

#include <QFile>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

namespace {
// Answers every request with `answer` and closes.
class WebServer : public QTcpServer
{
public:
    QByteArray answer;
    WebServer()
    {
        connect(this, &QTcpServer::newConnection, this, [this] {
            QTcpSocket* s = nextPendingConnection();
            connect(s, &QTcpSocket::readyRead, s, [this, s] {
                if (!s->peek(8192).contains("\r\n\r\n")) return;
                s->readAll();
                s->write(answer);
                s->disconnectFromHost();
            });
            connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
        });
    }
};

TDLInfo location(quint16 port)
{
    TDLInfo d;
    d.URL = QString("http://127.0.0.1:%1/download/setup.bin").arg(port);
    d.Proto = "HTTP";
    d.Host = "127.0.0.1";
    d.Port = QString::number(port);
    d.Path = "/download/setup.bin";
    return d;
}
} // namespace

class TestUpdateDownload : public QObject
{
    Q_OBJECT
private slots:
    void httpTransfers_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<bool>("ok");
        const QByteArray body(50000, 'u');
        QTest::newRow("file") << QByteArray("HTTP/1.0 200 OK\r\nContent-Length: 50000\r\n\r\n") +
                                     body
                              << true;
        QTest::newRow("error page")
            << QByteArray("HTTP/1.0 404 Not Found\r\nContent-Length: 9\r\n\r\nnot here!") << false;
    }
    void httpTransfers()
    {
        QFETCH(QByteArray, answer);
        QFETCH(bool, ok);
        dwtest::TempHome home;
        WebServer web;
        web.answer = answer;
        QVERIFY(web.listen(QHostAddress::LocalHost, 0));
        TUpdateDownload d;
        QSignalSpy finished(&d, &TUpdateDownload::finished);
        QSignalSpy failed(&d, &TUpdateDownload::failed);
        QSignalSpy stages(&d, &TUpdateDownload::stage);
        QSignalSpy progress(&d, &TUpdateDownload::progress);
        QStringList header;
        connect(&d, &TUpdateDownload::logLine, this, [&](const QString& l) { header << l; });
        const QString file = home.file("setup.bin.part");
        dwtest::writeFile(file, "left from an earlier try");
        QVERIFY(!d.Running());
        d.Start(location(web.serverPort()), file);
        QVERIFY(d.Running());
        QTRY_VERIFY_WITH_TIMEOUT(!d.Running(), 10000);
        QTest::qWait(20); // the end is reported from the loop
        QCOMPARE(finished.size(), ok ? 1 : 0);
        QCOMPARE(QFile::exists(file), ok);
        QVERIFY(stages.size() >= 3);
        QCOMPARE(stages.first().first().toString().left(4), QString("DNS "));
        QCOMPARE(stages.last().first().toString(), QString("DONE"));
        QVERIFY(header.contains(answer.startsWith("HTTP/1.0 200") ? "Content-Length: 50000"
                                                                  : "Content-Length: 9"));
        if (ok) {
            QFile f(file);
            QVERIFY(f.open(QIODevice::ReadOnly));
            QCOMPARE(f.readAll(), QByteArray(50000, 'u'));
            QCOMPARE(d.Total(), 50000);
            QCOMPARE(d.Received(), 50000);
            QCOMPARE(progress.last().at(0).toLongLong(), 50000);
            QCOMPARE(failed.size(), 0);
        } else {
            QCOMPARE(failed.size(), 1);
            QCOMPARE(failed.first().at(0).toString(), QString("Not Found"));
            QVERIFY(failed.first().at(1).toBool());
        }
    }
};

QTEST_GUILESS_MAIN(TestUpdateDownload)
#include "test_updatedownload.moc"
