#include "datafolders.h"

#include "platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QPluginLoader>

#ifndef DW_SOURCE_DATA_DIR
#define DW_SOURCE_DATA_DIR ""
#endif
#ifndef DW_PLUGIN_SUBDIR
#define DW_PLUGIN_SUBDIR "lib/dialwise"
#endif
#ifndef DW_PLUGIN_BUILD_DIR
#define DW_PLUGIN_BUILD_DIR ""
#endif

namespace platform {

namespace {

const char* const kDataName = "dialwise";
const char* const kDesktopEntry = "org.dialwise.Dialwise.desktop";

QString clean(const QString& path)
{
    return QDir::cleanPath(path);
}

} // namespace

QString InstalledPrefixFor(const QString& executableFolder)
{
    if (executableFolder.isEmpty()) return {};
    const QDir bin(executableFolder);
    if (bin.dirName() != "bin") return {};
    const QString prefix = clean(bin.absolutePath() + "/..");
    if (!QFileInfo(prefix + "/share/applications/" + kDesktopEntry).isFile()) return {};
    return prefix;
}

QStringList ShippedDataFoldersFor(const QString& executableFolder, const QString& xdgDataDirs,
                                  const QString& sourceFolder)
{
    QStringList out;
    auto add = [&out](const QString& f) {
        // Only absolute folders: a relative entry would depend on where the program was
        // started from.
        if (f.isEmpty() || !QDir::isAbsolutePath(f)) return;
        const QString c = clean(f);
        if (!out.contains(c)) out << c;
    };
    if (!executableFolder.isEmpty()) add(executableFolder + "/../share/" + kDataName);
    const QString dirs =
        xdgDataDirs.isEmpty() ? QStringLiteral("/usr/local/share:/usr/share") : xdgDataDirs;
    for (const QString& d : dirs.split(':', Qt::SkipEmptyParts))
        add(d + "/" + kDataName);
    add(executableFolder);
    add(sourceFolder);
    return out;
}

QStringList ShippedDataFolders()
{
    QStringList folders = ShippedDataFoldersFor(QCoreApplication::applicationDirPath(),
                                                qEnvironmentVariable("XDG_DATA_DIRS"),
                                                QStringLiteral(DW_SOURCE_DATA_DIR));
    // The user's own program folder is where shipped data is copied to, never from.
    folders.removeAll(clean(HomeDir()));
    return folders;
}

QString FindShippedData(const QString& relative)
{
    if (relative.isEmpty() || QDir::isAbsolutePath(relative) || relative.contains("..")) return {};
    for (const QString& f : ShippedDataFolders()) {
        const QString p = f + "/" + relative;
        if (QFileInfo::exists(p)) return p;
    }
    return {};
}

QString InstalledPrefix()
{
    return InstalledPrefixFor(QCoreApplication::applicationDirPath());
}

QString FindPlugin(const QString& name)
{
    if (name.isEmpty() || name.contains('/')) return {};
    QStringList folders;
    const QString prefix = InstalledPrefix();
    if (!prefix.isEmpty()) {
        // Installed, only the package's own plugins.
        folders << prefix + "/" DW_PLUGIN_SUBDIR;
    } else {
        folders << QCoreApplication::applicationDirPath();
        if (QDir::isAbsolutePath(QStringLiteral(DW_PLUGIN_BUILD_DIR)))
            folders << QStringLiteral(DW_PLUGIN_BUILD_DIR);
    }
    for (const QString& f : folders) {
        const QString p = clean(f + "/" + name);
        if (QFileInfo(p).isFile()) return p;
    }
    return {};
}

QObject* LoadPlugin(const QString& name, QString* why)
{
    // Loaded plugins stay for the program's life: their objects may be anywhere.
    static QHash<QString, QPluginLoader*> loaded;
    if (QPluginLoader* l = loaded.value(name)) return l->instance();
    const QString path = FindPlugin(name);
    if (path.isEmpty()) {
        if (why) *why = QString("%1 is not installed").arg(name);
        return nullptr;
    }
    auto* loader = new QPluginLoader(path);
    QObject* root = loader->instance();
    if (!root) {
        if (why) *why = loader->errorString();
        delete loader;
        return nullptr;
    }
    loaded.insert(name, loader);
    return root;
}

bool IsInstalled()
{
    return !InstalledPrefix().isEmpty();
}

} // namespace platform
