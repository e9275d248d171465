#include "registry.h"
#include "debuglog.h"
#include "platform.h"

#include <QSettings>
#include <memory>

namespace {
std::unique_ptr<QSettings> g_store;
QString g_file;

QSettings& store()
{
    const QString file = platform::RegistryFile();
    if (!g_store || g_file != file) {
        if (g_store) g_store->sync();
        g_store = std::make_unique<QSettings>(file, QSettings::IniFormat);
        g_file = file;
    }
    return *g_store;
}

// QSettings groups are separated by "/"; registry paths by "\".
QString group(const QString& key)
{
    QString g = key;
    g.replace('\\', '/');
    while (g.endsWith('/'))
        g.chop(1);
    return g;
}

// Value names may hold any character; "/" and "\" would split the path.
QString valueKey(const QString& key, const QString& name)
{
    QString n = name;
    n.replace('%', "%25").replace('/', "%2F").replace('\\', "%5C");
    return group(key) + "/" + n;
}

QString unescape(QString n)
{
    return n.replace("%2F", "/").replace("%5C", "\\").replace("%25", "%");
}

// Value names ignore letter case, as the registry's do: a value written as "BannerInterval"
// is read back as "bannerinterval". The exact spelling is tried first; the scan runs only
// when it is missing.
QString storedKey(const QString& key, const QString& name)
{
    QSettings& s = store();
    const QString exact = valueKey(key, name);
    if (s.contains(exact)) return exact;
    s.beginGroup(group(key));
    const QStringList names = s.childKeys();
    s.endGroup();
    for (const QString& n : names)
        if (unescape(n).compare(name, Qt::CaseInsensitive) == 0) return group(key) + "/" + n;
    return exact;
}
} // namespace

QString TRegistry::ReadString(const QString& key, const QString& name)
{
    return store().value(storedKey(key, name)).toString();
}

bool TRegistry::ValueExists(const QString& key, const QString& name)
{
    return store().contains(storedKey(key, name));
}

bool TRegistry::KeyExists(const QString& key)
{
    QSettings& s = store();
    s.beginGroup(group(key));
    const bool any = !s.childKeys().isEmpty() || !s.childGroups().isEmpty();
    s.endGroup();
    return any;
}

void TRegistry::WriteString(const QString& key, const QString& name, const QString& value)
{
    store().setValue(storedKey(key, name), value);
}

void TRegistry::DeleteValue(const QString& key, const QString& name)
{
    store().remove(storedKey(key, name));
}

void TRegistry::DeleteKey(const QString& key)
{
    store().remove(group(key));
}

QStringList TRegistry::ValueNames(const QString& key)
{
    QSettings& s = store();
    s.beginGroup(group(key));
    QStringList names = s.childKeys();
    s.endGroup();
    for (QString& n : names)
        n = unescape(n);
    return names;
}

bool TRegistry::Flush()
{
    if (!g_store) return true;
    g_store->sync();
    if (g_store->status() == QSettings::NoError) return true;
    DebugLog("Unable to write the settings file " + g_file, dcErrOut);
    return false;
}

void TRegistry::Reset()
{
    if (g_store) g_store->sync();
    g_store.reset();
    g_file.clear();
}
