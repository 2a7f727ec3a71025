#ifndef FLASHOUTPUT_H
#define FLASHOUTPUT_H

#include <QByteArray>
#include <QHash>
#include <QList>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <thread>

// Writes text to stdout and stderr on a thread of its own, so a reader that
// stops reading (a paused pipeline, a terminal held with Ctrl-S) holds up
// nobody: the transfers go on while the text waits here, up to a limit.
class FlashOutput
{
public:
    // What may wait for the reader: half an hour of progress events from
    // 128 ports, and far more than a reader that merely pauses leaves.
    static constexpr qsizetype defaultLimitBytes = 16 * 1024 * 1024;

    // writeFailed is called on the writing thread with the stream and errno
    // of a failed write; that stream takes no more.
    explicit FlashOutput(std::function<void(std::FILE *stream, int error)> writeFailed,
                         qsizetype limitBytes = defaultLimitBytes);
    // Waits until everything queued is written or has failed.
    ~FlashOutput();
    FlashOutput(const FlashOutput &) = delete;
    FlashOutput &operator=(const FlashOutput &) = delete;

    // Queues text for stream; never waits. False, with nothing queued, when
    // the stream's text waiting would pass the limit: its reader has fallen
    // too far behind.
    bool push(std::FILE *stream, const QByteArray &text);
    qsizetype limit() const { return limitBytes; }

private:
    struct Pending
    {
        std::FILE *stream;
        QByteArray text;
    };

    void writeAll();
    void fail(QList<std::FILE *> &failed, std::FILE *stream);

    const std::function<void(std::FILE *stream, int error)> writeFailed;
    const qsizetype limitBytes;
    std::mutex mutex;
    std::condition_variable queued;
    QList<Pending> pending;
    QHash<std::FILE *, qsizetype> pendingBytes; // by stream
    bool ending = false;
    std::thread writer;
};

#endif // FLASHOUTPUT_H
