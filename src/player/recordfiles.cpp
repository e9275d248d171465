#include "recordfiles.h"
#include "debuglog.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QtEndian>

#include <algorithm>
#include <cerrno>

TRecordFiles::TRecordFiles(const QString& folder) : folder_(folder) {}

TRecordFiles::~TRecordFiles()
{
    Finish();
}

QString TRecordFiles::SafeName(const QString& station, const QString& title)
{
    auto clean = [](QString t) {
        // No folders, no control characters, nothing a file manager or shell reads apart.
        static const QRegularExpression bad(R"([/\\:*?"<>|\x00-\x1f\x7f])");
        t.replace(bad, "_");
        return t.simplified();
    };
    const QString s = clean(station), t = clean(title);
    QString name = s.isEmpty() ? t : t.isEmpty() ? s : s + " - " + t;
    if (name.isEmpty()) name = "Recording";
    // Never hidden, never "." or "..".
    while (name.startsWith('.'))
        name.remove(0, 1).prepend('_');
    while (name.toUtf8().size() > 200)
        name.chop(1);
    return name.trimmed();
}

bool TRecordFiles::Begin(const QString& station, const QString& title, const QString& ext,
                         bool whole)
{
    close(true);
    error_.clear();
    if (!QDir().mkpath(folder_)) {
        error_ = "The recording folder " + folder_ + " cannot be made";
        return false;
    }
    ext_ = PlainExt(ext);
    name_ = SafeName(station, title);
    whole_ = whole;
    file_.setFileName(QDir(folder_).filePath(name_ + "." + ext_ + ".part"));
    // A part left by a run that was killed is not written over.
    for (int n = 2; file_.exists() && n < 1000; ++n)
        file_.setFileName(
            QDir(folder_).filePath(QString("%1 (%2).%3.part").arg(name_).arg(n).arg(ext_)));
    if (!file_.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
        error_ =
            "The recording cannot be written to " + file_.fileName() + ": " + file_.errorString();
        return false;
    }
    DebugLog("Recording to " + file_.fileName());
    if (!waveFormat_.isEmpty()) {
        // RIFF header with the sizes left at 0 until the song is done.
        QByteArray head = "RIFF" + QByteArray(4, 0) + "WAVEfmt ";
        const quint32 n = qToLittleEndian(quint32(waveFormat_.size()));
        head += QByteArray(reinterpret_cast<const char*>(&n), 4) + waveFormat_;
        if (n % 2) head += '\0';
        head += "data" + QByteArray(4, 0);
        headerSize_ = head.size();
        return Write(head.constData(), head.size());
    }
    headerSize_ = 0;
    return true;
}

bool TRecordFiles::Write(const char* data, qint64 size)
{
    if (!file_.isOpen()) return false;
    qint64 done = 0;
    while (done < size) {
        errno = 0;
        const qint64 n = file_.write(data + done, size - done);
        if (n <= 0) {
            const int why = errno;
            error_ = (why == ENOSPC || why == EFBIG || why == EDQUOT ||
                      file_.error() == QFileDevice::ResourceError)
                         ? QString("The disk is full: recording stopped")
                         : "Recording stopped: " + file_.errorString();
            DebugLog(error_, dcErrOut);
            close(false);
            return false;
        }
        done += n;
    }
    return true;
}

void TRecordFiles::Finish()
{
    close(false);
}

void TRecordFiles::finishWave()
{
    if (headerSize_ == 0) return;
    // Little-endian sizes of the RIFF chunk and the data chunk; on a full disk these fit in
    // place all the same.
    const qint64 total = file_.size();
    auto put = [&](qint64 at, qint64 value) {
        const quint32 v = quint32(std::clamp<qint64>(value, 0, 0xffffffffLL));
        const char b[4] = {char(v & 0xff), char((v >> 8) & 0xff), char((v >> 16) & 0xff),
                           char((v >> 24) & 0xff)};
        file_.seek(at);
        file_.write(b, 4);
    };
    put(4, total - 8);
    put(headerSize_ - 4, total - headerSize_);
}

void TRecordFiles::close(bool complete)
{
    if (!file_.isOpen()) return;
    const QString part = file_.fileName();
    finishWave();
    file_.close();
    if (QFileInfo(part).size() <= headerSize_) {
        QFile::remove(part); // nothing heard: nothing to keep
        return;
    }
    done_ << KeepAs(part, folder_, name_, ext_, whole_ && complete);
}

QString TRecordFiles::PlainExt(const QString& ext)
{
    static const QRegularExpression plainExt("^[a-z0-9]{1,5}$");
    return plainExt.match(ext).hasMatch() ? ext : QString("bin");
}

QString TRecordFiles::KeepAs(const QString& file, const QString& folder, const QString& name,
                             const QString& ext, bool whole)
{
    const QString base = name + (whole ? QString() : QString(" (partial)"));
    QDir dir(folder);
    QString target = dir.filePath(base + "." + ext);
    for (int n = 2; QFileInfo::exists(target) && n < 1000; ++n)
        target = dir.filePath(QString("%1 (%2).%3").arg(base).arg(n).arg(ext));
    return QFile::rename(file, target) ? target : file;
}
