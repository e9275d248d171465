#include "startup.h"
#include "debuglog.h"
#include "dialogs.h"
#include "platform.h"
#include "vm_main.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>

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
