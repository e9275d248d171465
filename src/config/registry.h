#pragma once
// The current user's registry branch, kept in an INI file in the program's home.
// Key paths use backslashes as in "Software\Velmora\tunelane\config".
#include <QString>
#include <QStringList>

class TRegistry
{
public:
    // Reads a string value; empty when the key or the value is missing.
    static QString ReadString(const QString& key, const QString& name);
    static bool ValueExists(const QString& key, const QString& name);
    static bool KeyExists(const QString& key);
    // Writes a string value, creating the key when needed.
    static void WriteString(const QString& key, const QString& name, const QString& value);
    static void DeleteValue(const QString& key, const QString& name);
    static void DeleteKey(const QString& key);
    static QStringList ValueNames(const QString& key);
    // Writes pending changes to the file (replaced whole, so a failed write keeps the old
    // one). False when it could not be written; the reason goes to ErrOut.
    static bool Flush();
    // Forgets the open file (tests that change DIALWISE_HOME call this).
    static void Reset();
};
