// Settings model: defaults, load/save, migration, installation code, placements.
#include "config.h"
#include "registry.h"
#include "testsupport.h"

#include <QDir>
#include <QRegularExpression>
#include <QTest>

class TestConfig : public QObject
{
    Q_OBJECT
    const QString key = "Software\\Velmora\\tunelane";

private slots:
    void init() { TRegistry::Reset(); }

    void installCodeIsMadeOnceAndKept()
    {
        dwtest::TempHome home;
        QString code;
        {
            TConfig c;
            code = c.InstallCode();
            QVERIFY(
                QRegularExpression("^[0-9A-Za-z]{4}(-[0-9A-Za-z]{4}){3}$").match(code).hasMatch());
        }
        TRegistry::Reset();
        TConfig again;
        QCOMPARE(again.InstallCode(), code);
        QCOMPARE(TRegistry::ReadString(key, "code"), code);
    }

    void missingConfigKeyGivesDefaults()
    {
        dwtest::TempHome home;
        TConfig c;
        for (const TSettingDef& d : TConfig::SettingDefs()) {
            const QString p = d.Property;
            const QString v = p == "Checked"     ? (c.Checked(d.Control) ? "True" : "False")
                              : p == "ItemIndex" ? QString::number(c.ItemIndex(d.Control))
                                                 : c.Text(d.Control);
            QCOMPARE(v, QString(d.Default));
        }
        QCOMPARE(c.MaxBitrate(), 256); // a fresh install: "Cable"
        QCOMPARE(c.StreamBufferKB(), 32);
        QCOMPARE(c.DistCode(), QString("N"));
        QCOMPARE(c.BannerInterval(), 300000);
        QCOMPARE(ProgramValues().PingMode, 1);
    }

    void storedValuesLoad()
    {
        dwtest::TempHome home;
        const QString cfg = key + "\\config";
        TRegistry::WriteString(cfg, "chatconnect_Checked", "False"); // default True
        TRegistry::WriteString(cfg, "speedbox_ItemIndex", "6");
        TRegistry::WriteString(cfg, "bufferbox_ItemIndex", "x"); // unreadable: default
        TRegistry::WriteString(cfg, "nick_Text", "radiofan");
        TRegistry::WriteString(cfg, "icmppingbutt_Checked", "False");
        TRegistry::WriteString(cfg, "tcppingbutt_Checked", "True");
        TRegistry::WriteString(key, "bannerinterval", "soon"); // not a number: kept
        TConfig c;
        QVERIFY(!c.Checked("chatconnect"));
        QCOMPARE(c.ItemIndex("speedbox"), 6);
        QCOMPARE(c.ItemIndex("bufferbox"), 1);
        QCOMPARE(c.Text("nick"), QString("radiofan"));
        QCOMPARE(ProgramValues().PingMode, 2);
        QCOMPARE(c.BannerInterval(), 300000);
    }

    void saveTrimsAndRoundTrips()
    {
        dwtest::TempHome home;
        {
            TConfig c;
            c.SetText("nick", "  dj\t\n");
            c.SetText("realname", QString(60, 'x')); // at most 50
            c.SetChecked("socks4butt", true);        // unchecks socks5butt
            c.SaveSettings();
        }
        TRegistry::Reset();
        TConfig c;
        QCOMPARE(c.Text("nick"), QString("dj"));
        QCOMPARE(c.Text("realname").size(), 50);
        QVERIFY(c.Checked("socks4butt"));
        QVERIFY(!c.Checked("socks5butt"));
    }

    void migratesTheOldKey()
    {
        dwtest::TempHome home;
        const QString old = key + "\\mp3";
        TRegistry::WriteString(old, "realname", "Ann Listener");
        TRegistry::WriteString(old, "email2", "ann@example.org");
        TRegistry::WriteString(old, "age", "33");
        TRegistry::WriteString(old, "zip", "12345");
        TConfig c;
        QCOMPARE(c.Text("realname"), QString("Ann Listener"));
        QCOMPARE(c.Text("email"), QString("ann@example.org"));
        QCOMPARE(c.Text("zip"), QString("12345"));
    }

    void blankNameWithoutAnOldKeyKeepsTheFields()
    {
        // Only an earlier version's key is migrated: a user who leaves the name blank
        // keeps what was filled in, start after start.
        dwtest::TempHome home;
        {
            TConfig c;
            c.SetText("email", "bo@example.org");
            c.SetText("age", "41");
            c.SetText("zip", "54321");
            c.SaveSettings();
        }
        for (int start = 0; start < 2; ++start) {
            TRegistry::Reset();
            TConfig c;
            QCOMPARE(c.Text("realname"), QString());
            QCOMPARE(c.Text("email"), QString("bo@example.org"));
            QCOMPARE(c.Text("age"), QString("41"));
            QCOMPARE(c.Text("zip"), QString("54321"));
            c.SaveSettings();
        }
    }

    void pushedValues_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("value");
        QTest::addColumn<int>("interval");
        QTest::newRow("zero gets the floor") << "bannerinterval"
                                             << "0" << 15000;
        QTest::newRow("negative gets the floor") << "bannerinterval"
                                                 << "-5" << 15000;
        QTest::newRow("a minute") << "bannerinterval"
                                  << "60000" << 60000;
        QTest::newRow("name in other case") << "BannerInterval"
                                            << "90000" << 90000;
    }
    void pushedValues()
    {
        QFETCH(QString, name);
        QFETCH(QString, value);
        QFETCH(int, interval);
        dwtest::TempHome home;
        TRegistry::WriteString(key, name, value);
        TConfig c;
        QCOMPARE(c.BannerInterval(), interval);
        // Value names ignore letter case for reading, writing and deleting alike.
        QCOMPARE(c.ReadValue("BANNERINTERVAL"), value);
        c.WriteValue("bannerINTERVAL", "70000");
        QCOMPARE(TRegistry::ReadString(key, name), QString("70000"));
        QCOMPARE(TRegistry::ValueNames(key).filter("bannerinterval", Qt::CaseInsensitive).size(),
                 1);
        TRegistry::DeleteValue(key, "BannerInterval");
        QVERIFY(!TRegistry::ValueExists(key, name));
    }

    void proxyAndSocksFollowTheirSwitches()
    {
        dwtest::TempHome home;
        TConfig c;
        c.SetText("proxyaddr", "127.0.0.1");
        c.SetText("proxyport", "3128");
        c.SetText("socksproxyaddr", "127.0.0.2");
        c.SetText("socksproxyuser", "u");
        c.ApplySettings();
        // Unchecked: requests go direct even with the fields filled in.
        QVERIFY(ProgramValues().HttpProxy.Host.isEmpty());
        QVERIFY(c.SocksSettings().Server.isEmpty());
        c.SetChecked("useproxies", true);
        c.SetChecked("usesocksproxies", true);
        c.ApplySettings();
        QCOMPARE(ProgramValues().HttpProxy.Host, QString("127.0.0.1"));
        QCOMPARE(ProgramValues().HttpProxy.Port, QString("3128"));
        const TSocksSettings s = c.SocksSettings();
        QCOMPARE(s.Port, QString("1080"));
        QCOMPARE(s.Level, QString("5"));
        QVERIFY(s.Authentication);
    }

    void linkRecordsFallBack()
    {
        dwtest::TempHome home;
        TRegistry::WriteString(key, "lb2text", "Jazz Corner");
        TConfig c;
        QCOMPARE(c.Link("lb2").Text, QString("Jazz Corner"));
        QVERIFY(!c.Link("lb2").Url.isEmpty());
        QCOMPARE(c.Link("searchlink1").Text, QString("MP3"));
        QVERIFY(c.Link("buycd").Url.contains("%CD%"));
    }

    void placementPrefersCurrentResolution()
    {
        dwtest::TempHome home;
        const QString mf = key + "\\mainform";
        TWindowPlacement p;
        p.NormPos = QRect(QPoint(10, 20), QPoint(809, 619));
        p.Valid = true;
        TConfig::SavePlacement(mf, p, QSize(1280, 1024));
        QCOMPARE(TRegistry::ReadString(mf, "NormPos"), QString("10,20,810,620"));
        QCOMPARE(TRegistry::ReadString(mf, "NormPos(1280x1024)"), QString("10,20,810,620"));
        TRegistry::WriteString(mf, "NormPos", "0,0,600,400");
        QCOMPARE(TConfig::LoadPlacement(mf, QSize(1280, 1024)).NormPos, p.NormPos);
        QCOMPARE(TConfig::LoadPlacement(mf, QSize(1920, 1080)).NormPos.width(), 600);
    }

    void profileFollowsEnvironment()
    {
        qputenv("DIALWISE_LIST_HOST", "127.0.0.9:9999");
        ReloadProfile();
        QCOMPARE(Profile().ListHost, QString("127.0.0.9:9999"));
        QCOMPARE(TProductProfile::PortOf(Profile().ListHost, 80), 9999);
        QCOMPARE(Profile().Version(), QString("100122"));
        qunsetenv("DIALWISE_LIST_HOST");
        ReloadProfile();
    }

    // The recording folder: the music folder's "Dialwise" when unset; "~/" and relative
    // names are in the home folder.
    void recordFolder()
    {
        dwtest::TempHome home;
        TConfig c;
        QVERIFY(DefaultRecordFolder().endsWith("/Dialwise"));
        const QList<QPair<QString, QString>> cases = {
            {"", DefaultRecordFolder()},
            {"  ", DefaultRecordFolder()},
            {"/srv/rec", "/srv/rec"},
            {"~/Rec", QDir::homePath() + "/Rec"},
            {"Rec/Radio", QDir::homePath() + "/Rec/Radio"},
        };
        for (const auto& [set, want] : cases) {
            c.SetText("recordfolder", set);
            QCOMPARE(c.RecordFolder(), want);
        }
    }
};

QTEST_GUILESS_MAIN(TestConfig)
#include "test_config.moc"
