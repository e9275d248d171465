// The radio window's station links, location links, small dialogs, the information
// window and the console commands, on the offscreen platform without the web browser.
#include "config.h"
#include "customserver.h"
#include "dialogs.h"
#include "genres.h"
#include "location.h"
#include "netutils.h"
#include "platform.h"
#include "productprofile.h"
#include "registry.h"
#include "smalldialogs.h"
#include "stationpages.h"
#include "testsupport.h"
#include "vmmp3_main.h"
#include "vmmp3_pages.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSplitter>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>

namespace {
QStringList opened; // what the desktop was asked to open
QStringList dialogs;

struct Recorded
{
    QStringList launched; // name@address:port/kind
    QStringList joined;
};

std::unique_ptr<TSCServer> station(const QString& name, const QString& addr, const QString& port)
{
    auto s = std::make_unique<TSCServer>(addr, port);
    s->Name = name;
    s->HostPort = port;
    return s;
}
} // namespace

class TestStationLinks : public QObject
{
    Q_OBJECT
    std::unique_ptr<dwtest::TempHome> home;
    Recorded rec;

    std::unique_ptr<Tvmmp3_form> makeWindow()
    {
        TRegistry::Reset();
        auto w = std::make_unique<Tvmmp3_form>();
        w->Hooks.LaunchStation = [this](TCustomServer* s) {
            const auto* sc = dynamic_cast<TSCServer*>(s);
            rec.launched << QString("%1@%2:%3/%4")
                                .arg(s->Name, s->Address, s->Port)
                                .arg(sc ? sc->PlayerKind : -1);
        };
        w->Hooks.AutoJoinChannel = [this](const QString& c) { rec.joined << c; };
        return w;
    }

    // Posts a link as a receiver does and lets the loop process it.
    void deliver(Tvmmp3_form& w, const QString& line)
    {
        w.Pages->NewLocationExecuteMacro({line});
        QCoreApplication::sendPostedEvents(w.Pages);
    }

private slots:
    void initTestCase()
    {
        qputenv("DIALWISE_NO_BROWSER", "1");
        qputenv("DIALWISE_LIST_HOST", "127.0.0.1:9"); // never asked: the window is not shown
        qputenv("DIALWISE_WEB_SITE", "http://127.0.0.1:9");
        ReloadProfile();
        platform::SetLaunchRecorder(
            [](const QString& what, const QStringList&) { opened << what; });
    }
    void init()
    {
        platform::SetDialogScript([](const platform::DialogRequest& r) {
            dialogs << r.text;
            return platform::DialogAnswer{
                (r.buttons & platform::mbYes) ? platform::mrYes : platform::mrOk, {}};
        });
        home = std::make_unique<dwtest::TempHome>();
        rec = {};
        opened.clear();
        dialogs.clear();
    }
    void cleanup() { home.reset(); }
    void cleanupTestCase()
    {
        platform::SetLaunchRecorder(nullptr);
        platform::SetDialogScript(nullptr);
    }

    void locationActions_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QStringList>("launched");
        QTest::addColumn<QStringList>("joined");
        QTest::addColumn<QString>("infoQuery");
        const QString rec4 = "fieldcount`4`action`ip`hostname`type`";
        QTest::newRow("play") << "dialwise:" + rec4 + "play`127.0.0.9:8010`Night Jazz`0"
                              << QStringList{"Night Jazz@127.0.0.9:8010/0"}
                              << QStringList{"#Night_Jazz("} << "?ip=127%2E0%2E0%2E9%3A8010";
        QTest::newRow("PLAY in capitals, no port")
            << "dialwise:fieldcount`3`action`ip`hostname`PLAY`127.0.0.9`X"
            << QStringList{"X@127.0.0.9:8000/0"} << QStringList{"#X("}
            << "?ip=127%2E0%2E0%2E9%3A8000";
        QTest::newRow("stream address")
            << "dialwise:" + rec4 + "Play`http://127.0.0.7:8080/live`S`1"
            << QStringList{"S@127.0.0.7:8080/live/1"} << QStringList{"#S("}
            << "?ip=127%2E0%2E0%2E7%3A8080%2Flive";
        QTest::newRow("one character before the scheme: no record")
            << "xdialwise:fieldcount`3`action`ip`hostname`play`127.0.0.9`X" << QStringList()
            << QStringList() << "";
        QTest::newRow("scheme further in: ignored")
            << "xx dialwise:fieldcount`3`action`ip`hostname`play`127.0.0.9`X" << QStringList()
            << QStringList() << "";
        QTest::newRow("shell characters: refused")
            << "dialwise:" + rec4 + "play`127.0.0.9:8010/$(reboot)`X`0" << QStringList()
            << QStringList() << "";
        QTest::newRow("stream address with a line break: refused")
            << "dialwise:" + rec4 + "play`http://127.0.0.9:8010/a%0Ab`X`0" << QStringList()
            << QStringList() << "";
        QTest::newRow("host that is no host: refused")
            << "dialwise:" + rec4 + "play`-oProxyCommand=x:8010`X`0" << QStringList()
            << QStringList() << "";
        QTest::newRow("unknown action does nothing")
            << "dialwise:" + rec4 + "format`127.0.0.9:8010`N`0" << QStringList() << QStringList()
            << "";
    }
    void locationActions()
    {
        QFETCH(QString, line);
        QFETCH(QStringList, joined);
        auto w = makeWindow();
        deliver(*w, line);
        QTEST(rec.launched, "launched");
        QCOMPARE(rec.joined.size(), joined.size());
        // The channel is the title and a two-character hash.
        for (int i = 0; i < joined.size(); ++i)
            QVERIFY2(rec.joined[i].startsWith(joined[i]) &&
                         rec.joined[i].size() == joined[i].size() + 3 &&
                         rec.joined[i].endsWith(')'),
                     qPrintable(rec.joined[i]));
        QTEST(w->Pages->ServerInfoQuery, "infoQuery");
        // The window itself hands nothing to the desktop (the real launch of a link, with
        // the user's player, is tested against the whole program).
        QVERIFY(opened.isEmpty());
    }

    void addAndShowInfo()
    {
        auto w = makeWindow();
        deliver(*w, location::MakeLink("add", "http://127.0.0.7:8080/live", "Live Seven", 1));
        QVERIFY(w->FavoritesList().contains("127.0.0.7:8080/live"));
        QCOMPARE(dialogs, QStringList{"The following station has been added to your favorites "
                                      "menu.\r\nLive Seven"});
        QVERIFY(rec.launched.isEmpty());
        deliver(*w, location::MakeLink("showinfo", "127.0.0.9:8010", "N"));
        QCOMPARE(w->Pages->ServerInfoQuery, QString("?ip=127%2E0%2E0%2E9%3A8010"));
        QCOMPARE(w->pages->currentWidget(), w->Pages->TabOf(Tvmmp3_pages::pgStationInfo));
        QVERIFY(rec.launched.isEmpty());
    }

    void stationLinksAndManualConnect()
    {
        auto w = makeWindow();
        w->Pages->ConnectStationLink("shttp://127.0.0.3:8002/");
        w->Pages->ConnectStationLink("whttp://127.0.0.4:8080/x");
        QCOMPARE(rec.launched,
                 (QStringList{"127.0.0.3@127.0.0.3:8002/0", "127.0.0.4@127.0.0.4:8080/1"}));
        QCOMPARE(rec.joined.size(), 2);
        // The dialog itself, not a scripted answer.
        platform::SetDialogScript(nullptr);
        // The dialog keeps its texts; Windows Audio makes a "w" link.
        Tmanualconnect_form* d = w->Pages->ManualConnectForm();
        QCOMPARE(d->windowTitle(), QString("Manually Connect to a Server"));
        QCOMPARE(d->serverurl->text(), QString("http://"));
        QCOMPARE(d->servertype->currentText(), QString("MP3"));
        QTimer::singleShot(0, d, [d] {
            d->servertype->setCurrentIndex(1);
            d->serverurl->setText("http://127.0.0.5:9000/");
            QTest::keyClick(d->serverurl, Qt::Key_Return); // Enter presses OK
        });
        w->Pages->manualconnect_buttClick();
        QCOMPARE(rec.launched.last(), QString("127.0.0.5@127.0.0.5:9000/1"));
        QCOMPARE(d->serverurl->text(), QString("http://127.0.0.5:9000/"));
        QTimer::singleShot(0, d, [d] { d->rightpanel->Cancel->click(); });
        w->Pages->manualconnect_buttClick();
        QCOMPARE(rec.launched.size(), 3);
    }

    void addGenreDialog()
    {
        auto w = makeWindow();
        platform::SetDialogScript(nullptr); // the dialog itself, not a scripted answer
        Taddgenre_form* d = w->Pages->AddGenreForm();
        QCOMPARE(d->windowTitle(), QString("Add a Genre"));
        const int before = w->genrebox->count();
        // Enter in an empty edit closes with OK and adds nothing.
        QTimer::singleShot(0, d, [d] { QTest::keyClick(d->genre, Qt::Key_Enter); });
        w->AddaGenre1Click();
        QCOMPARE(d->result(), int(QDialog::Accepted));
        QCOMPARE(w->genrebox->count(), before);
        QTimer::singleShot(0, d, [d] {
            d->genre->setText("Zydeco\\Cajun");
            d->rightpanel->OK->click();
        });
        w->AddaGenre1Click();
        QVERIFY(w->genrebox->Entries().contains("Zydeco\\Cajun"));
    }

    void withoutBrowser()
    {
        auto w = makeWindow();
        QVERIFY(!w->HaveBrowser);
        // Each page tab explains itself; the information window is a tab of its own.
        auto* label = w->Pages->TabOf(Tvmmp3_pages::pgForums)->findChild<QLabel*>("nobrowser");
        QVERIFY(label);
        QVERIFY(label->text().startsWith("This cool feature is not available without Internet "
                                         "explorer 3.0 or above.  \r\n\r\nIf you HAD IE3.0, "
                                         "you'd be able to interact with a community"));
        QVERIFY(w->pages->indexOf(w->Pages->info_form) >= 0);
        // Join Forums offers the browser's site, through the redirect service.
        w->Pages->JoinFromsExecute();
        QCOMPARE(dialogs.size(), 1);
        QVERIFY(dialogs[0].startsWith("Forums, and many other cool features"));
        QCOMPARE(opened.size(), 1);
        QVERIFY(opened[0].contains("area=13"));
        // A selected station fills the information window and the search box.
        auto s = station("Harbor Rock", "127.0.0.5", "8000");
        s->SongTitle = "7. Kestrel - Golden Hour";
        w->Pages->StationSelected(s.get());
        QCOMPARE(w->Pages->search_box->text(), QString("Golden Hour"));
        QVERIFY(w->Pages->info_form->ruleview->topLevelItemCount() > 0);
    }

    void buyCdAndSearch()
    {
        auto w = makeWindow();
        auto s = station("Harbor Rock", "127.0.0.5", "8000");
        s->SongTitle = "Kestrel - Golden Hour";
        w->Pages->BuyCDExecute(s.get());
        w->Pages->search_box->setText("blue moon");
        w->Pages->searchweb_butt->setChecked(true);
        QTest::keyClick(w->Pages->search_box, Qt::Key_Return);
        QCOMPARE(opened.size(), 2);
        QVERIFY2(opened[0].contains("area=6") && opened[0].contains("Golden"),
                 qPrintable(opened[0]));
        // The search text fills the web search template (not the MP3 one), and the whole
        // address goes through the redirect service.
        const QString web = stationpages::FillTemplate(w->Configuration()->Link("searchlink2").Url,
                                                       "%ST%", "blue moon");
        QVERIFY(web.contains("blue moon"));
        QCOMPARE(opened[1], RedirectUrl(web, Profile().ProductNumber, 8).replace(' ', '+'));
    }

    void consoleCommands()
    {
        auto w = makeWindow();
        Tvmmp3_pages* p = w->Pages;
        auto visible = [&](Tvmmp3_pages::TPage pg) {
            return w->pages->isTabVisible(w->pages->indexOf(p->TabOf(pg)));
        };
        QVERIFY(visible(Tvmmp3_pages::pgForums));
        w->ExecuteCommand({"hide", "FORUMS"});
        QVERIFY(!visible(Tvmmp3_pages::pgForums));
        w->ExecuteCommand({"Show", "Forums", "now"}); // wrong number of words
        QVERIFY(!visible(Tvmmp3_pages::pgForums));
        w->ExecuteCommand({"toggle", "Forums"});
        QVERIFY(visible(Tvmmp3_pages::pgForums));
        // Without the browser the news window has the news tab's place.
        QVERIFY(!visible(Tvmmp3_pages::pgNews));
        w->ExecuteCommand({"toggle", "News"});
        QVERIFY(visible(Tvmmp3_pages::pgNews));
        w->ExecuteCommand({"ActiveTab", "Search"});
        QCOMPARE(w->pages->currentWidget(), p->TabOf(Tvmmp3_pages::pgSongSearch));
        QVERIFY(p->SuppressRightClick);
        w->ExecuteCommand({"toggle", "RightClick"});
        QVERIFY(!p->SuppressRightClick);
        const bool hidden = w->playerbox->isHidden();
        w->ExecuteCommand({"toggle", "Player"});
        QCOMPARE(w->playerbox->isHidden(), !hidden);
        w->ExecuteCommand({"toggle", "Player"});
        QCOMPARE(w->playerbox->isHidden(), hidden);
        w->ExecuteCommand({"top", "Player", "42"});
        QCOMPARE(w->playerbox->y(), 42);
        w->ExecuteCommand({"top", "Player", "4x2"});
        QCOMPARE(w->playerbox->y(), 42);
        QCOMPARE(dialogs, QStringList{"'4x2' is not a valid integer value"});
        w->ExecuteCommand({});
    }

    void infoWindow()
    {
        Tinfo_form info;
        QCOMPARE(info.windowTitle(), QString("Players / Rules"));
        TZelkServer game("127.0.0.8", "27500");
        game.AddRule("map", "dm4");
        game.AddRule("fraglimit", "30");
        game.AddPlayer("\\player\\Ann\\frags\\12\\deaths\\3\\ping\\40\\team\\red");
        game.AddPlayer("\\player\\Bo\\frags\\2\\deaths\\9\\ping\\80\\team\\blue");
        info.ShowServer(&game);
        QCOMPARE(info.ruleview->topLevelItemCount(), 2);
        QCOMPARE(info.ruleview->topLevelItem(0)->text(1), QString("dm4"));
        QCOMPARE(info.playerview->columnCount(), 5);
        QCOMPARE(info.playerview->headerItem()->text(2), QString("Deaths"));
        QCOMPARE(info.playerview->topLevelItemCount(), 2);
        QCOMPARE(info.playerview->topLevelItem(1)->text(0), QString("Bo"));
        // A station has information lines and no players; none clears both.
        auto s = station("Harbor Rock", "127.0.0.5", "8000");
        info.ShowServer(s.get());
        QCOMPARE(info.playerview->topLevelItemCount(), 0);
        QCOMPARE(info.ruleview->topLevelItemCount(), int(s->InfoLines().size()));
        info.ShowServer(nullptr);
        QCOMPARE(info.ruleview->topLevelItemCount(), 0);
        // A close request is refused: the window stays in the page area.
        info.show();
        QVERIFY(!info.close());
    }
};

QTEST_MAIN(TestStationLinks)
#include "test_stationlinks.moc"
