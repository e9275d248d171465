#include "mpvrecord.h"
#include "debuglog.h"
#include "recordfiles.h"

#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>
#include <utility>

TMpvRecorder::TMpvRecorder(const QString& folder, TDump dump)
    : folder_(folder), dump_(std::move(dump))
{
}

QString TMpvRecorder::ExtensionFor(const QString& codec)
{
    // Streams of these codecs are their frames one after the other, and so are the files;
    // anything else goes into Matroska, which takes every audio codec as it is (Ogg, for
    // one, cannot be started in the middle of a stream).
    const QString c = codec.toLower();
    if (c == QLatin1String("mp3") || c == QLatin1String("mp2") || c == QLatin1String("aac"))
        return c;
    return "mka";
}

QString TMpvRecorder::PartFolder(const QString& folder)
{
    return QDir(folder).filePath(".part");
}

bool TMpvRecorder::diskFull() const
{
    const QStorageInfo disk(PartFolder(folder_));
    return disk.isValid() && disk.bytesAvailable() < DiskReserve;
}

bool TMpvRecorder::Begin(const QString& station, const QString& title, const QString& codec,
                         bool whole, double at)
{
    const QString parts = PartFolder(folder_);
    error_.clear();
    if (!Recording()) keepLeftovers();
    close(at, true, false);
    if (!QDir().mkpath(parts)) {
        error_ = "The recording folder " + folder_ + " cannot be made";
        return false;
    }
    if (diskFull()) {
        error_ = "The disk is full: recording stopped";
        return false;
    }
    TSong song;
    song.Ext = TRecordFiles::PlainExt(ExtensionFor(codec));
    song.Name = TRecordFiles::SafeName(station, title);
    song.Whole = whole;
    song.Start = song.Saved = at;
    song.Part = QDir(parts).filePath(song.Name + "." + song.Ext);
    for (int n = 2; (QFileInfo::exists(song.Part) || closing_.contains(song.Part)) && n < 1000; ++n)
        song.Part = QDir(parts).filePath(QString("%1 (%2).%3").arg(song.Name).arg(n).arg(song.Ext));
    current_ = song;
    DebugLog("Recording to " + song.Part);
    return true;
}

void TMpvRecorder::Finish(double at, bool wait)
{
    close(at, false, wait);
}

void TMpvRecorder::Dropped()
{
    if (!Recording()) return;
    TSong song = std::exchange(current_, TSong());
    song.Whole = false;
    keep(song);
}

bool TMpvRecorder::Checkpoint(double at)
{
    if (!Recording()) return false;
    if (diskFull()) {
        // Written again, the song might not fit where its last write did: that one is kept.
        error_ = "The disk is full: recording stopped";
        DebugLog(error_, dcErrOut);
        Dropped();
        return false;
    }
    if (at - current_.Saved >= CheckpointSecs) {
        current_.Saved = at;
        dump_(current_.Start, at, current_.Part, false);
    }
    return true;
}

void TMpvRecorder::Failed(const QString& why, double at)
{
    if (!Recording()) return;
    error_ = why;
    DebugLog(why, dcErrOut);
    close(at, false, false);
}

void TMpvRecorder::close(double at, bool complete, bool wait)
{
    if (!Recording()) return;
    TSong song = std::exchange(current_, TSong());
    song.Whole = song.Whole && complete;
    closing_.insert(song.Part, song);
    dump_(song.Start, std::max(at, song.Start), song.Part, wait);
}

void TMpvRecorder::DumpDone(const QString& path, bool ok, const QString& why)
{
    if (!ok) DebugLog("Recording: " + path + " not written: " + why, dcErrOut);
    const auto it = closing_.find(path);
    if (it == closing_.end()) return; // a song in progress, written so far
    const TSong song = it.value();
    closing_.erase(it);
    keep(song);
}

void TMpvRecorder::keep(const TSong& song)
{
    if (QFileInfo(song.Part).size() > 0)
        done_ << TRecordFiles::KeepAs(song.Part, folder_, song.Name, song.Ext, song.Whole);
    else
        QFile::remove(song.Part); // nothing heard: nothing to keep
}

void TMpvRecorder::keepLeftovers()
{
    // Songs of a run that ended without moving them out (killed, or the power gone) are
    // kept, cut short.
    const QDir parts(PartFolder(folder_));
    for (const QFileInfo& f : parts.entryInfoList(QDir::Files)) {
        if (closing_.contains(f.filePath())) continue;
        TSong song;
        song.Part = f.filePath();
        song.Name = f.completeBaseName();
        song.Ext = TRecordFiles::PlainExt(f.suffix());
        keep(song);
    }
}
