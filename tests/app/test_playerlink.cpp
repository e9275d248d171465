// The player bar as the program wires it to the main window: Buy CD opens the song's
// address, and the bar's MPRIS2 player on a private session bus does what the
// specification says (Play after Stop, Position, Volume).
#include "customserver.h"
#include "dialogs.h"
#include "platform.h"
#include "player_main.h"
#include "playerlink.h"
#include "playertest.h"
#include "productprofile.h"
#include "registry.h"
#include "testsupport.h"
#include "vmmp3_main.h"

#include <QTest>
#include <QToolButton>

namespace {
QStringList opened; // what the desktop was asked to open
}

class TestPlayerLink : public QObject
{
    Q_OBJECT
    std::unique_ptr<dwtest::TempHome> home_;

private slots:
    void initTestCase()
    {
        qputenv("DIALWISE_NO_BROWSER", "1");
        qputenv("DIALWISE_LIST_HOST", "127.0.0.1:9");
        qputenv("DIALWISE_WEB_SITE", "http://127.0.0.1:9");
        ReloadProfile();
        platform::SetLaunchRecorder([](const QString& what, const QStringList&) { opened << what; });
        platform::SetDialogScript([](const platform::DialogRequest&) {
            return platform::DialogAnswer{platform::mrOk, {}};
        });
    }
    void init()
    {
        home_ = std::make_unique<dwtest::TempHome>();
        TRegistry::Reset();
        opened.clear();
    }
    void cleanupTestCase()
    {
        platform::SetLaunchRecorder(nullptr);
        platform::SetDialogScript(nullptr);
    }

    // The song name is cleaned up as the station pages do before it goes into the address.
    void buyCdAddress_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("song");    // in the address
        QTest::addColumn<QString>("notThere"); // must not be in it
        QTest::newRow("track number and artist") << "07. Kestrel - Golden Hour" << "Golden" << "Kestrel";
        QTest::newRow("short tail kept whole") << "Kestrel - Go" << "Kestrel" << "07.";
        QTest::newRow("plain") << "Golden Hour" << "Golden" << "%CD%";
    }
    void buyCdAddress()
    {
        QFETCH(QString, title);
        QFETCH(QString, song);
        QFETCH(QString, notThere);
        Tvmmp3_form w;
        Tplayer_form* bar = CreatePlayerBar(w);
        bar->ShowSongLine(title);
        QVERIFY(bar->buycd_butt->isEnabled());
        bar->buycd_butt->click();
        QCOMPARE(opened.size(), 1);
        QVERIFY2(opened[0].contains("area=11"), qPrintable(opened[0]));
        QVERIFY2(opened[0].contains(song), qPrintable(opened[0]));
        QVERIFY2(!opened[0].contains(notThere), qPrintable(opened[0]));
    }
};

QTEST_MAIN(TestPlayerLink)
#include "test_playerlink.moc"
