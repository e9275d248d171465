#include "smalldialogs.h"

#include "customserver.h"
#include "skins.h"
#include "stationpages.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSplitter>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

// The dialog frame: contents on the left, OK and Cancel on the right.
QHBoxLayout* dialogFrame(QDialog* d, const QString& caption)
{
    d->setWindowTitle(caption);
    d->setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                      Qt::WindowCloseButtonHint);
    d->setModal(true);
    auto* lay = new QHBoxLayout(d);
    lay->setContentsMargins(0, 0, 0, 0);
    lay->setSpacing(0);
    return lay;
}

void applyDialogSkin(QDialog* d, TDialogButtonPanel* panel)
{
    const TSkinColors& c = Skin().Colors();
    d->setStyleSheet(QString("QDialog { background: %1; } QGroupBox, QLabel { color: %2; }")
                         .arg(c.Primary.name(), c.PrimaryFont.name()));
    panel->setStyleSheet(QString("TDialogButtonPanel, QWidget#rightpanel { background: %1; } "
                                 "QLabel { color: %2; }")
                             .arg(c.Tertiary.name(), c.TertiaryFont.name()));
    d->setFont(QApplication::font());
}

// Enter in an edit presses OK and goes no further.
bool enterPressesOK(QEvent* e, TDialogButtonPanel* panel)
{
    if (e->type() != QEvent::KeyPress) return false;
    const int key = static_cast<QKeyEvent*>(e)->key();
    if (key != Qt::Key_Return && key != Qt::Key_Enter) return false;
    panel->OK->click();
    return true;
}

} // namespace

TDialogButtonPanel::TDialogButtonPanel(QDialog* dialog) : QWidget(dialog)
{
    setObjectName("rightpanel");
    setAttribute(Qt::WA_StyledBackground, true);
    auto* lay = new QVBoxLayout(this);
    lay->setContentsMargins(10, 12, 10, 12);
    OK = new QPushButton("OK", this);
    OK->setObjectName("OK");
    OK->setDefault(true);
    Cancel = new QPushButton("Cancel", this);
    Cancel->setObjectName("Cancel");
    lay->addWidget(OK);
    lay->addWidget(Cancel);
    lay->addStretch(1);
    connect(OK, &QPushButton::clicked, dialog, &QDialog::accept);
    connect(Cancel, &QPushButton::clicked, dialog, &QDialog::reject);
}

Taddgenre_form::Taddgenre_form(QWidget* parent) : QDialog(parent)
{
    setObjectName("addgenre_form");
    auto* lay = dialogFrame(this, "Add a Genre");
    auto* box = new QGroupBox(" Genre Name ", this);
    auto* bl = new QVBoxLayout(box);
    auto* note =
        new QLabel("Type the genre to add. Several genres can share one entry: separate them with "
                   "backslashes, for example Jazz\\Blues\\Soul.",
                   box);
    note->setWordWrap(true);
    genre = new QLineEdit(box);
    genre->setObjectName("genre");
    genre->installEventFilter(this);
    bl->addWidget(note);
    bl->addWidget(genre);
    auto* left = new QVBoxLayout;
    left->setContentsMargins(10, 10, 10, 10);
    left->addWidget(box);
    lay->addLayout(left, 1);
    rightpanel = new TDialogButtonPanel(this);
    lay->addWidget(rightpanel);
    setFixedSize(420, 150);
    setSkin();
    connect(&Skin(), &TSkin::reskinOthers, this, &Taddgenre_form::setSkin);
}

void Taddgenre_form::setSkin()
{
    applyDialogSkin(this, rightpanel);
}

bool Taddgenre_form::eventFilter(QObject* o, QEvent* e)
{
    if (o == genre && enterPressesOK(e, rightpanel)) return true;
    return QDialog::eventFilter(o, e);
}

Tmanualconnect_form::Tmanualconnect_form(QWidget* parent) : QDialog(parent)
{
    setObjectName("manualconnect_form");
    auto* lay = dialogFrame(this, "Manually Connect to a Server");
    auto* left = new QVBoxLayout;
    left->setContentsMargins(10, 10, 10, 10);
    auto* typeBox = new QGroupBox(" Server Type ", this);
    auto* tl = new QVBoxLayout(typeBox);
    servertype = new QComboBox(typeBox);
    servertype->setObjectName("servertype");
    servertype->addItems({"MP3", "Windows Audio"});
    servertype->setCurrentIndex(0);
    tl->addWidget(servertype);
    auto* urlBox = new QGroupBox(" Server URL ", this);
    auto* ul = new QVBoxLayout(urlBox);
    serverurl = new QLineEdit("http://", urlBox);
    serverurl->setObjectName("serverurl");
    serverurl->installEventFilter(this);
    ul->addWidget(serverurl);
    left->addWidget(typeBox);
    left->addWidget(urlBox);
    lay->addLayout(left, 1);
    rightpanel = new TDialogButtonPanel(this);
    lay->addWidget(rightpanel);
    setFixedSize(420, 170);
    setSkin();
}

void Tmanualconnect_form::setSkin()
{
    applyDialogSkin(this, rightpanel);
}

QString Tmanualconnect_form::StationLink() const
{
    return stationpages::StationLinkText(servertype->currentIndex() == 1, serverurl->text());
}

bool Tmanualconnect_form::eventFilter(QObject* o, QEvent* e)
{
    if (o == serverurl && enterPressesOK(e, rightpanel)) return true;
    return QDialog::eventFilter(o, e);
}

Tinfo_form::Tinfo_form(QWidget* parent) : QWidget(parent)
{
    setObjectName("info_form");
    setWindowTitle("Players / Rules");
    auto* lay = new QVBoxLayout(this);
    lay->setContentsMargins(0, 0, 0, 0);
    splitter = new QSplitter(Qt::Horizontal, this);
    playerview = new QTreeWidget(splitter);
    playerview->setObjectName("playerview");
    ruleview = new QTreeWidget(splitter);
    ruleview->setObjectName("ruleview");
    for (QTreeWidget* v : {playerview, ruleview}) {
        v->setRootIsDecorated(false);
        v->setUniformRowHeights(true);
        v->setSelectionMode(QAbstractItemView::SingleSelection);
    }
    ruleview->setHeaderLabels({"Rule", "Value"});
    ruleview->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    playerview->setHeaderLabels({});
    playerview->setColumnCount(0);
    splitter->addWidget(playerview);
    splitter->addWidget(ruleview);
    splitter->setStretchFactor(0, 1);
    splitter->setStretchFactor(1, 0);
    lay->addWidget(splitter);
}

void Tinfo_form::ShowServer(const TCustomServer* server)
{
    ruleview->clear();
    playerview->clear();
    if (!server) return;
    for (const TRule& r : server->InfoLines())
        new QTreeWidgetItem(ruleview, {r.Key, r.Value});
    const auto* game = dynamic_cast<const TGameServer*>(server);
    if (!game) {
        playerview->setColumnCount(0);
        return;
    }
    // Up to six columns, labelled from the server's player class.
    QStringList labels;
    for (const TColumnInfo& c : game->PlayerClass()->ColumnNames())
        if (labels.size() < 6) labels << c.Caption;
    playerview->setColumnCount(int(labels.size()));
    playerview->setHeaderLabels(labels);
    for (const auto& p : game->Players) {
        QStringList cols;
        p->GetColumns(cols);
        new QTreeWidgetItem(playerview, cols.mid(0, labels.size()));
    }
}

void Tinfo_form::ApplyColors(const QColor& window, const QColor& font)
{
    const QString css =
        QString("QTreeWidget { background: %1; color: %2; }").arg(window.name(), font.name());
    playerview->setStyleSheet(css);
    ruleview->setStyleSheet(css);
}

void Tinfo_form::closeEvent(QCloseEvent* e)
{
    // The window never closes: it stays docked in the main window's page area.
    e->ignore();
}

void Tinfo_form::changeEvent(QEvent* e)
{
    if (e->type() == QEvent::ActivationChange && isActiveWindow() && OnActivate) OnActivate();
    QWidget::changeEvent(e);
}
