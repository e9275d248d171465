#pragma once
// The program's list source, chosen by the product profile: the radio product lists
// stations (TSCServerList); the base product lists game servers from a master server
// (TZelkGenericList with the profile's game, or the class the profile names).
#include "customserverlist.h"
#include "productprofile.h"

#include <memory>

std::unique_ptr<TCustomServerList> CreateServerList(const TProductProfile& profile);

class TRadioBrowserList;
// The radio product lists the Radio Browser directory unless a list server is set (the
// variable DIALWISE_LIST_HOST, or the stored "listhost").
bool UseRadioBrowser();
// The directory source, asking the servers DIALWISE_RADIOBROWSER or the stored
// "radiobrowser" names, else those behind the directory's name.
std::unique_ptr<TRadioBrowserList> CreateRadioBrowserList();
// What the settings and the environment make the station source now (the list server's
// address, or the directory's servers): a change means the list must be made anew.
QString StationSourceKey();
