#include "startup.h"
#include "datafolders.h"
#include "debuglog.h"
#include "dialogs.h"
#include "instance.h"
#include "platform.h"
#include "skins.h"
#include "vm_main.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QIcon>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <cstdio>

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int g_sigfd[2] = {-1, -1};
bool g_loopRunning = false;
bool g_quitPending = false;

void onSignal(int)
{
    const char c = 1;
    [[maybe_unused]] ssize_t n = ::write(g_sigfd[1], &c, 1);
}
} // namespace

void InstallTerminationHandler(QObject* owner)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_sigfd) != 0) return;
    auto* n = new QSocketNotifier(g_sigfd[0], QSocketNotifier::Read, owner);
    QObject::connect(n, &QSocketNotifier::activated, owner, [] {
        char c;
        [[maybe_unused]] ssize_t r = ::read(g_sigfd[0], &c, 1);
        // A desktop logout shuts down in order: the main window closes as by its button
        // (its close handlers run inside close()), then the loop ends.
        DebugLog("Termination signal: closing");
        if (Tvm_form* w = MainForm()) w->close();
        // Showing a window can process events before the loop runs; a quit then would
        // be lost, so it waits for the loop.
        if (g_loopRunning)
            QApplication::quit();
        else
            g_quitPending = true;
    });
    struct sigaction sa
    {
    };
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
}

void StartMessageLoop()
{
    QTimer::singleShot(0, [] {
        g_loopRunning = true;
        if (g_quitPending) QApplication::quit();
    });
}

TDialwiseApplication::TDialwiseApplication(int& argc, char** argv) : QApplication(argc, argv)
{
    // The desktop finds the program's entry, and with it the icon of its launchers: the
    // package's when installed, the one the program registers when run from a build tree.
    // The windows carry the small sizes of the same logo for task bars and window lists;
    // every window sends each size to the X server as it is made, so larger ones (and a
    // look-up in the icon theme) would only slow the start.
    QIcon icon;
    for (int size : {16, 32, 48, 64, 128}) {
        const QImage img = DecodePictureFile(QString(":/icons/%1.png").arg(size));
        if (!img.isNull()) icon.addPixmap(QPixmap::fromImage(img));
    }
    setWindowIcon(icon);
    setDesktopFileName(platform::IsInstalled() ? QStringLiteral("org.dialwise.Dialwise")
                                               : QStringLiteral("dialwise"));
}

bool TDialwiseApplication::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const Tvm_form::TProgramExit& e) {
        // The library check ends the program with its code, from the loop.
        QCoreApplication::exit(e.Code);
    } catch (const std::exception& e) {
        ReportUnhandledError(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        ReportUnhandledError(QStringLiteral("Unknown error"));
    }
    return true;
}

void ReportUnhandledError(const QString& message)
{
    DebugLog("Unhandled error: " + message, dcErrOut);
    QString text = message;
    if (!text.isEmpty() && !text.endsWith('.')) text += '.';
    platform::MessageBox(text, QApplication::applicationName(), platform::mbOK, platform::mtError);
}

bool HandOverOrTakeOver(const QString& atom, const std::function<bool()>& handOver)
{
    // Nothing is on screen yet in this process: waiting here keeps no window from
    // answering.
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 30000) {
        if (handOver()) return false;
        if (platform::TInstanceAtom::Add(atom)) return true;
        QThread::msleep(100);
    }
    std::fprintf(stderr, "Dialwise is running but does not answer; not starting it twice.\n");
    return false;
}

void ReportStartupError(const QString& message)
{
    // Before the main window exists, and with current list-view facilities, the error
    // is shown; an old library would send us through the main window's creation again,
    // which ends at the library check.
    if (!MainForm() ||
        platform::VersionNewer(platform::LibraryFileVersion("COMCTL32.DLL"), {4, 70, 0, 0})) {
        platform::MessageBox(QApplication::applicationName() +
                                 " encountered an error while starting: " + message,
                             "Error", platform::mbOK, platform::mtError);
    }
}

int AnswerInfoOption(int argc, char** argv)
{
    if (argc != 2) return -1;
    const QByteArray a(argv[1]);
    if (a == "--version") {
        std::printf("Dialwise %s\n", DW_VERSION);
        return 0;
    }
    if (a == "--help" || a == "-h") {
        std::printf("Usage: dialwise [LINK]\n"
                    "A browser for internet radio stations.\n\n"
                    "  LINK       a \"dialwise:\" link: played, added to the favorites or shown\n"
                    "             by the running Dialwise (started when none runs)\n"
                    "  --version  show the version and exit\n"
                    "  --help     show this help and exit\n\n"
                    "See dialwise(1) for the environment variables and files.\n");
        return 0;
    }
    return -1;
}
