// The genre list without a widget: its file read and written as the window does at start
// and exit, and the texts a genre turns into for the list request, the banners and the chat.
#include "genrelist.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <unistd.h>

class TestGenreList : public QObject
{
    Q_OBJECT
private slots:
    void loadFile_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("missing") << QByteArray() << QStringList{};
        QTest::newRow("empty") << QByteArray("") << QStringList{};
        QTest::newRow("crlf") << QByteArray("Rock\r\nJazz\r\n") << QStringList{"Rock", "Jazz"};
        QTest::newRow("lf, no final break")
            << QByteArray("Rock\nJazz") << QStringList{"Rock", "Jazz"};
        QTest::newRow("blanks kept")
            << QByteArray(" Acid Jazz \r\n\r\nSka\r\n") << QStringList{" Acid Jazz ", "", "Ska"};
        QTest::newRow("utf-8") << QByteArray("M\xc3\xbasica\r\n") << QStringList{"Música"};
    }
    void loadFile()
    {
        QFETCH(QByteArray, file);
        QFETCH(QStringList, lines);
        dwtest::TempHome home;
        const QString path = genres::GenreFile();
        if (!file.isNull()) dwtest::writeFile(path, file);
        QCOMPARE(genres::LoadFile(path), lines);
    }

    // The first "(All Servers)" in any case is dropped; the rest is written CR LF, and a
    // file that cannot be replaced stays as it was, with the reason.
    void saveFile()
    {
        dwtest::TempHome home;
        const QString path = genres::GenreFile();
        QVERIFY(genres::SaveFile(path, {"(all servers)", "Rock", "(All Servers)", "Música"}));
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("Rock\r\n(All Servers)\r\nM\xc3\xbasica\r\n"));
        f.close();
        QCOMPARE(genres::LoadFile(path), (QStringList{"Rock", "(All Servers)", "Música"}));

        const QString locked = home.file("locked");
        QVERIFY(QDir().mkpath(locked));
        dwtest::writeFile(locked + "/genres.txt", "Rock\r\n");
        QVERIFY(QFile::setPermissions(locked, QFile::ReadOwner | QFile::ExeOwner));
        QString error;
        const bool written = genres::SaveFile(locked + "/genres.txt", {"Jazz"}, &error);
        QFile::setPermissions(locked, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        if (getuid() != 0) { // root writes anywhere
            QVERIFY(!written);
            QVERIFY(!error.isEmpty());
            QCOMPARE(genres::LoadFile(locked + "/genres.txt"), QStringList{"Rock"});
        }
    }

    void texts()
    {
        // Encoded, so that a blank or an "&" cannot break the request.
        QCOMPARE(genres::RequestSuffix("Rock"), QString("&genre=rock"));
        QCOMPARE(genres::RequestSuffix("Acid Jazz\\Funk"), QString("&genre=acid+jazz%5Cfunk"));
        QCOMPARE(genres::RequestSuffix("R&B"), QString("&genre=r%26b"));
        QCOMPARE(genres::RequestSuffix("(All Servers)"), QString());
        QCOMPARE(genres::RequestSuffix("(ALL SERVERS)"), QString());
        // Banner areas keep every character of the name, as one path segment.
        QCOMPARE(genres::BannerArea("Rock"), QString("M_ROCK"));
        QCOMPARE(genres::BannerArea("80s"), QString("M_80S"));
        QCOMPARE(genres::BannerArea("Hip Hop/Rap"), QString("M_HIP%20HOP%2FRAP"));
        QCOMPARE(genres::ChatChannel("(All Servers)", "#Dialwise"), QString("#Dialwise"));
        QCOMPARE(genres::ChatChannel("Rock", "#Dialwise"), QString("#Rock"));
        // Only ASCII letters change case, as the list server expects.
        QCOMPARE(genres::AsciiLower("ÀB"), QString("Àb"));
        QCOMPARE(genres::AsciiUpper("àb"), QString("àB"));
        QCOMPARE(genres::DefaultList().first(), genres::AllServers);
        QCOMPARE(genres::DefaultList().size(), 34);
    }
};

QTEST_GUILESS_MAIN(TestGenreList)
#include "test_genrelist.moc"
