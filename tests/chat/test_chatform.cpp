// The chat window and the channel list on the offscreen platform: line texts and
// colours, the line limit, caption marks, input history, links, and the commands,
// buttons and channel list against a real ngircd through the chat module.
#include "channellist_form.h"
#include "chat_form.h"
#include "config.h"
#include "dialogs.h"
#include "ircrecorder.h"
#include "ngircd.h"
#include "productprofile.h"
#include "testsupport.h"

#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QScrollBar>
#include <QTabBar>
#include <QTabWidget>
#include <QToolButton>
#include <QTreeWidget>
#include <QtTest>
#include <functional>
#include <memory>

namespace {
constexpr int Wait = 15000;
}

class TestChatForm : public QObject
{
    Q_OBJECT

    dwtest::Ngircd irc;
    std::unique_ptr<dwtest::TempHome> home;
    std::unique_ptr<TConfig> config;
    std::unique_ptr<QTabWidget> pages;
    std::unique_ptr<TChatModule> module;
    Tchat_form* form = nullptr; // owned by pages
    std::unique_ptr<Tchannellist_form> list;
    QStringList sent, dialogs;

    void connectAndJoin(const QString& nick, const QString& channel)
    {
        config->SetText("nick", nick);
        module = std::make_unique<TChatModule>();
        module->DefaultChannel = channel;
        module->DockSite = pages.get();
        module->activetimer->setInterval(3600 * 1000); // no auto-away during a test
        InstallChatWindows(module.get(), pages.get());
        form = new Tchat_form(pages.get());
        form->Dock(pages.get());
        form->SetChannelLocked(false);
        module->AddChatWindow(form);
        list = std::make_unique<Tchannellist_form>();
        module->ChannelList = list.get();
        module->IRCClient1->OnSend = [this](TIRCClient*, const QString& l) { sent << l; };
        module->ConnectChat();
        QTRY_VERIFY_WITH_TIMEOUT(form->Channel, Wait);
    }
    void type(const QString& text)
    {
        form->mainline->setText(text);
        QTest::keyClick(form->mainline, Qt::Key_Return);
    }
    QString lastLine() const { return form->LineText(form->LineCount() - 1); }

private slots:
    void initTestCase()
    {
        platform::SetDialogScript([this](const platform::DialogRequest& r) {
            dialogs << r.text;
            return platform::DialogAnswer{platform::mrOk, {}};
        });
        bool missing = false;
        const QString err = irc.start({}, &missing);
        if (!missing) {
            QVERIFY2(err.isEmpty(), qPrintable(err));
            qputenv("DIALWISE_CHAT_HOST", irc.hostPort().toUtf8());
            ReloadProfile();
        }
    }
    void init()
    {
        home = std::make_unique<dwtest::TempHome>();
        config = std::make_unique<TConfig>();
        pages = std::make_unique<QTabWidget>();
        pages->resize(800, 400);
        pages->show();
        sent.clear();
        dialogs.clear();
    }
    void cleanup()
    {
        module.reset();
        list.reset();
        pages.reset();
        form = nullptr;
        config.reset();
        home.reset();
    }
    void cleanupTestCase() { irc.stop(); }

    // Only the user's own turning to a chat page counts as using the chat (auto-away):
    // the program docking, showing or switching pages does not, a click on the tab does.
    void activity()
    {
        config->SetText("nick", "idler");
        module = std::make_unique<TChatModule>();
        module->DockSite = pages.get();
        pages->addTab(new QWidget, "News");
        form = new Tchat_form(pages.get());
        module->AddChatWindow(form);
        struct Step
        {
            const char* what;
            std::function<void()> act;
            bool active;
        };
        const Step steps[] = {
            {"docked", [&] { form->Dock(pages.get()); }, false},
            {"shown by the program", [&] { form->ShowWindow(); }, false},
            {"pages switched by the program",
             [&] {
                 pages->setCurrentIndex(0);
                 pages->setCurrentIndex(1);
             },
             false},
            {"tab clicked",
             [&] {
                 pages->setCurrentIndex(0);
                 QTest::mouseClick(pages->tabBar(), Qt::LeftButton, {},
                                   pages->tabBar()->tabRect(1).center());
             },
             true},
        };
        for (const Step& step : steps) {
            step.act();
            QVERIFY2(module->ActiveWanted == step.active, step.what);
            QCOMPARE(module->CurrentWindow(), static_cast<TChatWindowBase*>(form));
        }
    }

    // Each kind of line: its text and colour; other users' markup shows as typed.
    void lines_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QColor>("color");
        QTest::newRow("message") << 0 << "<b<b>> hi &lt; <i>x</i>" << QColor(0, 0, 0);
        QTest::newRow("private") << 1 << "*b<b>* psst" << QColor(0, 0, 255);
        QTest::newRow("notice") << 2 << "-b<b>-#room- note" << QColor(0, 128, 0);
        QTest::newRow("action") << 3 << "* b<b> waves" << QColor(128, 0, 128);
        QTest::newRow("join") << 4 << "*** b<b> has joined #room" << QColor(255, 128, 0);
        QTest::newRow("kick") << 5 << "*** b<b> was kicked by op (go)" << QColor(255, 128, 0);
        QTest::newRow("topic") << 6 << "*** b<b> has changed to topic to: <t>" << QColor(255, 0, 0);
        QTest::newRow("system") << 7 << "*** - hello" << QColor(255, 0, 0);
    }
    void lines()
    {
        QFETCH(int, kind);
        QFETCH(QString, text);
        QFETCH(QColor, color);
        Tchat_form w;
        TUsers users;
        TUser* u = users.Add("b<b>", {});
        TUser* op = users.Add("op", {});
        TChannel ch("#room", nullptr, &users);
        ch.Topic = "<t>";
        u->Reason = "go\x07";
        switch (kind) {
        case 0:
            w.ShowMessage(u, "hi &lt; <i>x</i>" + QString(QChar(2)) + QChar(0x7f) + QChar(0x85) +
                                 QChar(0x93) + QChar(0xa0));
            break;
        case 1:
            w.ShowPrivMessage(u, "psst");
            break;
        case 2:
            w.ShowNotice(u, "note", &ch);
            break;
        case 3:
            w.ShowAction(u, "waves");
            break;
        case 4:
            w.ShowJoin(u, &ch);
            break;
        case 5:
            w.ShowKick(op, &ch, u);
            break;
        case 6:
            w.ShowTopic(u, &ch);
            break;
        case 7:
            w.ShowSystem("- hello");
            break;
        }
        QCOMPARE(w.LineCount(), 1);
        QCOMPARE(w.LineText(0), text);
        QCOMPARE(w.LineColorAt(0), color);
        QVERIFY(!w.mainchat->toPlainText().contains('\x02'));
        if (kind == 6) {
            QCOMPARE(w.topiclabel->text(), QString(" Topic: <t>"));
            QCOMPARE(w.topiclabel->toolTip(), QString("<t>"));
        }
    }

    // The 502nd line pushes out the first; the view follows only from its end.
    void lineLimit()
    {
        Tchat_form w;
        w.resize(500, 300);
        w.show();
        for (int i = 1; i <= 501; ++i)
            w.AddLine("line " + QString::number(i), lkMessage);
        QCOMPARE(w.LineCount(), 501);
        QCOMPARE(w.LineText(0), QString("line 1"));
        QVERIFY(w.AtEnd());
        w.AddLine("line 502", lkMessage);
        QCOMPARE(w.LineCount(), 501);
        QCOMPARE(w.LineText(0), QString("line 2"));
        QCOMPARE(w.LineText(500), QString("line 502"));
        QVERIFY(w.AtEnd());
        // Scrolled up, new lines do not move the view.
        QScrollBar* sb = w.mainchat->verticalScrollBar();
        sb->setValue(sb->maximum() / 2);
        const int at = sb->value();
        w.AddLine("line 503", lkMessage);
        QVERIFY(!w.AtEnd());
        QVERIFY(qAbs(sb->value() - at) < sb->pageStep());
        sb->setValue(sb->maximum());
        w.AddLine("line 504", lkMessage);
        QVERIFY(w.AtEnd());
    }

    // Links: found, shown as links, opened only for the schemes a browser should get.
    void links_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("target");
        QTest::newRow("http") << "see http://127.0.0.1/x?a=1."
                              << "http://127.0.0.1/x?a=1";
        QTest::newRow("https") << "HTTPS://127.0.0.1/"
                               << "HTTPS://127.0.0.1/";
        QTest::newRow("www") << "(www.example.test)"
                             << "http://www.example.test";
        QTest::newRow("ftp") << "ftp://127.0.0.1/f"
                             << "ftp://127.0.0.1/f";
        QTest::newRow("mailto") << "mailto:dj@example.test"
                                << "mailto:dj@example.test";
        QTest::newRow("program") << "dialwise:play?s1"
                                 << "dialwise:play?s1";
        QTest::newRow("javascript") << "javascript:alert(1)"
                                    << "";
        QTest::newRow("file") << "file:///etc/passwd"
                              << "";
        QTest::newRow("plain") << "no link here"
                               << "";
    }
    void links()
    {
        QFETCH(QString, text);
        QFETCH(QString, target);
        const QList<Tchat_form::TLink> found = Tchat_form::FindLinks(text);
        QCOMPARE(found.isEmpty() ? QString() : found.front().Url, target);
        Tchat_form w;
        w.AddLine(text, lkMessage);
        QCOMPARE(w.LineText(0), text);
        QCOMPARE(w.mainchat->document()->toHtml().contains("href="), !target.isEmpty());
        QCOMPARE(Tchat_form::LinkTarget("javascript:x"), QString());
        QString opened;
        Tchat_form::ProgramLinkHook() = [&](const QString& l) { opened = l; };
        w.mainchatURLClick("dialwise:play?s1");
        QCOMPARE(opened, QString("dialwise:play?s1"));
        Tchat_form::ProgramLinkHook() = nullptr;
    }

    // Up and Down walk the lines entered, beeping at either end.
    void history()
    {
        TCRTEdit e;
        int beeps = 0;
        e.OnBeep = [&] { ++beeps; };
        QStringList entered;
        e.OnEnterKey = [&] { entered << e.text(); };
        for (const char* t : {"one", "two"}) {
            e.setText(t);
            QTest::keyClick(&e, Qt::Key_Return);
        }
        QCOMPARE(entered, (QStringList{"one", "two"}));
        QCOMPARE(e.text(), QString());
        e.setText("draft");
        QTest::keyClick(&e, Qt::Key_Down);
        QCOMPARE(beeps, 1);
        QTest::keyClick(&e, Qt::Key_Up);
        QCOMPARE(e.text(), QString("two"));
        QCOMPARE(e.cursorPosition(), 3);
        QTest::keyClick(&e, Qt::Key_Up);
        QCOMPARE(e.text(), QString("one"));
        QTest::keyClick(&e, Qt::Key_Up);
        QCOMPARE(beeps, 2);
        QTest::keyClick(&e, Qt::Key_Down);
        QTest::keyClick(&e, Qt::Key_Down);
        QCOMPARE(e.text(), QString("draft"));
        QCOMPARE(beeps, 2);
        for (int i = 0; i < 205; ++i) {
            e.setText(QString::number(i));
            QTest::keyClick(&e, Qt::Key_Return);
        }
        QCOMPARE(e.History().size(), TCRTEdit::MaxHistory + 1);
        QCOMPARE(e.History().at(1), QString("204"));
    }

    // A line to a window that is not current marks its caption once.
    void captionMark()
    {
        TChatModule m;
        Tchat_form a(nullptr, "#a"), b(nullptr, "#b");
        m.AddChatWindow(&a);
        m.AddChatWindow(&b);
        m.SetCurrentWindow(&a);
        b.AddLine("x", lkMessage);
        b.AddLine("y", lkMessage);
        QCOMPARE(b.Caption(), QString("* #b"));
        a.AddLine("z", lkMessage);
        QCOMPARE(a.Caption(), QString("#a"));
        b.FormActivate();
        QCOMPARE(b.Caption(), QString("#b"));
        QCOMPARE(m.CurrentWindow(), &b);
        QVERIFY(m.ActiveWanted);
    }

    // Typing without a connection or a channel gives a hint.
    void hints()
    {
        TChatModule m;
        Tchat_form w;
        m.AddChatWindow(&w);
        w.mainline->setText("hello");
        QTest::keyClick(w.mainline, Qt::Key_Return);
        QCOMPARE(w.LineText(0), QString("*** You are not connected to the chat server. Press the "
                                        "\"connect\" button on the right to reconnect"));
        QCOMPARE(w.LineColorAt(0), QColor(255, 0, 0));
        w.mainline->setText("/join #x"); // ignored while disconnected
        QTest::keyClick(w.mainline, Qt::Key_Return);
        QCOMPARE(w.LineCount(), 1);
    }

    // What the input line sends, and the echo it writes.
    void commands_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("wire");
        QTest::addColumn<QString>("echo");
        QTest::newRow("say") << "hello <b>"
                             << "PRIVMSG #cmds :hello <b>"
                             << "<cmdr> hello <b>";
        QTest::newRow("msg trimmed") << "/msg bob   hi there  "
                                     << "PRIVMSG bob :hi there"
                                     << "*cmdr:bob* hi there";
        QTest::newRow("notice blank") << "/NOTICE bob hey"
                                      << "NOTICE bob : hey"
                                      << "-cmdr:bob-  hey";
        QTest::newRow("topic here") << "/topic all the words"
                                    << "TOPIC #cmds :all the words"
                                    << "";
        QTest::newRow("topic named") << "/topic #cmds set it"
                                     << "TOPIC #cmds :set it"
                                     << "";
        QTest::newRow("me") << "/me waves"
                            << "PRIVMSG #cmds :\x01"
                               "ACTION waves\x01"
                            << "* cmdr waves";
        QTest::newRow("raw join") << "/Join #Else"
                                  << " Join #Else"
                                  << "";
        QTest::newRow("list") << "/list"
                              << "LIST"
                              << "";
    }
    void commands()
    {
        if (!irc.port) DW_PEER_MISSING("ngircd", "ngircd is not installed");
        QFETCH(QString, typed);
        QFETCH(QString, wire);
        QFETCH(QString, echo);
        CHECKED(connectAndJoin("cmdr", "#cmds"));
        const int before = form->LineCount();
        sent.clear();
        type(typed);
        QTRY_VERIFY2_WITH_TIMEOUT(sent.contains(wire), qPrintable(sent.join('\n')), Wait);
        if (!echo.isEmpty())
            QCOMPARE(lastLine(), echo);
        else
            QCOMPARE(form->LineCount(), before);
        QCOMPARE(form->mainline->text(), QString());
    }

    // "/dcc send NAME" offers a file to a name typed instead of selected; anything else
    // after "/dcc" only says how it goes, and nothing reaches the server.
    void dccCommand()
    {
        if (!irc.port) DW_PEER_MISSING("ngircd", "ngircd is not installed");
        CHECKED(connectAndJoin("dccr", "#dccs"));
        QStringList offered;
        auto old = Tchat_form::SendFileHook();
        Tchat_form::SendFileHook() = [&](Tchat_form*, const QString& nick) { offered << nick; };
        sent.clear();
        type("/DCC send  bob ");
        type("/dcc");
        type("/dcc send two names");
        Tchat_form::SendFileHook() = old;
        QCOMPARE(offered, QStringList{"bob"});
        QCOMPARE(lastLine(), QString("Type /dcc send and a name to send that person a file"));
        QCOMPARE(form->LineText(form->LineCount() - 2), lastLine());
        QTest::qWait(200);
        QCOMPARE(sent, QStringList{});
    }

    // The buttons and menu entries act on the selected user.
    void buttons_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QStringList>("wire");
        QTest::newRow("kick") << "kick_butt" << QStringList{" kick #btns we[i]rd-^nick"};
        QTest::newRow("kickban") << "kickban_butt"
                                 << QStringList{" mode #btns +b we[i]rd-^nick",
                                                " kick #btns we[i]rd-^nick"};
        QTest::newRow("whois") << "Whois1" << QStringList{" whois we[i]rd-^nick"};
        QTest::newRow("leave") << "leavechan_butt" << QStringList{"PART #btns"};
    }
    void buttons()
    {
        if (!irc.port) DW_PEER_MISSING("ngircd", "ngircd is not installed");
        QFETCH(QString, button);
        QFETCH(QStringList, wire);
        CHECKED(connectAndJoin("btnr", "#btns"));
        TIRCClient b;
        QVERIFY(irc.connectClient(b, "we[i]rd-^nick", Wait));
        b.Join("#btns");
        module->IRCClient1->Mode("#btns", "+v", "we[i]rd-^nick");
        QTRY_VERIFY_WITH_TIMEOUT(
            !form->name_box->findItems("+we[i]rd-^nick", Qt::MatchExactly).isEmpty(), Wait);
        QCOMPARE(form->name_box->count(), 2);
        QVERIFY(!form->name_box->findItems("@btnr", Qt::MatchExactly).isEmpty());
        const int row = form->name_box->row(
            form->name_box->findItems("+we[i]rd-^nick", Qt::MatchExactly).front());
        sent.clear();
        form->name_box->setCurrentRow(row);
        if (button == "Whois1")
            form->Whois1->trigger();
        else
            form->findChild<QToolButton*>(button)->click();
        QTRY_VERIFY2_WITH_TIMEOUT(sent.mid(0, wire.size()) == wire, qPrintable(sent.join('\n')),
                                  Wait);
        // The private-message button puts the nick into the input line.
        form->name_box->setCurrentRow(row);
        form->mainline->setText("draft");
        form->sendmsg_butt->click();
        QCOMPARE(form->mainline->text(), QString("/msg we[i]rd-^nick draft"));
        QCOMPARE(lastLine(), QString("Type you message in the box below and hit enter to send"));
        // Nothing selected: a message and nothing sent.
        form->name_box->clearSelection();
        form->name_box->setCurrentRow(-1);
        sent.clear();
        form->kick_butt->click();
        QCOMPARE(dialogs.last(), QString("You must select a name first"));
        QVERIFY(sent.isEmpty());
        b.Quit("x");
    }

    // A second channel docks as a second page; a floating window closed docks back.
    void docking()
    {
        if (!irc.port) DW_PEER_MISSING("ngircd", "ngircd is not installed");
        CHECKED(connectAndJoin("docker", "#dock1"));
        const int pagesBefore = pages->count();
        form->SetChannelLocked(true);
        module->AutoJoinChannel("#dock2");
        QTRY_COMPARE_WITH_TIMEOUT(module->ChatWindows.size(), size_t(2), Wait);
        auto* second = dynamic_cast<Tchat_form*>(module->ChatWindows[1]);
        QVERIFY(second);
        QCOMPARE(pages->count(), pagesBefore + 1);
        QCOMPARE(pages->currentWidget(), second);
        QCOMPARE(pages->tabText(pages->indexOf(second)), QString("#dock2"));
        QVERIFY(second->ChannelLocked());
        // A line while the other page is shown marks that page's tab.
        form->AddLine("for the other page", lkMessage);
        QCOMPARE(pages->tabText(pages->indexOf(form)), QString("* #dock1"));
        pages->setCurrentWidget(form);
        QCOMPARE(pages->tabText(pages->indexOf(form)), QString("#dock1"));

        second->Undock();
        QVERIFY(second->isWindow());
        QCOMPARE(pages->indexOf(second), -1);
        QPointer<Tchat_form> gone(second);
        second->close(); // leaves the channel: the module folds the window away
        QTRY_VERIFY_WITH_TIMEOUT(gone.isNull(), Wait);
        QCOMPARE(module->ChatWindows.size(), size_t(1));
        QCOMPARE(pages->count(), pagesBefore);
        // The only window floats out and, closed, comes back as a page.
        form->Undock();
        form->close();
        QTRY_VERIFY_WITH_TIMEOUT(!form->Channel, Wait);
        QVERIFY(form->Docked());
        QVERIFY(pages->indexOf(form) >= 0);
        QCOMPARE(form->Caption(), QString("Chat (No Channel)"));
    }

    // A page folded back while its own handler runs (here a kick that comes while the
    // page's "select a name" box is open) stays until that handler has returned, and goes
    // on the loop's next pass.
    void freedAfterItsHandler()
    {
        if (!irc.port) DW_PEER_MISSING("ngircd", "ngircd is not installed");
        CHECKED(connectAndJoin("holder", "#hold1"));
        form->SetChannelLocked(true);
        module->AutoJoinChannel("#hold2");
        QTRY_COMPARE_WITH_TIMEOUT(module->ChatWindows.size(), size_t(2), Wait);
        QPointer<Tchat_form> second = dynamic_cast<Tchat_form*>(module->ChatWindows[1]);
        QVERIFY(second);
        bool alive = false;
        platform::SetDialogScript([&](const platform::DialogRequest&) {
            module->IRCClient1->Part("#hold2");
            const bool folded =
                QTest::qWaitFor([&] { return module->ChatWindows.size() == 1; }, Wait);
            alive = folded && !second.isNull();
            return platform::DialogAnswer{platform::mrOk, {}};
        });
        second->kickban_buttClick(); // nothing selected: the box, and the fold-back under it
        platform::SetDialogScript([this](const platform::DialogRequest& r) {
            dialogs << r.text;
            return platform::DialogAnswer{platform::mrOk, {}};
        });
        QVERIFY(alive);
        QVERIFY(!second.isNull());
        QVERIFY(!second->Channel);
        QTRY_VERIFY_WITH_TIMEOUT(second.isNull(), Wait);
        QCOMPARE(module->CurrentWindow(), static_cast<TChatWindowBase*>(form));
        QVERIFY(form->LineText(form->LineCount() - 1).contains("You have left #hold2"));
    }

    // The channel list: LIST from the window's button, totals, sorting, joining.
    void channelList()
    {
        if (!irc.port) DW_PEER_MISSING("ngircd", "ngircd is not installed");
        CHECKED(connectAndJoin("lister", "#home"));
        TIRCClient b;
        IrcRecorder rb(b);
        QVERIFY(irc.connectClient(b, "filler", Wait));
        for (int i = 1; i <= 36; ++i)
            b.Join("#list" + QString::number(i));
        QTRY_VERIFY_WITH_TIMEOUT(rb.log.contains("Joined|#list36"), Wait);
        // Two more users in one channel: counts 1..3 sort as numbers.
        b.SetTopic("#list10", "ten topic");
        QTRY_VERIFY_WITH_TIMEOUT(rb.log.filter("Topic|filler|#list10").size() == 1, Wait);
        module->IRCClient1->Join("#list9");
        QTRY_COMPARE_WITH_TIMEOUT(module->ChatWindows.size(), size_t(2), Wait);

        form->chanlist_butt->click();
        QVERIFY(list->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(list->gauge->maximum() == 1 && list->ChannelCount >= 37, Wait);
        QCOMPARE(list->channelview->topLevelItemCount(), list->ChannelCount);
        QCOMPARE(list->totals->text(), QString::number(list->UserCount) + " users on " +
                                           QString::number(list->ChannelCount) + " channels");
        QVERIFY(list->UserCount >= 38);
        // A listing updates the totals at most twice a second, and once at its end.
        QVERIFY(list->StatusUpdates <= 4);

        // Count sorts as numbers, ascending, then descending on the second click.
        auto counts = [&] {
            QList<int> c;
            for (int i = 0; i < list->channelview->topLevelItemCount(); ++i)
                c << list->channelview->topLevelItem(i)->text(1).toInt();
            return c;
        };
        QHeaderView* header = list->channelview->header();
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                          QPoint(header->sectionViewportPosition(1) + 5, header->height() / 2));
        QList<int> up = counts();
        QVERIFY(std::is_sorted(up.begin(), up.end()));
        QCOMPARE(up.back(), 2);
        list->channelviewColumnClick(1);
        QList<int> down = counts();
        QVERIFY(std::is_sorted(down.rbegin(), down.rend()));
        list->channelviewColumnClick(0);
        QStringList names;
        for (int i = 0; i < list->channelview->topLevelItemCount(); ++i)
            names << list->channelview->topLevelItem(i)->text(0);
        QVERIFY(names.indexOf("#list10") > names.indexOf("#list1"));
        QVERIFY(names.indexOf("#list9") > names.indexOf("#list10")); // text order
        QCOMPARE(list->channelview->topLevelItem(names.indexOf("#list10"))->text(2),
                 QString("ten topic"));

        // Join without a selection: a message only.
        list->channelview->clearSelection();
        list->join_buttClick();
        QCOMPARE(dialogs.last(), QString("You must select a channel to join first"));
        // Double click joins the row's channel and hides the list.
        QTreeWidgetItem* row = list->channelview->topLevelItem(names.indexOf("#list20"));
        list->channelview->setCurrentItem(row);
        emit list->channelview->itemDoubleClicked(row, 0);
        QVERIFY(!list->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(module->IRCClient1->Channels().Find("#list20"), Wait);
        b.Quit("x");
    }

    void cellOrder_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<bool>("less");
        QTest::newRow("numbers") << "9"
                                 << "10" << true;
        QTest::newRow("text no case") << "#abc"
                                      << "#ABD" << true;
        QTest::newRow("times") << "9:05"
                               << "10:00" << true;
        QTest::newRow("mixed") << "10"
                               << "#a" << false;
    }
    void cellOrder()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(bool, less);
        QCOMPARE(Tchannellist_form::CellLess(a, b), less);
    }
};

QTEST_MAIN(TestChatForm)
#include "test_chatform.moc"
