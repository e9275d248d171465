#pragma once
// Message boxes and file dialogs behind the program's own functions. Tests answer them
// by script so that nothing modal blocks a headless run.
#include <QString>
#include <QStringList>
#include <functional>

class QObject;

class QWidget;

namespace platform {

enum TMsgDlgType
{
    mtWarning,
    mtError,
    mtInformation,
    mtConfirmation,
    mtCustom
};

// Buttons (a set), and the results a dialog returns.
enum TMsgDlgBtn : unsigned
{
    mbYes = 1u << 0,
    mbNo = 1u << 1,
    mbOK = 1u << 2,
    mbCancel = 1u << 3,
    mbAbort = 1u << 4,
    mbRetry = 1u << 5,
    mbIgnore = 1u << 6,
};
using TMsgDlgButtons = unsigned;
constexpr TMsgDlgButtons mbOKCancel = mbOK | mbCancel;
constexpr TMsgDlgButtons mbYesNo = mbYes | mbNo;
constexpr TMsgDlgButtons mbYesNoCancel = mbYes | mbNo | mbCancel;

enum TModalResult
{
    mrNone = 0,
    mrOk = 1,
    mrCancel = 2,
    mrAbort = 3,
    mrRetry = 4,
    mrIgnore = 5,
    mrYes = 6,
    mrNo = 7
};

struct DialogRequest
{
    enum Kind
    {
        Message,
        OpenFile,
        SaveFile,
        Input
    } kind = Message;
    QString caption;
    QString text; // message text, or the file dialog's start folder / input prompt
    TMsgDlgType type = mtInformation;
    TMsgDlgButtons buttons = mbOK;
    QString filter;      // file dialogs
    QString defaultText; // input dialogs
};

struct DialogAnswer
{
    int result = mrNone; // for messages; mrOk/mrCancel for the others
    QString text;        // chosen file name or typed text
};

// When set, every dialog is answered by this function instead of being shown.
using DialogScript = std::function<DialogAnswer(const DialogRequest&)>;
void SetDialogScript(DialogScript script);
// True when dialogs are answered without being shown (a script, or DIALWISE_DIALOGS): the
// program's own modal dialogs then ask through InputQuery so that nothing blocks.
bool DialogsScripted();
// Without a script, DIALWISE_DIALOGS=auto answers each message with its first button of
// OK, Yes, Retry, Ignore (DIALWISE_DIALOGS=cancel: with Cancel or No), file dialogs with
// the path in DIALWISE_DIALOG_FILE (with auto) or Cancel, and prints
// "dialog: [caption] text -> result" on standard error.

// A modal message box. Returns the button pressed (mrCancel when closed).
int MessageDlg(const QString& text, TMsgDlgType type, TMsgDlgButtons buttons,
               const QString& caption = {}, QWidget* parent = nullptr);
// Caption and buttons given as in the classic message-box call.
int MessageBox(const QString& text, const QString& caption, TMsgDlgButtons buttons,
               TMsgDlgType type = mtInformation, QWidget* parent = nullptr);

// Asks without waiting: the box shows and `done` gets the button pressed once the user
// answers (a scripted answer comes on a later pass of the loop). Nothing is called once
// `context` is gone; the box goes with `parent`.
void MessageDlgAsync(const QString& text, TMsgDlgType type, TMsgDlgButtons buttons,
                     const QString& caption, QWidget* parent, const QObject* context,
                     std::function<void(int)> done);

// File dialogs: the chosen path, or empty when cancelled. The filter is given as
// "Description|patterns|Description|patterns" (patterns separated by ";", "*.*" for all
// files) or in Qt's own form.
QString OpenFileDialog(const QString& caption, const QString& dir, const QString& filter,
                       QWidget* parent = nullptr);
QString SaveFileDialog(const QString& caption, const QString& dir, const QString& filter,
                       QWidget* parent = nullptr);
// A filter of the form "All Files (*.*)|*.*" in Qt's form ("All Files (*)"): each pair
// becomes "Description (patterns)", and "*.*" means every file.
QString QtFileFilter(const QString& filter);

// A one-line text query: the text, or empty with ok=false when cancelled.
QString InputQuery(const QString& caption, const QString& prompt, const QString& def, bool* ok,
                   QWidget* parent = nullptr);

} // namespace platform
