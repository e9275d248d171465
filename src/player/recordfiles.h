#pragma once
// The files a recording is written to: one a song, named "Station - Title.ext" in the
// chosen folder, split where the title changes. Each song is written to a ".part" file and
// takes its name only when it is done, so a stop, a drop or a quit keeps what was heard
// (a song not heard from its start is marked " (partial)"). A write that fails (the disk
// full, the file too big) ends the recording with a message and keeps what was written.
// Station and title come from the stream: they never choose a folder or a hidden file.
#include <QFile>
#include <QString>

class TRecordFiles
{
public:
    explicit TRecordFiles(const QString& folder);
    ~TRecordFiles(); // what is being written is kept
    TRecordFiles(const TRecordFiles&) = delete;
    TRecordFiles& operator=(const TRecordFiles&) = delete;

    // A new song begins: the one being written is done. `whole` says it is heard from its
    // start (false for the song playing when recording starts). False with Error() set
    // when the file cannot be made.
    bool Begin(const QString& station, const QString& title, const QString& ext, bool whole);
    // The stream's bytes as they came. False (and the recording over) when they could not
    // all be written; what was written is kept.
    bool Write(const char* data, qint64 size);
    // Recording ends (stop, drop, quit): the song being written is kept, marked cut short.
    void Finish();

    // The program's own stream kind sends bare audio in a format block's format: its songs
    // are kept in a WAV file with that block, the sizes filled in when each is done.
    void SetWaveFormat(const QByteArray& block) { waveFormat_ = block; }

    bool Recording() const { return file_.isOpen(); }
    QString Error() const { return error_; }
    QString CurrentPart() const { return file_.fileName(); }
    // The file names the recording has finished, in order.
    const QStringList& Done() const { return done_; }

    // "Station - Title" made safe as one file name of at most 200 bytes.
    static QString SafeName(const QString& station, const QString& title);
    // The extension as given when it is plain (a few lower-case letters and digits).
    static QString PlainExt(const QString& ext);
    // Gives a finished song its name in `folder`: `name` (marked " (partial)" unless
    // `whole`) with `ext`, numbered when taken. The new path, or `file` when it could not
    // be moved (it is kept under its working name then).
    static QString KeepAs(const QString& file, const QString& folder, const QString& name,
                          const QString& ext, bool whole);

private:
    void close(bool complete);
    void finishWave();
    QByteArray waveFormat_;
    qint64 headerSize_ = 0;
    QString folder_, name_, ext_;
    bool whole_ = false;
    QFile file_;
    QString error_;
    QStringList done_;
};
