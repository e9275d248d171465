// The embedded web pages against the demo world's directory, under a private Xvfb: the
// song search finds a station by its title and a click on its link plays it, the page
// opens no menu on a right click (until the console turns that off), the station info
// page follows the selection, and a forum post reaches the forum's file.
// DW_SCREENSHOT_DIR=FOLDER saves a picture of the window for each tab.
#include "customserver.h"
#include "platform.h"
#include "productprofile.h"
#include "registry.h"
#include "stationpages.h"
#include "tbasewebform.h"
#include "testsupport.h"
#include "vmmp3_main.h"
#include "vmmp3_pages.h"
#include "webview.h"

#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QMenu>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace {
const QString kServer = QStringLiteral(DW_BINARY_DIR "/tools/directory/dialwise-directory");
QStringList opened;

QVariant runJs(TBaseIEForm* p, const QString& script)
{
    QVariant out;
    QEventLoop loop;
    if (!p->view) return out;
    p->view->RunJavaScript(script, [&](const QVariant& v) {
        out = v;
        loop.quit();
    });
    QTimer::singleShot(20000, &loop, &QEventLoop::quit);
    loop.exec();
    return out;
}

QString text(TBaseIEForm* p)
{
    return p ? runJs(p, "document.body ? document.body.innerText : ''").toString() : QString();
}

QPoint linkCentre(TBaseIEForm* p, const QString& selector)
{
    const QVariantList r = runJs(p, "(function(){var e=document.querySelector('" + selector +
                                        "'); if(!e) return []; var r=e.getBoundingClientRect();"
                                        "return [r.left+r.width/2, r.top+r.height/2];})()")
                               .toList();
    return r.size() == 2 ? QPoint(r[0].toInt(), r[1].toInt()) : QPoint(-1, -1);
}

void click(TBaseIEForm* p, QPoint at, Qt::MouseButton b)
{
    QWidget* target = p->webControl->focusProxy() ? p->webControl->focusProxy() : p->webControl;
    QTest::mouseMove(target, at);
    QTest::mouseClick(target, b, {}, at);
}
} // namespace

class TestWebPages : public QObject
{
    Q_OBJECT
    std::unique_ptr<dwtest::TempHome> home;
    QTemporaryDir dir;
    dwtest::Peer directory;
    QStringList launched, joined;

    void shot(QWidget* w, const char* name)
    {
        const QByteArray folder = qgetenv("DW_SCREENSHOT_DIR");
        if (folder.isEmpty()) return;
        QTest::qWait(500);
        w->grab().save(QString::fromLocal8Bit(folder) + "/" + name);
    }

private slots:
    void initTestCase()
    {
        home = std::make_unique<dwtest::TempHome>();
        QVERIFY2(QFile::exists(kServer), "dialwise-directory is not built");
        const QString catalog = dwtest::writeFile(
            dir.filePath("catalog.txt"),
            "ip\thostname\tgenre\tnumplayers\tmaxplayers\tbitrate\ttype\tbnum\tsongtitle\n"
            "127.0.0.5:8000\tDemo Harbor Rock\tRock\t12\t100\t128\t0\t7\tKestrel - Golden Hour\n"
            "127.0.0.6:8000\tDemo Night Jazz\tJazz\t5\t50\t96\t0\t8\tMira Vale - Paper Moons\n");
        const quint16 port = dwtest::freePort();
        QVERIFY(
            directory.start(kServer, {"--listen", QString("127.0.0.1:%1").arg(port), "--catalog",
                                      catalog, "--db", dir.filePath("directory.db")}));
        QVERIFY(dwtest::waitForTcpPort(port));
        const QByteArray site = "127.0.0.1:" + QByteArray::number(port);
        qputenv("DIALWISE_LIST_HOST", site);
        qputenv("DIALWISE_WEB_SITE", "http://" + site);
        qputenv("DIALWISE_REDIRECT_HOST", site);
        ReloadProfile();
        platform::SetLaunchRecorder(
            [](const QString& what, const QStringList&) { opened << what; });
    }
    void cleanupTestCase()
    {
        platform::SetLaunchRecorder(nullptr);
        directory.stop();
        home.reset();
    }

    void pages()
    {
        TRegistry::Reset();
        Tvmmp3_form w;
        QVERIFY(w.HaveBrowser);
        w.Hooks.LaunchStation = [this](TCustomServer* s) {
            launched << s->Name + "@" + s->Address + ":" + s->Port;
        };
        w.Hooks.AutoJoinChannel = [this](const QString& c) { joined << c; };
        w.resize(1000, 720);
        w.show();
        Tvmmp3_pages* p = w.Pages;

        // The news page opens at the first showing.
        QTRY_VERIFY_WITH_TIMEOUT(p->Page(Tvmmp3_pages::pgNews), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(text(p->Page(Tvmmp3_pages::pgNews)).contains("Dialwise News"),
                                 60000);
        QTRY_VERIFY_WITH_TIMEOUT(!p->Page(Tvmmp3_pages::pgNews)->Hider->isVisible(), 20000);
        shot(&w, "page-news.png");

        // The song search finds the station by its current title; a click on its link
        // plays it and joins its chat.
        w.pages->setCurrentWidget(p->TabOf(Tvmmp3_pages::pgSongSearch));
        TBaseIEForm* search = p->Page(Tvmmp3_pages::pgSongSearch);
        QVERIFY(search);
        QTRY_VERIFY_WITH_TIMEOUT(text(search).contains("Song and Artist Search"), 60000);
        runJs(search, "document.forms[0].q.value='golden hour'; document.forms[0].submit();");
        QTRY_VERIFY_WITH_TIMEOUT(text(search).contains("Demo Harbor Rock"), 60000);
        QVERIFY(!text(search).contains("Night Jazz"));
        shot(&w, "page-song-search.png");
        const QPoint play = linkCentre(search, "a.act");
        QVERIFY(play.x() >= 0);
        click(search, play, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(launched, QStringList{"Demo Harbor Rock@127.0.0.5:8000"}, 30000);
        QCOMPARE(joined.size(), 1);
        QVERIFY(joined[0].startsWith("#Demo_Harbor_Rock("));
        QVERIFY(text(search).contains("Demo Harbor Rock")); // the link was not followed

        // A right click over a page opens no menu, until the console turns that off. The
        // page counts the clicks it is given, so the check waits for the click to have
        // reached it (its menu request comes with it) instead of for a while.
        runJs(search, "window.dwMenus = 0; window.addEventListener('contextmenu',"
                      " function() { ++window.dwMenus; }, true);");
        click(search, play + QPoint(200, 0), Qt::RightButton);
        QTRY_COMPARE_WITH_TIMEOUT(runJs(search, "window.dwMenus").toInt(), 1, 20000);
        QCoreApplication::processEvents();
        QVERIFY(!QApplication::activePopupWidget());
        w.ExecuteCommand({"toggle", "RightClick"});
        click(search, play + QPoint(200, 0), Qt::RightButton);
        QTRY_VERIFY_WITH_TIMEOUT(QApplication::activePopupWidget(), 20000);
        QApplication::activePopupWidget()->close();
        w.ExecuteCommand({"toggle", "RightClick"});

        // The station info page follows the selected station.
        TSCServer station("127.0.0.5", "8000");
        station.HostPort = "8000";
        p->StationSelected(&station);
        QCOMPARE(p->ServerInfoQuery, QString("?ip=127%2E0%2E0%2E5%3A8000"));
        w.pages->setCurrentWidget(p->TabOf(Tvmmp3_pages::pgStationInfo));
        TBaseIEForm* info = p->Page(Tvmmp3_pages::pgStationInfo);
        QVERIFY(info);
        QTRY_VERIFY_WITH_TIMEOUT(text(info).contains("Golden Hour"), 60000);
        QVERIFY(text(info).contains("12 of 100"));
        shot(&w, "page-station-info.png");

        // A forum post goes to the station's forum and its file.
        p->ForumQuery = stationpages::PageQuery(&station);
        w.pages->setCurrentWidget(p->TabOf(Tvmmp3_pages::pgForums));
        TBaseIEForm* forums = p->Page(Tvmmp3_pages::pgForums);
        QVERIFY(forums);
        QTRY_VERIFY_WITH_TIMEOUT(text(forums).contains("No posts yet"), 60000);
        runJs(forums, "document.forms[0].author.value='Tester';"
                      "document.forms[0].text.value='Hello from the harbor';"
                      "document.forms[0].submit();");
        QTRY_VERIFY_WITH_TIMEOUT(text(forums).contains("Hello from the harbor"), 60000);
        shot(&w, "page-forums.png");

        // A page that acts without a click: a subframe, timers, a redirect of its own
        // location and a new window reach for outside addresses and station links.
        // Nothing leaves the page.
        opened.clear();
        const QString add =
            "dialwise:fieldcount`4`action`ip`hostname`type`add`127.0.0.7:8000`Sneaky`0";
        const QString playLink =
            "dialwise:fieldcount`4`action`ip`hostname`type`play`127.0.0.7:8000`Sneaky`0";
        runJs(info, "var f=document.createElement('iframe'); f.src='http://127.0.0.2:81/frame';"
                    "document.body.appendChild(f);"
                    "var g=document.createElement('iframe'); g.src='" +
                        add +
                        "';"
                        "document.body.appendChild(g);"
                        "setTimeout(function(){ f.contentWindow.location='" +
                        playLink +
                        "'; }, 200);"
                        "setTimeout(function(){ window.open('http://127.0.0.3:81/popup'); }, 300);"
                        "setTimeout(function(){ location.href='" +
                        playLink +
                        "'; }, 400);"
                        "setTimeout(function(){ location.href='http://127.0.0.4:81/away'; }, 600);"
                        "setTimeout(function(){ var a=document.createElement('a');"
                        " a.href='" +
                        add + "'; document.body.appendChild(a); a.click(); }, 800);");
        QTest::qWait(3000);
        QVERIFY2(opened.isEmpty(), qPrintable(opened.join(' ')));
        QCOMPARE(launched.size(), 1);
        QVERIFY(w.FavoritesList().isEmpty());
        QVERIFY(text(info).contains("Golden Hour")); // the page stayed where it was

        // The rule itself: only clicks in the main frame leave, one a second at most;
        // the program's own site is followed, other schemes go nowhere.
        const struct
        {
            QString url;
            bool clicked;
            bool followed;
        } rows[] = {
            {"http://127.0.0.2:81/elsewhere", false, false},
            {"http://127.0.0.2:81/elsewhere", true, false}, // to the system browser
            {"http://127.0.0.2:81/second", true, false},    // too soon: refused
            {"file:///etc/passwd", true, false},
            {Profile().WebSite + "/program/forums.asp", false, true},
        };
        // A link click with no press of the user's on the page is the page's own doing.
        QVERIFY(!forums->AcceptNavigation("http://127.0.0.2:81/scripted", true));
        QVERIFY(opened.isEmpty());
        QWidget* view = forums->webControl->focusProxy() ? forums->webControl->focusProxy()
                                                         : forums->webControl;
        QTest::keyClick(view, Qt::Key_Shift); // the user touches the page
        for (const auto& r : rows)
            QCOMPARE(forums->AcceptNavigation(r.url, r.clicked), r.followed);
        QCOMPARE(opened, QStringList{"http://127.0.0.2:81/elsewhere"});
        QTest::qWait(TBaseIEForm::MinHandOffMs + 100);
        QTest::keyClick(view, Qt::Key_Shift);
        QVERIFY(!forums->AcceptNavigation("https://127.0.0.2:81/later", true));
        QCOMPARE(opened.size(), 2);
        QCOMPARE(launched.size(), 1);
    }
};

int main(int argc, char** argv)
{
    // A private X display (a free number chosen by Xvfb), stopped by its process id.
    int fds[2];
    if (pipe(fds) != 0) return 1;
    const pid_t xvfb = fork();
    if (xvfb == 0) {
        close(fds[0]);
        const std::string fd = std::to_string(fds[1]);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x1024x24",
               "-nolisten", "tcp", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    std::string display;
    char c;
    while (read(fds[0], &c, 1) == 1 && c != '\n')
        display += c;
    close(fds[0]);
    if (display.empty()) {
        std::fprintf(stderr, "Xvfb did not start\n");
        waitpid(xvfb, nullptr, 0);
        return 1;
    }
    setenv("DISPLAY", (":" + display).c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 1);
    setenv("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu", 1);
    unsetenv("DIALWISE_NO_BROWSER");
    int rc = 0;
    {
        QApplication app(argc, argv);
        TestWebPages t;
        rc = QTest::qExec(&t, argc, argv);
    }
    kill(xvfb, SIGTERM);
    waitpid(xvfb, nullptr, 0);
    return rc;
}

#include "test_webpages.moc"
