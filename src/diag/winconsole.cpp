#include "winconsole.h"
#include "debuglog.h"

#include <QApplication>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTabWidget>
#include <QTextEdit>
#include <QVBoxLayout>
#include <algorithm>

namespace {
TWinConsole* g_console = nullptr;

// Colour value 14205377 with red in the low byte.
QColor fromColorRef(int v)
{
    return QColor(v & 0xff, (v >> 8) & 0xff, (v >> 16) & 0xff);
}
} // namespace

TWinConsole* WinConsole()
{
    return g_console;
}

TWinConsole::TWinConsole(const QStringList& captions, QWidget* owner) : QWidget(owner, Qt::Tool)
{
    setObjectName("WinConsole");
    setWindowTitle("WinConsole");
    resize(805, 260);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, fromColorRef(14205377));
    setPalette(pal);
    setAutoFillBackground(true);

    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName("PageControl1");
    for (int i = 0; i < 3; ++i) {
        auto* memo = new QTextEdit;
        memo->setObjectName(QString("Memo%1").arg(i + 1));
        memo->setReadOnly(i > 0);
        memo->setAcceptRichText(false);
        memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        memo->setStyleSheet("QTextEdit { background: #0000a0; color: yellow; }");
        QFont f("Sans Serif", 8);
        memo->setFont(f);
        Memo[i] = memo;
        memo->setProperty("page", QString("Output%1").arg(i + 1));
        PageControl1->addTab(memo, captions.value(i, DebugChannelName(i + 1)));
    }

    Clear = new QPushButton("Clear", this);
    Clear->setObjectName("Clear");
    AutoSwitch = new QCheckBox("AutoSwitch", this);
    AutoSwitch->setObjectName("AutoSwitch");
    AutoSwitch->setChecked(true);
    PausedBox = new QCheckBox("Pause", this);
    PausedBox->setObjectName("PausedBox");
    Edit1 = new QLineEdit(this);
    Edit1->setObjectName("Edit1");
    Edit1->setStyleSheet("QLineEdit { background: #0000a0; color: yellow; }");
    Edit1->installEventFilter(this);

    auto* bar = new QHBoxLayout;
    bar->addWidget(Clear);
    bar->addWidget(AutoSwitch);
    bar->addWidget(PausedBox);
    bar->addStretch();
    auto* lay = new QVBoxLayout(this);
    lay->setContentsMargins(4, 4, 4, 4);
    lay->addLayout(bar);
    lay->addWidget(PageControl1, 1);
    lay->addWidget(Edit1);

    connect(Clear, &QPushButton::clicked, this, &TWinConsole::ClearClick);
    connect(PausedBox, &QCheckBox::clicked, this, &TWinConsole::PausedBoxClick);

    g_console = this;
    SetDebugSink([](const QString& text, int channel) {
        if (g_console) g_console->Log(text, channel);
    });
    show();
}

TWinConsole::~TWinConsole()
{
    // Lines written while the console goes away are dropped.
    if (g_console == this) {
        g_console = nullptr;
        SetDebugSink(nullptr);
    }
}

void TWinConsole::Log(const QString& text, int channel)
{
    const int i = DebugChannelIndex(channel);
    if (isHidden()) show();
    const QString line = ">" + text;
    if (PausedBox->isChecked()) {
        pending_[i].append(line);
    } else {
        QTextEdit* m = Memo[i];
        m->setUpdatesEnabled(false);
        m->append(line);
        m->setUpdatesEnabled(true);
        m->verticalScrollBar()->setValue(m->verticalScrollBar()->maximum());
    }
    if (AutoSwitch->isChecked() && !PausedBox->isChecked()) PageControl1->setCurrentIndex(i);
}

void TWinConsole::PausedBoxClick()
{
    paused_ = PausedBox->isChecked();
    for (int i = 0; i < 3; ++i) {
        for (const QString& l : pending_[i])
            Memo[i]->append(l);
        pending_[i].clear();
    }
}

void TWinConsole::ClearClick()
{
    if (auto* m = qobject_cast<QTextEdit*>(PageControl1->currentWidget())) m->clear();
}

void TWinConsole::AddCommandReceiver(ICommandReceiver* receiver)
{
    if (receiver) receivers_.push_back(receiver);
}

void TWinConsole::RemoveCommandReceiver(ICommandReceiver* receiver)
{
    receivers_.erase(std::remove(receivers_.begin(), receivers_.end(), receiver), receivers_.end());
}

void TWinConsole::SendCommand(const QString& text)
{
    // Split at every blank: consecutive blanks give empty words.
    const QStringList words = text.split(' ', Qt::KeepEmptyParts);
    const auto receivers = receivers_;
    for (ICommandReceiver* r : receivers)
        r->ExecuteCommand(words);
}

bool TWinConsole::eventFilter(QObject* o, QEvent* e)
{
    if (o == Edit1 && e->type() == QEvent::KeyPress) {
        auto* k = static_cast<QKeyEvent*>(e);
        if (k->key() == Qt::Key_Return || k->key() == Qt::Key_Enter) {
            lastCommand_ = Edit1->text();
            Edit1->clear();
            SendCommand(lastCommand_);
            return true;
        }
    } else if (o == Edit1 && e->type() == QEvent::KeyRelease) {
        // The key left of "1" brings the last command back.
        auto* k = static_cast<QKeyEvent*>(e);
        if (k->key() == Qt::Key_QuoteLeft || k->key() == Qt::Key_AsciiTilde) {
            Edit1->setText(lastCommand_);
            return true;
        }
    }
    return QWidget::eventFilter(o, e);
}

void TWinConsole::keyPressEvent(QKeyEvent* e)
{
    QApplication::beep();
    QWidget::keyPressEvent(e);
}

void TWinConsole::keyReleaseEvent(QKeyEvent* e)
{
    QApplication::beep();
    QWidget::keyReleaseEvent(e);
}
