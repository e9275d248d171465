// The news window and the tips window on the offscreen platform.
#include "config.h"
#include "dialogs.h"
#include "motd_form.h"
#include "registry.h"
#include "testsupport.h"
#include "tip_form.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTextBrowser>

using namespace platform;

class TestNewsWindows : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        TRegistry::Reset();
        // Nothing must reach a real server: no one listens on this port.
        qputenv("DIALWISE_MOTD_URL", "http://127.0.0.1:9/motd?q=");
        ReloadProfile();
    }
    void cleanup() { SetDialogScript(nullptr); }

    void newsShowsDocksAndAsks()
    {
        dwtest::TempHome home;
        TConfig c;
        QTabWidget pages;
        pages.addTab(new QWidget, "Chat");
        Tmotd_form f(&c);
        f.hide();
        f.DockInto(&pages, "Dialwise News");
        QCOMPARE(pages.tabText(1), QString("Dialwise News"));
        pages.setCurrentIndex(0);

        // New news: its page comes to the front, once.
        f.Client->ProcessResponse("MOTD\r\nHello <world> http://127.0.0.1/x\r\nline two\r\n");
        QCOMPARE(pages.currentWidget(), &f);
        QVERIFY(f.motd_text->toPlainText().contains("Hello <world>"));
        QVERIFY(f.motd_text->toHtml().contains("href=\"http://127.0.0.1/x\""));
        pages.setCurrentIndex(0);
        f.Client->ProcessResponse("MOTD\r\nHello <world> http://127.0.0.1/x\r\nline two\r\n");
        QCOMPARE(pages.currentIndex(), 0);

        // Rich text is read as such.
        f.Client->ProcessResponse("MOTD\r\n{\\rtf1 {\\b Bold} news}\r\n");
        QCOMPARE(f.motd_text->toPlainText(), QString("Bold news"));

        // A new version asks; No starts nothing, Yes starts the updater.
        QStringList asked;
        int answer = mrNo;
        SetDialogScript([&](const DialogRequest& r) {
            asked << r.text;
            return DialogAnswer{answer, {}};
        });
        int started = 0;
        f.StartUpdater = [&] { ++started; };
        // The question comes from the loop, not from inside the answer's handling.
        f.Client->ProcessResponse("updatever=2\r\nMOTD\r\nnew\r\n");
        QVERIFY(asked.isEmpty());
        QTRY_COMPARE(asked, QStringList{"There is a new version available.\r\nWould you like to "
                                        "launch the auto-update program now?"});
        QCOMPARE(started, 0);
        answer = mrYes;
        f.Client->ProcessResponse("updatever=3\r\nMOTD\r\nnewer\r\n");
        QTRY_COMPARE(started, 1);
    }

    void standaloneNewsShowsItself()
    {
        dwtest::TempHome home;
        TConfig c;
        Tmotd_form f(&c);
        f.hide();
        f.MayShow = false;
        f.Client->ProcessResponse("MOTD\r\nquiet\r\n");
        QVERIFY(f.isHidden());
        f.MayShow = true;
        f.Client->ProcessResponse("MOTD\r\nloud\r\n");
        QVERIFY(f.isVisible());
    }

    void tips()
    {
        dwtest::TempHome home;
        TConfig c;
        {
            Ttip_form t(&c); // shown at once by default
            QVERIFY(t.isVisible());
            QVERIFY(t.showtips->isChecked());
            QCOMPARE(t.windowTitle(), QApplication::applicationName() + " Tips");
            QCOMPARE(t.toplabel->text(), "Tips for Using " + QApplication::applicationName());
            QCOMPARE(t.size(), QSize(394, 357));
            t.showtips->click();
            QCOMPARE(c.ReadValue("showtips"), QString("X"));
            t.showtips->click();
            QCOMPARE(c.ReadValue("showtips"), QString());
            t.showtips->click();
        }
        Ttip_form t(&c);
        QVERIFY(!t.isVisible()); // switched off
        t.ShowTips();            // the help button
        QVERIFY(t.isVisible());
        QVERIFY(!t.showtips->isChecked());
        QVERIFY(Ttip_form::TipTexts()[1].contains("\n  the better your chances"));
        t.Button1->click();
        QVERIFY(!t.isVisible());
    }
};

QTEST_MAIN(TestNewsWindows)
#include "test_newswindows.moc"
