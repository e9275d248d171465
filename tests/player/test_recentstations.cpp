// The recent stations and their playlist without a player bar: the order, the text a
// player program is given, and a playlist file that is replaced whole or not at all.
#include "recentstations.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <unistd.h>

class TestRecentStations : public QObject
{
    Q_OBJECT
private slots:
    void latestFirst()
    {
        TRecentStations r;
        QVERIFY(r.IsEmpty());
        for (const char* s :
             {"127.0.0.3:8000", "127.0.0.4:8002", "127.0.0.5:8004", "127.0.0.4:8002"})
            r.Add(s);
        QCOMPARE(r.Stations(), (QStringList{"127.0.0.4:8002", "127.0.0.5:8004", "127.0.0.3:8000"}));
    }

    void playlistText_data()
    {
        QTest::addColumn<QStringList>("stations");
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("none") << QStringList{} << QByteArray("[playlist]\nNumberOfEntries=0\n");
        QTest::newRow("two") << QStringList{"127.0.0.4:8002", "127.0.0.3:8000"}
                             << QByteArray("[playlist]\nNumberOfEntries=2\n"
                                           "File1=http://127.0.0.4:8002/\n"
                                           "File2=http://127.0.0.3:8000/\n");
        QTest::newRow("mount path kept whole")
            << QStringList{"127.0.0.6:8000/live.mp3"}
            << QByteArray("[playlist]\nNumberOfEntries=1\nFile1=http://127.0.0.6:8000/live.mp3\n");
        // A station text from a list that would add a line of its own is left out, and the
        // count and numbers stay true to what is written.
        QTest::newRow("line breaks left out")
            << QStringList{"127.0.0.7:80\nFile9=file:///etc/passwd", "127.0.0.8:80",
                           "127.0.0.9:80\r"}
            << QByteArray("[playlist]\nNumberOfEntries=1\nFile1=http://127.0.0.8:80/\n");
    }
    void playlistText()
    {
        QFETCH(QStringList, stations);
        QFETCH(QByteArray, text);
        QCOMPARE(TRecentStations::Playlist(stations), text);
    }

    void writtenWhole()
    {
        dwtest::TempHome home;
        TRecentStations r;
        r.Add("127.0.0.3:8000");
        const QString path = TRecentStations::PlaylistPath();
        QVERIFY(path.endsWith("/tunelane.pls"));
        QVERIFY(r.WritePlaylist(path));
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), TRecentStations::Playlist(r.Stations()));
        f.close();

        const QString locked = home.file("locked");
        QVERIFY(QDir().mkpath(locked));
        dwtest::writeFile(locked + "/list.pls", "old");
        QVERIFY(QFile::setPermissions(locked, QFile::ReadOwner | QFile::ExeOwner));
        QString error;
        const bool written = r.WritePlaylist(locked + "/list.pls", &error);
        QFile::setPermissions(locked, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        if (getuid() != 0) { // root writes anywhere
            QVERIFY(!written);
            QVERIFY(!error.isEmpty());
            QFile old(locked + "/list.pls");
            QVERIFY(old.open(QIODevice::ReadOnly));
            QCOMPARE(old.readAll(), QByteArray("old"));
        }
    }
};

QTEST_GUILESS_MAIN(TestRecentStations)
#include "test_recentstations.moc"
