#pragma once
// Tchannellist_form: the server's answer to a LIST request, every channel with its user
// count and topic, sortable by any column, with totals in the status bar.
#include "chatmodule.h"

#include <QElapsedTimer>
#include <QWidget>

class QLabel;
class QProgressBar;
class QStatusBar;
class QToolButton;
class QTreeWidget;
class QTreeWidgetItem;

class Tchannellist_form : public QWidget, public TChannelListBase
{
    Q_OBJECT
public:
    explicit Tchannellist_form(QWidget* parent = nullptr);
    ~Tchannellist_form() override;

    // TChannelListBase.
    void StartListing() override;
    void AddChannel(const QString& name, int count, const QString& topic) override;
    void EndListing() override;
    void ApplyLook() override;
    void ShowList() override;

    void refresh_buttClick();
    void join_buttClick();
    void channelviewColumnClick(int column);
    // The totals text; unforced only when 500 ms have passed since the last one.
    void UpdateStatus(bool force);
    QString TotalsText() const;
    // Cells compare as numbers, then as dates or times, then as text without case.
    static bool CellLess(const QString& a, const QString& b);

    int ChannelCount = 0;
    int UserCount = 0;
    qint64 LastStatusUpdate = -1;
    int StatusUpdates = 0; // how often the totals text was written (for tests)

    QWidget* Panel1 = nullptr;
    QToolButton* refresh_butt = nullptr;
    QToolButton* join_butt = nullptr;
    QTreeWidget* channelview = nullptr;
    QStatusBar* statusbar = nullptr;
    QProgressBar* gauge = nullptr;
    QLabel* totals = nullptr;

private:
    void setGauge(bool on);
    QElapsedTimer clock_;
    int sortColumn_ = -1;
    bool ascending_ = true;
};

// The one channel list window; nullptr before it exists.
Tchannellist_form* channellist_form();
