#pragma once
// The browser main window shared by both products. The radio product's window,
// Tvmmp3_form, derives from it and overrides some of its virtual operations.
#include "winconsole.h"

#include <QElapsedTimer>
#include <QRect>
#include <QStringList>
#include <QWidget>
#include <memory>

class QLabel;
class QListWidget;
class QProgressBar;
class QSplitter;
class QStatusBar;
class QTabWidget;
class QTimer;
class QToolButton;
class QTreeWidget;
class QFrame;
class TConfig;
class TTitleImage;

class Tvm_form : public QWidget, public ICommandReceiver
{
    Q_OBJECT
public:
    explicit Tvm_form(QWidget* parent = nullptr);
    ~Tvm_form() override;

    // Thrown by the library check when the program must end with an exit code.
    struct TProgramExit
    {
        int Code;
    };

    // Virtual operations, in slot order.
    virtual void SetLinkButton(QToolButton* control, const QString& record);
    virtual void ApplySkin(bool reskinOthers);
    virtual void SetupColumns();
    virtual void RefreshFavorites();
    virtual void RequestBanner();
    virtual void UpdatesComplete();
    virtual void UpdateActions();

    // Console commands typed into the debug console.
    void ExecuteCommand(const QStringList& words) override;

    // Window frame handlers.
    void min_buttClick();
    void max_buttClick();
    void close_buttClick();
    void topimageMouseDown();
    void topimageDblClick();

    TConfig* Configuration() const { return config_.get(); }
    bool Shown() const { return shown_; }
    bool IsMaximized() const { return Maximized; }

    // Controls, named as in the window's design.
    QFrame* toppanel = nullptr;
    TTitleImage* leftimage = nullptr;
    TTitleImage* topimage = nullptr;
    TTitleImage* midimage = nullptr;
    TTitleImage* rightimage = nullptr;
    QToolButton* min_butt = nullptr;
    QToolButton* max_butt = nullptr;
    QToolButton* close_butt = nullptr;
    QFrame* leftpanel = nullptr;
    QToolButton* company_butt = nullptr;
    QToolButton* velmora_butt = nullptr;
    QToolButton* lb[5] = {};
    QListWidget* genrelist = nullptr;
    QToolButton* refresh_butt = nullptr;
    QToolButton* fav_butt = nullptr;
    QToolButton* configure_butt = nullptr;
    QToolButton* help_butt = nullptr;
    QFrame* buttonbar = nullptr;
    QLabel* linklabel = nullptr;
    QTreeWidget* serverview = nullptr;
    QStatusBar* statusbar2 = nullptr;
    QProgressBar* gauge = nullptr;
    QLabel* statuspanel[4] = {};
    QSplitter* splitter = nullptr;
    QTabWidget* pages = nullptr;
    QFrame* playerbox = nullptr;
    QLabel* bannerimg = nullptr;
    QTimer* repainttimer = nullptr;

protected:
    // Base creation steps (run by the derived window at its place in the order).
    void FormCreate();
    // First showing (runs once).
    virtual void FormShowFirst();
    void showEvent(QShowEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    bool event(QEvent* e) override;
    bool eventFilter(QObject* o, QEvent* e) override;

    void buildControls();
    void checkLibraries();
    void savePlacement();
    void restorePlacement();
    void showResourceWarning(bool atStart);

    std::unique_ptr<TConfig> config_;
    bool shown_ = false;
    bool Maximized = false;
    QRect RestoreRect;
    int FindIndex = -1;
    bool Updating = false;
    bool RefreshSelectedMode = false;
    QStringList Favorites;
    QString FavoritesFile;
    qint64 StartTick = 0;
    qint64 RestoreTick = 0;
    qint64 ActiveTime = 0;
    QElapsedTimer clock_;
};

// The main window, program-wide.
Tvm_form* MainForm();
