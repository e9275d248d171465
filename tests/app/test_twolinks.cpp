// Two "dialwise:" links waiting at once, with the program's own launcher wired as the
// program wires it: the second arrives while the first one's launch shows a message box
// (a loop of its own). The first station lives until its launch has ended, and the
// second is launched after it. The sanitizer build runs this to prove the lifetimes.
#include "config.h"
#include "dialogs.h"
#include "platform.h"
#include "player_main.h"
#include "playerlink.h"
#include "productprofile.h"
#include "registry.h"
#include "testsupport.h"
#include "vmmp3_main.h"
#include "vmmp3_pages.h"

#include <QFile>
#include <QTest>

class TestTwoLinks : public QObject
{
    Q_OBJECT
private slots:
    void secondLinkWaitsForTheFirstLaunch()
    {
        qputenv("DIALWISE_NO_BROWSER", "1");
        qputenv("DIALWISE_LIST_HOST", "127.0.0.1:9");
        qputenv("DIALWISE_WEB_SITE", "http://127.0.0.1:9");
        ReloadProfile();
        dwtest::TempHome home;
        TRegistry::Reset();
        // A player program that is not there: each launch says so in a message box.
        TRegistry::WriteString("Software\\Velmora\\tunelane\\config", "program_dir_Text",
                               home.file("no-such-player"));
        Tvmmp3_form w;
        Tplayer_form* bar = CreatePlayerBar(w);
        const QString first =
            "dialwise:fieldcount`4`action`ip`hostname`type`play`127.0.0.9:8010`First`0";
        const QString second =
            "dialwise:fieldcount`4`action`ip`hostname`type`play`127.0.0.8:8020`Second`0";
        QStringList boxes, during;
        platform::SetDialogScript([&](const platform::DialogRequest& r) {
            boxes << r.text;
            if (boxes.size() == 1) {
                // As a modal box does: the loop runs, and the second link comes in.
                w.Pages->NewLocationExecuteMacro({second});
                for (int i = 0; i < 20; ++i)
                    QCoreApplication::processEvents();
                during << (w.Pages->LinkStation() ? w.Pages->LinkStation()->Name : QString());
            }
            return platform::DialogAnswer{platform::mrOk, {}};
        });
        w.Pages->NewLocationExecuteMacro({first});
        QTRY_COMPARE(boxes.size(), 2);
        // Inside the first launch the first station stayed the one being launched.
        QCOMPARE(during, QStringList{"First"});
        QCOMPARE(w.Pages->LinkStation()->Name, QString("Second"));
        QFile pls(platform::ProgramFolder() + "/tunelane.pls");
        QVERIFY(pls.open(QIODevice::ReadOnly));
        QCOMPARE(pls.readAll(), QByteArray("[playlist]\nNumberOfEntries=2\n"
                                           "File1=http://127.0.0.8:8020/\n"
                                           "File2=http://127.0.0.9:8010/\n"));
        platform::SetDialogScript(nullptr);
        delete bar;
    }
};

QTEST_MAIN(TestTwoLinks)
#include "test_twolinks.moc"
