#pragma once
// Tdcc_form: the window of one file transfer with another chat user: the file, the
// status, the progress with speed and remaining time, and closing.
#include "chatmodule.h"
#include "dcctransfer.h"

#include <QWidget>

class QCheckBox;
class QLabel;
class QProgressBar;
class QPushButton;
class TChatModule;
class TIRCClient;

class Tdcc_form : public QWidget
{
    Q_OBJECT
public:
    explicit Tdcc_form(QWidget* owner = nullptr);
    ~Tdcc_form() override;

    // Offering a file to a nick: asks for the file, listens and sends the offer through
    // the client. False when nothing was offered (the window is closed again).
    bool OfferFile(TIRCClient* client, const QString& nick);
    // An offer received: shows the window and asks the user without waiting; on Yes the
    // save dialog, then receiving. Closing the window meanwhile declines.
    void ReceiveOffer(const TDccOffer& offer);
    void answered(int answer);
    bool Asking() const { return asking_; }

    // Bounds for what other users' offers may open at once.
    static constexpr int MaxOpenQuestions = 4;
    static constexpr int MaxOpenWindows = 12;
    static int OpenWindows();
    static int OpenQuestions();

    // After each block: the texts and the bar follow at most every ShowEveryMs (a block
    // takes far less than a screen refresh), and at once at the end.
    void UpdateProgress();
    void ShowProgress();
    static constexpr int ShowEveryMs = 100;
    void close_buttClick();

    TDccTransfer Transfer;
    QLabel* filelabel = nullptr;
    QLabel* status = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
    QLabel* speed = nullptr;
    QLabel* time = nullptr;
    QCheckBox* close_dcc = nullptr;
    QPushButton* close_butt = nullptr;
    qint64 LastTimeUpdate = 0;

protected:
    void closeEvent(QCloseEvent* e) override;

private:
    void finished();
    bool asking_ = false;
    class QTimer* showTimer_ = nullptr;
};

// Wires file transfers into the chat: offers from other users open a window, and the
// chat windows' send-file button and menu entry offer a file.
void InstallDccTransfers(TChatModule* module, QWidget* owner);
