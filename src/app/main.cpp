// Dialwise: program entry.
#include "channellist_form.h"
#include "chat_form.h"
#include "chatmodule.h"
#include "config.h"
#include "config_form.h"
#include "datafolders.h"
#include "dcc_form.h"
#include "debuglog.h"
#include "dialogs.h"
#include "instance.h"
#include "motd_form.h"
#include "platform.h"
#include "playerlink.h"
#include "playersearch.h"
#include "registry.h"
#include "splash.h"
#include "stallwatch.h"
#include "startup.h"
#include "tip_form.h"
#include "update_form.h"
#include "urlprotocol.h"
#include "vmmp3_main.h"
#include "winconsole.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>
#include <memory>

namespace {
const char* const kAtom = "tunelaneatom";
const char* const kWindowClass = "tvmmp3_form";

// Deletes the instance marker however the program leaves.
struct AtomGuard
{
    ~AtomGuard() { platform::TInstanceAtom::Delete(kAtom); }
};
} // namespace

int main(int argc, char** argv)
{
    if (const int rc = AnswerInfoOption(argc, argv); rc >= 0) return rc;
    platform::TuneAllocator();
    TDialwiseApplication app(argc, argv);
    // A "dialwise:" link the desktop started us with.
    QString link;
    for (const QString& a : QApplication::arguments().mid(1))
        if (a.startsWith("dialwise:")) link = a;
    QApplication::setQuitOnLastWindowClosed(false);
    // SIGTERM and SIGINT are taken from the message loop, so a signal that comes early
    // still ends the program in order.
    InstallTerminationHandler(&app);

    // Low free resources are worth a warning before anything is built.
    const platform::FreeResources res = platform::GetFreeResources();
    if (ResourcesLow(res)) {
        if (platform::MessageBox(ResourceWarningText(res), "Tunelane Warning", platform::mbOKCancel,
                                 platform::mtWarning) != platform::mrOk)
            return 0;
    }

    // Single instance: the marker is taken in one step (a stale one is taken over). A
    // running instance, also one that is still starting, is brought to the front and this
    // one ends; a live one is never displaced.
    // A link goes to the running instance, as the desktop's link hand-over would.
    if (!platform::TInstanceAtom::Add(kAtom) && !HandOverOrTakeOver(kAtom, [&link] {
            return link.isEmpty()
                       ? platform::TInstanceServer::Send(kWindowClass,
                                                         platform::InstanceRequest::BringToFront)
                       : platform::TInstanceServer::Send(kWindowClass,
                                                         platform::InstanceRequest::Link, link);
        }))
        return 0;

    // From here on the marker goes when the program ends.
    AtomGuard guard;
    // Later starts are heard from now on; what they ask waits for the main window.
    std::unique_ptr<Tvmmp3_form> mainWindow;
    platform::TInstanceServer instance;
    instance.OnBringToFront = [&mainWindow] {
        Tvmmp3_form* w = mainWindow.get();
        if (!w) return;
        DebugLog("Second start: bringing the window to the front");
        if (w->isMinimized()) w->showNormal();
        w->show();
        w->raise();
        w->activateWindow();
    };
    // A link from a later start comes to the front with its window, as a plain start does.
    instance.OnLink = [&mainWindow, &instance](const QString& text) {
        if (instance.OnBringToFront) instance.OnBringToFront();
        if (Tvmmp3_form* w = mainWindow.get()) w->OpenLocationLink(text);
    };
    instance.HoldRequests(true);
    instance.Listen(kWindowClass);
    int exitCode = 0;
    try {
        // The application's name, which titles the windows.
        QApplication::setApplicationName("Dialwise");

        // The debug console, only for the exact hidden argument in first place.
        std::unique_ptr<TWinConsole> console;
        const QStringList args = QApplication::arguments();
        if (args.size() > 1 && args.at(1) == "quietBadger!!!")
            console = std::make_unique<TWinConsole>(QStringList{"GenOut", "ErrOut", "PerfOut"});
        // The loop's stalls are reported on "PerfOut" (the console, the DIALWISE_DEBUGLOG
        // file) for the whole run.
        TStallWatch stallWatch;
        stallWatch.Start();

        // The windows, in the order they depend on each other.
        QElapsedTimer running; // for the usage report
        running.start();
        CreateGuarded([&] { mainWindow = std::make_unique<Tvmmp3_form>(); });
        if (!mainWindow) return 1;
        std::unique_ptr<TChatModule> chat;
        CreateGuarded([&] {
            chat = std::make_unique<TChatModule>();
            InstallChatWindows(chat.get(), mainWindow.get());
            InstallDccTransfers(chat.get(), mainWindow.get());
        });
        // The configuration dialog, made once on first use; it opens by itself when the
        // player set is not usable (no setting means the built-in player, which is).
        CreateGuarded([&] {
            Tvmmp3_form* w = mainWindow.get();
            auto show = [w, dialog = QPointer<Tmp3config_form>()]() mutable {
                if (!dialog) {
                    dialog = new Tmp3config_form(w->Configuration(), w);
                    dialog->OnImmediateEffect = [w](const QString& control) {
                        w->ApplySettingChange(control);
                    };
                }
                dialog->LoadControls();
                dialog->exec();
            };
            auto shared = std::make_shared<decltype(show)>(std::move(show));
            w->Hooks.ShowConfigDialog = [shared] { (*shared)(); };
            Tupdate_form::ShowConfigDialog = [shared] { (*shared)(); };
            if (!PlayerFound(w->Configuration()->Text("program_dir"))) (*shared)();
        });
        CreateGuarded([&] { CreatePlayerBar(*mainWindow); });

        // The message loop; the program ends when the main window closes.
        mainWindow->show();
        // The windows not shown at start are made on the loop's first pass, once the main
        // window is on its way to the screen. The splash comes last, on top of them; it
        // frees itself when it closes, and a program that ends sooner (an update taken at
        // start) frees it here.
        QPointer<Tmp3splash_form> splash;
        QTimer::singleShot(0, mainWindow.get(), [&mainWindow, &chat, &splash] {
            CreateGuarded([&] {
                auto* list = new Tchannellist_form(mainWindow.get());
                if (chat) chat->ChannelList = list;
            });
            // The tips window shows itself unless switched off; the help button shows it
            // again.
            CreateGuarded([&] {
                auto* tips = new Ttip_form(mainWindow->Configuration(), mainWindow.get());
                mainWindow->Hooks.ShowTips = [tips] { tips->ShowTips(); };
            });
            CreateGuarded([&] { splash = new Tmp3splash_form(); });
        });
        // Run from a build tree, the program registers itself as the handler of "dialwise:"
        // links (installed, its package's desktop entry does); a link given to this start
        // is delivered as one from a later start would be.
        if (!platform::IsInstalled())
            urlprotocol::RegisterUrlProtocol(QApplication::applicationFilePath());
        if (!link.isEmpty()) mainWindow->OpenLocationLink(link);
        // The news window, docked as the news page, asks for the message at once and sends
        // the usage report when the main window closes.
        CreateGuarded([&] {
            auto* news = new Tmotd_form(mainWindow->Configuration(), mainWindow.get());
            news->hide();
            news->DockInto(mainWindow->PageTabs(), mainWindow->NewsTabCaption());
            mainWindow->Hooks.SendUsageReport = [news, &running, w = mainWindow.get()] {
                news->SendUsageReport(running.elapsed(), w->ActiveMilliseconds());
            };
        });
        instance.HoldRequests(false);
        // The program ends when the main window has closed.
        struct CloseWatcher : QObject
        {
            bool eventFilter(QObject* o, QEvent* e) override
            {
                if (e->type() == QEvent::Close && e->isAccepted())
                    QMetaObject::invokeMethod(qApp, &QApplication::quit, Qt::QueuedConnection);
                return false;
            }
        } watcher;
        mainWindow->installEventFilter(&watcher);
        StartMessageLoop();
        exitCode = app.exec();
        delete splash.data();
        mainWindow.reset();
        console.reset();
    } catch (const Tvm_form::TProgramExit& e) {
        exitCode = e.Code;
    }
    TRegistry::Flush();
    return exitCode;
}
