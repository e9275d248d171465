#pragma once
// The updater window: lists the download locations that the message of the day pushed
// into the program's key, pings each, downloads the new version by FTP or HTTP into its
// own folder, checks its signature, opens it through the desktop and ends the program.
#include "updatecore.h"
#include "updatedownload.h"

#include <QDialog>
#include <QElapsedTimer>
#include <functional>
#include <memory>

class QLabel;
class QListWidget;
class QProgressBar;
class QPushButton;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;

class Tupdate_form : public QDialog
{
    Q_OBJECT
public:
    // `registryKey`: the program's key; empty means the first command-line argument.
    explicit Tupdate_form(const QString& registryKey, QWidget* parent = nullptr);
    ~Tupdate_form() override;

    // Ends the program with an exit code (the default leaves the message loop); tests
    // replace it.
    static std::function<void(int code)> EndProgram;
    // What the "Configure" button opens (nothing when unset).
    static std::function<void()> ShowConfigDialog;

    void regtimerTimer();
    void download_buttClick();
    void cancel_buttClick();
    void updateurllabClick();
    void config_buttClick();

    bool Downloading() const;
    QString LocalFile() const { return localFile_; }
    qint64 TotalSize() const { return download_->Total(); }
    qint64 Received() const { return download_->Received(); }
    TDLInfo* Location(QTreeWidgetItem* item) const;
    // Adds a line at the top of the log box (at most 30000 lines).
    void Log(const QString& text);

    static constexpr int MaxLogLines = 30000;
    static constexpr qint64 MaxUpdateBytes = TUpdateDownload::MaxUpdateBytes;

    QLabel* verslab;
    QLabel* desclab;
    QLabel* sizelab;
    QLabel* updateurllab;
    QTreeWidget* downloadlist;
    QListWidget* DebugBox1;
    QProgressBar* ProgressBar1;
    QLabel* proglab;
    QPushButton* download_butt;
    QPushButton* cancel_butt;
    QPushButton* config_butt;
    QTimer* regtimer;

protected:
    void showEvent(QShowEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    void reject() override;
    bool eventFilter(QObject* o, QEvent* e) override;

private:
    void fail(const QString& text);
    void progress(qint64 received, qint64 total);
    void openDownload();
    // Deletes the partial file and tells the user why the update was not opened.
    void refuse(const QString& text, const QString& status);
    void showLog();

    QString key_;
    QString updateUrl_;
    QList<TDLInfo*> infos_; // owned, one per list item
    QString localFile_;     // the partial file while downloading, the placed one after
    QString fileName_;      // the name taken from the location, reduced to a plain file name
    QElapsedTimer start_;
    qint64 lastText_ = 0;
    TUpdateDownload* download_; // pings and the transfer
};
