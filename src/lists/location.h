#pragma once
// "dialwise:" location links: the text after the scheme is a field-counted record whose
// tokens are separated by back-quotes: "fieldcount", the number of fields, the field
// names, then one value per field ("action", "ip", "hostname", "type").
#include <QString>
#include <memory>

class TSCServer;

namespace location {

inline constexpr const char* Scheme = "dialwise:";
// Longest link text taken in: a link is outside input and a station record is short.
inline constexpr int MaxLinkLength = 4096;

// The station a record names, with its action in `action`; none when no complete record
// can be read. Values are cut to the lengths the station list allows.
std::unique_ptr<TSCServer> ParseLocation(const QString& record, QString& action);

// Builds a link (for pages and tests): the scheme and the record of the given values.
QString MakeLink(const QString& action, const QString& ip, const QString& hostname, int type = 0);

} // namespace location
