#include "playersettings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QSaveFile>

#include <algorithm>

namespace playersettings {

QString SettingsFile(const QString& programName)
{
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty()) config = QDir::homePath() + "/.config";
    if (programName == "mpv") {
        const QString home = qEnvironmentVariable("MPV_HOME");
        return (home.isEmpty() ? config + "/mpv" : home) + "/mpv.conf";
    }
    if (programName == "audacious") return config + "/audacious/config";
    return {};
}

QByteArray SetValue(const QByteArray& text, const QByteArray& section, const QByteArray& key,
                    const QByteArray& value)
{
    QList<QByteArray> lines;
    if (!text.isEmpty()) lines = text.split('\n');
    const bool endsWithNewline = text.isEmpty() || text.endsWith('\n');
    if (text.endsWith('\n')) lines.removeLast();
    // A line written ends like its neighbour: CR LF files stay so.
    const QByteArray entry = key + "=" + value;
    auto ending = [&](qsizetype i) {
        return i >= 0 && i < lines.size() && lines[i].endsWith('\r') ? "\r" : "";
    };
    // The section's lines: [begin, end).
    qsizetype begin = 0, end = lines.size();
    if (!section.isEmpty()) {
        begin = -1;
        for (qsizetype i = 0; i < lines.size(); ++i)
            if (lines[i].trimmed() == "[" + section + "]") {
                begin = i + 1;
                break;
            }
        if (begin < 0) {
            const QByteArray cr = ending(lines.size() - 1);
            if (!lines.isEmpty() && !lines.last().trimmed().isEmpty()) lines << cr;
            lines << "[" + section + "]" + cr << entry + cr;
            return lines.join('\n') + "\n";
        }
    }
    for (qsizetype i = begin; i < lines.size(); ++i)
        if (lines[i].trimmed().startsWith('[')) {
            end = i;
            break;
        }
    for (qsizetype i = begin; i < end; ++i) {
        const QByteArray line = lines[i].trimmed();
        if (line.startsWith('#') || line.startsWith(';')) continue;
        QByteArray name = line.left(line.indexOf('=')).trimmed();
        if (name.startsWith("--")) name = name.mid(2);
        if (line.contains('=') && name == key) {
            lines[i] = entry + ending(i);
            return lines.join('\n') + (endsWithNewline ? "\n" : "");
        }
    }
    // A new key goes after the section's last entry, before the blank lines that part it
    // from the next one.
    qsizetype at = end;
    while (at > begin && lines[at - 1].trimmed().isEmpty())
        --at;
    lines.insert(at, entry + ending(at > 0 ? at - 1 : at));
    return lines.join('\n') + (endsWithNewline ? "\n" : "");
}

bool Apply(const QString& programName, int bufferKB)
{
    const QString path = SettingsFile(programName);
    if (path.isEmpty() || !QFileInfo(path).isFile()) return false;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return false;
    QByteArray text = f.readAll();
    f.close();
    const QByteArray buffer = QByteArray::number(std::max(bufferKB, 2) * 2);
    if (programName == "mpv") {
        text = SetValue(text, {}, "shuffle", "no");
        text = SetValue(text, {}, "stream-buffer-size", buffer + "KiB");
    } else {
        text = SetValue(text, "audacious", "shuffle", "FALSE");
        text = SetValue(text, "audacious", "net_buffer_kb", buffer);
    }
    // Written beside and moved over, so a failure never leaves half a file.
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly)) return false;
    out.write(text);
    return out.commit();
}

} // namespace playersettings
