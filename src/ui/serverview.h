#pragma once
// The station list: an owner-drawn report view with two-line rows, one row per station.
//
// Ownership: the rows own the stations they show. ClearList() frees them with the rows;
// TakeStations() removes every row and hands the stations back (the favorites view keeps
// them aside). A station handed to StationDone() belongs to the list from then on unless
// it already is on a row.
//
// Columns come from the station class (SetupColumns); the special columns are found by
// their kind, never assumed. Drawing follows the interface style: Basic shows a speed bar
// and quality bars, Advanced shows numbers with ping and listener pictures.
//
// Sorting: a column click sorts (the same column again reverses), then posts
// WM_USER+2002 to ScrollTarget (the view itself when unset), whose handler calls
// ScrollToSelection(). Rows are never re-sorted on insert: the window calls Resort() once
// an update is complete. Sort column, direction and column widths are kept in the
// registry under the configuration key, subkeys "Sort" and "Columns" (LoadState() at
// creation, SaveState() at destruction and after each column click).
#include <QByteArray>
#include <QColor>
#include <QFont>
#include <QFontMetrics>
#include <QHash>
#include <QPixmap>
#include <QPointer>
#include <QRect>
#include <QStyledItemDelegate>
#include <QTreeWidget>
#include <functional>
#include <memory>
#include <vector>

class TCustomServer;
class TSCServer;
struct TServerClass;
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

// One row: owns its station and caches the sort value of the current sort column.
class TServerItem : public QTreeWidgetItem
{
public:
    static constexpr int ItemType = QTreeWidgetItem::UserType + 1;
    explicit TServerItem(TServerView* view);
    ~TServerItem() override;
    bool operator<(const QTreeWidgetItem& other) const override;

    std::unique_ptr<TCustomServer> Station;
    mutable TServerSortKey Key;
    mutable int KeyColumn = -1; // column Key belongs to; -1 when stale

private:
    QPointer<TServerView> view_;
};

// The Basic style's speed bar of one cell.
struct TSpeedBar
{
    int S = 0;     // 0..63: position on the colour ramp and share of the full width
    int Width = 0; // full width available to the bar
    QRect Fill;    // the coloured part; its outline is Fill enlarged by one pixel
    QColor Color;  // ramp colour at S
};

class TServerView : public QTreeWidget
{
    Q_OBJECT
public:
    explicit TServerView(QWidget* parent = nullptr);
    ~TServerView() override;

    // Column setup for a server class and an interface style (0 Basic, 1 Advanced).
    void SetupColumns(const TServerClass& cls, int interfaceStyle);
    int InterfaceStyle = 0;
    int PingColumn = -1;
    int PlayersColumn = -1;
    int BitrateColumn = -1;
    int UptimeColumn = -1;
    int AvgTimeColumn = -1;
    // Height of one text line; rows are twice as high. Learnt from the font.
    int BaseItemHeight = 0;

    // Frees every row's station and removes the rows.
    void ClearList();
    // Removes every row without freeing; the stations in list order.
    std::vector<std::unique_ptr<TCustomServer>> TakeStations();

    TCustomServer* Station(const QTreeWidgetItem* item) const;
    // The row showing this station, or nullptr.
    QTreeWidgetItem* ItemOf(const TCustomServer* station) const;
    // Stations of the selected rows, in list order.
    QList<TCustomServer*> SelectedStations() const;
    // Selected rows, in list order.
    QList<QTreeWidgetItem*> SelectedRows() const;
    // The current row's station when that row is selected, else the first selected one.
    TCustomServer* CurrentStation() const;

    // A station's status has arrived: a station that did not answer gets Ping 9999; the
    // row showing it is updated, or a new row is appended (the list then owns the
    // station). Works for both refresh modes: a refreshed station is found on its row.
    QTreeWidgetItem* StationDone(TCustomServer* station);
    QTreeWidgetItem* StationDone(std::unique_ptr<TCustomServer> station);
    // Appends a row for a station, filled from it; the row takes ownership (a station
    // already on a row keeps that row). An override must create the row through this one.
    virtual QTreeWidgetItem* AddServerItem(TCustomServer* station);
    // Refills a row's texts from its station.
    void UpdateItem(QTreeWidgetItem* item);

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
    // A station logo by the station's BNum, or a null pixmap while it is not available
    // (nullptr: no logos). Magenta is drawn transparent.
    std::function<QPixmap(const QString& bnum)> Logo;
    // A row became selected (the current row when it is among the new ones); nullptr
    // when the selection became empty.
    std::function<void(QTreeWidgetItem* item)> OnSelect;
    // Double click on a row, or Enter.
    std::function<void()> OnLaunch;

    // The rules of the list, without a widget.
    // Sort value of a cell of list column `column` holding `cellText`.
    TServerSortKey SortValue(const TCustomServer& s, const QString& cellText, int column) const;
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
    friend class TServerItem;
    void forget(TServerItem* item);
    void selectionChangedHandler(const QItemSelection& selected, const QItemSelection&);
    void sectionResizedHandler(int logical, int oldSize, int newSize);
    // A logo with magenta made transparent, kept per source picture.
    QPixmap transparentLogo(const QPixmap& logo);

    QHash<const TCustomServer*, TServerItem*> rows_;
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
