#include "config.h"
#include "debuglog.h"
#include "registry.h"

#include <QDateTime>
#include <QDir>
#include <QRandomGenerator>
#include <QSize>
#include <QStandardPaths>

namespace {
TConfig* g_config = nullptr;

TProgramValues g_values;

// Delphi-style Trim: leading and trailing blanks and control characters go.
QString trimControl(const QString& s)
{
    int b = 0, e = s.size();
    while (b < e && s[b].unicode() <= ' ')
        ++b;
    while (e > b && s[e - 1].unicode() <= ' ')
        --e;
    return s.mid(b, e - b);
}

QString placementPoint(QPoint a, QPoint b)
{
    return QString::asprintf("%d,%d,%d,%d", a.x(), a.y(), b.x(), b.y());
}

bool parseFour(const QString& s, int out[4])
{
    const QStringList p = s.split(',');
    if (p.size() != 4) return false;
    for (int i = 0; i < 4; ++i) {
        bool ok = false;
        out[i] = p[i].trimmed().toInt(&ok);
        if (!ok) return false;
    }
    return true;
}

QString resolutionSuffix(QSize screen)
{
    return QString::asprintf("(%dx%d)", screen.width(), screen.height());
}
} // namespace

TProgramValues& ProgramValues()
{
    return g_values;
}

TConfig* Config()
{
    return g_config;
}

const std::vector<TSettingDef>& TConfig::SettingDefs()
{
    static const std::vector<TSettingDef> defs = {
        {"disablebanners", "Checked", "False"},
        {"nick", "Text", ""},
        {"program_dir", "Text", ""},
        {"chatconnect", "Checked", "True"},
        {"hidejoins", "Checked", "False"},
        {"useproxies", "Checked", "False"},
        {"proxyaddr", "Text", ""},
        {"proxypass", "Text", ""},
        {"proxyport", "Text", "80"},
        {"proxyuser", "Text", ""},
        {"httpmotdbutt", "Checked", "True"},
        {"udpmotdbutt", "Checked", "False"},
        {"homechanneledit", "Text", ""},
        {"use_taskbar", "Checked", "False"},
        {"socksproxyaddr", "Text", ""},
        {"socksproxypass", "Text", ""},
        {"socksproxyuser", "Text", ""},
        {"usesocksproxies", "Checked", "False"},
        {"socks4butt", "Checked", "False"},
        {"socks5butt", "Checked", "True"},
        {"realname", "Text", "", 50},
        {"age", "Text", "", 2},
        {"email", "Text", ""},
        {"zip", "Text", "", 10},
        {"notify_box", "Checked", "True"},
        {"speedbox", "ItemIndex", "6"}, // "Cable": today's stations are not "too fast"
        {"noautoaway", "Checked", "False"},
        {"skinpathbox", "Text", ""},
        {"tcppingbutt", "Checked", "False"},
        {"icmppingbutt", "Checked", "True"},
        {"interfacestyle", "ItemIndex", "0"},
        {"disablegun", "Checked", "False"},
        {"bufferbox", "ItemIndex", "1"},
        // Where stations come from: a list server, or (empty) the Radio Browser directory,
        // whose servers are found by name unless "radiobrowser" names them.
        {"listhost", "Text", ""},
        {"radiobrowser", "Text", ""},
        // The player bar: play the last station at start-up, tell song changes.
        {"playlaststation", "Checked", "False"},
        {"songnotify", "Checked", "False"},
        // Where recordings go; empty: the music folder's "Dialwise".
        {"recordfolder", "Text", ""},
    };
    return defs;
}

QStringList TConfig::RadioGroupOf(const QString& control)
{
    static const QList<QStringList> groups = {{"httpmotdbutt", "udpmotdbutt"},
                                              {"socks4butt", "socks5butt"},
                                              {"tcppingbutt", "icmppingbutt"}};
    for (const QStringList& g : groups)
        if (g.contains(control)) return g;
    return {};
}

QString TConfig::StoredName(const TSettingDef& d)
{
    return QString::fromLatin1(d.Control) + "_" + QString::fromLatin1(d.Property);
}

const QStringList& TConfig::SpeedboxItems()
{
    static const QStringList items = {"28.8k Modem", "33.6k Modem", "56k Modem ", "64k ISDN",
                                      "128k ISDN",   "256k+ ADSL",  "Cable",      "T1 or greater"};
    return items;
}

int TConfig::SpeedBitrate(int index)
{
    static const int rates[] = {24, 28, 48, 56, 112, 256, 256, 256};
    return (index >= 0 && index < 8) ? rates[index] : 999;
}

const QStringList& TConfig::BufferboxItems()
{
    static const QStringList items = {"16KB", "32KB", "48KB", "64KB", "128KB", "256KB"};
    return items;
}

int TConfig::BufferKB(int index)
{
    const QString t = BufferboxItems().value(index);
    bool ok = false;
    const int kb = t.left(t.indexOf("KB")).toInt(&ok);
    return ok && t.contains("KB") ? kb : 32;
}

TConfig::TConfig(QObject* parent) : QObject(parent)
{
    g_config = this;
    // The random generator is seeded from the clock for the installation code.
    for (const TSettingDef& d : SettingDefs())
        values_.insert(d.Control, d.Default);
    makeInstallCode();
    ReadLinkRecords();
    const QString interval = ReadValue("bannerinterval");
    bool ok = false;
    const int ms = interval.toInt(&ok);
    // The message of the day may push any value; a tiny one would ask for banners back to
    // back.
    bannerInterval_ = ok ? qMax(ms, MinBannerInterval) : Profile().BannerInterval;
    distCode_ = ReadValue("distcode");
    if (distCode_.isEmpty()) distCode_ = "N";
    LoadSettings();
    ApplySettings();
}

TConfig::~TConfig()
{
    TRegistry::Flush();
    if (g_config == this) g_config = nullptr;
}

QString TConfig::ProductKey() const
{
    return Profile().RegistryKey + Profile().SubkeySuffix;
}

const TSettingDef* TConfig::def(const QString& control) const
{
    for (const TSettingDef& d : SettingDefs())
        if (control == QLatin1String(d.Control)) return &d;
    return nullptr;
}

bool TConfig::Checked(const QString& control) const
{
    return values_.value(control) == "True";
}

QString TConfig::Text(const QString& control) const
{
    return values_.value(control);
}

int TConfig::ItemIndex(const QString& control) const
{
    bool ok = false;
    const int i = values_.value(control).toInt(&ok);
    return ok ? i : -1;
}

void TConfig::SetChecked(const QString& control, bool value)
{
    values_[control] = value ? "True" : "False";
    if (value)
        for (const QString& other : RadioGroupOf(control))
            if (other != control) values_[other] = "False";
}

void TConfig::SetText(const QString& control, const QString& value)
{
    QString v = value;
    if (const TSettingDef* d = def(control); d && d->MaxLength > 0) v = v.left(d->MaxLength);
    values_[control] = v;
}

void TConfig::SetItemIndex(const QString& control, int value)
{
    values_[control] = QString::number(value);
}

void TConfig::LoadSettings()
{
    const QString key = ConfigKey();
    for (const TSettingDef& d : SettingDefs()) {
        const QString name = StoredName(d);
        values_[d.Control] = d.Default;
        if (!TRegistry::ValueExists(key, name)) continue;
        const QString v = TRegistry::ReadString(key, name);
        const QString prop = d.Property;
        if (prop == "Checked") {
            // Anything but the two words keeps the default.
            if (v == "True" || v == "False") values_[d.Control] = v;
        } else if (prop == "ItemIndex") {
            bool ok = false;
            v.toInt(&ok);
            if (ok) values_[d.Control] = v;
        } else {
            SetText(d.Control, v);
        }
    }
    DialogPlacement = LoadPlacement(key, {});
    if (Text("realname").isEmpty()) migrateOldKey();
}

void TConfig::migrateOldKey()
{
    // Only an earlier version's key has anything to give; without it the fields a user
    // filled in (with the name left blank) stay as they are.
    const QString old = ProductKey() + "\\mp3";
    if (!TRegistry::KeyExists(old)) return;
    SetText("realname", TRegistry::ReadString(old, "realname"));
    SetText("email", TRegistry::ReadString(old, "email2"));
    SetText("age", TRegistry::ReadString(old, "age"));
    SetText("zip", TRegistry::ReadString(old, "zip"));
}

void TConfig::SaveSettings()
{
    const QString key = ConfigKey();
    for (const TSettingDef& d : SettingDefs()) {
        QString v = values_.value(d.Control);
        if (QLatin1String(d.Property) == QLatin1String("Text")) v = trimControl(v);
        TRegistry::WriteString(key, StoredName(d), v);
    }
    if (DialogPlacement.Valid) SavePlacement(key, DialogPlacement, {});
    TRegistry::Flush();
}

void TConfig::ApplySettings()
{
    g_values.PingMode = Checked("icmppingbutt") ? 1 : 2;
    g_values.HttpProxy = HttpProxySettings();
    emit settingsApplied();
}

THttpProxySettings TConfig::HttpProxySettings() const
{
    THttpProxySettings p;
    if (Checked("useproxies")) {
        p.Host = Text("proxyaddr");
        p.Port = Text("proxyport");
        p.User = Text("proxyuser");
        p.Password = Text("proxypass");
    }
    return p;
}

TSocksSettings TConfig::SocksSettings() const
{
    TSocksSettings s;
    if (Checked("usesocksproxies")) {
        s.Server = Text("socksproxyaddr");
        s.Port = "1080";
        s.User = Text("socksproxyuser");
        s.Password = Text("socksproxypass");
        s.Level = Checked("socks5butt") ? "5" : "4";
        s.Authentication = !s.User.isEmpty();
    }
    return s;
}

QString DefaultRecordFolder()
{
    QString music = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
    if (music.isEmpty()) music = QDir::homePath() + "/Music";
    return music + "/Dialwise";
}

QString TConfig::RecordFolder() const
{
    QString f = Text("recordfolder").trimmed();
    if (f.isEmpty()) return DefaultRecordFolder();
    // "~/..." and relative names are in the home folder, not wherever the program started.
    if (f == "~" || f.startsWith("~/")) f = QDir::homePath() + f.mid(1);
    return QDir::isRelativePath(f) ? QDir::home().filePath(f) : f;
}

QString TConfig::ReadValue(const QString& name) const
{
    return TRegistry::ReadString(ProductKey(), name);
}

void TConfig::WriteValue(const QString& name, const QString& text)
{
    TRegistry::WriteString(ProductKey(), name, text);
    TRegistry::Flush();
}

void TConfig::makeInstallCode()
{
    code_ = ReadValue("code");
    if (!code_.isEmpty()) return;
    QRandomGenerator rng{quint32(QDateTime::currentMSecsSinceEpoch())};
    QStringList groups;
    for (int g = 0; g < 4; ++g) {
        QString part;
        while (part.size() < 4) {
            const QChar c(char16_t(rng.bounded(128)));
            if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
                part += c;
        }
        groups << part;
    }
    code_ = groups.join('-');
    WriteValue("code", code_);
}

const QStringList& TConfig::LinkRecordNames()
{
    static const QStringList names = {"banner",      "company",  "velmora", "help",  "download",
                                      "scroller",    "feedback", "skins",   "lb1",   "lb2",
                                      "lb3",         "lb4",      "lb5",     "buycd", "searchlink1",
                                      "searchlink2", "searchimg"};
    return names;
}

void TConfig::ReadLinkRecords()
{
    const TProductProfile& p = Profile();
    const QString site = p.WebSite;
    const QHash<QString, TLinkRecord> defaults = {
        {"banner",
         {p.AdBase + "/cgi-bin/accipiter/adserver.exe/SITE=TLANSOFT/",
          p.AdBase + "/cgi-bin/accipiter/adclick.exe/SITE=TLANSOFT/", ""}},
        {"company", {"Velmora", site + "/", "Visit Velmora"}},
        {"velmora", {"Dialwise", site + "/", "Dialwise on the web"}},
        {"help", {"Help", site + "/help/", "Dialwise help"}},
        {"download", {"Download", site + "/download/", "Get the latest Dialwise"}},
        {"scroller", {site + "/scroller.txt", site + "/news/", "News"}},
        {"feedback", {"Feedback", site + "/feedback/", "Tell us what you think"}},
        {"skins", {"Get Skins Here", site + "/skins/", "More skins for Dialwise"}},
        {"lb1", {"Top Stations", site + "/top/", "The most listened stations"}},
        {"lb2", {"New Stations", site + "/new/", "Stations added this week"}},
        {"lb3", {"Forums", site + "/forums/", "Talk about radio"}},
        {"lb4", {"Start a Station", site + "/broadcast/", "Run your own station"}},
        {"lb5", {"News", site + "/news/", "Dialwise news"}},
        {"buycd", {"Buy CD", site + "/buycd?q=%CD%", "Buy this CD"}},
        {"searchlink1", {"MP3", site + "/search?type=mp3&q=%ST%", "Search MP3s"}},
        {"searchlink2", {"The Web", site + "/search?type=web&q=%ST%", "Search the web"}},
        {"searchimg", {"searchlogo.bmp", site + "/search/", "Song search"}},
    };
    links_.clear();
    for (const QString& n : LinkRecordNames()) {
        TLinkRecord r = defaults.value(n);
        const QString t = ReadValue(n + "text"), u = ReadValue(n + "url"),
                      h = ReadValue(n + "hint");
        if (!t.isEmpty()) r.Text = t;
        if (!u.isEmpty()) r.Url = u;
        if (!h.isEmpty()) r.Hint = h;
        links_.insert(n, r);
    }
    if (OnLinksChanged) OnLinksChanged();
}

TLinkRecord TConfig::Link(const QString& name) const
{
    return links_.value(name);
}

void TConfig::SavePlacement(const QString& key, const TWindowPlacement& p, QSize screen)
{
    TRegistry::WriteString(key, "Flags", QString::number(p.Flags));
    TRegistry::WriteString(key, "ShowCmd", QString::number(p.ShowCmd));
    TRegistry::WriteString(key, "PixelsPerInch", QString::number(p.PixelsPerInch));
    const QString minmax = placementPoint(p.MinPos, p.MaxPos);
    const QString norm = QString::asprintf("%d,%d,%d,%d", p.NormPos.left(), p.NormPos.top(),
                                           p.NormPos.right() + 1, p.NormPos.bottom() + 1);
    TRegistry::WriteString(key, "MinMaxPos", minmax);
    TRegistry::WriteString(key, "NormPos", norm);
    if (screen.isValid()) {
        TRegistry::WriteString(key, "MinMaxPos" + resolutionSuffix(screen), minmax);
        TRegistry::WriteString(key, "NormPos" + resolutionSuffix(screen), norm);
    }
}

TWindowPlacement TConfig::LoadPlacement(const QString& key, QSize screen)
{
    TWindowPlacement p;
    auto pick = [&](const QString& name) {
        if (screen.isValid()) {
            const QString v = TRegistry::ReadString(key, name + resolutionSuffix(screen));
            if (!v.isEmpty()) return v;
        }
        return TRegistry::ReadString(key, name);
    };
    int n[4];
    if (parseFour(pick("NormPos"), n)) {
        p.NormPos = QRect(QPoint(n[0], n[1]), QPoint(n[2] - 1, n[3] - 1));
        p.Valid = true;
    }
    if (parseFour(pick("MinMaxPos"), n)) {
        p.MinPos = {n[0], n[1]};
        p.MaxPos = {n[2], n[3]};
    }
    p.Flags = TRegistry::ReadString(key, "Flags").toInt();
    bool ok = false;
    const int sc = TRegistry::ReadString(key, "ShowCmd").toInt(&ok);
    p.ShowCmd = ok ? sc : 1;
    const int ppi = TRegistry::ReadString(key, "PixelsPerInch").toInt(&ok);
    p.PixelsPerInch = ok ? ppi : 96;
    return p;
}
