#include "dialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

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

namespace {
struct ButtonMap
{
    unsigned flag;
    QMessageBox::StandardButton sb;
    int result;
};
const ButtonMap kButtons[] = {{mbYes, QMessageBox::Yes, mrYes},
                              {mbNo, QMessageBox::No, mrNo},
                              {mbOK, QMessageBox::Ok, mrOk},
                              {mbCancel, QMessageBox::Cancel, mrCancel},
                              {mbAbort, QMessageBox::Abort, mrAbort},
                              {mbRetry, QMessageBox::Retry, mrRetry},
                              {mbIgnore, QMessageBox::Ignore, mrIgnore}};

DialogRequest messageRequest(const QString& text, TMsgDlgType type, TMsgDlgButtons buttons,
                             const QString& caption)
{
    DialogRequest r;
    r.kind = DialogRequest::Message;
    r.caption = caption.isEmpty() ? defaultCaption(type) : caption;
    r.text = text;
    r.type = type;
    r.buttons = buttons;
    return r;
}

// On the heap: a parent that goes while the box is open takes the box with it, which a
// box on the stack would not survive.
QMessageBox* makeBox(const DialogRequest& r, QWidget* parent)
{
    auto* box = new QMessageBox(parent);
    box->setWindowTitle(r.caption);
    // Plain text always: a text may carry what others sent (a file name, a nick).
    box->setTextFormat(Qt::PlainText);
    // Message texts use CR (and CRLF) as line breaks.
    QString shown = r.text;
    shown.replace("\r\n", "\n").replace('\r', '\n');
    box->setText(shown);
    switch (r.type) {
    case mtWarning:
        box->setIcon(QMessageBox::Warning);
        break;
    case mtError:
        box->setIcon(QMessageBox::Critical);
        break;
    case mtInformation:
        box->setIcon(QMessageBox::Information);
        break;
    case mtConfirmation:
        box->setIcon(QMessageBox::Question);
        break;
    default:
        box->setIcon(QMessageBox::NoIcon);
        break;
    }
    QMessageBox::StandardButtons sbs;
    for (const ButtonMap& b : kButtons)
        if (r.buttons & b.flag) sbs |= b.sb;
    if (!sbs) sbs = QMessageBox::Ok;
    box->setStandardButtons(sbs);
    box->setWindowFlag(Qt::WindowStaysOnTopHint);
    return box;
}

int resultOf(int button)
{
    for (const ButtonMap& b : kButtons)
        if (button == b.sb) return b.result;
    return mrCancel;
}
} // namespace

int MessageDlg(const QString& text, TMsgDlgType type, TMsgDlgButtons buttons,
               const QString& caption, QWidget* parent)
{
    const DialogRequest r = messageRequest(text, type, buttons, caption);
    DialogAnswer a;
    if (scripted(r, a)) return a.result;
    QPointer<QMessageBox> box = makeBox(r, parent);
    const int ret = box->exec();
    if (!box) return mrCancel; // its parent went meanwhile
    delete box;
    return resultOf(ret);
}

void MessageDlgAsync(const QString& text, TMsgDlgType type, TMsgDlgButtons buttons,
                     const QString& caption, QWidget* parent, const QObject* context,
                     std::function<void(int)> done)
{
    const DialogRequest r = messageRequest(text, type, buttons, caption);
    DialogAnswer a;
    if (scripted(r, a)) {
        const int result = a.result;
        QTimer::singleShot(0, context, [done = std::move(done), result] {
            if (done) done(result);
        });
        return;
    }
    QMessageBox* box = makeBox(r, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(box, &QDialog::finished, context, [done = std::move(done)](int ret) {
        if (done) done(resultOf(ret));
    });
    box->open();
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
    // On the heap, as message boxes are; the filter in Qt's form so that files show.
    QPointer<QFileDialog> dialog = new QFileDialog(parent, caption, dir, QtFileFilter(filter));
    if (save) {
        dialog->setAcceptMode(QFileDialog::AcceptSave);
        dialog->setFileMode(QFileDialog::AnyFile);
    } else {
        dialog->setFileMode(QFileDialog::ExistingFile);
    }
    const int ret = dialog->exec();
    if (!dialog) return {};
    const QStringList files = dialog->selectedFiles();
    delete dialog;
    return ret == QDialog::Accepted ? files.value(0) : QString();
}

QString QtFileFilter(const QString& filter)
{
    if (!filter.contains(u'|')) return filter;
    const QStringList parts = filter.split(u'|');
    QStringList out;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString desc = parts[i].trimmed();
        // The description's own "(...)" goes: Qt reads the patterns from the parentheses.
        if (desc.endsWith(u')') && desc.contains(u'('))
            desc = desc.left(desc.lastIndexOf(u'(')).trimmed();
        QStringList patterns;
        for (QString p : parts[i + 1].split(u';', Qt::SkipEmptyParts)) {
            p = p.trimmed();
            if (p == u"*.*") p = QStringLiteral("*");
            if (!p.isEmpty() && !patterns.contains(p)) patterns << p;
        }
        if (patterns.isEmpty()) patterns << QStringLiteral("*");
        out << (desc.isEmpty() ? QString() : desc + u' ') + u'(' + patterns.join(u' ') + u')';
    }
    // An odd part at the end (a description without patterns) is ignored.
    return out.isEmpty() ? QStringLiteral("All Files (*)") : out.join(QStringLiteral(";;"));
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
