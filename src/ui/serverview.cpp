#include "serverview.h"

#include "config.h"
#include "customserver.h"
#include "platform.h"
#include "productprofile.h"
#include "registry.h"
#include "skins.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>
#include <algorithm>
#include <cmath>

namespace {

// Layout of the radio window's list: widths of the columns before the last, which fills
// the rest.
constexpr int DesignWidths[] = {325, 60, 70, 60, 75, 60};
constexpr int NameMinWidth = 250;
constexpr int PictureSize = 16;

const QColor FavoriteColor(0, 128, 0);
const QColor TooFastColor(255, 0, 0);
const QColor BarOutlineColor(192, 192, 192);

QByteArray LowerAsciiBytes(const QString& text)
{
    QByteArray b = text.toUtf8();
    for (char& c : b)
        if (c >= 'A' && c <= 'Z') c = char(c + ('a' - 'A'));
    return b;
}

// Draws up to a 16x16 picture at (x, y), cut at the cell's right edge.
void DrawPicture(QPainter* p, int index, int x, int y, const QRect& cell)
{
    const QList<QPixmap>& images = ListImages();
    if (index < 0 || index >= images.size()) return;
    const QPixmap& pic = images.at(index);
    const int w = std::min(int(pic.width()), cell.right() + 1 - x);
    if (w <= 0) return;
    p->drawPixmap(x, y, pic, 0, 0, w, pic.height());
}

// One line of text in [x, right), elided when it does not fit.
void DrawLine(QPainter* p, const QFontMetrics& fm, int x, int y, int right, int height,
              const QString& text)
{
    const int avail = right - x;
    if (avail <= 0 || text.isEmpty()) return;
    const QRect r(x, y, avail, height);
    const int flags = Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine | Qt::TextDontClip;
    if (fm.horizontalAdvance(text) <= avail)
        p->drawText(r, flags, text);
    else
        p->drawText(r, flags, fm.elidedText(text, Qt::ElideRight, avail));
}

QString ConfigKey()
{
    if (Config()) return Config()->ConfigKey();
    return Profile().RegistryKey + Profile().SubkeySuffix + QStringLiteral("\\config");
}

} // namespace

// ---------------------------------------------------------------------------------------

TServerItem::TServerItem(TServerView* view) : QTreeWidgetItem(ItemType), view_(view) {}

TServerItem::~TServerItem()
{
    if (view_) view_->forget(this);
}

bool TServerItem::operator<(const QTreeWidgetItem& other) const
{
    const TServerView* v = view_;
    if (!v || other.type() != ItemType) return QTreeWidgetItem::operator<(other);
    const auto& o = static_cast<const TServerItem&>(other);
    if (!Station || !o.Station) return QTreeWidgetItem::operator<(other);
    const int column = v->sortColumn();
    for (const TServerItem* it : {this, &o})
        if (it->KeyColumn != column) {
            it->Key = v->SortValue(*it->Station, it->text(column), column);
            it->KeyColumn = column;
        }
    return TServerView::CompareKeys(Key, o.Key) < 0;
}

// ---------------------------------------------------------------------------------------

TServerView::TServerView(QWidget* parent) : QTreeWidget(parent)
{
    setObjectName(QStringLiteral("serverview"));
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    // The style's focus frame would tint the whole current row; the cells draw a quieter
    // one themselves.
    setAllColumnsShowFocus(false);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSortingEnabled(false); // rows are sorted once, when an update is complete
    setItemDelegate(new TServerViewDelegate(this));

    QHeaderView* h = header();
    h->setMinimumSectionSize(0); // Basic style hides two columns at width 0
    h->setSectionsClickable(true);
    h->setSectionsMovable(false);
    h->setSortIndicatorShown(true);
    h->setHighlightSections(false);

    SetupColumns(TSCServer::Class(), 1);
    for (int i = 0; i < columnCount() && i < int(std::size(DesignWidths)); ++i)
        h->resizeSection(i, DesignWidths[i]);

    connect(h, &QHeaderView::sectionClicked, this, &TServerView::ColumnClick);
    connect(h, &QHeaderView::sectionResized, this, &TServerView::sectionResizedHandler);
    connect(selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &TServerView::selectionChangedHandler);
    connect(this, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item, int) {
        if (OnLaunch && Station(item)) OnLaunch();
    });

    LoadState();
}

TServerView::~TServerView()
{
    // The owner may be half destroyed already: no events from the rows going away.
    OnSelect = nullptr;
    OnLaunch = nullptr;
    IsFavorite = nullptr;
    Logo = nullptr;
    SaveState();
    ClearList();
}

void TServerView::SetupColumns(const TServerClass& cls, int interfaceStyle)
{
    const TColumnNames names = cls.ColumnNames();
    InterfaceStyle = interfaceStyle;
    PingColumn = PlayersColumn = BitrateColumn = UptimeColumn = AvgTimeColumn = -1;
    if (columnCount() != names.size()) setColumnCount(int(names.size()));
    QTreeWidgetItem* h = headerItem();
    for (int i = 0; i < names.size(); ++i) {
        switch (names[i].Kind) {
        case ckPing:
            PingColumn = i;
            break;
        case ckPlayers:
            PlayersColumn = i;
            break;
        case ckBitrate:
            BitrateColumn = i;
            break;
        case ckUptime:
            UptimeColumn = i;
            break;
        case ckAvgTime:
            AvgTimeColumn = i;
            break;
        default:
            break;
        }
        h->setText(i, names[i].Caption);
    }

    QHeaderView* hv = header();
    if (interfaceStyle == 1) {
        if (PingColumn >= 0) h->setText(PingColumn, QStringLiteral("Ping"));
        if (BitrateColumn >= 0) h->setText(BitrateColumn, QStringLiteral("Bit Rate"));
        if (UptimeColumn >= 0) {
            if (hv->sectionSize(UptimeColumn) == 0) hv->resizeSection(UptimeColumn, 60);
            h->setText(UptimeColumn, QStringLiteral("Uptime"));
        }
        hv->setStretchLastSection(true);
    } else {
        // The last column must be able to keep width 0.
        hv->setStretchLastSection(false);
        if (PingColumn >= 0) h->setText(PingColumn, QStringLiteral("Speed"));
        if (BitrateColumn >= 0) h->setText(BitrateColumn, QStringLiteral("Quality"));
        for (int c : {UptimeColumn, AvgTimeColumn})
            if (c >= 0) {
                hv->resizeSection(c, 0);
                h->setText(c, QString());
            }
    }
    for (int i = 0; i < topLevelItemCount(); ++i)
        if (auto* it = topLevelItem(i); it->type() == TServerItem::ItemType)
            static_cast<TServerItem*>(it)->KeyColumn = -1;
    viewport()->update();
    hv->viewport()->update();
}

// ---------------------------------------------------------------------------------------
// Rows

void TServerView::ClearList()
{
    const bool wasEnabled = updatesEnabled();
    setUpdatesEnabled(false);
    rows_.clear(); // the items free their stations as they go
    clear();
    setUpdatesEnabled(wasEnabled);
}

std::vector<std::unique_ptr<TCustomServer>> TServerView::TakeStations()
{
    std::vector<std::unique_ptr<TCustomServer>> out;
    out.reserve(size_t(topLevelItemCount()));
    for (int i = 0; i < topLevelItemCount(); ++i)
        if (auto* it = topLevelItem(i); it->type() == TServerItem::ItemType) {
            auto* row = static_cast<TServerItem*>(it);
            if (row->Station) out.push_back(std::move(row->Station));
        }
    ClearList();
    return out;
}

void TServerView::forget(TServerItem* item)
{
    if (!item->Station) return;
    auto it = rows_.find(item->Station.get());
    if (it != rows_.end() && it.value() == item) rows_.erase(it);
}

TCustomServer* TServerView::Station(const QTreeWidgetItem* item) const
{
    if (!item || item->type() != TServerItem::ItemType) return nullptr;
    return static_cast<const TServerItem*>(item)->Station.get();
}

QTreeWidgetItem* TServerView::ItemOf(const TCustomServer* station) const
{
    return rows_.value(station, nullptr);
}

QList<QTreeWidgetItem*> TServerView::SelectedRows() const
{
    QList<int> rows;
    for (const QItemSelectionRange& range : selectionModel()->selection())
        if (!range.parent().isValid())
            for (int r = range.top(); r <= range.bottom(); ++r)
                rows << r;
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    QList<QTreeWidgetItem*> out;
    out.reserve(rows.size());
    for (int r : rows)
        if (QTreeWidgetItem* it = topLevelItem(r)) out << it;
    return out;
}

QList<TCustomServer*> TServerView::SelectedStations() const
{
    QList<TCustomServer*> out;
    for (QTreeWidgetItem* it : SelectedRows())
        if (TCustomServer* s = Station(it)) out << s;
    return out;
}

TCustomServer* TServerView::CurrentStation() const
{
    QTreeWidgetItem* cur = currentItem();
    if (cur && cur->isSelected() && Station(cur)) return Station(cur);
    const QList<TCustomServer*> sel = SelectedStations();
    return sel.isEmpty() ? nullptr : sel.first();
}

QTreeWidgetItem* TServerView::AddServerItem(TCustomServer* station)
{
    if (!station) return nullptr;
    if (TServerItem* existing = rows_.value(station, nullptr)) return existing;
    auto* item = new TServerItem(this);
    item->Station.reset(station);
    rows_.insert(station, item);
    UpdateItem(item); // filled before it is shown: no change notifications per cell
    addTopLevelItem(item);
    return item;
}

void TServerView::UpdateItem(QTreeWidgetItem* item)
{
    TCustomServer* s = Station(item);
    if (!s) return;
    QStringList texts;
    texts.reserve(columnCount());
    s->GetColumns(texts);
    for (int i = 0; i < columnCount(); ++i) {
        const QString t = texts.value(i);
        if (item->text(i) != t) item->setText(i, t);
    }
    static_cast<TServerItem*>(item)->KeyColumn = -1;
}

QTreeWidgetItem* TServerView::StationDone(TCustomServer* station)
{
    if (!station) return nullptr;
    if (!station->Answered) station->Ping = 9999;
    if (TServerItem* row = rows_.value(station, nullptr)) {
        UpdateItem(row);
        return row;
    }
    return AddServerItem(station);
}

QTreeWidgetItem* TServerView::StationDone(std::unique_ptr<TCustomServer> station)
{
    return StationDone(station.release());
}

// ---------------------------------------------------------------------------------------
// Sorting

TServerSortKey TServerView::SortValue(const TCustomServer& s, const QString& cellText,
                                      int column) const
{
    TServerSortKey k;
    const auto* sc = dynamic_cast<const TSCServer*>(&s);
    if (column == BitrateColumn) {
        if (sc) k.N1 = sc->PlayerKind == 1 ? 2 * qint64(sc->Bitrate) : sc->Bitrate;
    } else if (column == AvgTimeColumn) {
        if (sc) k.N1 = sc->AvgTime;
    } else if (column == UptimeColumn) {
        if (sc) k.N1 = sc->UpSince;
    } else if (column == PingColumn) {
        k.N1 = StrToIntDef0(cellText);
    } else if (column == PlayersColumn) {
        const qsizetype slash = cellText.indexOf(QLatin1Char('/'));
        if (slash >= 0) {
            k.N1 = StrToIntDef0(QStringView(cellText).left(slash));
            k.N2 = StrToIntDef0(QStringView(cellText).mid(slash + 1));
        }
    } else {
        k.IsText = true;
        k.Text = LowerAsciiBytes(cellText);
    }
    return k;
}

int TServerView::CompareKeys(const TServerSortKey& a, const TServerSortKey& b)
{
    if (a.IsText || b.IsText) {
        const int c = a.Text.compare(b.Text);
        return (c > 0) - (c < 0);
    }
    if (a.N1 != b.N1) return a.N1 > b.N1 ? 1 : -1;
    if (a.N2 != b.N2) return a.N2 > b.N2 ? 1 : -1;
    return 0;
}

int TServerView::SortCompare(const TCustomServer& a, const TCustomServer& b, int listColumn,
                             const TServerView& cols)
{
    QStringList ta, tb;
    a.GetColumns(ta);
    b.GetColumns(tb);
    return CompareKeys(cols.SortValue(a, ta.value(listColumn), listColumn),
                       cols.SortValue(b, tb.value(listColumn), listColumn));
}

void TServerView::SortBy(int column, bool ascending)
{
    if (column < 0 || column >= columnCount()) return;
    sortColumn_ = column;
    ascending_ = ascending;
    // Every key once, so that the comparisons of the sort only compare.
    for (int i = 0; i < topLevelItemCount(); ++i) {
        QTreeWidgetItem* it = topLevelItem(i);
        if (it->type() != TServerItem::ItemType) continue;
        auto* row = static_cast<TServerItem*>(it);
        if (!row->Station) continue;
        row->Key = SortValue(*row->Station, row->text(column), column);
        row->KeyColumn = column;
    }
    sortItems(column, ascending ? Qt::AscendingOrder : Qt::DescendingOrder);
}

void TServerView::Resort()
{
    SortBy(sortColumn_, ascending_);
}

void TServerView::ColumnClick(int column)
{
    if (column < 0 || column >= columnCount()) return;
    SortBy(column, column == sortColumn_ ? !ascending_ : true);
    SaveState();
    platform::PostMessage(ScrollTarget ? ScrollTarget : this, platform::WM_USER + ScrollMessage);
}

static QTreeWidgetItem* FirstSelected(const TServerView* v)
{
    const QList<QTreeWidgetItem*> rows = v->SelectedRows();
    return rows.isEmpty() ? nullptr : rows.first();
}

void TServerView::ScrollToSelection()
{
    if (QTreeWidgetItem* it = FirstSelected(this))
        scrollToItem(it, QAbstractItemView::PositionAtTop);
}

void TServerView::ScrollSelectedIntoView()
{
    QTreeWidgetItem* it = FirstSelected(this);
    if (!it) return;
    if (visualItemRect(it).intersects(viewport()->rect())) return;
    scrollToItem(it, QAbstractItemView::EnsureVisible);
}

// ---------------------------------------------------------------------------------------
// Saved state

QString TServerView::ColumnsKey()
{
    return ConfigKey() + QStringLiteral("\\Columns");
}

QString TServerView::SortKey()
{
    return ConfigKey() + QStringLiteral("\\Sort");
}

void TServerView::LoadState()
{
    const QString sizes = TRegistry::ReadString(ColumnsKey(), QStringLiteral("Sizes"));
    if (!sizes.isEmpty()) {
        const QStringList parts = sizes.split(QLatin1Char(','));
        restoringWidths_ = true;
        for (int i = 0; i < columnCount() && i < parts.size(); ++i) {
            bool ok = false;
            int w = parts[i].trimmed().toInt(&ok);
            if (!ok || w < 0 || w > 10000) continue;
            if (i == 0) w = std::max(w, NameMinWidth);
            header()->resizeSection(i, w);
        }
        restoringWidths_ = false;
    }
    const QString asc = TRegistry::ReadString(SortKey(), QStringLiteral("Ascending"));
    ascending_ = asc.isEmpty() || StrToIntDef0(asc) != 0;
    int col = StrToIntDef0(TRegistry::ReadString(SortKey(), QStringLiteral("SortCol")));
    if (col <= 0 || col >= columnCount()) col = 1; // the name column is not restored
    sortColumn_ = col;
    header()->setSortIndicator(sortColumn_, ascending_ ? Qt::AscendingOrder : Qt::DescendingOrder);
}

void TServerView::SaveState() const
{
    QStringList widths;
    for (int i = 0; i < columnCount(); ++i)
        widths << QString::number(header()->sectionSize(i));
    TRegistry::WriteString(ColumnsKey(), QStringLiteral("Sizes"), widths.join(QLatin1Char(',')));
    TRegistry::WriteString(SortKey(), QStringLiteral("Ascending"),
                           ascending_ ? QStringLiteral("1") : QStringLiteral("0"));
    TRegistry::WriteString(SortKey(), QStringLiteral("SortCol"), QString::number(sortColumn_));
}

void TServerView::sectionResizedHandler(int logical, int, int newSize)
{
    if (logical == 0 && newSize < NameMinWidth && !restoringWidths_)
        header()->resizeSection(0, NameMinWidth);
}

// ---------------------------------------------------------------------------------------
// Events

void TServerView::selectionChangedHandler(const QItemSelection& selected, const QItemSelection&)
{
    if (!OnSelect) return;
    QTreeWidgetItem* cur = currentItem();
    if (cur && selected.contains(indexFromItem(cur))) {
        OnSelect(cur);
    } else if (!selected.isEmpty()) {
        OnSelect(topLevelItem(selected.last().bottom()));
    } else if (!selectionModel()->hasSelection()) {
        OnSelect(nullptr);
    }
}

bool TServerView::event(QEvent* e)
{
    if (e->type() == platform::MessageType(platform::WM_USER + ScrollMessage)) {
        ScrollToSelection();
        return true;
    }
    return QTreeWidget::event(e);
}

void TServerView::keyPressEvent(QKeyEvent* e)
{
    if ((e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) &&
        !(e->modifiers() & ~Qt::KeypadModifier)) {
        if (OnLaunch) OnLaunch();
        e->accept();
        return;
    }
    QTreeWidget::keyPressEvent(e);
}

void TServerView::changeEvent(QEvent* e)
{
    QTreeWidget::changeEvent(e);
    if (e->type() == QEvent::FontChange) {
        // Rows have one height: make the view measure the new one.
        setUniformRowHeights(false);
        setUniformRowHeights(true);
        scheduleDelayedItemsLayout();
    }
}

void TServerView::drawRow(QPainter* painter, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const
{
    QTreeWidget::drawRow(painter, option, index);
    const QHeaderView* h = header();
    const int last = h->logicalIndex(h->count() - 1);
    const int end = h->sectionViewportPosition(last) + h->sectionSize(last);
    if (end < viewport()->width() && Station(itemFromIndex(index))) {
        const QRect rest(end, option.rect.top(), viewport()->width() - end, option.rect.height());
        if (selectionModel()->isSelected(index))
            painter->fillRect(rest, option.palette.brush(QPalette::Highlight));
        else
            painter->fillRect(rest,
                              index.row() % 2 == 1 ? QColor(Qt::white) : Skin().Colors().AltLine);
    }
}

void TServerView::paintEvent(QPaintEvent* e)
{
    maxBitrate_ = MaxBitrate();
    QTreeWidget::paintEvent(e);
}

QPixmap TServerView::transparentLogo(const QPixmap& logo)
{
    if (logo.hasAlphaChannel()) return logo;
    const auto it = logos_.constFind(logo.cacheKey());
    if (it != logos_.constEnd()) return it.value();
    if (logos_.size() > 512) logos_.clear(); // a cache that hands out fresh copies
    QPixmap t = QPixmap::fromImage(MakeTransparent(logo.toImage(), QColor(255, 0, 255)));
    logos_.insert(logo.cacheKey(), t);
    return t;
}

// ---------------------------------------------------------------------------------------
// Rules of the cells

int TServerView::QualityBars(int bitrate)
{
    if (bitrate <= 28) return 1;
    if (bitrate <= 48) return 2;
    if (bitrate <= 112) return 3;
    return 4;
}

int TServerView::MaxBitrate()
{
    return Config() ? Config()->MaxBitrate() : TConfig::SpeedBitrate(-1);
}

int TServerView::PingPicture(const QString& cellText)
{
    bool ok = false;
    int n = cellText.toInt(&ok, 10);
    if (!ok) n = 9999;
    if (n <= 250) return 1;
    if (n <= 500) return 2;
    return 3;
}

int TServerView::PlayersPicture(int numPlayers, int maxPlayers)
{
    if (numPlayers == 0) return 4;
    if (numPlayers == maxPlayers) return 6;
    return 5;
}

int TServerView::SpeedLevel(int ping)
{
    return std::min(63, std::max(0, 63 - ping / 10));
}

TSpeedBar TServerView::SpeedBar(int ping, int left, int right, int top)
{
    TSpeedBar b;
    b.S = SpeedLevel(ping);
    const int l = left + 2;
    const int r = std::min(right - 2, left + 58);
    b.Width = r - l;
    // Nearest integer, halves to even (the default rounding mode).
    const int share = int(std::nearbyint(double(b.Width) * b.S / 64.0));
    b.Fill = QRect(l, top, std::max(1, share), 4);
    b.Color = SpeedRampColor(b.S);
    return b;
}

// ---------------------------------------------------------------------------------------

TServerViewDelegate::TServerViewDelegate(TServerView* view) : QStyledItemDelegate(view), view_(view)
{
}

QSize TServerViewDelegate::sizeHint(const QStyleOptionViewItem& option,
                                    const QModelIndex& index) const
{
    // One text line of the list's font; a row holds two.
    const int h = option.fontMetrics.height();
    if (view_->BaseItemHeight != h) view_->BaseItemHeight = h;
    const int w = option.fontMetrics.horizontalAdvance(index.data(Qt::DisplayRole).toString());
    return QSize(w + 8, 2 * view_->BaseItemHeight);
}

void TServerViewDelegate::paint(QPainter* p, const QStyleOptionViewItem& option,
                                const QModelIndex& index) const
{
    const QTreeWidgetItem* item = view_->itemFromIndex(index);
    const TCustomServer* s = view_->Station(item);
    QRect r = option.rect;
    if (!s) {
        QStyledItemDelegate::paint(p, option, index);
        return;
    }
    if (r.width() <= 0) return;
    const auto* sc = dynamic_cast<const TSCServer*>(s);
    const int column = index.column();
    const bool selected = option.state & QStyle::State_Selected;

    // Background: alternating lines from the skin, the system colours when selected.
    QColor textColor;
    if (selected) {
        const QPalette::ColorGroup cg =
            (option.state & QStyle::State_Active) ? QPalette::Active : QPalette::Inactive;
        p->fillRect(r, option.palette.brush(cg, QPalette::Highlight));
        textColor = option.palette.color(cg, QPalette::HighlightedText);
    } else if (index.row() % 2 == 1) {
        p->fillRect(r, Qt::white);
        textColor = Qt::black;
    } else {
        const TSkinColors& c = Skin().Colors();
        p->fillRect(r, c.AltLine);
        textColor = c.AltLineFont;
    }

    const int base =
        view_->BaseItemHeight > 0 ? view_->BaseItemHeight : option.fontMetrics.height();
    const QString text = item->text(column);
    p->setFont(option.font);

    if (column == 0) {
        paintName(p, option, *s, sc, text, r, selected, textColor);
        return;
    }

    // One line, centred in the two-line row.
    const int top = r.top() + base / 2;
    const int picY = top + (base - PictureSize) / 2;
    const int right = r.right() + 1;
    const quint8 kind = sc ? sc->PlayerKind : 0;
    const bool tooFast = sc && TServerView::TooFast(sc->Bitrate, view_->maxBitrate_);

    if (view_->InterfaceStyle == 1) {
        if (column == view_->BitrateColumn && tooFast) textColor = TooFastColor;
        p->setPen(textColor);
        if (column == view_->PlayersColumn && kind != 0) return;
        if (column == view_->PingColumn) {
            DrawPicture(p, TServerView::PingPicture(text), r.left(), picY, r);
            DrawLine(p, option.fontMetrics, r.left() + 20, top, right, base, text);
        } else if (column == view_->PlayersColumn) {
            DrawPicture(p, TServerView::PlayersPicture(s->NumPlayers, s->MaxPlayers), r.left(),
                        picY, r);
            DrawLine(p, option.fontMetrics, r.left() + 20, top, right, base, text);
        } else {
            DrawLine(p, option.fontMetrics, r.left() + 3, top, right, base, text);
        }
        return;
    }

    // Basic style: pictures only.
    if (column == view_->PingColumn) {
        const TSpeedBar bar = TServerView::SpeedBar(s->Ping, r.left(), right, top + 5);
        p->fillRect(bar.Fill, bar.Color);
        p->setPen(BarOutlineColor);
        p->setBrush(Qt::NoBrush);
        p->drawRect(bar.Fill.adjusted(-1, -1, 0, 0)); // one pixel around the filled part
    } else if (column == view_->PlayersColumn) {
        if (kind == 0)
            DrawPicture(p, TServerView::PlayersPicture(s->NumPlayers, s->MaxPlayers), r.left(),
                        picY, r);
    } else if (column == view_->BitrateColumn) {
        const int bars = TServerView::QualityBars(sc ? sc->Bitrate : 0);
        for (int i = 0; i < bars; ++i)
            DrawPicture(p, tooFast ? 9 : 8, r.left() + PictureSize * i, picY, r);
    } else if (column != view_->UptimeColumn && column != view_->AvgTimeColumn) {
        // A column of another server kind: its text.
        p->setPen(textColor);
        DrawLine(p, option.fontMetrics, r.left() + 3, top, right, base, text);
    }
}

void TServerViewDelegate::paintName(QPainter* p, const QStyleOptionViewItem& o,
                                    const TCustomServer& s, const TSCServer* sc,
                                    const QString& caption, QRect r, bool selected,
                                    QColor textColor) const
{
    if (!selected && view_->IsFavorite && view_->IsFavorite(&s)) textColor = FavoriteColor;
    const int base = view_->BaseItemHeight > 0 ? view_->BaseItemHeight : o.fontMetrics.height();
    const int right = r.right() + 1;

    if (sc && !sc->BNum.isEmpty() && view_->Logo) {
        const QPixmap logo = view_->Logo(sc->BNum);
        if (!logo.isNull()) {
            const QPixmap shown = view_->transparentLogo(logo);
            const int w = std::min(int(shown.width()), r.width());
            const int h = std::min(int(shown.height()), r.height());
            if (w > 0 && h > 0) p->drawPixmap(r.left(), r.top(), shown, 0, 0, w, h);
            r.setLeft(r.left() + shown.width());
        }
    }

    const int x = r.left() + 3;
    p->setPen(textColor);
    DrawLine(p, o.fontMetrics, x, r.top(), right, base, caption);
    if (!sc) return;

    const int y2 = r.top() + base;
    const QString genre = QStringLiteral(" [") + sc->Genre + QLatin1Char(']');
    if (sc->SongTitle.isEmpty()) {
        DrawLine(p, o.fontMetrics, x, y2, right, base, genre);
        return;
    }
    if (view_->fontBase_ != o.font) {
        view_->fontBase_ = o.font;
        view_->boldFont_ = o.font;
        view_->boldFont_.setBold(true);
        view_->boldMetrics_ = QFontMetrics(view_->boldFont_);
    }
    p->setFont(view_->boldFont_);
    const int avail = right - x;
    const int titleWidth = std::min(view_->boldMetrics_.horizontalAdvance(sc->SongTitle), avail);
    DrawLine(p, view_->boldMetrics_, x, y2, right, base, sc->SongTitle);
    p->setFont(o.font);
    DrawLine(p, o.fontMetrics, x + titleWidth, y2, right, base, genre);
}
