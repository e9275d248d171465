// The configuration dialog on the offscreen platform: its controls and captions, the
// immediate effects, the checks on OK, Cancel, the player search and the skin list.
#include "config.h"
#include "config_form.h"
#include "dialogs.h"
#include "platform.h"
#include "playersearch.h"
#include "registry.h"
#include "testsupport.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QGroupBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTest>
#include <QToolButton>

using namespace platform;

namespace {
QString makeProgram(const QString& path)
{
    const QString p = dwtest::writeFile(path, "#!/bin/sh\nexit 0\n");
    QFile::setPermissions(p,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return p;
}
} // namespace

class TestConfigForm : public QObject
{
    Q_OBJECT
    QStringList asked;
    int answer = mrNo;
    QString fileAnswer;

private slots:
    void init()
    {
        TRegistry::Reset();
        asked.clear();
        answer = mrNo;
        SetDialogScript([this](const DialogRequest& r) {
            asked << r.text;
            if (r.kind == DialogRequest::OpenFile) return DialogAnswer{mrOk, fileAnswer};
            return DialogAnswer{r.buttons & mbYes ? answer : mrOk, {}};
        });
    }
    void cleanup() { SetDialogScript(nullptr); }

    void captions_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("hint");
        QTest::newRow("dirfind") << "dirfind_butt"
                                 << "Find"
                                 << "Auto-Find Directory";
        QTest::newRow("other") << "other_butt"
                               << "Other..."
                               << "Select an alternate MP3 Player";
        QTest::newRow("banners") << "disablebanners"
                                 << "Disable Banners"
                                 << "";
        QTest::newRow("tray") << "use_taskbar"
                              << "Show Dialwise in System Tray"
                              << "";
        QTest::newRow("notify") << "notify_box"
                                << "Notify me when a new version comes out"
                                << "";
        QTest::newRow("chat") << "chatconnect"
                              << "Connect to chat on startup"
                              << "";
        QTest::newRow("joins") << "hidejoins"
                               << "Hide Join/Parts in Chat"
                               << "";
        QTest::newRow("away") << "noautoaway"
                              << "Don't set auto-away"
                              << "";
        QTest::newRow("proxy") << "useproxies"
                               << "Use an HTTP Proxy for server lists"
                               << "If you are behind a firewall, or require a proxy to access web "
                                  "sites, you can configure the proxy here";
        QTest::newRow("socks")
            << "usesocksproxies"
            << "Use a SOCKS Proxy for chat"
            << "If you are behind a firewall and use a SOCKS proxy, configure it here";
        QTest::newRow("udp") << "udpmotdbutt"
                             << "UDP"
                             << "UDP is faster, but HTTP is required behind some proxies and "
                                "firewalls.\r\nIf you are not seeing a message of the day on "
                                "startup, select HTTP.";
        QTest::newRow("icmp") << "icmppingbutt"
                              << "ICMP"
                              << "ICMP pings may not work behind some firewalls or proxies";
        QTest::newRow("disable") << "tcppingbutt"
                                 << "Disable"
                                 << "ICMP pings may not work behind some firewalls or proxies";
        QTest::newRow("socks4") << "socks4butt"
                                << "Socks 4"
                                << "";
        QTest::newRow("socks5") << "socks5butt"
                                << "Socks 5"
                                << "";
        QTest::newRow("demo") << "demo_butt"
                              << "Click here to find out why we're so darn nosey"
                              << "";
    }
    void captions()
    {
        QFETCH(QString, control);
        QFETCH(QString, caption);
        QFETCH(QString, hint);
        dwtest::TempHome home;
        TConfig c;
        Tmp3config_form f(&c);
        auto* w = f.findChild<QAbstractButton*>(control);
        QVERIFY2(w, qPrintable(control));
        QCOMPARE(w->text(), caption);
        QCOMPARE(w->toolTip(), hint);
        QCOMPARE(f.windowTitle(), QString("Configuration"));
        QStringList tabs;
        for (int i = 0; i < f.pages->count(); ++i)
            tabs << f.pages->tabText(i);
        QCOMPARE(tabs, (QStringList{"General", "Chat", "Firewall / Proxy", "Skins"}));
        QVERIFY(!f.proxygroup->isEnabled());
        QVERIFY(!f.socksgroup->isEnabled());
        QCOMPARE(f.proxyport->maxLength(), 5);
        QVERIFY(f.disablegun->isHidden());
    }

    void freshInstallIsCableAndStoredChoiceStays()
    {
        dwtest::TempHome home;
        {
            TConfig c;
            Tmp3config_form f(&c);
            QCOMPARE(f.speedbox->currentText(), QString("Cable"));
            QVERIFY(f.builtin_player->isChecked()); // nothing set: the built-in player
            f.speedbox->setCurrentIndex(2);
            f.nick->setText("ann");
            f.ok_butt->click();
        }
        TRegistry::Reset();
        TConfig again;
        QCOMPARE(again.ItemIndex("speedbox"), 2);
    }

    void effectsAndCancel()
    {
        dwtest::TempHome home;
        TConfig c;
        Tmp3config_form f(&c);
        QStringList effects;
        f.OnImmediateEffect = [&](const QString& n) { effects << n; };
        f.show();
        f.udpmotdbutt->setChecked(true);
        f.usesocksproxies->setChecked(true);
        QVERIFY(f.socksgroup->isEnabled());
        QVERIFY(f.httpmotdbutt->isChecked()); // SOCKS selects the HTTP message
        f.udpmotdbutt->setChecked(true);
        f.useproxies->setChecked(true);
        QVERIFY(f.proxygroup->isEnabled());
        QVERIFY(f.httpmotdbutt->isChecked());
        QCOMPARE(asked.size(), 1); // the note about the external player's proxy
        f.use_taskbar->setChecked(true);
        f.interfacestyle1->setChecked(true);
        QVERIFY(c.Checked("use_taskbar")); // at once, before OK
        QCOMPARE(c.ItemIndex("interfacestyle"), 1);
        QVERIFY(effects.contains("use_taskbar") && effects.contains("interfacestyle"));

        f.nick->setText("changed");
        f.proxyaddr->setText("127.0.0.1");
        f.cancel_butt->click();
        QVERIFY(f.isHidden());
        QCOMPARE(c.Text("nick"), QString());
        QVERIFY(!c.Checked("use_taskbar"));
        QCOMPARE(c.ItemIndex("interfacestyle"), 0);
        QCOMPARE(f.nick->text(), QString());
        QVERIFY(!f.useproxies->isChecked());
        QVERIFY(!f.proxygroup->isEnabled());
    }

    void okChecks()
    {
        dwtest::TempHome home;
        QTemporaryDir tmp;
        makeProgram(tmp.filePath("players/mpv"));
        TConfig c;
        Tmp3config_form f(&c);
        f.show();
        // A folder without its final separator is kept with one.
        f.builtin_player->setChecked(false);
        f.program_dir->setText(tmp.filePath("players"));
        f.nick->setText("ann");
        f.ok_butt->click();
        QVERIFY(asked.isEmpty());
        QVERIFY(f.isHidden());
        QCOMPARE(TRegistry::ReadString("Software\\Velmora\\tunelane\\config", "program_dir_Text"),
                 tmp.filePath("players") + "/");

        // No player there, and no nickname: both asked; Yes keeps the dialog open, and
        // the values are saved all the same.
        f.show();
        f.program_dir->setText(tmp.filePath("empty"));
        f.nick->clear();
        answer = mrYes;
        f.ok_butt->click();
        QCOMPARE(asked, QStringList{"audacious or mpv not found in " + tmp.filePath("empty") +
                                    "/\r\nDo you want to change the directory?"});
        QVERIFY(f.isVisible());
        QCOMPARE(TRegistry::ReadString("Software\\Velmora\\tunelane\\config", "nick_Text"),
                 QString());
        asked.clear();
        answer = mrNo;
        f.ok_butt->click();
        QCOMPARE(asked.size(), 2);
        QCOMPARE(asked[1], QString("You did not enter a nickname, would you like to?"));
        QVERIFY(f.isHidden());

        // A program chosen with "Other..." is a usable player by itself.
        const QString prog = makeProgram(tmp.filePath("elsewhere/myplayer"));
        fileAnswer = prog;
        f.other_butt->click();
        QCOMPARE(f.program_dir->text(), prog);
        QVERIFY(PlayerFound(prog));
        QVERIFY(PlayerFound(QString())); // the built-in player
        QVERIFY(!PlayerFound(tmp.filePath("nothing-here")));
    }

    void playerSearch()
    {
        dwtest::TempHome home;
        QTemporaryDir tmp;
        const QString onPath = makeProgram(tmp.filePath("bin/audacious"));
        const QString deep = makeProgram(tmp.filePath("opt/mpv-build/bin/mpv"));
        QCOMPARE(TPlayerSearch::Find({tmp.filePath("none"), tmp.filePath("bin")}, {}), onPath);
        QCOMPARE(TPlayerSearch::Find({}, {tmp.filePath("opt")}), deep);
        QCOMPARE(TPlayerSearch::Find({}, {tmp.filePath("none")}), QString());

        // In the dialog: found on PATH; a second click stops a running search.
        const QByteArray oldPath = qgetenv("PATH");
        qputenv("PATH", tmp.filePath("bin").toLocal8Bit());
        TConfig c;
        Tmp3config_form f(&c);
        f.dirfind_butt->click();
        QVERIFY(!f.searchanim->isHidden() || !f.search->Running());
        QTRY_VERIFY(!f.search->Running());
        QCOMPARE(f.program_dir->text(), onPath);
        QVERIFY(!f.builtin_player->isChecked());
        QVERIFY(asked.isEmpty());
        qputenv("PATH", oldPath);
    }

    void skinList()
    {
        dwtest::TempHome home;
        const QString skins = platform::ProgramFolder() + "/skins/";
        dwtest::writeFile(skins + "Blue/skin.ini", "[Tags]\nversion=1\n");
        dwtest::writeFile(skins + "old/skin.ini", "[Tags]\nversion=0\n");
        dwtest::writeFile(skins + "none/readme.txt", "no skin here");
        dwtest::writeFile(skins + "broken.zip", "not a zip archive");
        TConfig c;
        Tmp3config_form f(&c);
        f.RebuildSkinList();
        QStringList items;
        for (int i = 0; i < f.skinpathbox->count(); ++i)
            items << f.skinpathbox->itemText(i);
        // Listed as the folder is named, so that the entry chosen names the folder.
        QVERIFY(items.contains("Blue") && !items.contains("blue"));
        QVERIFY(QFileInfo::exists(skins + items[items.indexOf("Blue")] + "/skin.ini"));
        QVERIFY(!items.contains("old") && !items.contains("none") && !items.contains("broken.zip"));
    }

    void about()
    {
        const QString t = Tconfig_form::AboutText();
        QVERIFY(t.contains("Version 10.01.22"));
        QVERIFY(t.contains("System = "));
        QVERIFY(t.contains("%\rUser = "));
    }
};

QTEST_MAIN(TestConfigForm)
#include "test_configform.moc"
