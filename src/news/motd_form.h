#pragma once
// The news window: the message of the day in a read-only rich-text view, docked as the
// main window's "Dialwise News" page or standing alone. It sends the request when it is
// made and the usage report when the program ends.
#include "motd.h"

#include <QPointer>
#include <QUrl>
#include <QWidget>
#include <functional>

class QTabWidget;
class QTextBrowser;
class TConfig;

class Tmotd_form : public QWidget
{
    Q_OBJECT
public:
    explicit Tmotd_form(TConfig* config, QWidget* parent = nullptr);
    ~Tmotd_form() override;

    // Docks the window as a page of `pages` with `caption`; the page is remembered, and
    // closing the window stand-alone docks it back there.
    void DockInto(QTabWidget* pages, const QString& caption);
    bool Docked() const;
    // The "TIME" report: minutes since start and minutes not minimised.
    void SendUsageReport(qint64 totalMs, qint64 foregroundMs);
    void motd_textURLClick(const QUrl& url);
    // Shows a message as an answer would.
    void LoadMessage(const TMotdResponse& response);

    QTextBrowser* motd_text;
    TMotdClient* Client;
    // Whether a new message may bring the window to the front.
    bool MayShow = true;
    // Starts the updater; by default the updater window runs modally.
    std::function<void()> StartUpdater;
    // Answers from the user for the new-version question (mrYes starts the updater).
    void NewVersionAnnounced();

protected:
    void closeEvent(QCloseEvent* e) override;

private:
    TConfig* config_;
    QPointer<QTabWidget> lastHost_;
    QString caption_;
    bool asking_ = false; // the new-version question (and the updater it starts) is open
};

// The news window, program-wide (nullptr when there is none).
Tmotd_form* MotdForm();
