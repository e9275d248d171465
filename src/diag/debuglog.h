#pragma once
// Diagnostic lines for the debug console: channel 1 "GenOut", 2 "ErrOut", 3 "PerfOut".
// Without a console the lines go nowhere, except to the file named by DIALWISE_DEBUGLOG.
#include <QString>
#include <functional>

enum TDebugChannel
{
    dcGenOut = 1,
    dcErrOut = 2,
    dcPerfOut = 3
};

void DebugLog(const QString& text, int channel);
void DebugLog(const QString& text);

// Name of a channel's page; any other number counts as channel 1.
QString DebugChannelName(int channel);
int DebugChannelIndex(int channel); // 0..2

// The console registers itself here; nullptr detaches it.
using TDebugSink = std::function<void(const QString& text, int channel)>;
void SetDebugSink(TDebugSink sink);
bool HaveDebugSink();
