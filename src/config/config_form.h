#pragma once
// The configuration dialog: shows and edits the stored settings of the configuration
// object, page by page. Most controls take effect at once; OK checks the player and the
// nickname and saves, Cancel goes back to the saved values.
#include <QComboBox>
#include <QDialog>
#include <functional>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QToolButton;
class TConfig;
class TPlayerSearch;

// A drop-down that asks for its list each time it opens.
class TSkinBox : public QComboBox
{
    Q_OBJECT
public:
    using QComboBox::QComboBox;
    std::function<void()> OnDropDown;
    void showPopup() override
    {
        if (OnDropDown) OnDropDown();
        QComboBox::showPopup();
    }
};

class Tconfig_form : public QDialog
{
    Q_OBJECT
public:
    explicit Tconfig_form(TConfig* config, QWidget* parent = nullptr);
    ~Tconfig_form() override;

    // Puts the configuration's values into the controls.
    void LoadControls();
    // The skin list of the drop-down, rebuilt.
    void RebuildSkinList();

    void OKClick();
    void CancelClick();
    void AboutClick();
    void dirfind_buttClick();
    void other_buttClick();
    void browse_buttClick();
    void demo_buttClick();
    void skinslinkClick();

    // Something the main window shows changed at once: "use_taskbar",
    // "disablebanners" or "interfacestyle".
    std::function<void(const QString& control)> OnImmediateEffect;

    static QString AboutText();

    // Controls, named after the settings they hold.
    QTabWidget* pages;
    QLineEdit* program_dir;
    QLineEdit* listhost;
    QLineEdit* radiobrowser;
    QToolButton* browse_butt;
    QToolButton* dirfind_butt;
    QToolButton* other_butt;
    QCheckBox* builtin_player;
    QLineEdit* nick;
    QComboBox* speedbox;
    QComboBox* bufferbox;
    QCheckBox* disablebanners;
    QCheckBox* use_taskbar;
    QGroupBox* interfacestyle;
    QRadioButton* interfacestyle0;
    QRadioButton* interfacestyle1;
    QPushButton* demo_butt;
    QLineEdit* realname;
    QLineEdit* age;
    QLineEdit* email;
    QLineEdit* zip;
    QCheckBox* notify_box;
    QCheckBox* disablegun;
    QCheckBox* playlaststation;
    QCheckBox* songnotify;
    QLineEdit* recordfolder;
    QToolButton* recordbrowse_butt;
    QCheckBox* chatconnect;
    QCheckBox* hidejoins;
    QCheckBox* noautoaway;
    QLineEdit* homechanneledit;
    QCheckBox* useproxies;
    QGroupBox* proxygroup;
    QLineEdit* proxyaddr;
    QLineEdit* proxyport;
    QLineEdit* proxyuser;
    QLineEdit* proxypass;
    QRadioButton* udpmotdbutt;
    QRadioButton* httpmotdbutt;
    QRadioButton* icmppingbutt;
    QRadioButton* tcppingbutt;
    QCheckBox* usesocksproxies;
    QGroupBox* socksgroup;
    QLineEdit* socksproxyaddr;
    QLineEdit* socksproxyuser;
    QLineEdit* socksproxypass;
    QRadioButton* socks4butt;
    QRadioButton* socks5butt;
    TSkinBox* skinpathbox;
    QLabel* skinslink;
    QPushButton* ok_butt;
    QPushButton* cancel_butt;
    QPushButton* about_butt;
    QProgressBar* searchanim;
    TPlayerSearch* search;

protected:
    void reject() override; // Escape is Cancel
    bool eventFilter(QObject* o, QEvent* e) override;

private:
    void wire();
    void changed(QWidget* control);
    void proxyChanged();
    void socksChanged();
    void searchDone(const QString& path);
    TConfig* config_;
    bool loading_ = false;
};

// The radio product's dialog: the "Game Config" page is not shown.
class Tmp3config_form : public Tconfig_form
{
    Q_OBJECT
public:
    using Tconfig_form::Tconfig_form;
};
