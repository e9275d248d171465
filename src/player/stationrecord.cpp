#include "stationrecord.h"
#include "config.h"

void TStationRecord::Save() const
{
    TConfig* c = Config();
    if (!c) return;
    c->WriteValue("laststation_name", Name);
    c->WriteValue("laststation_address", Address);
    c->WriteValue("laststation_port", Port);
    c->WriteValue("laststation_url", StreamURL);
    c->WriteValue("laststation_kind", QString::number(Kind));
}

TStationRecord TStationRecord::Load()
{
    TStationRecord r;
    const TConfig* c = Config();
    if (!c) return r;
    r.Name = c->ReadValue("laststation_name").left(256);
    r.Address = c->ReadValue("laststation_address").left(256);
    r.Port = c->ReadValue("laststation_port").left(256);
    r.StreamURL = c->ReadValue("laststation_url").left(2048);
    bool ok = false;
    const int kind = c->ReadValue("laststation_kind").toInt(&ok);
    r.Kind = ok && kind >= 0 && kind <= 255 ? kind : 1;
    return r;
}
