#pragma once
// The program entry's steps, kept apart from main() so that each can be followed.
#include <QString>

class QObject;

// Closes the main window when SIGTERM or SIGINT arrives, as its close button does.
void InstallTerminationHandler(QObject* owner);
// Call right before the message loop starts (after the windows are shown).
void StartMessageLoop();

// Runs a window's creation under the start-up error handler: an error is reported and
// start-up goes on with the next window.
template <class F> void CreateGuarded(F&& create);
void ReportStartupError(const QString& message);

template <class F> void CreateGuarded(F&& create)
{
    try {
        create();
    } catch (const std::exception& e) {
        ReportStartupError(QString::fromLocal8Bit(e.what()));
    }
}
