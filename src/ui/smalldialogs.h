#pragma once
// The main window's two small modal dialogs (add a genre, connect to a server by its
// address) and the information window of a selected station or game server. The dialogs
// are made once and reused: their edits keep the last text between uses.
#include <QDialog>
#include <QWidget>
#include <functional>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSplitter;
class QTreeWidget;
class TCustomServer;

// The right-hand panel with OK and Cancel shared by both dialogs.
class TDialogButtonPanel : public QWidget
{
    Q_OBJECT
public:
    explicit TDialogButtonPanel(QDialog* dialog);
    QPushButton* OK = nullptr;
    QPushButton* Cancel = nullptr;
};

class Taddgenre_form : public QDialog
{
    Q_OBJECT
public:
    explicit Taddgenre_form(QWidget* parent = nullptr);
    // Colours from the skin, the font of the program; again at every skin change.
    void setSkin();
    QLineEdit* genre = nullptr;
    TDialogButtonPanel* rightpanel = nullptr;

protected:
    bool eventFilter(QObject* o, QEvent* e) override; // genreKeyDown
};

class Tmanualconnect_form : public QDialog
{
    Q_OBJECT
public:
    explicit Tmanualconnect_form(QWidget* parent = nullptr);
    void setSkin();
    // The station link for the choices made: "w" + URL for Windows Audio, else "s" + URL.
    QString StationLink() const;
    QComboBox* servertype = nullptr; // "MP3", "Windows Audio"
    QLineEdit* serverurl = nullptr;
    TDialogButtonPanel* rightpanel = nullptr;

protected:
    bool eventFilter(QObject* o, QEvent* e) override; // serverurlKeyDown
};

// "Players / Rules": the rules (or a station's information lines) and, for a game server,
// its players in up to six columns labelled by the server's player class.
class Tinfo_form : public QWidget
{
    Q_OBJECT
public:
    explicit Tinfo_form(QWidget* parent = nullptr);
    // Shows a server's rules and players; none clears both lists.
    void ShowServer(const TCustomServer* server);
    // Takes the window colour and font colour of the configuration.
    void ApplyColors(const QColor& window, const QColor& font);

    QSplitter* splitter = nullptr;
    QTreeWidget* playerview = nullptr;
    QTreeWidget* ruleview = nullptr;
    // Activating the window tells the chat that the user is not in a chat window.
    std::function<void()> OnActivate;

protected:
    void closeEvent(QCloseEvent* e) override;
    void changeEvent(QEvent* e) override;
};
