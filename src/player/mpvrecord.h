#pragma once
// Recording what the libmpv engine plays. libmpv hands over no bytes: it writes what it
// holds in its cache to a file itself, in the container the file's extension names,
// without re-encoding. (Its "stream-record", switched to a new file at each title, writes
// nothing once a live stream plays with the libmpv this program runs on; the cache's dump
// by playing time does, and cuts exactly where the title changed.)
//
// Each song is written under its final name in the hidden ".part" folder inside the
// recording folder: again every little while as it plays, so that a drop, a quit or a
// crash loses at most those seconds, and whole when the next title begins; then it is
// moved out with the naming of TRecordFiles: "Station - Title.ext", " (partial)" for a
// song not heard from its start or cut short by a stop, a drop or a quit. A disk that
// fills up ends the recording with a message and keeps what was written.
#include <QHash>
#include <QString>
#include <QStringList>
#include <functional>

class TMpvRecorder
{
public:
    // `dump` writes the cache's sound from `from` to `to` seconds of playing time to
    // `path`, in the background, or at once when `wait` is set; the engine then calls
    // DumpDone.
    using TDump = std::function<void(double from, double to, const QString& path, bool wait)>;
    TMpvRecorder(const QString& folder, TDump dump);
    QString Folder() const { return folder_; }
    TMpvRecorder(const TMpvRecorder&) = delete;
    TMpvRecorder& operator=(const TMpvRecorder&) = delete;

    // A new song begins at `at` seconds of playing time (see TRecordFiles::Begin); `codec`
    // is the stream's audio codec as libmpv names it, which chooses the file's extension.
    // False with Error() set.
    bool Begin(const QString& station, const QString& title, const QString& codec, bool whole,
               double at);
    // The song being recorded ends cut short at `at` (a stop, a drop, a quit); `wait` for
    // the file before returning (a quit).
    void Finish(double at, bool wait = false);
    // The stream dropped and its cache is gone: the song keeps what its file holds (the
    // last write), cut short.
    void Dropped();
    // Now and then while recording: the song so far to its file. False (and the song kept
    // as last written, the recording over) when the disk is full.
    bool Checkpoint(double at);
    // The engine wrote (or could not write) `path`.
    void DumpDone(const QString& path, bool ok, const QString& why);
    // libmpv could not write the file: the recording is over, what was written kept.
    void Failed(const QString& why, double at);

    bool Recording() const { return !current_.Part.isEmpty(); }
    QString Error() const { return error_; }
    QString CurrentPart() const { return current_.Part; }
    const QStringList& Done() const { return done_; }

    // The extension whose container takes the codec's packets unchanged.
    static QString ExtensionFor(const QString& codec);
    static QString PartFolder(const QString& folder);
    // Free bytes below which the disk counts as full.
    static constexpr qint64 DiskReserve = 256 * 1024;
    // Seconds between the writes of a song in progress.
    static constexpr double CheckpointSecs = 10;

private:
    struct TSong
    {
        QString Part, Name, Ext;
        bool Whole = false;
        double Start = 0, Saved = 0;
    };
    void close(double at, bool complete, bool wait);
    void keep(const TSong& song);
    void keepLeftovers();
    bool diskFull() const;
    QString folder_;
    TDump dump_;
    TSong current_;
    QHash<QString, TSong> closing_; // written for the last time, to be moved out
    QString error_;
    QStringList done_;
};
