#include "dialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>

#include <cstdio>

namespace platform {

namespace {
DialogScript g_script;

// DIALWISE_DIALOGS=auto answers with the first of OK, Yes, Retry, Ignore, No, Cancel, and
// file dialogs with the path in DIALWISE_DIALOG_FILE when that is set;
// DIALWISE_DIALOGS=cancel prefers Cancel (then No).
QString autoMode()
{
    return qEnvironmentVariable("DIALWISE_DIALOGS");
}
bool autoAnswer()
{
    return autoMode() == "auto" || autoMode() == "cancel";
}

DialogAnswer automatic(const DialogRequest& r)
{
    DialogAnswer a;
    if (r.kind == DialogRequest::Message) {
        static const std::pair<unsigned, int> order[] = {
            {mbOK, mrOk}, {mbYes, mrYes},       {mbRetry, mrRetry}, {mbIgnore, mrIgnore},
            {mbNo, mrNo}, {mbCancel, mrCancel}, {mbAbort, mrAbort}};
        a.result = mrCancel;
        if (autoMode() == "cancel" && (r.buttons & (mbCancel | mbNo)))
            a.result = (r.buttons & mbCancel) ? mrCancel : mrNo;
        else
            for (auto [b, res] : order)
                if (r.buttons & b) {
                    a.result = res;
                    break;
                }
    } else if (r.kind == DialogRequest::Input) {
        a.result = mrOk;
        a.text = r.defaultText;
    } else if (const QString file = qEnvironmentVariable("DIALWISE_DIALOG_FILE");
               !file.isEmpty() && autoMode() == "auto") {
        a.result = mrOk;
        a.text = file;
    } else {
        a.result = mrCancel;
    }
    std::fprintf(stderr, "dialog: [%s] %s -> %d\n", qPrintable(r.caption),
                 qPrintable(QString(r.text).replace('\r', ' ')), a.result);
    return a;
}

bool scripted(const DialogRequest& r, DialogAnswer& a)
{
    if (g_script) {
        a = g_script(r);
        return true;
    }
    if (autoAnswer()) {
        a = automatic(r);
        return true;
    }
    return false;
}

QString defaultCaption(TMsgDlgType t)
{
    switch (t) {
    case mtWarning:
        return QStringLiteral("Warning");
    case mtError:
        return QStringLiteral("Error");
    case mtInformation:
        return QStringLiteral("Information");
    case mtConfirmation:
        return QStringLiteral("Confirm");
    default:
        return QApplication::applicationName();
    }
}
} // namespace

bool DialogsScripted()
{
    return bool(g_script) || autoAnswer();
}

void SetDialogScript(DialogScript script)
{
    g_script = std::move(script);
}

int MessageDlg(const QString& text, TMsgDlgType type, TMsgDlgButtons buttons,
               const QString& caption, QWidget* parent)
{
    DialogRequest r;
    r.kind = DialogRequest::Message;
    r.caption = caption.isEmpty() ? defaultCaption(type) : caption;
    r.text = text;
    r.type = type;
    r.buttons = buttons;
    DialogAnswer a;
    if (scripted(r, a)) return a.result;

    QMessageBox box(parent);
    box.setWindowTitle(r.caption);
    // Message texts use CR (and CRLF) as line breaks.
    QString shown = text;
    shown.replace("\r\n", "\n").replace('\r', '\n');
    box.setText(shown);
    switch (type) {
    case mtWarning:
        box.setIcon(QMessageBox::Warning);
        break;
    case mtError:
        box.setIcon(QMessageBox::Critical);
        break;
    case mtInformation:
        box.setIcon(QMessageBox::Information);
        break;
    case mtConfirmation:
        box.setIcon(QMessageBox::Question);
        break;
    default:
        box.setIcon(QMessageBox::NoIcon);
        break;
    }
    struct B
    {
        unsigned flag;
        QMessageBox::StandardButton sb;
        int result;
    };
    static const B map[] = {{mbYes, QMessageBox::Yes, mrYes},
                            {mbNo, QMessageBox::No, mrNo},
                            {mbOK, QMessageBox::Ok, mrOk},
                            {mbCancel, QMessageBox::Cancel, mrCancel},
                            {mbAbort, QMessageBox::Abort, mrAbort},
                            {mbRetry, QMessageBox::Retry, mrRetry},
                            {mbIgnore, QMessageBox::Ignore, mrIgnore}};
    QMessageBox::StandardButtons sbs;
    for (const B& b : map)
        if (buttons & b.flag) sbs |= b.sb;
    if (!sbs) sbs = QMessageBox::Ok;
    box.setStandardButtons(sbs);
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    const int ret = box.exec();
    for (const B& b : map)
        if (ret == b.sb) return b.result;
    return mrCancel;
}

int MessageBox(const QString& text, const QString& caption, TMsgDlgButtons buttons,
               TMsgDlgType type, QWidget* parent)
{
    return MessageDlg(text, type, buttons, caption, parent);
}

static QString fileDialog(bool save, const QString& caption, const QString& dir,
                          const QString& filter, QWidget* parent)
{
    DialogRequest r;
    r.kind = save ? DialogRequest::SaveFile : DialogRequest::OpenFile;
    r.caption = caption;
    r.text = dir;
    r.filter = filter;
    DialogAnswer a;
    if (scripted(r, a)) return a.result == mrOk ? a.text : QString();
    return save ? QFileDialog::getSaveFileName(parent, caption, dir, filter)
                : QFileDialog::getOpenFileName(parent, caption, dir, filter);
}

QString OpenFileDialog(const QString& caption, const QString& dir, const QString& filter,
                       QWidget* parent)
{
    return fileDialog(false, caption, dir, filter, parent);
}

QString SaveFileDialog(const QString& caption, const QString& dir, const QString& filter,
                       QWidget* parent)
{
    return fileDialog(true, caption, dir, filter, parent);
}

QString InputQuery(const QString& caption, const QString& prompt, const QString& def, bool* ok,
                   QWidget* parent)
{
    DialogRequest r;
    r.kind = DialogRequest::Input;
    r.caption = caption;
    r.text = prompt;
    r.defaultText = def;
    DialogAnswer a;
    if (scripted(r, a)) {
        if (ok) *ok = a.result == mrOk;
        return a.result == mrOk ? a.text : QString();
    }
    bool accepted = false;
    const QString t =
        QInputDialog::getText(parent, caption, prompt, QLineEdit::Normal, def, &accepted);
    if (ok) *ok = accepted;
    return accepted ? t : QString();
}

} // namespace platform
