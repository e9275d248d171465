#pragma once
// The settings model: every stored setting under its control's name, the plain values
// of the product key, the link records, and the program-wide values that applying the
// settings fills in. The configuration dialog shows and edits this object.
#include "productprofile.h"

#include <QHash>
#include <QObject>
#include <QPoint>
#include <QRect>
#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

// One stored setting: control name, property ("Checked", "Text" or "ItemIndex"), default.
struct TSettingDef
{
    const char* Control;
    const char* Property;
    const char* Default;
    int MaxLength = 0; // texts: at most this many characters (0: no limit)
};

struct TLinkRecord
{
    QString Text;
    QString Url;
    QString Hint;
};

// A window's saved placement, as kept in the "config" and "mainform" subkeys.
struct TWindowPlacement
{
    int Flags = 0;
    int ShowCmd = 1;
    int PixelsPerInch = 96;
    QPoint MinPos{-1, -1};
    QPoint MaxPos{-1, -1};
    QRect NormPos; // left, top, right, bottom kept as a QRect from its corners
    bool Valid = false;
};

// Program-wide values set by ApplySettings and read by the components.
struct THttpProxySettings
{
    QString Host, Port, User, Password;
};
struct TSocksSettings
{
    QString Server, Port, User, Password, Level; // Level "4" or "5"
    bool Authentication = false;
};
struct TProgramValues
{
    int PingMode = 1; // 1 ICMP, 2 disabled
    THttpProxySettings HttpProxy;
};
TProgramValues& ProgramValues();

// The music folder's "Dialwise" (XDG_MUSIC_DIR, else ~/Music).
QString DefaultRecordFolder();

class TConfig : public QObject
{
    Q_OBJECT
public:
    // Creating the object runs the start-up of the settings: profile, installation
    // code, link records, LoadSettings (with the migration), ApplySettings.
    explicit TConfig(QObject* parent = nullptr);
    ~TConfig() override;

    // The table of stored settings with their defaults.
    static const std::vector<TSettingDef>& SettingDefs();

    // Control values. Unknown names give the empty/false/-1 value.
    bool Checked(const QString& control) const;
    QString Text(const QString& control) const;
    int ItemIndex(const QString& control) const;
    void SetChecked(const QString& control, bool value);
    void SetText(const QString& control, const QString& value);
    void SetItemIndex(const QString& control, int value);
    // Radio groups: checking one button unchecks its partners.
    static QStringList RadioGroupOf(const QString& control);

    void LoadSettings();  // from the "config" subkey (with the "\mp3" migration)
    void SaveSettings();  // to the "config" subkey
    void ApplySettings(); // fills ProgramValues()

    QString ReadValue(const QString& name) const;
    void WriteValue(const QString& name, const QString& text);

    // Registry keys of this product.
    QString ProductKey() const;
    QString ConfigKey() const { return ProductKey() + "\\config"; }
    QString MainformKey() const { return ProductKey() + "\\mainform"; }

    // Link records ("banner", "company", "velmora", "help", "download", "scroller",
    // "feedback", "skins", "lb1".."lb5", "buycd", "searchlink1", "searchlink2", "searchimg").
    static const QStringList& LinkRecordNames();
    TLinkRecord Link(const QString& name) const;
    void ReadLinkRecords();
    std::function<void()> OnLinksChanged; // the main window refreshes its link buttons

    QString InstallCode() const { return code_; }
    int BannerInterval() const { return bannerInterval_; }
    // The shortest banner interval taken from "bannerinterval", in milliseconds.
    static constexpr int MinBannerInterval = 15000;
    QString DistCode() const { return distCode_; }

    // Connection types and their bitrates; buffer sizes.
    static const QStringList& SpeedboxItems();
    static int SpeedBitrate(int index); // 999 when nothing is selected
    static const QStringList& BufferboxItems();
    static int BufferKB(int index); // 32 when it cannot be read
    int MaxBitrate() const { return SpeedBitrate(ItemIndex("speedbox")); }
    int StreamBufferKB() const { return BufferKB(ItemIndex("bufferbox")); }
    // The folder recordings go to: the setting, else DefaultRecordFolder().
    QString RecordFolder() const;

    // The SOCKS settings that ApplySocks gives a socket (empty server when unused).
    TSocksSettings SocksSettings() const;
    // The HTTP proxy an HTTP client gets (empty when unused).
    THttpProxySettings HttpProxySettings() const;

    // Window positions, with the resolution-suffixed names.
    static void SavePlacement(const QString& key, const TWindowPlacement& p, QSize screen);
    static TWindowPlacement LoadPlacement(const QString& key, QSize screen);
    TWindowPlacement DialogPlacement;

    // Stored name of a control's value: control + "_" + property.
    static QString StoredName(const TSettingDef& d);

signals:
    void settingsApplied();

private:
    void makeInstallCode();
    void migrateOldKey();
    const TSettingDef* def(const QString& control) const;

    QHash<QString, QString> values_; // control name -> value text
    QHash<QString, TLinkRecord> links_;
    QString code_;
    int bannerInterval_ = 300000;
    QString distCode_ = "N";
};

// The one configuration object (owned by the main window); nullptr before it exists.
TConfig* Config();
