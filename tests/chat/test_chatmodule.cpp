// The chat module against a real ngircd: identity, windows made and folded back as
// channels come and go, auto-join with the lock buttons, auto-away, nick collisions and
// the routing of other users' events. A second client driven by the test plays the
// other user; the module's windows are recording stand-ins.
#include "chatmodule.h"
#include "config.h"
#include "ircrecorder.h"
#include "ngircd.h"
#include "productprofile.h"
#include "testsupport.h"

#include <QRegularExpression>
#include <QtTest>
#include <memory>

namespace {
constexpr int Wait = 15000;

// A chat window that records what the module does with it.
class FakeWindow : public TChatWindowBase
{
public:
    explicit FakeWindow(const QString& caption) : caption_(caption) {}
    QString Caption() const override { return caption_; }
    void SetCaption(const QString& c) override { caption_ = c; }
    bool ChannelLocked() const override { return locked; }
    void SetChannelLocked(bool l) override { locked = l; }
    void SetConnectDown(bool d) override { connectDown = d; }
    void SetTopicLabel(const QString& t) override { topic = t; }
    void ShowWindow() override
    {
        visible = true;
        if (Module) Module->SetCurrentWindow(this);
    }
    void HideWindow() override { visible = false; }
    void Dock(QObject* site) override { dockedIn = site; }
    void AddLine(const QString& text, TChatLineKind kind) override
    {
        lines << QString::number(kind) + "|" + text;
    }
    void RefillNames(TChannel* channel) override
    {
        names.clear();
        if (!channel) return;
        for (const TNameEntry& e : channel->Names)
            names << (e.Flags & nfOperator ? "@" : e.Flags & nfVoice ? "+" : "") + e.Nick;
    }
    void ApplyLook() override {}
    void DeleteLater() override { delete this; }
    bool has(const QString& line) const { return lines.contains(line); }

    QString caption_;
    bool locked = false;
    bool connectDown = false;
    bool visible = false;
    QObject* dockedIn = nullptr;
    QString topic;
    QStringList lines, names;
};

QString line(TChatLineKind k, const QString& text)
{
    return QString::number(k) + "|" + text;
}
} // namespace

class TestChatModule : public QObject
{
    Q_OBJECT

    dwtest::Ngircd irc;
    std::unique_ptr<dwtest::TempHome> home;
    std::unique_ptr<TConfig> config;
    std::unique_ptr<TChatModule> module;
    FakeWindow* first = nullptr;
    std::unique_ptr<FakeWindow> firstOwner;
    QObject dockSite;
    QStringList sent;

    // A module as the program makes it: its first window registered, a dock site.
    void makeModule(const QString& nick, const QString& defaultChannel = "#lobby")
    {
        config->SetText("nick", nick);
        module = std::make_unique<TChatModule>();
        module->DefaultChannel = defaultChannel;
        module->DockSite = &dockSite;
        module->CreateChatWindow = [](TChatModule*) { return new FakeWindow("new"); };
        firstOwner = std::make_unique<FakeWindow>("Chat (No Channel)");
        first = firstOwner.get();
        module->AddChatWindow(first);
        sent.clear();
        module->IRCClient1->OnSend = [this](TIRCClient*, const QString& l) { sent << l; };
    }
    void connectModule()
    {
        module->ConnectChat();
        QTRY_COMPARE_WITH_TIMEOUT(module->IRCClient1->State(), isConnected, Wait);
    }
    FakeWindow* win(int i) const
    {
        return static_cast<FakeWindow*>(module->ChatWindows.at(size_t(i)));
    }

private slots:
    void initTestCase()
    {
        bool missing = false;
        const QString err = irc.start({}, &missing);
        if (missing) DW_PEER_MISSING("ngircd", "ngircd is not installed");
        QVERIFY2(err.isEmpty(), qPrintable(err));
        qputenv("DIALWISE_CHAT_HOST", irc.hostPort().toUtf8());
        ReloadProfile();
    }
    void init()
    {
        home = std::make_unique<dwtest::TempHome>();
        config = std::make_unique<TConfig>();
    }
    void cleanup()
    {
        module.reset();
        firstOwner.reset();
        config.reset();
        home.reset();
    }
    void cleanupTestCase() { irc.stop(); }

    // The identity the module gives the client, from the settings.
    void identity_data()
    {
        QTest::addColumn<QString>("nick");
        QTest::addColumn<QString>("realname");
        QTest::addColumn<QString>("wantNick");
        QTest::addColumn<QString>("wantUser");
        QTest::addColumn<QString>("wantReal");
        QTest::newRow("anon") << ""
                              << ""
                              << "Anon\\d{1,4}"
                              << "Anon\\d{1,4}"
                              << "z";
        // Servers refuse blanks and brackets in the USER line's name.
        QTest::newRow("blanks") << "big dj"
                                << "Mary Ann"
                                << "big_dj"
                                << "big_dj"
                                << "Mary_Ann";
        QTest::newRow("brackets") << "[dj]-x"
                                  << ""
                                  << "\\[dj\\]-x"
                                  << "dj-x"
                                  << "z";
        QTest::newRow("plain") << "rocker"
                               << ""
                               << "rocker"
                               << "rocker"
                               << "z";
    }
    void identity()
    {
        QFETCH(QString, nick);
        QFETCH(QString, realname);
        QFETCH(QString, wantNick);
        QFETCH(QString, wantUser);
        QFETCH(QString, wantReal);
        config->SetText("realname", realname);
        makeModule(nick);
        TIRCClient* c = module->IRCClient1;
        const auto exact = [](const QString& re) {
            return QRegularExpression(QRegularExpression::anchoredPattern(re));
        };
        QVERIFY2(exact(wantNick).match(c->Nick()).hasMatch(), qPrintable(c->Nick()));
        QCOMPARE(c->AltNick(), c->Nick() + "_");
        QVERIFY2(exact(wantUser).match(c->Username()).hasMatch(), qPrintable(c->Username()));
        QCOMPARE(c->RealName(), wantReal);
        QVERIFY(c->IRCX());
        // The chosen nick is kept for the next start.
        QCOMPARE(config->Text("nick"), nick.isEmpty() ? c->Nick() : nick);
        QCOMPARE(c->Server(), QString("127.0.0.1"));
        QCOMPARE(c->Port(), QString::number(irc.port));
        // The USER line carries the nick as servers accept it.
        CHECKED(connectModule());
        const QString user = sent.filter(QRegularExpression("^USER ")).value(0);
        QVERIFY2(user.startsWith("USER " + c->Username() + " "), qPrintable(user));
        QTRY_VERIFY_WITH_TIMEOUT(first->has(line(lkEvent, "*** You are now chatting in #lobby")),
                                 Wait);
        module->DisconnectChat(true);
        QVERIFY(sent.last().startsWith("QUIT :") || sent.filter("QUIT :").size() == 1);
        QVERIFY(sent.filter("QUIT :").value(0).endsWith(" -- be there"));
    }

    // Windows come and go with the channels; the lock buttons steer auto-join.
    void windows()
    {
        makeModule("winnie", "#lobby");
        CHECKED(connectModule());
        // The home channel is joined in the one channel-less window.
        QTRY_COMPARE_WITH_TIMEOUT(first->Channel ? first->Channel->Name : QString(),
                                  QString("#lobby"), Wait);
        QCOMPARE(module->ChatWindows.size(), size_t(1));
        QCOMPARE(first->Caption(), QString("#lobby"));
        QCOMPARE(first->topic, QString("Topic: ")); // no topic set
        QVERIFY(first->connectDown);
        QCOMPARE(module->CurrentWindow(), first);
        QTRY_COMPARE_WITH_TIMEOUT(first->names, QStringList{"@winnie"}, Wait);

        // Unlocked: auto-join leaves the first window's channel and reuses the window.
        module->AutoJoinChannel("#rock");
        QTRY_COMPARE_WITH_TIMEOUT(first->Channel ? first->Channel->Name : QString(),
                                  QString("#rock"), Wait);
        QVERIFY(first->has(line(lkEvent, "*** You have left #lobby")));
        QCOMPARE(module->ChatWindows.size(), size_t(1));

        // Every window locked: nothing is left, a second window is docked.
        first->SetChannelLocked(true);
        module->AutoJoinChannel("#jazz");
        QTRY_COMPARE_WITH_TIMEOUT(module->ChatWindows.size(), size_t(2), Wait);
        FakeWindow* second = win(1);
        QCOMPARE(second->Channel->Name, QString("#jazz"));
        QCOMPARE(second->dockedIn, &dockSite);
        QVERIFY(second->visible && second->connectDown);
        QCOMPARE(module->CurrentWindow(), second);
        QVERIFY(second->has(line(lkEvent, "*** You are now chatting in #jazz")));
        QCOMPARE(first->Channel->Name, QString("#rock"));
        QVERIFY(!sent.contains("PART #rock"));

        // Leaving one of two destroys that window; the first becomes current.
        module->IRCClient1->Part("#jazz");
        QTRY_COMPARE_WITH_TIMEOUT(module->ChatWindows.size(), size_t(1), Wait);
        QCOMPARE(module->CurrentWindow(), first);
        QVERIFY(first->has(line(lkEvent, "*** You have left #jazz")));

        // Leaving the only one keeps the window, idle.
        module->IRCClient1->Part("#rock");
        QTRY_VERIFY_WITH_TIMEOUT(!first->Channel, Wait);
        QCOMPARE(first->Caption(), QString("Chat (No Channel)"));
        QVERIFY(first->names.isEmpty());

        // A titled join (a station's channel) captions its window with the title.
        first->SetChannelLocked(false);
        module->JoinTitledChannel("#station1", "Station One");
        QTRY_COMPARE_WITH_TIMEOUT(first->Caption(), QString("Station One"), Wait);

        // Disconnection folds every channel window back and releases the button.
        first->SetChannelLocked(true);
        module->AutoJoinChannel("#other");
        QTRY_COMPARE_WITH_TIMEOUT(module->ChatWindows.size(), size_t(2), Wait);
        module->DisconnectChat(true);
        QTRY_COMPARE_WITH_TIMEOUT(module->IRCClient1->State(), isDisconnected, Wait);
        QCOMPARE(module->ChatWindows.size(), size_t(1));
        QVERIFY(!first->Channel);
        QVERIFY(!first->connectDown);
        QVERIFY(first->has(line(lkEvent, "*** You have left #station1")));
        QVERIFY(first->has(line(lkEvent, "*** You have left #other")));
    }

    // Other users' events reach the right window; hidden joins hide only theirs.
    void routing_data()
    {
        QTest::addColumn<bool>("hideJoins");
        QTest::newRow("joins shown") << false;
        QTest::newRow("joins hidden") << true;
    }
    void routing()
    {
        QFETCH(bool, hideJoins);
        config->SetChecked("hidejoins", hideJoins);
        makeModule(hideJoins ? "hider" : "shower", "#route");
        CHECKED(connectModule());
        QTRY_VERIFY_WITH_TIMEOUT(first->Channel, Wait);
        const QString me = module->IRCClient1->Nick();
        TIRCClient b;
        IrcRecorder rb(b);
        QVERIFY(irc.connectClient(b, hideJoins ? "bob1" : "bob2", Wait));
        const QString bob = b.Nick();
        b.Join("#route");
        QTRY_VERIFY_WITH_TIMEOUT(first->names.contains(bob), Wait);
        b.Say("#route", "hi <b>all</b> &lt;\x02");
        b.Action("#route", "dances");
        b.Say(me, "psst");
        b.Notice(me, "note");
        b.SetTopic("#route", "new topic");
        module->IRCClient1->Mode("#route", "+v", bob);
        QTRY_VERIFY_WITH_TIMEOUT(first->names.contains("+" + bob), Wait);
        b.Part("#route", "bye");
        QTRY_VERIFY_WITH_TIMEOUT(!first->names.contains("+" + bob), Wait);
        b.Join("#route");
        QTRY_VERIFY_WITH_TIMEOUT(first->names.contains(bob), Wait);
        module->IRCClient1->SendRaw("KICK #route " + bob + " :too loud");
        QTRY_VERIFY_WITH_TIMEOUT(!first->names.contains(bob), Wait);

        const QStringList want = {
            line(lkMessage, "<" + bob + "> hi <b>all</b> &lt;"),
            line(lkAction, "* " + bob + " dances"),
            line(lkPrivate, "*" + bob + "* psst"),
            line(lkNotice, "-" + bob + "- note"),
            line(lkSystem, "*** " + bob + " has changed to topic to: new topic"),
            line(lkEvent, "*** " + bob + " was kicked by " + me + " (too loud)"),
        };
        for (const QString& w : want)
            QVERIFY2(first->has(w), qPrintable(w + "\n--\n" + first->lines.join('\n')));
        QCOMPARE(first->topic, QString(" Topic: new topic"));
        QCOMPARE(first->has(line(lkEvent, "*** " + bob + " has joined #route")), !hideJoins);
        QCOMPARE(first->has(line(lkEvent, "*** " + bob + " has left #route")), !hideJoins);
        // The user's own join shows either way.
        QVERIFY(first->has(line(lkEvent, "*** You are now chatting in #route")));
        // Server lines of the kinds that show.
        QVERIFY(first->has(line(lkSystem, "*** - hello from the test server")));
        b.Quit("done");
    }

    // Ten seconds (here: a short interval) without the chat in use marks the user away.
    void autoAway_data()
    {
        QTest::addColumn<QString>("nick");
        QTest::addColumn<QString>("awayNick");
        QTest::newRow("plain") << "sleeper"
                               << "[AWAY]sleeper";
        QTest::newRow("already away") << "[AWAY]owl"
                                      << "[AWAY]owl";
    }
    void autoAway()
    {
        QFETCH(QString, nick);
        QFETCH(QString, awayNick);
        makeModule(nick);
        module->activetimer->setInterval(300);
        // The tick before the connection changes nothing and stops the timer.
        QTRY_VERIFY_WITH_TIMEOUT(!module->activetimer->isActive(), Wait);
        QVERIFY(module->ActiveNow);
        CHECKED(connectModule());
        module->SetUserActive(false);
        QTRY_VERIFY_WITH_TIMEOUT(!module->ActiveNow, Wait);
        QTRY_COMPARE_WITH_TIMEOUT(module->IRCClient1->Nick(), awayNick, Wait);
        QVERIFY(sent.filter("NICK [AWAY][AWAY]").isEmpty());
        module->SetUserActive(true);
        QTRY_VERIFY_WITH_TIMEOUT(module->ActiveNow, Wait);
        QTRY_COMPARE_WITH_TIMEOUT(module->IRCClient1->Nick(), nick, Wait);
        // With auto-away switched off a tick changes nothing.
        config->SetChecked("noautoaway", true);
        module->SetUserActive(false);
        QTRY_VERIFY_WITH_TIMEOUT(!module->activetimer->isActive(), Wait);
        QVERIFY(module->ActiveNow);
        QCOMPARE(module->IRCClient1->Nick(), nick);
    }

    // Both the nick and the alternative taken: the alternative with up to three digits.
    void nickCollision()
    {
        TIRCClient a, b;
        QVERIFY(irc.connectClient(a, "taken", Wait));
        QVERIFY(irc.connectClient(b, "taken_", Wait));
        makeModule("taken");
        CHECKED(connectModule());
        const QString n = module->IRCClient1->Nick();
        QVERIFY2(QRegularExpression("^taken_\\d{1,3}$").match(n).hasMatch(), qPrintable(n));
        a.Quit("x");
        b.Quit("x");
    }

    // The module going first leaves the main window's window without a client; its own
    // windows go with it.
    void lifetime()
    {
        makeModule("lifer");
        CHECKED(connectModule());
        QTRY_VERIFY_WITH_TIMEOUT(first->Channel, Wait);
        first->SetChannelLocked(true);
        module->AutoJoinChannel("#second");
        QTRY_COMPARE_WITH_TIMEOUT(module->ChatWindows.size(), size_t(2), Wait);
        module.reset();
        QCOMPARE(ChatModule(), nullptr);
        QCOMPARE(first->Client, nullptr);
        QCOMPARE(first->Channel, nullptr);
        QCOMPARE(first->Module, nullptr);
        // And a window going first unregisters itself.
        makeModule("lifer2");
        firstOwner.reset();
        QVERIFY(module->ChatWindows.empty());
        QCOMPARE(module->CurrentWindow(), nullptr);
    }
};

QTEST_GUILESS_MAIN(TestChatModule)
#include "test_chatmodule.moc"
