#pragma once
// One line from an IRC server, taken apart: a pure function of the line's text, so the
// client's handlers read what they are given instead of state shared between lines.
#include <QString>
#include <array>

struct TIrcLine
{
    static constexpr int ParamCount = 15; // P0 prefix, P1 command, P2..P14 parameters
    static constexpr int MaxLine = 512;   // characters kept of what follows the command

    QString PrefixNick;    // before "!" in the prefix, else empty
    QString PrefixAddress; // after "!", or the whole prefix when it has none (a server)
    QString Command;       // empty when the line has no blank after it
    QString ParamText;     // everything after the command, at most MaxLine characters
    std::array<QString, ParamCount> Params;

    const QString& P(int i) const { return Params[size_t(i)]; }
};

// ":prefix COMMAND a b :trailing text" into its parts. Parameters past the 13th are
// dropped; nothing here fails, whatever the line holds.
TIrcLine ParseIrcLine(const QString& line);
