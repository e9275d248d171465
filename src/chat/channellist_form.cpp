#include "channellist_form.h"
#include "dialogs.h"
#include "skins.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QStatusBar>
#include <QStyle>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {
Tchannellist_form* g_list = nullptr;

class ChannelItem : public QTreeWidgetItem
{
public:
    using QTreeWidgetItem::QTreeWidgetItem;
    bool operator<(const QTreeWidgetItem& other) const override
    {
        const int col = treeWidget() ? treeWidget()->sortColumn() : 0;
        return Tchannellist_form::CellLess(text(col), other.text(col));
    }
};

bool readDate(const QString& s, QDateTime& out)
{
    const QString t = s.trimmed();
    if (t.isEmpty()) return false;
    for (const char* f : {"yyyy-MM-dd H:mm:ss", "yyyy-MM-dd", "H:mm:ss", "H:mm", "d.M.yyyy",
                          "M/d/yyyy", "M/d/yyyy h:mm:ss AP"}) {
        out = QDateTime::fromString(t, QString::fromLatin1(f));
        if (out.isValid()) return true;
        const QTime time = QTime::fromString(t, QString::fromLatin1(f));
        if (time.isValid()) {
            out = QDateTime(QDate(2000, 1, 1), time);
            return true;
        }
    }
    return false;
}
} // namespace

Tchannellist_form* channellist_form()
{
    return g_list;
}

bool Tchannellist_form::CellLess(const QString& a, const QString& b)
{
    bool okA = false, okB = false;
    const double na = a.trimmed().toDouble(&okA);
    const double nb = b.trimmed().toDouble(&okB);
    if (okA && okB) return na < nb;
    QDateTime da, db;
    if (readDate(a, da) && readDate(b, db)) return da < db;
    return a.compare(b, Qt::CaseInsensitive) < 0;
}

Tchannellist_form::Tchannellist_form(QWidget* parent) : QWidget(parent, Qt::Window)
{
    g_list = this;
    setObjectName("channellist_form");
    setWindowTitle("Channel List");
    resize(640, 420);
    clock_.start();
    auto* lay = new QVBoxLayout(this);
    lay->setContentsMargins(0, 0, 0, 0);
    lay->setSpacing(0);

    Panel1 = new QWidget(this);
    Panel1->setObjectName("Panel1");
    Panel1->setAutoFillBackground(true);
    auto* strip = new QHBoxLayout(Panel1);
    strip->setContentsMargins(4, 2, 4, 2);
    refresh_butt = new QToolButton(Panel1);
    refresh_butt->setObjectName("refresh_butt");
    refresh_butt->setText("Refresh");
    refresh_butt->setIcon(style()->standardIcon(QStyle::SP_BrowserReload));
    refresh_butt->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    refresh_butt->setAutoRaise(true);
    join_butt = new QToolButton(Panel1);
    join_butt->setObjectName("join_butt");
    join_butt->setText("Join");
    join_butt->setAutoRaise(true);
    strip->addWidget(refresh_butt);
    strip->addWidget(join_butt);
    strip->addStretch(1);
    lay->addWidget(Panel1);

    channelview = new QTreeWidget(this);
    channelview->setObjectName("channelview");
    channelview->setRootIsDecorated(false);
    channelview->setUniformRowHeights(true);
    channelview->setSelectionMode(QAbstractItemView::ExtendedSelection);
    channelview->setSelectionBehavior(QAbstractItemView::SelectRows);
    channelview->setEditTriggers(QAbstractItemView::NoEditTriggers);
    channelview->setHeaderLabels({"Channel Name", "Count", "Topic"});
    channelview->setColumnWidth(0, 250);
    channelview->setColumnWidth(1, 75);
    channelview->header()->setStretchLastSection(true);
    channelview->setSortingEnabled(false); // rows stay in arrival order until a click
    channelview->header()->setSortIndicatorShown(false);
    channelview->header()->setSectionsClickable(true);
    lay->addWidget(channelview, 1);

    statusbar = new QStatusBar(this);
    statusbar->setObjectName("statusbar");
    statusbar->setSizeGripEnabled(true);
    gauge = new QProgressBar(statusbar);
    gauge->setFixedWidth(100);
    gauge->setTextVisible(false);
    gauge->setMaximumHeight(14);
    totals = new QLabel(statusbar);
    totals->setMinimumWidth(250);
    statusbar->addWidget(gauge);
    statusbar->addWidget(totals);
    lay->addWidget(statusbar);
    setGauge(false);
    totals->setText(TotalsText());

    connect(refresh_butt, &QToolButton::clicked, this, &Tchannellist_form::refresh_buttClick);
    connect(join_butt, &QToolButton::clicked, this, &Tchannellist_form::join_buttClick);
    connect(channelview, &QTreeWidget::itemDoubleClicked, this,
            [this](QTreeWidgetItem*, int) { join_buttClick(); });
    connect(channelview->header(), &QHeaderView::sectionClicked, this,
            &Tchannellist_form::channelviewColumnClick);
    connect(&Skin(), &TSkin::reskinOthers, this, &Tchannellist_form::ApplyLook);
    ApplyLook();
}

Tchannellist_form::~Tchannellist_form()
{
    if (ChatModule() && ChatModule()->ChannelList == this) ChatModule()->ChannelList = nullptr;
    if (g_list == this) g_list = nullptr;
}

void Tchannellist_form::setGauge(bool on)
{
    // Indeterminate while a listing runs, empty when idle.
    gauge->setRange(0, on ? 0 : 1);
    gauge->setValue(0);
}

QString Tchannellist_form::TotalsText() const
{
    return QString::number(UserCount) + " users on " + QString::number(ChannelCount) + " channels";
}

void Tchannellist_form::UpdateStatus(bool force)
{
    const qint64 now = clock_.elapsed();
    if (!force && LastStatusUpdate >= 0 && now - LastStatusUpdate <= 500) return;
    LastStatusUpdate = now;
    ++StatusUpdates;
    totals->setText(TotalsText());
}

void Tchannellist_form::StartListing()
{
    ChannelCount = 0;
    UserCount = 0;
    channelview->setUpdatesEnabled(false);
    channelview->clear();
    channelview->setUpdatesEnabled(true);
    setGauge(true);
    UpdateStatus(true);
    statusbar->repaint();
}

void Tchannellist_form::AddChannel(const QString& name, int count, const QString& topic)
{
    auto* item = new ChannelItem(QStringList{name, QString::number(count), topic});
    item->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
    channelview->addTopLevelItem(item);
    UserCount += count;
    UpdateStatus(false);
    ChannelCount += 1;
    UpdateStatus(false);
}

void Tchannellist_form::EndListing()
{
    setGauge(false);
    UpdateStatus(true);
}

void Tchannellist_form::ApplyLook()
{
    const TSkinColors& c = Skin().Colors();
    QPalette p = palette();
    p.setColor(QPalette::Window, c.Primary);
    p.setColor(QPalette::WindowText, c.PrimaryFont);
    p.setColor(QPalette::Base, c.Primary);
    p.setColor(QPalette::AlternateBase, c.Primary.lighter(115));
    p.setColor(QPalette::Text, c.PrimaryFont);
    p.setColor(QPalette::Button, c.Primary);
    p.setColor(QPalette::ButtonText, c.PrimaryFont);
    setPalette(p);
    QPalette gp = gauge->palette();
    gp.setColor(QPalette::Highlight, c.PrimaryFont);
    gauge->setPalette(gp);
}

void Tchannellist_form::ShowList()
{
    show();
    raise();
    activateWindow();
}

void Tchannellist_form::refresh_buttClick()
{
    if (ChatModule()) ChatModule()->IRCClient1->List();
}

void Tchannellist_form::join_buttClick()
{
    const QList<QTreeWidgetItem*> sel = channelview->selectedItems();
    if (sel.isEmpty()) {
        platform::MessageDlg("You must select a channel to join first", platform::mtInformation,
                             platform::mbOK, {}, this);
        return;
    }
    // The first selected row in the view's order.
    QTreeWidgetItem* first = sel.front();
    for (QTreeWidgetItem* it : sel)
        if (channelview->indexOfTopLevelItem(it) < channelview->indexOfTopLevelItem(first))
            first = it;
    if (ChatModule()) ChatModule()->IRCClient1->Join(first->text(0));
    hide();
}

void Tchannellist_form::channelviewColumnClick(int column)
{
    ascending_ = column == sortColumn_ ? !ascending_ : true;
    sortColumn_ = column;
    const Qt::SortOrder order = ascending_ ? Qt::AscendingOrder : Qt::DescendingOrder;
    channelview->header()->setSortIndicatorShown(true);
    channelview->header()->setSortIndicator(column, order);
    channelview->sortItems(column, order);
}
