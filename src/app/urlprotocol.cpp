#include "urlprotocol.h"

#include "debuglog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

namespace urlprotocol {

namespace {

QString folder(const QProcessEnvironment& env, const char* xdgName, const char* homeSub,
               const char* dialwiseSub)
{
    const QString xdg = env.value(xdgName);
    if (!xdg.isEmpty()) return xdg;
    const QString dw = env.value("DIALWISE_HOME");
    if (!dw.isEmpty()) return dw + "/xdg/" + dialwiseSub;
    return env.value("HOME", QDir::homePath()) + "/" + homeSub;
}

// The version an existing entry holds: -1 without an entry, 0 when it has none readable.
int entryVersion(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text)) return -1;
    for (const QByteArray& raw : f.readAll().split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line.startsWith("X-Dialwise-Key-Version=")) {
            bool ok = false;
            const int v = line.mid(23).trimmed().toInt(&ok);
            return ok ? v : 0;
        }
    }
    return 0;
}

// An Exec argument quoted as desktop entries want it when it needs quoting.
QString execArgument(const QString& program)
{
    static const QString special = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`=%");
    bool plain = !program.isEmpty();
    for (QChar c : program)
        if (special.contains(c)) plain = false;
    if (plain) return program;
    QString q = "\"";
    for (QChar c : program) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') q += '\\';
        q += c;
    }
    q += '"';
    q.replace("%", "%%");
    return q;
}

} // namespace

QString DataHome(const QProcessEnvironment& env)
{
    return folder(env, "XDG_DATA_HOME", ".local/share", "data");
}

QString ConfigHome(const QProcessEnvironment& env)
{
    return folder(env, "XDG_CONFIG_HOME", ".config", "config");
}

QProcessEnvironment XdgEnvironment(const QProcessEnvironment& env)
{
    QProcessEnvironment e = env;
    e.insert("XDG_DATA_HOME", DataHome(env));
    e.insert("XDG_CONFIG_HOME", ConfigHome(env));
    return e;
}

QString DesktopFilePath(const QProcessEnvironment& env)
{
    return DataHome(env) + "/applications/" + DesktopFileName;
}

QString DesktopEntry(const QString& program)
{
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=Dialwise\n"
                          "Comment=URL: Dialwise Launch Protocol\n"
                          "Exec=%1 %u\n"
                          "Icon=dialwise\n"
                          "Terminal=false\n"
                          "NoDisplay=true\n"
                          "MimeType=%2;\n"
                          "X-Dialwise-Key-Version=%3\n")
        .arg(execArgument(program), QLatin1String(MimeType))
        .arg(KeyVersion);
}

qint64 RegisterUrlProtocol(const QString& program, const QProcessEnvironment& env)
{
    const QString path = DesktopFilePath(env);
    const int version = entryVersion(path);
    if (version >= 0) {
        DebugLog("Found Dialwise key");
        if (version > 1) {
            DebugLog("Dialwise key was current");
            return 0;
        }
        DebugLog("Found older version of the key: " + QString::number(version));
    }
    DebugLog("Creating Key version: " + QString::number(KeyVersion));
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text) ||
        f.write(DesktopEntry(program).toUtf8()) < 0) {
        DebugLog("Unable to write " + path + ": " + f.errorString(), dcErrOut);
        return 0;
    }
    f.close();
    const QString xdgMime = QStandardPaths::findExecutable("xdg-mime");
    if (xdgMime.isEmpty()) {
        DebugLog("xdg-mime is not installed: the link handler is not registered", dcErrOut);
        return 0;
    }
    QProcess p;
    p.setProgram(xdgMime);
    p.setArguments({"default", DesktopFileName, MimeType});
    p.setProcessEnvironment(XdgEnvironment(env));
    p.setStandardOutputFile(QProcess::nullDevice());
    p.setStandardErrorFile(QProcess::nullDevice());
    qint64 pid = 0;
    if (!p.startDetached(&pid)) {
        DebugLog("Unable to start xdg-mime", dcErrOut);
        return 0;
    }
    return pid;
}

} // namespace urlprotocol
