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
#include <utility>

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
// The model

TServerModel::TServerModel(QObject* parent) : QAbstractTableModel(parent)
{
    batch_.setSingleShot(true);
    batch_.setInterval(BatchMs);
    connect(&batch_, &QTimer::timeout, this, &TServerModel::Flush);
    release_.setInterval(0);
    connect(&release_, &QTimer::timeout, this, [this] {
        const size_t n = std::min(released_.size(), size_t(ReleaseSlice));
        released_.erase(released_.end() - qsizetype(n), released_.end());
        if (released_.empty()) release_.stop();
    });
}

int TServerModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : announced_;
}

int TServerModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(captions_.size());
}

const QStringList& TServerModel::texts(int row) const
{
    // Cells are drawn row by row: one GetColumns serves the whole row.
    if (textsRow_ != row) {
        texts_.clear();
        rows_[size_t(row)].Station->GetColumns(texts_);
        textsRow_ = row;
    }
    return texts_;
}

QVariant TServerModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= announced_) return {};
    if (role == Qt::DisplayRole) return texts(index.row()).value(index.column());
    return {};
}

QVariant TServerModel::headerData(int section, Qt::Orientation o, int role) const
{
    if (o == Qt::Horizontal && role == Qt::DisplayRole) return captions_.value(section);
    if (o == Qt::Horizontal && role == Qt::ToolTipRole && !tips_.value(section).isEmpty())
        return tips_.value(section);
    return {};
}

void TServerModel::SetHeaderTip(int column, const QString& tip)
{
    if (column < 0 || column > 64) return;
    if (tips_.size() <= column) tips_.resize(column + 1);
    tips_[column] = tip;
}

void TServerModel::SetCaptions(const QStringList& captions)
{
    if (captions.size() != captions_.size()) {
        beginResetModel();
        Flush();
        captions_ = captions;
        textsRow_ = -1;
        endResetModel();
        return;
    }
    captions_ = captions;
    if (!captions_.isEmpty()) emit headerDataChanged(Qt::Horizontal, 0, int(captions_.size()) - 1);
}

TCustomServer* TServerModel::Station(int row) const
{
    return row >= 0 && row < Count() ? rows_[size_t(row)].Station.get() : nullptr;
}

int TServerModel::RowOf(const TCustomServer* station) const
{
    if (!station) return -1;
    if (!rowOfValid_) {
        rowOf_.clear();
        rowOf_.reserve(Count());
        for (int i = 0; i < Count(); ++i)
            rowOf_.insert(rows_[size_t(i)].Station.get(), i);
        rowOfValid_ = true;
    }
    return rowOf_.value(station, -1);
}

void TServerModel::count(TRow& row)
{
    const bool answered = row.Station->Ping < 9999;
    answered_ += int(answered) - int(row.Answered);
    row.Answered = answered;
}

int TServerModel::Append(TServerRef station)
{
    const int row = Count();
    rows_.push_back(TRow{std::move(station), false});
    count(rows_.back());
    if (rowOfValid_) rowOf_.insert(rows_.back().Station.get(), row);
    if (!batch_.isActive()) batch_.start();
    return row;
}

void TServerModel::RowChanged(int row)
{
    if (row < 0 || row >= Count()) return;
    count(rows_[size_t(row)]);
    if (row == textsRow_) textsRow_ = -1;
    if (row >= announced_) return; // announced with its insertion
    changedFirst_ = changedFirst_ < 0 ? row : std::min(changedFirst_, row);
    changedLast_ = std::max(changedLast_, row);
    if (!batch_.isActive()) batch_.start();
}

void TServerModel::Flush()
{
    batch_.stop();
    if (changedFirst_ >= 0) {
        const int first = changedFirst_, last = changedLast_;
        changedFirst_ = changedLast_ = -1;
        emit dataChanged(index(first, 0), index(last, columnCount() - 1));
    }
    if (announced_ < Count()) {
        beginInsertRows({}, announced_, Count() - 1);
        announced_ = Count();
        endInsertRows();
    }
}

void TServerModel::Clear()
{
    beginResetModel();
    batch_.stop();
    // The rows go first, their stations after: a station freed here finds no row of it.
    std::vector<TRow> gone = std::move(rows_);
    rows_.clear();
    announced_ = 0;
    changedFirst_ = changedLast_ = -1;
    answered_ = 0;
    rowOf_.clear();
    rowOfValid_ = true;
    textsRow_ = -1;
    endResetModel();
    if (gone.size() >= size_t(ReleaseSlice)) {
        released_.reserve(released_.size() + gone.size());
        for (TRow& r : gone)
            if (r.Station) released_.push_back(std::move(r.Station));
        release_.start();
    }
}

std::vector<TServerRef> TServerModel::Take()
{
    std::vector<TServerRef> out;
    out.reserve(rows_.size());
    for (TRow& r : rows_)
        out.push_back(std::move(r.Station));
    Clear();
    return out;
}

void TServerModel::Reorder(const std::vector<int>& order)
{
    Flush();
    const int n = Count();
    if (int(order.size()) != n) return;
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    std::vector<int> newRow(static_cast<size_t>(n));
    std::vector<TRow> sorted;
    sorted.reserve(size_t(n));
    for (int i = 0; i < n; ++i) {
        newRow[size_t(order[size_t(i)])] = i;
        sorted.push_back(std::move(rows_[size_t(order[size_t(i)])]));
    }
    rows_ = std::move(sorted);
    rowOfValid_ = false;
    textsRow_ = -1;
    // The selection and the current row follow their stations.
    const QModelIndexList from = persistentIndexList();
    QModelIndexList to;
    to.reserve(from.size());
    for (const QModelIndex& i : from)
        to << index(newRow[size_t(i.row())], i.column());
    changePersistentIndexList(from, to);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

// ---------------------------------------------------------------------------------------

TServerView::TServerView(QWidget* parent) : QTreeView(parent), model_(new TServerModel(this))
{
    setObjectName(QStringLiteral("serverview"));
    setModel(model_);
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
    connect(this, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex& index) {
        if (OnLaunch && Station(index.row())) OnLaunch();
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
    QStringList h;
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
        h << names[i].Caption;
    }
    if (h.size() != model_->columnCount()) model_->SetCaptions(h);

    QHeaderView* hv = header();
    if (interfaceStyle == 1) {
        if (PingColumn >= 0) h[PingColumn] = QStringLiteral("Ping");
        if (BitrateColumn >= 0) h[BitrateColumn] = QStringLiteral("Bit Rate");
        if (UptimeColumn >= 0) {
            if (hv->sectionSize(UptimeColumn) == 0) hv->resizeSection(UptimeColumn, 60);
            h[UptimeColumn] = QStringLiteral("Uptime");
        }
        hv->setStretchLastSection(true);
    } else {
        // The last column must be able to keep width 0.
        hv->setStretchLastSection(false);
        if (PingColumn >= 0) h[PingColumn] = QStringLiteral("Speed");
        if (BitrateColumn >= 0) h[BitrateColumn] = QStringLiteral("Quality");
        for (int c : {UptimeColumn, AvgTimeColumn})
            if (c >= 0) {
                hv->resizeSection(c, 0);
                h[c] = QString();
            }
    }
    model_->SetCaptions(h);
    viewport()->update();
    hv->viewport()->update();
}

// ---------------------------------------------------------------------------------------
// Rows

void TServerView::ClearList()
{
    model_->Clear();
}

std::vector<TServerRef> TServerView::TakeStations()
{
    return model_->Take();
}

int TServerView::RowCount() const
{
    model_->Flush();
    return model_->Count();
}

TCustomServer* TServerView::Station(int row) const
{
    return model_->Station(row);
}

int TServerView::RowOf(const TCustomServer* station) const
{
    return model_->RowOf(station);
}

QList<int> TServerView::SelectedRows() const
{
    QList<int> rows;
    for (const QItemSelectionRange& range : selectionModel()->selection())
        if (!range.parent().isValid())
            for (int r = range.top(); r <= range.bottom(); ++r)
                rows << r;
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    return rows;
}

QList<TCustomServer*> TServerView::SelectedStations() const
{
    QList<TCustomServer*> out;
    for (int r : SelectedRows())
        if (TCustomServer* s = Station(r)) out << s;
    return out;
}

int TServerView::CurrentRow() const
{
    const QModelIndex cur = currentIndex();
    return cur.isValid() ? cur.row() : -1;
}

TCustomServer* TServerView::CurrentStation() const
{
    const QModelIndex cur = currentIndex();
    if (cur.isValid() && selectionModel()->isRowSelected(cur.row(), {}) && Station(cur.row()))
        return Station(cur.row());
    const QList<TCustomServer*> sel = SelectedStations();
    return sel.isEmpty() ? nullptr : sel.first();
}

void TServerView::SetCurrentRow(int row)
{
    model_->Flush();
    if (row < 0 || row >= model_->Count()) return;
    selectionModel()->setCurrentIndex(model_->index(row, 0), QItemSelectionModel::ClearAndSelect |
                                                                 QItemSelectionModel::Rows);
}

void TServerView::SetRowSelected(int row, bool selected)
{
    model_->Flush();
    if (row < 0 || row >= model_->Count()) return;
    selectionModel()->select(model_->index(row, 0), (selected ? QItemSelectionModel::Select
                                                              : QItemSelectionModel::Deselect) |
                                                        QItemSelectionModel::Rows);
}

void TServerView::selectAll()
{
    model_->Flush();
    QTreeView::selectAll();
}

QRect TServerView::RowRect(int row) const
{
    model_->Flush();
    const QRect first = visualRect(model_->index(row, 0));
    const QRect last = visualRect(model_->index(row, model_->columnCount() - 1));
    return first.united(last);
}

int TServerView::AddServerItem(TCustomServer* station)
{
    if (!station) return -1;
    const int existing = model_->RowOf(station);
    if (existing >= 0) return existing;
    return model_->Append(station->shared_from_this());
}

void TServerView::UpdateRow(int row)
{
    model_->RowChanged(row);
}

int TServerView::StationDone(TCustomServer* station)
{
    if (!station) return -1;
    if (!station->Answered) station->Ping = 9999;
    const int row = model_->RowOf(station);
    if (row >= 0) {
        model_->RowChanged(row);
        return row;
    }
    return AddServerItem(station);
}

int TServerView::StationDone(TServerRef station)
{
    return StationDone(station.get());
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

TServerSortKey TServerView::RowSortValue(const TCustomServer& s, int column) const
{
    // A station's cells are made from its fields: read those, without the texts.
    if (const auto* sc = dynamic_cast<const TSCServer*>(&s)) {
        TServerSortKey k;
        if (column == PingColumn) {
            k.N1 = sc->Ping;
            return k;
        }
        if (column == PlayersColumn) {
            k.N1 = sc->NumPlayers;
            k.N2 = sc->MaxPlayers;
            return k;
        }
        if (column == 0) {
            k.IsText = true;
            k.Text = LowerAsciiBytes(sc->Name);
            return k;
        }
        if (column == BitrateColumn || column == AvgTimeColumn || column == UptimeColumn)
            return SortValue(s, QString(), column);
    }
    QStringList texts;
    s.GetColumns(texts);
    return SortValue(s, texts.value(column), column);
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
    return CompareKeys(cols.RowSortValue(a, listColumn), cols.RowSortValue(b, listColumn));
}

namespace {

// A row's place in the sort: its key as an unsigned number whose order is the order
// wanted, and the row.
struct TRowKey
{
    quint64 Key;
    int Row;
};

// Stable sort by the low `bits` bits of the keys, eleven bits a pass: a list of many
// thousands sorts in a few passes over one array, without comparisons.
void RadixSort(std::vector<TRowKey>& v, int bits)
{
    constexpr int Digit = 11;
    std::vector<TRowKey> other(v.size());
    std::vector<size_t> count(size_t(1) << Digit);
    for (int shift = 0; shift < bits; shift += Digit) {
        std::fill(count.begin(), count.end(), 0);
        for (const TRowKey& k : v)
            ++count[(k.Key >> shift) & ((1u << Digit) - 1)];
        size_t sum = 0;
        for (size_t& c : count)
            sum += std::exchange(c, sum);
        for (const TRowKey& k : v)
            other[count[(k.Key >> shift) & ((1u << Digit) - 1)]++] = k;
        v.swap(other);
    }
}

int BitWidth(quint64 v)
{
    return v == 0 ? 0 : 64 - __builtin_clzll(v);
}

// The first eight bytes of a text as a number, in unsigned byte order.
quint64 TextPrefix(const QByteArray& text)
{
    quint64 v = 0;
    const int n = int(std::min<qsizetype>(8, text.size()));
    for (int i = 0; i < 8; ++i)
        v = (v << 8) | (i < n ? uchar(text[i]) : 0u);
    return v;
}

} // namespace

void TServerView::SortBy(int column, bool ascending)
{
    if (column < 0 || column >= columnCount()) return;
    sortColumn_ = column;
    ascending_ = ascending;
    header()->setSortIndicator(column, ascending ? Qt::AscendingOrder : Qt::DescendingOrder);
    // Every key once, so that the sort itself only moves numbers: a list of many
    // thousands is sorted in a few milliseconds.
    model_->Flush();
    const int n = model_->Count();
    std::vector<TServerSortKey> keys(static_cast<size_t>(n));
    bool text = false;
    qint64 min1 = 0, max1 = 0, min2 = 0, max2 = 0;
    for (int i = 0; i < n; ++i) {
        // The stations lie all over the heap: ask for the next ones early.
        if (i + 8 < n) __builtin_prefetch(model_->Station(i + 8));
        TServerSortKey& k = keys[size_t(i)];
        k = RowSortValue(*model_->Station(i), column);
        text |= k.IsText;
        min1 = i == 0 ? k.N1 : std::min(min1, k.N1);
        max1 = i == 0 ? k.N1 : std::max(max1, k.N1);
        min2 = i == 0 ? k.N2 : std::min(min2, k.N2);
        max2 = i == 0 ? k.N2 : std::max(max2, k.N2);
    }
    // Texts (a number among them counts as an empty text, as CompareKeys has it) by
    // their first bytes, then runs alike there by the whole text; numbers by both parts.
    const int bits2 = BitWidth(quint64(max2 - min2));
    const int bits = text ? 64 : BitWidth(quint64(max1 - min1)) + bits2;
    std::vector<TRowKey> order(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        const TServerSortKey& k = keys[size_t(i)];
        quint64 key = text         ? TextPrefix(k.Text)
                      : bits <= 64 ? (quint64(k.N1 - min1) << bits2) | quint64(k.N2 - min2)
                                   : 0;
        if (!ascending) key = bits >= 64 ? ~key : ~key & ((quint64(1) << bits) - 1);
        order[size_t(i)] = {key, i};
    }
    const auto compare = [&](const TRowKey& a, const TRowKey& b) {
        const int c = CompareKeys(keys[size_t(a.Row)], keys[size_t(b.Row)]);
        return ascending ? c < 0 : c > 0;
    };
    if (bits <= 64) {
        RadixSort(order, bits);
        if (text) {
            // Texts alike in their first eight bytes.
            for (size_t i = 0; i < order.size();) {
                size_t end = i + 1;
                while (end < order.size() && order[end].Key == order[i].Key)
                    ++end;
                if (end - i > 1) std::stable_sort(order.begin() + i, order.begin() + end, compare);
                i = end;
            }
        }
    } else {
        std::stable_sort(order.begin(), order.end(), compare); // numbers beyond 64 bits
    }
    std::vector<int> rows(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
        rows[size_t(i)] = order[size_t(i)].Row;
    model_->Reorder(rows);
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

void TServerView::ScrollToSelection()
{
    const QList<int> rows = SelectedRows();
    if (!rows.isEmpty()) scrollTo(model_->index(rows.first(), 0), QAbstractItemView::PositionAtTop);
}

void TServerView::ScrollSelectedIntoView()
{
    const QList<int> rows = SelectedRows();
    if (rows.isEmpty()) return;
    const QModelIndex first = model_->index(rows.first(), 0);
    if (visualRect(first).intersects(viewport()->rect())) return;
    scrollTo(first, QAbstractItemView::EnsureVisible);
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

void TServerView::selectionChangedHandler(const QItemSelection& selected,
                                          const QItemSelection& deselected)
{
    // The highlight beyond the last column is this view's own (drawRow): the rows that
    // changed are repainted whole, or the old highlight stays there.
    for (const QItemSelection* sel : {&selected, &deselected})
        for (const QItemSelectionRange& r : *sel) {
            const QRect top = visualRect(model()->index(r.top(), 0));
            const QRect bottom = visualRect(model()->index(r.bottom(), 0));
            if (top.isValid() || bottom.isValid())
                viewport()->update(QRect(0, (top.isValid() ? top : bottom).top(),
                                         viewport()->width(),
                                         (bottom.isValid() ? bottom : top).bottom() -
                                             (top.isValid() ? top : bottom).top() + 1));
        }
    emit itemSelectionChanged();
    if (!OnSelect) return;
    const QModelIndex cur = currentIndex();
    if (cur.isValid() && selected.contains(cur)) {
        OnSelect(Station(cur.row()));
    } else if (!selected.isEmpty()) {
        OnSelect(Station(selected.last().bottom()));
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
    return QTreeView::event(e);
}

void TServerView::keyPressEvent(QKeyEvent* e)
{
    if ((e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) &&
        !(e->modifiers() & ~Qt::KeypadModifier)) {
        if (OnLaunch) OnLaunch();
        e->accept();
        return;
    }
    // Home and End select the first and the last row, also when no row is selected (a
    // click below the last one) and the view's unselected current row is already there.
    if ((e->key() == Qt::Key_Home || e->key() == Qt::Key_End) && !e->modifiers() &&
        RowCount() > 0) {
        const int row = e->key() == Qt::Key_Home ? 0 : RowCount() - 1;
        SetCurrentRow(row);
        scrollTo(model()->index(row, 0));
        e->accept();
        return;
    }
    QTreeView::keyPressEvent(e);
}

void TServerView::changeEvent(QEvent* e)
{
    QTreeView::changeEvent(e);
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
    QTreeView::drawRow(painter, option, index);
    const QHeaderView* h = header();
    const int last = h->logicalIndex(h->count() - 1);
    const int end = h->sectionViewportPosition(last) + h->sectionSize(last);
    if (end < viewport()->width() && Station(index.row())) {
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
    QTreeView::paintEvent(e);
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
    const TCustomServer* s = view_->Station(index.row());
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
    const QString text = index.data(Qt::DisplayRole).toString();
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

    if (sc && view_->Logo) {
        const QPixmap logo = view_->Logo(*sc);
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
