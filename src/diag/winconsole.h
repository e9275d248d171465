#pragma once
// The developer's log window: three output pages and a command line.
#include <QStringList>
#include <QWidget>
#include <functional>
#include <vector>

class QCheckBox;
class QLineEdit;
class QPushButton;
class QTabWidget;
class QTextEdit;

// An object that receives typed commands as a list of words.
class ICommandReceiver
{
public:
    virtual ~ICommandReceiver() = default;
    virtual void ExecuteCommand(const QStringList& words) = 0;
};

class TWinConsole : public QWidget
{
    Q_OBJECT
public:
    // Creates the console with its three page captions; it shows itself at once and
    // becomes the target of DebugLog.
    TWinConsole(const QStringList& captions, QWidget* owner = nullptr);
    ~TWinConsole() override;

    void Log(const QString& text, int channel);
    void AddCommandReceiver(ICommandReceiver* receiver);
    void RemoveCommandReceiver(ICommandReceiver* receiver);
    void SendCommand(const QString& text);

    // Controls, named as in the window's design.
    QTabWidget* PageControl1;
    QTextEdit* Memo[3];
    QPushButton* Clear;
    QCheckBox* AutoSwitch;
    QCheckBox* PausedBox;
    QLineEdit* Edit1;

    QString LastCommand() const { return lastCommand_; }

    void ClearClick();
    void PausedBoxClick();

protected:
    bool eventFilter(QObject* o, QEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void keyReleaseEvent(QKeyEvent* e) override;

private:
    QStringList pending_[3];
    bool paused_ = false;
    std::vector<ICommandReceiver*> receivers_;
    QString lastCommand_;
};

// The one console, when the program was started in its debug mode.
TWinConsole* WinConsole();
