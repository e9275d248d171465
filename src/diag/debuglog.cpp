#include "debuglog.h"

#include <QCoreApplication>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QThread>

namespace {
TDebugSink g_sink;
QMutex g_fileLock;

// The mirror file is named once per process; lines are appended and flushed at once so
// that a crash loses nothing.
QFile* mirror()
{
    static QFile* f = [] {
        const QString path = qEnvironmentVariable("DIALWISE_DEBUGLOG");
        if (path.isEmpty()) return static_cast<QFile*>(nullptr);
        auto* file = new QFile(path);
        if (!file->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
            delete file;
            return static_cast<QFile*>(nullptr);
        }
        return file;
    }();
    return f;
}
} // namespace

int DebugChannelIndex(int channel)
{
    return (channel == 2 || channel == 3) ? channel - 1 : 0;
}

QString DebugChannelName(int channel)
{
    static const char* names[] = {"GenOut", "ErrOut", "PerfOut"};
    return QString::fromLatin1(names[DebugChannelIndex(channel)]);
}

void DebugLog(const QString& text, int channel)
{
    if (QFile* f = mirror()) {
        QMutexLocker lock(&g_fileLock);
        f->write((DebugChannelName(channel) + " >" + text + "\n").toUtf8());
        f->flush();
    }
    // The console is a window: lines from other threads (the sound device's worker) are
    // handed to the user-interface thread, in order.
    QCoreApplication* app = QCoreApplication::instance();
    if (app && QThread::currentThread() != app->thread()) {
        QMetaObject::invokeMethod(
            app,
            [text, channel] {
                if (g_sink) g_sink(text, channel);
            },
            Qt::QueuedConnection);
        return;
    }
    if (g_sink) g_sink(text, channel);
}

void DebugLog(const QString& text)
{
    DebugLog(text, dcGenOut);
}

void SetDebugSink(TDebugSink sink)
{
    g_sink = std::move(sink);
}

bool HaveDebugSink()
{
    return bool(g_sink);
}
