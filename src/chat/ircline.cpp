#include "ircline.h"

TIrcLine ParseIrcLine(const QString& lineIn)
{
    constexpr int MaxLine = TIrcLine::MaxLine;
    TIrcLine m;

    QString line = lineIn;
    if (line.startsWith(u':')) {
        const qsizetype sp = line.indexOf(u' ');
        const QString prefix = sp < 0 ? line.mid(1) : line.mid(1, sp - 1);
        m.Params[0] = prefix;
        line = sp < 0 ? QString() : line.mid(sp + 1).left(MaxLine);
        const qsizetype bang = prefix.indexOf(u'!');
        if (bang >= 0) {
            m.PrefixNick = prefix.left(bang);
            m.PrefixAddress = prefix.mid(bang + 1);
        } else {
            m.PrefixAddress = prefix;
        }
    }
    const qsizetype sp = line.indexOf(u' ');
    if (sp >= 0) {
        m.Command = line.left(sp);
        line = line.mid(sp + 1);
    }
    // What follows the command is bounded, also when the line has no blank at all.
    line = line.left(MaxLine);
    m.Params[1] = m.Command;
    m.ParamText = line;

    int slot = 2;
    while (!line.isEmpty() && slot < TIrcLine::ParamCount) {
        if (line.startsWith(u':')) {
            m.Params[size_t(slot++)] = line.mid(1);
            break;
        }
        const qsizetype b = line.indexOf(u' ');
        if (b < 0) {
            m.Params[size_t(slot++)] = line;
            break;
        }
        m.Params[size_t(slot++)] = line.left(b);
        line = line.mid(b + 1).left(MaxLine);
    }
    return m;
}
