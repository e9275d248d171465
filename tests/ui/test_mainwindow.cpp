// The main window around the station list: favorites, copy, find, action states,
// genres and their file and the refresh request.
#include "config.h"
#include "customserver.h"
#include "customserverlist.h"
#include "dialogs.h"
#include "finddialog.h"
#include "genres.h"
#include "platform.h"
#include "productprofile.h"
#include "registry.h"
#include "serverview.h"
#include "testsupport.h"
#include "titleimage.h"
#include "vmmp3_main.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QImage>
#include <QSystemTrayIcon>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <csignal>
#include <sys/resource.h>

namespace {
// A list server that records the request lines it is sent and answers with `body` (a
// station list, nothing by default), `delayMs` after the request.
class RecordingServer : public QTcpServer
{
public:
    QStringList requests;
    QByteArray body;
    int delayMs = 0;
    RecordingServer()
    {
        listen(QHostAddress::LocalHost, 0);
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = nextPendingConnection()) {
                connect(s, &QTcpSocket::readyRead, s, [this, s] {
                    const QByteArray all = s->readAll();
                    requests << QString::fromLatin1(all.left(all.indexOf("\r\n")));
                    QTimer::singleShot(delayMs, s, [this, s] {
                        s->write("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" + body);
                        s->disconnectFromHost();
                    });
                });
                connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
    }
};

// Four stations on loopback addresses.
QByteArray FourStations()
{
    QByteArray t = "\\fieldcount\\14\\ip\\hostname\\genre\\numplayers\\maxplayers\\bitrate"
                   "\\avgtime\\uptime\\chatip\\url\\songtitle\\ping\\type\\bnum";
    const char* names[] = {"Rock Radio One", "Jazz Lounge", "Classic ROCK Hits",
                           "Talk of the Town"};
    for (int i = 0; i < 4; ++i)
        t += QStringLiteral("\\127.0.0.%1:%2\\%3\\rock\\%4\\100\\128\\60\\0\\\\\\\\20\\0\\")
                 .arg(i + 1)
                 .arg(8000 + i)
                 .arg(names[i])
                 .arg(i + 1)
                 .toLatin1();
    return t;
}

std::unique_ptr<TSCServer> station(const QString& name, const QString& addr, const QString& port)
{
    auto s = std::make_unique<TSCServer>(addr, port);
    s->Name = name;
    s->HostPort = port;
    s->Answered = true;
    s->Ping = 20;
    return s;
}

QStringList answered; // captions of the dialogs answered

QByteArray readBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT
    std::unique_ptr<dwtest::TempHome> home;
    std::unique_ptr<RecordingServer> list;

    std::unique_ptr<Tvmmp3_form> makeWindow(const QByteArray& genreFile = {})
    {
        TRegistry::Reset();
        if (!genreFile.isNull()) dwtest::writeFile(genres::GenreFile(), genreFile);
        return std::make_unique<Tvmmp3_form>();
    }

    void fill(Tvmmp3_form& w)
    {
        const char* names[] = {"Rock Radio One", "Jazz Lounge", "Classic ROCK Hits",
                               "Talk of the Town"};
        for (int i = 0; i < 4; ++i)
            w.serverview->StationDone(
                station(names[i], QString("127.0.0.%1").arg(i + 1), QString::number(8000 + i)));
    }

private slots:
    void init()
    {
        home = std::make_unique<dwtest::TempHome>();
        list = std::make_unique<RecordingServer>();
        qputenv("DIALWISE_LIST_HOST",
                QByteArray("127.0.0.1:") + QByteArray::number(list->serverPort()));
        ReloadProfile();
        answered.clear();
        platform::SetDialogScript([](const platform::DialogRequest& r) {
            answered << r.caption + ": " + QString(r.text).left(40);
            const int res = (r.buttons & platform::mbNo) ? platform::mrNo : platform::mrOk;
            return platform::DialogAnswer{res, {}};
        });
    }
    void cleanup()
    {
        platform::SetDialogScript(nullptr);
        list.reset();
        home.reset();
    }

    void genreFiles_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QStringList>("entries");
        QTest::newRow("missing: defaults") << QByteArray() << genres::DefaultList();
        QTest::newRow("empty: defaults") << QByteArray("") << genres::DefaultList();
        QTest::newRow("only all servers")
            << QByteArray("(All Servers)\r\n") << QStringList{"(All Servers)"};
        QTest::newRow("other case is enough")
            << QByteArray("Rock\r\n(all servers)\r\n") << QStringList{"(all servers)", "Rock"};
        QTest::newRow("all servers added") << QByteArray("Zydeco\r\nAcid Jazz\r\n")
                                           << QStringList{"(All Servers)", "Acid Jazz", "Zydeco"};
    }
    void genreFiles()
    {
        QFETCH(QByteArray, file);
        QFETCH(QStringList, entries);
        auto w = makeWindow(file);
        QCOMPARE(w->genrebox->Entries(), entries);
        QCOMPARE(w->genrebox->SelectedIndex(), 0);
        // At exit the first "(All Servers)" in any case is dropped from the file.
        w.reset();
        QStringList saved = entries;
        for (int i = 0; i < saved.size(); ++i)
            if (saved[i].compare("(All Servers)", Qt::CaseInsensitive) == 0) {
                saved.removeAt(i);
                break;
            }
        QCOMPARE(genres::LoadFile(genres::GenreFile()), saved);
    }

    void genreClickRefreshesThatGenre()
    {
        auto w = makeWindow();
        QString joined;
        w->Hooks.AutoJoinChannel = [&](const QString& c) { joined = c; };
        const int rock = w->genrebox->Entries().indexOf("Rock");
        w->genrebox->SelectIndex(rock);
        w->genreboxClick();
        QCOMPARE(joined, QString("#Rock"));
        QCOMPARE(w->Configuration()->ReadValue("genre"), QString::number(rock));
        QTRY_COMPARE(list->requests.size(), 1);
        QCOMPARE(list->requests[0], QString("GET /?compress=1&genre=rock HTTP/1.0"));
        QTRY_VERIFY(!w->IsUpdating());

        w->genrebox->SelectIndex(0);
        w->genreboxClick();
        QCOMPARE(joined, QString("#Dialwise"));
        QTRY_COMPARE(list->requests.size(), 2);
        QCOMPARE(list->requests[1], QString("GET /?compress=1 HTTP/1.0"));
    }

    // A new station source takes effect at once: the rows shown stay while the new source
    // fails, and give way to its stations when they arrive.
    void stationSourceChangesWithoutRestart()
    {
        auto w = makeWindow();
        fill(*w);
        QCOMPARE(w->serverview->RowCount(), 4);
        QTcpServer dead, directory;
        QVERIFY(dead.listen(QHostAddress::LocalHost, 0));
        const quint16 deadPort = dead.serverPort();
        dead.close();
        QVERIFY(directory.listen(QHostAddress::LocalHost, 0));
        connect(&directory, &QTcpServer::newConnection, &directory, [&directory] {
            while (QTcpSocket* c = directory.nextPendingConnection()) {
                connect(c, &QTcpSocket::readyRead, c, [c] {
                    const QByteArray head = c->readAll();
                    if (!head.contains("\r\n\r\n")) return;
                    // The genre panel's counts, and the stations.
                    const QByteArray body =
                        head.startsWith("GET /json/tags")
                            ? QByteArray("[{\"name\":\"jazz\",\"stationcount\":7}]")
                            : QByteArray("[{\"stationuuid\":\"96062a7b-0601-11e8-ae97-"
                                         "52543be04c81\",\"name\":\"Directory One\",\"url\":"
                                         "\"http://127.0.0.9:8000/live\",\"codec\":\"MP3\","
                                         "\"bitrate\":128,\"clickcount\":5}]");
                    c->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                             "Content-Length: " +
                             QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" +
                             body);
                    c->disconnectFromHost();
                });
                connect(c, &QTcpSocket::disconnected, c, &QObject::deleteLater);
            }
        });
        // The same source: nothing happens.
        w->StationSourceChanged();
        QVERIFY(!w->IsUpdating());
        // A directory that does not answer: the four rows stay.
        qunsetenv("DIALWISE_LIST_HOST");
        qputenv("DIALWISE_RADIOBROWSER", "http://127.0.0.1:" + QByteArray::number(deadPort));
        w->StationSourceChanged();
        QVERIFY(w->IsUpdating());
        QTRY_VERIFY_WITH_TIMEOUT(!w->IsUpdating(), 15000);
        QCOMPARE(w->serverview->RowCount(), 4);
        // One that answers: its station replaces them.
        qputenv("DIALWISE_RADIOBROWSER",
                "http://127.0.0.1:" + QByteArray::number(directory.serverPort()));
        w->StationSourceChanged();
        QTRY_VERIFY_WITH_TIMEOUT(!w->IsUpdating(), 15000);
        QCOMPARE(w->serverview->RowCount(), 1);
        QCOMPARE(w->serverview->Station(0)->Name, QString("Directory One"));
        // The genre panel tells the new directory's counts...
        QListWidgetItem* jazz = nullptr;
        for (int i = 0; i < w->genrebox->count(); ++i)
            if (w->genrebox->item(i)->text().compare("Jazz", Qt::CaseInsensitive) == 0)
                jazz = w->genrebox->item(i);
        QVERIFY(jazz);
        QTRY_COMPARE(jazz->toolTip(), QString("7 stations of the Radio Browser directory"));
        // ... and forgets them with the list server back.
        qunsetenv("DIALWISE_RADIOBROWSER");
        qputenv("DIALWISE_LIST_HOST", "127.0.0.1:" + QByteArray::number(list->serverPort()));
        w->StationSourceChanged();
        QCOMPARE(jazz->toolTip(), QString());
        QTRY_VERIFY_WITH_TIMEOUT(!w->IsUpdating(), 15000);
    }

    void genreByKeyboardAndWithBlanks()
    {
        auto w = makeWindow("Hip Hop\r\nRock\r\nSka\r\n");
        w->show();
        // The first showing fetches the selected genre; then the keys take over.
        QTRY_COMPARE(list->requests.size(), 1);
        QTRY_VERIFY(!w->IsUpdating());
        list->requests.clear();
        // Moving with the keyboard refreshes the genre the user stops at.
        w->genrebox->SelectIndex(w->genrebox->Entries().indexOf("Hip Hop"));
        w->genrebox->setFocus();
        QTest::keyClick(w->genrebox, Qt::Key_Down);
        QTest::keyClick(w->genrebox, Qt::Key_Down);
        QTRY_COMPARE(list->requests.size(), 1);
        QCOMPARE(list->requests[0], QString("GET /?compress=1&genre=ska HTTP/1.0"));
        QTRY_VERIFY(!w->IsUpdating());
        // A name with a blank stays one request line; Enter refreshes it.
        QTest::keyClick(w->genrebox, Qt::Key_Up);
        QTest::keyClick(w->genrebox, Qt::Key_Up);
        QTest::keyClick(w->genrebox, Qt::Key_Return);
        QTRY_VERIFY(!list->requests.isEmpty() &&
                    list->requests.last() == "GET /?compress=1&genre=hip+hop HTTP/1.0");
    }

    void genreEditing()
    {
        auto w = makeWindow();
        const int n = w->genrebox->count();
        platform::SetDialogScript([](const platform::DialogRequest& r) {
            return platform::DialogAnswer{r.kind == platform::DialogRequest::Input
                                              ? int(platform::mrOk)
                                              : int(platform::mrNo),
                                          "Acid Jazz"};
        });
        w->AddaGenre1Click();
        QCOMPARE(w->genrebox->count(), n + 1);
        QVERIFY(w->genrebox->Entries().contains("Acid Jazz"));
        w->genrebox->SelectIndex(0); // "(All Servers)" cannot go
        w->DeleteSelectedGenre1Click();
        QCOMPARE(w->genrebox->count(), n + 1);
        w->genrebox->SelectIndex(w->genrebox->Entries().indexOf("Acid Jazz"));
        w->DeleteSelectedGenre1Click();
        QCOMPARE(w->genrebox->count(), n);
        // Reset answered No: unchanged, first entry selected.
        w->genrebox->AddEntry("Zydeco");
        w->genrebox->SelectIndex(5);
        w->Resettodefaults1Click();
        QVERIFY(w->genrebox->Entries().contains("Zydeco"));
        QCOMPARE(w->genrebox->SelectedIndex(), 0);
        // Auto-refresh off is stored as "0" and read back.
        w->AutoRefresh1->setChecked(false);
        w->AutoRefresh1Click();
        QCOMPARE(w->Configuration()->ReadValue("autorefresh"), QString("0"));
    }

    void copyToClipboard()
    {
        auto w = makeWindow();
        fill(*w);
        w->serverview->selectAll();
        w->serverview->SetRowSelected(1, false);
        w->CopytoClipboardExecute();
        QCOMPARE(QApplication::clipboard()->text(),
                 QString("127.0.0.1:8000\r\n127.0.0.3:8002\r\n127.0.0.4:8003"));
        w->serverview->clearSelection();
        w->CopytoClipboardExecute();
        QCOMPARE(QApplication::clipboard()->text(), QString());
    }

    void findSequence()
    {
        auto w = makeWindow();
        fill(*w);
        w->FindDialog1Show();
        w->FindDialog1->SetFindText("rock");
        w->FindDialog1Find();
        QCOMPARE(w->serverview->CurrentRow(), 0);
        w->FindDialog1Find();
        QCOMPARE(w->serverview->CurrentRow(), 2);
        w->FindDialog1Find();
        QCOMPARE(answered.value(0).section(": ", 1), QString("No more found"));
    }

    void favoritesAndActionStates()
    {
        auto w = makeWindow();
        fill(*w);
        QVERIFY(!w->AddtoFavorites->isEnabled());
        QVERIFY(w->JoinFroms->isEnabled());
        w->serverview->SetCurrentRow(0);
        QVERIFY(w->Launch->isEnabled());
        QVERIFY(w->AddtoFavorites->isEnabled());
        w->AddtoFavoritesExecute();
        QVERIFY(!w->AddtoFavorites->isEnabled());
        QVERIFY(w->RemoveFromFavorites->isEnabled());
        // One favorite and one other selected: the last selected decides.
        w->serverview->SetRowSelected(1, true);
        w->UpdateActions();
        QVERIFY(w->AddtoFavorites->isEnabled());
        QCOMPARE(w->FavoritesList(), QStringList{"127.0.0.1:8000"});
        // A stream-kind station is kept by its stream address.
        auto s = station("Stream", "127.0.0.9", "80");
        s->PlayerKind = 1;
        s->StreamURL = "http://127.0.0.9/live";
        QCOMPARE(Tvm_form::StationKey(s.get()), QString("http://127.0.0.9/live"));
        // The favorites file is written at exit and read at start.
        w.reset();
        auto again = makeWindow();
        QCOMPARE(again->FavoritesList(), QStringList{"127.0.0.1:8000"});
    }

    void favoritesViewWithoutFavorites()
    {
        auto w = makeWindow();
        fill(*w);
        w->fav_butt->setChecked(true);
        w->fav_buttClick();
        QVERIFY(!w->fav_butt->isChecked());
        QCOMPARE(w->serverview->RowCount(), 4);
        QVERIFY(answered.value(0).contains("You do not have any servers"));
    }

    void favoritesViewAsksForThoseStations()
    {
        auto w = makeWindow();
        fill(*w);
        w->serverview->SetCurrentRow(1);
        w->AddtoFavoritesExecute();
        w->fav_butt->setChecked(true);
        w->fav_buttClick();
        QCOMPARE(w->serverview->RowCount(), 0); // rows kept aside
        QTRY_COMPARE(list->requests.size(), 1);
        QVERIFY2(list->requests[0].contains("&ip="), qPrintable(list->requests[0]));
        QTRY_VERIFY(!w->IsUpdating());
        // Back: the saved rows return.
        w->fav_butt->setChecked(false);
        w->fav_buttClick();
        QCOMPARE(w->serverview->RowCount(), 4);
    }

    // Every road that hands stations between the rows, the favorites view and the list
    // source, run to the end: each update completes, the next refresh works, and the
    // favorites reach their file at exit. Under the sanitizer build these also prove that
    // no station is read after it was freed.
    void stationLifetimes_data()
    {
        QTest::addColumn<QString>("path");
        for (const char* p :
             {"refresh then favorites refresh", "favorites genre twice",
              "favorites view off and on", "remove favorite from favorites genre",
              "keys, favorites, refresh, refresh", "genre click during refresh selected",
              "genre click while refresh selected fetches"})
            QTest::newRow(p) << QString(p);
    }
    void stationLifetimes()
    {
        QFETCH(QString, path);
        list->body = FourStations();
        auto w = makeWindow("(All Servers)\r\n(Favorites)\r\nRock\r\n");
        ProgramValues().PingMode = 2; // each query ends 100 ms after it started
        auto idle = [&] { QTRY_VERIFY_WITH_TIMEOUT(!w->IsUpdating(), 20000); };
        auto selectGenre = [&](const QString& g) {
            w->genrebox->SelectIndex(w->genrebox->Entries().indexOf(g));
            w->genreboxClick();
        };
        auto addFavorite = [&](int row) {
            w->serverview->SetCurrentRow(row);
            w->AddtoFavoritesExecute();
        };
        w->refresh_buttClick();
        idle();
        QCOMPARE(w->serverview->RowCount(), 4);
        w->serverview->Resort();
        QStringList favorites;

        if (path == "refresh then favorites refresh" ||
            path == "keys, favorites, refresh, refresh") {
            addFavorite(0);
            addFavorite(1);
            w->fav_butt->setChecked(true);
            w->fav_buttClick();
            idle();
            w->refresh_buttClick();
            idle();
            w->refresh_buttClick();
            idle();
            favorites = {"127.0.0.1:8000", "127.0.0.2:8001"};
        } else if (path == "favorites genre twice") {
            addFavorite(2);
            selectGenre("(Favorites)");
            idle();
            w->genreboxClick();
            idle();
            favorites = {"127.0.0.3:8002"};
        } else if (path == "favorites view off and on") {
            addFavorite(3);
            for (bool on : {true, false, true, false}) {
                w->fav_butt->setChecked(on);
                w->fav_buttClick();
                idle();
            }
            favorites = {"127.0.0.4:8003"};
        } else if (path == "remove favorite from favorites genre") {
            addFavorite(0);
            addFavorite(3);
            selectGenre("(Favorites)");
            idle();
            const int row = w->serverview->RowOf(w->serverview->Station(0));
            w->serverview->SetCurrentRow(row);
            const QString removed = Tvm_form::StationKey(w->serverview->Station(row));
            w->RemoveFromFavoritesExecute();
            idle();
            favorites = QStringList{"127.0.0.1:8000", "127.0.0.4:8003"};
            favorites.removeAll(removed);
        } else if (path == "genre click during refresh selected") {
            // The rows' own stations are being queried when the genre click drops them.
            w->serverview->selectAll();
            int done = 0;
            auto prev = w->ServerList()->OnServerDone;
            w->ServerList()->OnServerDone = [&](TCustomServerList* l, TCustomServer* st) {
                prev(l, st);
                if (++done == 1) selectGenre("Rock");
            };
            w->RefreshSelectedExecute();
            QTRY_VERIFY_WITH_TIMEOUT(done >= 1, 20000);
            idle();
            w->ServerList()->OnServerDone = prev;
            QTRY_COMPARE(list->requests.size(), 3);
            QVERIFY(list->requests.last().contains("&genre=rock"));
        } else if (path == "genre click while refresh selected fetches") {
            list->delayMs = 300;
            w->serverview->selectAll();
            w->RefreshSelectedExecute();
            QTRY_COMPARE(list->requests.size(), 2);
            selectGenre("Rock"); // the rows go while their list is on its way
            idle();
            // The aborted update's end fetched the new genre, not the old answer again.
            QCOMPARE(list->requests.size(), 3);
            QVERIFY(list->requests.last().contains("&genre=rock"));
            QCOMPARE(w->serverview->RowCount(), 4);
        }
        // Refresh still works and fills the list.
        w->genrebox->SelectIndex(0);
        list->delayMs = 0;
        w->fav_butt->setChecked(false);
        w->refresh_buttClick();
        idle();
        QCOMPARE(w->serverview->RowCount(), 4);
        QCOMPARE(w->FavoritesList(), favorites);
        w.reset();
        QFile f(platform::ProgramFolder() + "/" + Profile().ProductKeyName + "favors.txt");
        QStringList saved;
        if (f.open(QIODevice::ReadOnly))
            saved = QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(saved, favorites);
    }

    void userFilesSurviveAFailedWrite()
    {
        // Favorites and genres saved once, then a save that cannot write (the file size
        // limit stands in for a full disk): both files keep their last good content and
        // the failure is reported.
        {
            auto w = makeWindow();
            for (int i = 1; i <= 40; ++i)
                w->AddFavoriteKey(QString("127.0.0.%1:8000").arg(i));
        }
        const QString favorites = platform::ProgramFolder() + "/tunelanefavors.txt";
        const QByteArray favBefore = readBytes(favorites);
        const QByteArray genresBefore = readBytes(genres::GenreFile());
        QCOMPARE(favBefore.count('\n'), 40);
        QVERIFY(genresBefore.contains("Jazz"));
        {
            auto w = makeWindow();
            w->AddFavoriteKey("127.0.1.1:8000");
            w->genrebox->AddEntry("Zydeco");
            answered.clear();
            signal(SIGXFSZ, SIG_IGN);
            rlimit old{};
            getrlimit(RLIMIT_FSIZE, &old);
            rlimit small = old;
            small.rlim_cur = 64;
            QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
            w.reset();
            setrlimit(RLIMIT_FSIZE, &old);
        }
        QCOMPARE(readBytes(favorites), favBefore);
        QCOMPARE(readBytes(genres::GenreFile()), genresBefore);
        QVERIFY2(answered.filter("Error: Unable to save").size() >= 2,
                 qPrintable(answered.join(" | ")));
        // The next save that can write does.
        {
            auto w = makeWindow();
            w->AddFavoriteKey("127.0.1.1:8000");
        }
        QVERIFY(readBytes(favorites).contains("127.0.1.1:8000"));
    }

    void placementsStayReachable_data()
    {
        QTest::addColumn<QRect>("saved");
        QTest::addColumn<bool>("kept");
        QTest::newRow("on screen") << QRect(10, 20, 600, 400) << true;
        QTest::newRow("partly off, title reachable") << QRect(-300, 50, 600, 400) << true;
        QTest::newRow("on a screen gone") << QRect(5000, 3000, 600, 400) << false;
        QTest::newRow("title above the screen") << QRect(100, -390, 600, 400) << false;
    }
    void placementsStayReachable()
    {
        QFETCH(QRect, saved);
        QFETCH(bool, kept);
        const QRect r = Tvm_form::ReachablePlacement(saved);
        if (kept) {
            QCOMPARE(r, saved);
        } else {
            const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
            QVERIFY(area.contains(QRect(r.topLeft(), QSize(100, 10))));
            QCOMPARE(r.size(), saved.size().boundedTo(area.size()));
        }
    }

    // What the configuration window changes at once: the banner goes and comes back, the
    // tray icon follows its box.
    void settingsTakeEffectAtOnce()
    {
        auto w = makeWindow();
        w->bannerimg->show();
        w->Configuration()->SetChecked("disablebanners", true);
        w->ApplySettingChange("disablebanners");
        QVERIFY(w->bannerimg->isHidden());
        w->Configuration()->SetChecked("disablebanners", false);
        w->ApplySettingChange("disablebanners");
        QVERIFY(!w->bannerimg->isHidden());
        w->Configuration()->SetChecked("use_taskbar", false);
        w->ApplySettingChange("use_taskbar");
        QVERIFY(!w->RxTrayIcon1->isVisible());
        w->ApplySettingChange("no such control"); // nothing happens
    }

    void minimiseWithoutATrayKeepsTheWindow()
    {
        // The offscreen desktop has no system tray: hiding the window would lose it.
        QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable());
        auto w = makeWindow();
        w->Configuration()->SetChecked("use_taskbar", true);
        w->show();
        w->min_buttClick();
        QTRY_VERIFY(w->isMinimized());
        QTest::qWait(50);
        QVERIFY(w->isVisible());
    }
};

QTEST_MAIN(TestMainWindow)
#include "test_mainwindow.moc"
