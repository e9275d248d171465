#pragma once
// Records what the stream player shows and says, and stands in for the bar's stop button
// and player box.
#include "streamplayer.h"

#include <QStringList>

namespace playertest {

struct Recorder
{
    QStringList stationLines, songLines, messages;
    int stops = 0;
    bool boxVisible = true;
    void attach(TStreamPlayer& p)
    {
        p.View.ShowStationLine = [this](const QString& t) { stationLines << t; };
        p.View.ShowSongLine = [this](const QString& t) { songLines << t; };
        p.View.Message = [this](const QString& t) { messages << t; };
        p.View.ClickStop = [this, &p] {
            ++stops;
            boxVisible = false;
            p.Stop();
        };
        p.View.BoxVisible = [this] { return boxVisible; };
    }
};

} // namespace playertest
