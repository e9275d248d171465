#pragma once
// The settings file of a known external player, and the edit made to it before each
// start: no shuffling of the playlist, and a network buffer twice the stream buffer
// setting. A file that does not exist is left alone (the player writes its defaults).
#include <QByteArray>
#include <QString>

namespace playersettings {
// The file for a program name ("audacious", "mpv"); empty for a player without a known one.
QString SettingsFile(const QString& programName);
// `text` with `key` set to `value` in `section` (empty: the options before any section),
// everything else kept as it was.
QByteArray SetValue(const QByteArray& text, const QByteArray& section, const QByteArray& key,
                    const QByteArray& value);
// Edits the program's settings file when it has one; false when nothing was written.
bool Apply(const QString& programName, int bufferKB);
} // namespace playersettings
