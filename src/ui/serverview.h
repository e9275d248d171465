#pragma once
// The station list: an owner-drawn report view with two-line rows, one row per station,
// on a table model over the station objects (no item object per row).
//
// Ownership: the model holds a shared reference (TServerRef) to the station of every
// row. ClearList() drops them with the rows (those of a big list in slices, over the next
// passes of the event loop); TakeStations() removes every row and hands the references
// back (the favorites view keeps them aside). A station lives as long as a
// row, a list source in its cycle, or anyone else holds a reference to it.
//
// Columns come from the station class (SetupColumns); the special columns are found by
// their kind, never assumed. Drawing follows the interface style: Basic shows a speed bar
// and quality bars, Advanced shows numbers with ping and listener pictures.
//
// Rows arrive one station at a time during an update; the model announces them to the
// view in batches (one insertion notice and one change notice per batch), at the latest
// BatchMs after the first one. Every call of the view's own interface sees all rows.
//
// Sorting: a column click sorts (the same column again reverses), then posts
// WM_USER+2002 to ScrollTarget (the view itself when unset), whose handler calls
// ScrollToSelection(). Rows are never re-sorted on insert: the window calls Resort() once
// an update is complete. Sort column, direction and column widths are kept in the
// registry under the configuration key, subkeys "Sort" and "Columns" (LoadState() at
// creation, SaveState() at destruction and after each column click).
#include "customserver.h"

#include <QAbstractTableModel>
#include <QColor>
#include <QFont>
#include <QFontMetrics>
#include <QHash>
#include <QPixmap>
#include <QRect>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QTreeView>
#include <functional>
#include <memory>
#include <vector>

class TServerView;

// Sort value of one cell: two numbers (the listener column compares the second when the
// first ones are equal), or lower-cased text bytes.
struct TServerSortKey
{
    qint64 N1 = 0;
    qint64 N2 = 0;
    QByteArray Text;
    bool IsText = false;
};

// The rows of the station list.
class TServerModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    explicit TServerModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation o, int role) const override;

    void SetCaptions(const QStringList& captions);
    QString Caption(int column) const { return captions_.value(column); }
    // What the column's header says when the pointer rests on it (empty: nothing).
    void SetHeaderTip(int column, const QString& tip);

    // All rows, announced or not.
    int Count() const { return int(rows_.size()); }
    TCustomServer* Station(int row) const;
    const TServerRef& Ref(int row) const { return rows_[size_t(row)].Station; }
    // The row showing this station, or -1.
    int RowOf(const TCustomServer* station) const;
    // Appends a row (announced with the next batch); its index.
    int Append(TServerRef station);
    // A row's station has changed (announced with the next batch).
    void RowChanged(int row);
    // Announces the rows and changes of the batch now.
    void Flush();
    void Clear();
    std::vector<TServerRef> Take();
    // Reorders the rows: the row order[i] becomes row i (order holds every row once).
    // Selection and current row follow their stations.
    void Reorder(const std::vector<int>& order);

    // Rows whose station answered its last query (Ping below 9999), kept as rows come and
    // change.
    int AnsweredCount() const { return answered_; }

    // Longest wait before a batch is announced.
    static constexpr int BatchMs = 100;
    // Cleared rows of a list this long let go of their stations in slices of this many
    // per pass of the event loop (freeing a whole big list at once would hold it up).
    static constexpr int ReleaseSlice = 4000;
    // Stations of cleared rows not let go of yet.
    int PendingRelease() const { return int(released_.size()); }

private:
    struct TRow
    {
        TServerRef Station;
        bool Answered = false; // counted in answered_
    };
    void count(TRow& row);
    const QStringList& texts(int row) const;

    std::vector<TRow> rows_;
    int announced_ = 0; // rows the view knows of
    int changedFirst_ = -1;
    int changedLast_ = -1;
    int answered_ = 0;
    QStringList captions_;
    QStringList tips_;
    mutable QHash<const TCustomServer*, int> rowOf_; // rebuilt when the order changes
    mutable bool rowOfValid_ = true;
    mutable int textsRow_ = -1; // the row texts_ belong to
    mutable QStringList texts_;
    QTimer batch_;
    std::vector<TServerRef> released_;
    QTimer release_;
};

// The Basic style's speed bar of one cell.
struct TSpeedBar
{
    int S = 0;     // 0..63: position on the colour ramp and share of the full width
    int Width = 0; // full width available to the bar
    QRect Fill;    // the coloured part; its outline is Fill enlarged by one pixel
    QColor Color;  // ramp colour at S
};

class TServerView : public QTreeView
{
    Q_OBJECT
public:
    explicit TServerView(QWidget* parent = nullptr);
    ~TServerView() override;

    TServerModel* Model() const { return model_; }

    // Column setup for a server class and an interface style (0 Basic, 1 Advanced).
    void SetupColumns(const TServerClass& cls, int interfaceStyle);
    int columnCount() const { return model_->columnCount(); }
    QString HeaderText(int column) const { return model_->Caption(column); }
    int InterfaceStyle = 0;
    int PingColumn = -1;
    int PlayersColumn = -1;
    int BitrateColumn = -1;
    int UptimeColumn = -1;
    int AvgTimeColumn = -1;
    // Height of one text line; rows are twice as high. Learnt from the font.
    int BaseItemHeight = 0;

    // Drops every row and its reference to the station.
    void ClearList();
    // Removes every row; the stations in list order.
    std::vector<TServerRef> TakeStations();

    // Rows, in list order.
    int RowCount() const;
    TCustomServer* Station(int row) const;
    // The row showing this station, or -1.
    int RowOf(const TCustomServer* station) const;
    // Selected rows and their stations, in list order.
    QList<int> SelectedRows() const;
    QList<TCustomServer*> SelectedStations() const;
    // The current row's station when that row is selected, else the first selected one.
    TCustomServer* CurrentStation() const;
    int CurrentRow() const;
    // Makes a row current and the only selected one.
    void SetCurrentRow(int row);
    void SetRowSelected(int row, bool selected);
    QRect RowRect(int row) const;
    void selectAll() override;

    // A station's status has arrived: a station that did not answer gets Ping 9999; the
    // row showing it is updated, or a new row is appended (the list then holds a
    // reference). The row.
    int StationDone(TCustomServer* station);
    int StationDone(TServerRef station);
    // Appends a row for a station (a station already on a row keeps that row). An
    // override must create the row through this one.
    virtual int AddServerItem(TCustomServer* station);
    // Redraws a row from its station.
    void UpdateRow(int row);

    // Sorting. Column click: the current column reverses, another sorts ascending.
    void ColumnClick(int column);
    void SortBy(int column, bool ascending);
    void Resort();
    int SortColumn() const { return sortColumn_; }
    bool SortAscending() const { return ascending_; }
    // Scrolls so that the first selected row becomes the first visible one.
    void ScrollToSelection();
    // Scrolls the first selected row into view unless it is at least partly visible.
    void ScrollSelectedIntoView();
    // Receiver of WM_USER+2002 after a column click (nullptr: the view itself).
    QObject* ScrollTarget = nullptr;
    static constexpr int ScrollMessage = 2002; // WM_USER + 2002

    // Column widths and sort state in the registry.
    void LoadState();
    void SaveState() const;
    static QString ColumnsKey();
    static QString SortKey();

    // The window's favorites test (nullptr: no favourites).
    std::function<bool(const TCustomServer*)> IsFavorite;
    // A station's logo (TSCServer::StationLogo), or a null pixmap while it is not
    // available (nullptr: no logos). Magenta is drawn transparent in pictures without alpha.
    std::function<QPixmap(const TSCServer& station)> Logo;
    // A row became selected (the current row when it is among the new ones): its station;
    // nullptr when the selection became empty.
    std::function<void(TCustomServer* station)> OnSelect;
    // Double click on a row, or Enter.
    std::function<void()> OnLaunch;

    // The rules of the list, without a widget.
    // Sort value of a cell of list column `column` holding `cellText`.
    TServerSortKey SortValue(const TCustomServer& s, const QString& cellText, int column) const;
    // The same for a station's own cell in that column.
    TServerSortKey RowSortValue(const TCustomServer& s, int column) const;
    static int CompareKeys(const TServerSortKey& a, const TServerSortKey& b);
    // Result for ascending order (-1, 0, 1) of two stations by list column, with the
    // cell texts their GetColumns produce.
    static int SortCompare(const TCustomServer& a, const TCustomServer& b, int listColumn,
                           const TServerView& cols);
    // Quality bars of a bitrate: 1 up to 28, 2 up to 48, 3 up to 112, else 4.
    static int QualityBars(int bitrate);
    static bool TooFast(int bitrate, int maxBitrate) { return bitrate > maxBitrate; }
    // Maximum bitrate of the chosen connection (speedbox), 999 when none is chosen.
    static int MaxBitrate();
    // Picture index of a ping cell text: 1 up to 250, 2 up to 500, else 3 (not a number
    // counts as 9999).
    static int PingPicture(const QString& cellText);
    // Picture index of a listener count: 4 none, 6 full, else 5.
    static int PlayersPicture(int numPlayers, int maxPlayers);
    // Ramp position of a ping: 63 for 0, 0 from 630 on.
    static int SpeedLevel(int ping);
    // The bar of a cell spanning left..right (right exclusive) whose bar row starts at top.
    static TSpeedBar SpeedBar(int ping, int left, int right, int top);

signals:
    // The set of selected rows changed.
    void itemSelectionChanged();

protected:
    bool event(QEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void changeEvent(QEvent* e) override;
    void paintEvent(QPaintEvent* e) override;
    // Rows carry their background past the last column, so the list has no ragged edge.
    void drawRow(QPainter* painter, const QStyleOptionViewItem& option,
                 const QModelIndex& index) const override;

private:
    friend class TServerViewDelegate;
    void selectionChangedHandler(const QItemSelection& selected, const QItemSelection& deselected);
    void sectionResizedHandler(int logical, int oldSize, int newSize);
    // A logo with magenta made transparent, kept per source picture.
    QPixmap transparentLogo(const QPixmap& logo);

    TServerModel* model_ = nullptr;
    QHash<qint64, QPixmap> logos_;
    int sortColumn_ = 1;
    bool ascending_ = true;
    bool restoringWidths_ = false;
    // Per paint: the maximum bitrate of the chosen connection.
    int maxBitrate_ = 999;
    // Fonts of the second line.
    QFont fontBase_;
    QFont boldFont_;
    QFontMetrics boldMetrics_{QFont()};
};

// Draws the cells of the station list.
class TServerViewDelegate : public QStyledItemDelegate
{
    Q_OBJECT
public:
    explicit TServerViewDelegate(TServerView* view);
    void paint(QPainter* p, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

private:
    void paintName(QPainter* p, const QStyleOptionViewItem& o, const TCustomServer& s,
                   const TSCServer* sc, const QString& caption, QRect r, bool selected,
                   QColor textColor) const;
    TServerView* view_;
};
