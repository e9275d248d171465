// Platform layer: instance marker and socket, resource figures, scripted dialogs.
#include "datafolders.h"
#include "dialogs.h"
#include "instance.h"
#include "platform.h"
#include "testsupport.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QListView>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

class TestPlatform : public QObject
{
    Q_OBJECT
private slots:
    void atomLifecycle()
    {
        dwtest::TempHome home;
        using platform::TInstanceAtom;
        const QString path = TInstanceAtom::PathOf("tunelaneatom");
        QVERIFY(!TInstanceAtom::Exists("tunelaneatom"));
        QVERIFY(!TInstanceAtom::OwnerAlive("tunelaneatom"));
        // A marker left by a process that is gone is stale and taken over.
        dwtest::writeFile(path, "999999999");
        QVERIFY(TInstanceAtom::Exists("tunelaneatom"));
        QVERIFY(!TInstanceAtom::OwnerAlive("tunelaneatom"));
        QVERIFY(TInstanceAtom::Add("tunelaneatom"));
        QVERIFY(TInstanceAtom::OwnerAlive("tunelaneatom"));
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray::number(qint64(getpid())));
        f.close();
        TInstanceAtom::Delete("tunelaneatom");
        QVERIFY(!TInstanceAtom::Exists("tunelaneatom"));

        // A live owner (here: a lock on the file from another open of it) is never
        // displaced, and its marker is not deleted by others.
        dwtest::writeFile(path, "1");
        const int other = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CLOEXEC);
        QVERIFY(other >= 0);
        QCOMPARE(::flock(other, LOCK_EX | LOCK_NB), 0);
        QVERIFY(TInstanceAtom::OwnerAlive("tunelaneatom"));
        QVERIFY(!TInstanceAtom::Add("tunelaneatom"));
        TInstanceAtom::Delete("tunelaneatom");
        QVERIFY(TInstanceAtom::Exists("tunelaneatom"));
        ::close(other); // the owner ends
        QVERIFY(TInstanceAtom::Add("tunelaneatom"));
        TInstanceAtom::Delete("tunelaneatom");
        QVERIFY(!TInstanceAtom::Exists("tunelaneatom"));
    }

    void heldRequestsWaitForTheWindow()
    {
        dwtest::TempHome home;
        using namespace platform;
        TInstanceServer server;
        QStringList seen;
        server.OnBringToFront = [&] { seen << "front"; };
        server.OnLink = [&](const QString& l) { seen << l; };
        server.HoldRequests(true);
        QVERIFY(server.Listen("tvmmp3_form"));
        std::atomic<bool> sent1 = false, sent2 = false;
        std::thread t([&] {
            sent1 = TInstanceServer::Send("tvmmp3_form", InstanceRequest::BringToFront);
            sent2 = TInstanceServer::Send("tvmmp3_form", InstanceRequest::Link, "dialwise:x");
        });
        // Answered at once, delivered only when released, in order.
        QTRY_VERIFY(sent1 && sent2);
        t.join();
        QCOMPARE(seen, QStringList{});
        server.HoldRequests(false);
        QCOMPARE(seen, (QStringList{"front", "dialwise:x"}));
    }

    void instanceRequests()
    {
        dwtest::TempHome home;
        using namespace platform;
        // Nobody listens: the request is not taken.
        QVERIFY(!TInstanceServer::Send("tvmmp3_form", InstanceRequest::BringToFront, {}, 300));

        // The answering side runs on this loop, so the asking side runs in a thread.
        TInstanceServer server;
        int fronts = 0;
        QString link;
        server.OnBringToFront = [&] { ++fronts; };
        server.OnLink = [&](const QString& l) { link = l; };
        QVERIFY(server.Listen("tvmmp3_form"));
        bool sent1 = false, sent2 = false;
        std::thread t([&] {
            sent1 = TInstanceServer::Send("TVMMP3_FORM", InstanceRequest::BringToFront);
            sent2 = TInstanceServer::Send("tvmmp3_form", InstanceRequest::Link,
                                          "dialwise:play:s127.0.0.1:8000");
        });
        QTRY_VERIFY(!link.isEmpty());
        t.join();
        QVERIFY(sent1);
        QVERIFY(sent2);
        QCOMPARE(fronts, 1);
        QCOMPARE(link, QString("dialwise:play:s127.0.0.1:8000"));
    }

    void freeResources()
    {
        qputenv("DIALWISE_FREE_RESOURCES", "21,21,20");
        const auto r = platform::GetFreeResources();
        QCOMPARE(r.System, 21);
        QCOMPARE(r.GDI, 20);
        qunsetenv("DIALWISE_FREE_RESOURCES");
        const auto live = platform::GetFreeResources();
        QVERIFY(live.System > 0 && live.System <= 100);
        QVERIFY(live.User > 0 && live.User <= 100);
        QCOMPARE(live.GDI, 100);
    }

    void versionsCompareInOrder_data()
    {
        QTest::addColumn<QList<int>>("a");
        QTest::addColumn<QList<int>>("b");
        QTest::addColumn<bool>("newer");
        QTest::newRow("equal is not newer")
            << QList<int>{4, 70, 0, 0} << QList<int>{4, 70, 0, 0} << false;
        QTest::newRow("build") << QList<int>{4, 70, 0, 1} << QList<int>{4, 70, 0, 0} << true;
        QTest::newRow("minor beats build")
            << QList<int>{4, 71, 0, 0} << QList<int>{4, 70, 9, 9} << true;
        QTest::newRow("major") << QList<int>{3, 99, 0, 0} << QList<int>{4, 70, 0, 0} << false;
    }
    void versionsCompareInOrder()
    {
        QFETCH(QList<int>, a);
        QFETCH(QList<int>, b);
        QFETCH(bool, newer);
        QCOMPARE(platform::VersionNewer({a[0], a[1], a[2], a[3]}, {b[0], b[1], b[2], b[3]}), newer);
    }

    void installedOrBuildTree()
    {
        // Installed means <prefix>/bin beside the package's desktop entry; a build tree
        // (or a bin folder without the entry) is not installed.
        QTemporaryDir t;
        const QString p = t.path();
        QDir().mkpath(p + "/usr/bin");
        QDir().mkpath(p + "/build/src/app");
        QCOMPARE(platform::InstalledPrefixFor(p + "/usr/bin"), QString());
        dwtest::writeFile(p + "/usr/share/applications/org.dialwise.Dialwise.desktop", "");
        QCOMPARE(platform::InstalledPrefixFor(p + "/usr/bin"), p + "/usr");
        QCOMPARE(platform::InstalledPrefixFor(p + "/usr/bin/"), p + "/usr");
        dwtest::writeFile(p + "/build/share/applications/org.dialwise.Dialwise.desktop", "");
        QCOMPARE(platform::InstalledPrefixFor(p + "/build/src/app"), QString());
        QCOMPARE(platform::InstalledPrefixFor(QString()), QString());
        // This test runs from its build tree.
        QVERIFY(!platform::IsInstalled());
    }

    void shippedDataFolders()
    {
        // The executable's own prefix first, then the XDG data folders (relative ones
        // dropped, duplicates once), then the build tree and the source tree.
        QCOMPARE(platform::ShippedDataFoldersFor("/opt/dw/bin",
                                                 "/usr/share:rel/share::/opt/dw/share/", "/src/dw"),
                 (QStringList{"/opt/dw/share/dialwise", "/usr/share/dialwise", "/opt/dw/bin",
                              "/src/dw"}));
        QCOMPARE(platform::ShippedDataFoldersFor("/b/src/app", "", ""),
                 (QStringList{"/b/src/share/dialwise", "/usr/local/share/dialwise",
                              "/usr/share/dialwise", "/b/src/app"}));
        // The shipped default skin is found (from the source tree here); what leaves the
        // data folders is never looked for.
        QVERIFY(platform::FindShippedData("skins/default/skin.ini")
                    .endsWith("/skins/default/skin.ini"));
        QCOMPARE(platform::FindShippedData("../skins/default/skin.ini"), QString());
        QCOMPARE(platform::FindShippedData("/etc/passwd"), QString());
        QCOMPARE(platform::FindShippedData("no/such/file"), QString());
        QVERIFY(!platform::ShippedDataFolders().contains(QDir::cleanPath(platform::HomeDir())));
    }

    void scriptedDialogs()
    {
        using namespace platform;
        DialogRequest seen;
        SetDialogScript([&](const DialogRequest& r) {
            seen = r;
            return DialogAnswer{mrCancel, {}};
        });
        QCOMPARE(MessageBox("low\r\rSystem", "Tunelane Warning", mbOKCancel, mtWarning),
                 int(mrCancel));
        QCOMPARE(seen.caption, QString("Tunelane Warning"));
        QCOMPARE(seen.buttons, mbOKCancel);
        SetDialogScript([](const DialogRequest&) { return DialogAnswer{mrOk, "/tmp/x.zip"}; });
        QCOMPARE(OpenFileDialog("Open", "/tmp", "*.zip"), QString("/tmp/x.zip"));
        SetDialogScript(nullptr);
    }

    // Answered without a script from the environment, as a program started by a test is:
    // file dialogs take DIALWISE_DIALOG_FILE with "auto" and are cancelled otherwise.
    void dialogsFromTheEnvironment()
    {
        using namespace platform;
        struct Row
        {
            const char* mode;
            const char* file;
            int message;
            QString chosen;
        };
        const Row rows[] = {{"auto", "", mrYes, ""},
                            {"auto", "/tmp/a b.bin", mrYes, "/tmp/a b.bin"},
                            {"cancel", "/tmp/a b.bin", mrNo, ""}};
        for (const Row& r : rows) {
            qputenv("DIALWISE_DIALOGS", r.mode);
            qputenv("DIALWISE_DIALOG_FILE", r.file);
            QCOMPARE(MessageDlg("Accept?", mtConfirmation, mbYesNo), r.message);
            QCOMPARE(OpenFileDialog("Open", "/tmp", "*"), r.chosen);
            QCOMPARE(SaveFileDialog("Save", "/tmp", "*"), r.chosen);
        }
        qunsetenv("DIALWISE_DIALOGS");
        qunsetenv("DIALWISE_DIALOG_FILE");
    }

    // Filters in the "Description|patterns" form reach Qt in its own form.
    void fileFilters_data()
    {
        QTest::addColumn<QString>("given");
        QTest::addColumn<QString>("qt");
        QTest::newRow("all files") << "All Files (*.*)|*.*"
                                   << "All Files (*)";
        QTest::newRow("two pairs") << "Skins (*.zip)|*.zip|All Files (*.*)|*.*"
                                   << "Skins (*.zip);;All Files (*)";
        QTest::newRow("several patterns") << "Sounds|*.mp3;*.wav"
                                          << "Sounds (*.mp3 *.wav)";
        QTest::newRow("no patterns") << "Anything|"
                                     << "Anything (*)";
        QTest::newRow("already Qt's") << "Images (*.png *.jpg)"
                                      << "Images (*.png *.jpg)";
    }
    void fileFilters()
    {
        QFETCH(QString, given);
        QFETCH(QString, qt);
        QCOMPARE(platform::QtFileFilter(given), qt);
    }

    // Dialogs as a user sees them: a box shows its text as plain text, a box whose parent
    // goes while it is open returns Cancel, an answer that comes after its context went is
    // dropped, and the open dialog lists every file of its folder.
    void shownDialogs()
    {
        using namespace platform;
        const QString markup = "<h1><u>holiday.jpg</u></h1> wants in";
        int seenFormat = -1;
        QString seenText;
        QTimer::singleShot(50, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box) return;
            seenFormat = box->textFormat();
            seenText = box->text();
            box->button(QMessageBox::Yes)->click();
        });
        QCOMPARE(MessageDlg(markup, mtConfirmation, mbYesNo), int(mrYes));
        QCOMPARE(seenFormat, int(Qt::PlainText));
        QCOMPARE(seenText, markup);

        auto* parent = new QWidget;
        QTimer::singleShot(50, [parent] { delete parent; });
        QCOMPARE(MessageDlg("going", mtInformation, mbOK, {}, parent), int(mrCancel));

        QWidget owner;
        auto* context = new QObject;
        int answered = -1;
        MessageDlgAsync(markup, mtConfirmation, mbYesNo, {}, &owner, context,
                        [&](int r) { answered = r; });
        auto* box = owner.findChild<QMessageBox*>();
        QVERIFY(box);
        QCOMPARE(box->textFormat(), Qt::PlainText);
        QCOMPARE(answered, -1); // nothing waits for the answer
        box->button(QMessageBox::No)->click();
        QTRY_COMPARE(answered, int(mrNo));
        MessageDlgAsync("late", mtConfirmation, mbYesNo, {}, &owner, context,
                        [&](int r) { answered = r; });
        delete context;
        QPointer<QMessageBox> late = owner.findChild<QMessageBox*>();
        QVERIFY(late);
        late->button(QMessageBox::Yes)->click();
        QTest::qWait(20);
        QCOMPARE(answered, int(mrNo));

        dwtest::TempHome home;
        dwtest::writeFile(home.file("pick/song.mp3"), "x");
        dwtest::writeFile(home.file("pick/notes"), "x");
        QStringList listed;
        QTimer::singleShot(50, [&] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            if (!dialog) return;
            auto* view = dialog->findChild<QListView*>("listView");
            QTRY_COMPARE_WITH_TIMEOUT(view->model()->rowCount(view->rootIndex()), 2, 5000);
            for (int i = 0; i < 2; ++i)
                listed << view->model()->index(i, 0, view->rootIndex()).data().toString();
            listed.sort();
            dialog->reject();
        });
        QCOMPARE(OpenFileDialog("Send", home.file("pick"), "All Files (*.*)|*.*"), QString());
        QCOMPARE(listed, (QStringList{"notes", "song.mp3"}));
    }
};

QTEST_MAIN(TestPlatform)
#include "test_platform.moc"
