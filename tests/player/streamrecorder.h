#pragma once
// What the stream player's tests share: a recorder of what the player shows and says
// (standing in for the bar's stop button and player box), the usual PCM format and a way
// to hand it response bytes.
#include "httpprot.h"
#include "streamplayer.h"
#include "waveout.h"

#include <QByteArray>
#include <QStringList>

namespace playertest {

// 16-bit stereo PCM at 44100 Hz.
inline QByteArray PcmBlock()
{
    platform::TWaveFormat f;
    f.FormatTag = 1;
    f.Channels = 2;
    f.SamplesPerSec = 44100;
    f.AvgBytesPerSec = 176400;
    f.BlockAlign = 4;
    f.BitsPerSample = 16;
    return platform::MakeWaveFormat(f);
}

// Bytes as if the server had sent them.
inline void Feed(TStreamPlayer& p, const QByteArray& bytes)
{
    p.Client()->FeedResponseForTest(bytes.constData(), int(bytes.size()));
}

struct Recorder
{
    QStringList stationLines, songLines, messages, statuses;
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
        p.View.ShowStatus = [this](const QString& t) { statuses << t; };
    }
};

} // namespace playertest
