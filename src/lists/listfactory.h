#pragma once
// The program's list source, chosen by the product profile: the radio product lists
// stations (TSCServerList); the base product lists game servers from a master server
// (TZelkGenericList with the profile's game, or the class the profile names).
#include "customserverlist.h"
#include "productprofile.h"

#include <memory>

std::unique_ptr<TCustomServerList> CreateServerList(const TProductProfile& profile);
