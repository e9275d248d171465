#pragma once
// The station last played, kept as plain values (stations belong to the list's rows) so
// that it can be played again: from the desktop's media controls after a stop, and at
// the next start when the user asks for it.
#include <QString>

struct TStationRecord
{
    QString Name;
    QString Address;
    QString Port;
    QString StreamURL;
    int Kind = 1; // the station's type from the list
    bool IsEmpty() const { return Address.isEmpty() && StreamURL.isEmpty(); }
    // In the program's stored values ("laststation*").
    void Save() const;
    static TStationRecord Load();
};
