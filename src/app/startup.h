#pragma once
// The program entry's steps, kept apart from main() so that each can be followed.
#include <QApplication>
#include <QString>
#include <functional>

class QObject;

// The application object. An error that escapes an event handler once the program runs
// is shown in the error box (caption the application title, the error's message) and on
// ErrOut, and the program goes on, as the platform's default error handler does.
class TDialwiseApplication : public QApplication
{
public:
    TDialwiseApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};
// "--version" or "--help" as the only argument is answered on standard output before any
// window or display is needed. Returns the exit code, or -1 when the program is to start.
int AnswerInfoOption(int argc, char** argv);

// Shows an error that no handler took: ErrOut and the error box.
void ReportUnhandledError(const QString& message);

// A live instance holds the marker: hands the request to it with `handOver` (true once
// taken). True when that instance ended meanwhile and this process took the marker over
// (it then starts); false when this start is to end.
bool HandOverOrTakeOver(const QString& atom, const std::function<bool()>& handOver);

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
