#pragma once
// Where the program finds what it ships (the default skin and the like) and whether it
// runs installed or from its build tree. The same binary works both ways: installed, the
// shipped data is under <prefix>/share/dialwise (found from the executable's own folder,
// then through the XDG data folders); in a build tree, it is staged beside the executable
// and, last, in the source tree.
#include <QString>
#include <QStringList>

class QObject;

namespace platform {

// The folders that may hold the shipped data, best first, each without a trailing slash:
// <exe>/../share/dialwise, then each XDG data folder's "dialwise" (XDG_DATA_DIRS, or
// /usr/local/share and /usr/share), then the executable's own folder, then the source
// tree's folder given at build time (when there is one). The user's own program folder
// is never one of them, nor a relative path.
QStringList ShippedDataFolders();
// The first of ShippedDataFolders() that holds `relative` (a file or a folder), as
// <folder>/<relative>; empty when none does.
QString FindShippedData(const QString& relative);

// True when the program runs from an installed prefix: the executable's folder is
// <prefix>/bin and <prefix>/share/applications holds the package's desktop entry
// (org.dialwise.Dialwise.desktop). The desktop then knows the program from that entry,
// and the program leaves the user's desktop folders alone.
bool IsInstalled();
// The prefix the program runs from when IsInstalled(), else empty.
QString InstalledPrefix();

// The plugins (shared modules loaded on first use, such as the embedded browser): the
// file `name` in <prefix>/<libdir>/dialwise when installed, else beside the executable or
// in the build tree's plugin folder. Empty when there is none.
QString FindPlugin(const QString& name);
// Loads the plugin `name` once and returns its root object, which lives as long as the
// program; nullptr with the reason in `why` when it is missing or will not load.
QObject* LoadPlugin(const QString& name, QString* why = nullptr);

// The same decisions for a given executable folder and environment (for tests).
QString InstalledPrefixFor(const QString& executableFolder);
QStringList ShippedDataFoldersFor(const QString& executableFolder, const QString& xdgDataDirs,
                                  const QString& sourceFolder);

} // namespace platform
