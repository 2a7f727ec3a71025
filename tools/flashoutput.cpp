#include "flashoutput.h"

#include <cerrno>
#include <utility>

FlashOutput::FlashOutput(std::function<void(std::FILE *stream, int error)> writeFailed, qsizetype limitBytes)
    : writeFailed(std::move(writeFailed))
    , limitBytes(limitBytes)
    , writer(&FlashOutput::writeAll, this)
{
}

FlashOutput::~FlashOutput()
{
    {
        const std::lock_guard lock(mutex);
        ending = true;
    }
    queued.notify_one();
    writer.join();
}

bool FlashOutput::push(std::FILE *stream, const QByteArray &text)
{
    {
        const std::lock_guard lock(mutex);
        qsizetype &waiting = pendingBytes[stream];
        if (waiting + text.size() > limitBytes)
            return false;
        pending.append({stream, text});
        waiting += text.size();
    }
    queued.notify_one();
    return true;
}

// Each text is written and flushed at once, so a reader on a pipe sees it
// as it happens; a stream whose write fails takes no more.
void FlashOutput::writeAll()
{
    QList<std::FILE *> failed;
    std::unique_lock lock(mutex);
    for (;;) {
        queued.wait(lock, [this] { return ending || !pending.isEmpty(); });
        if (pending.isEmpty())
            return; // ending, with nothing left
        const Pending next = pending.takeFirst();
        lock.unlock();
        if (!failed.contains(next.stream)) {
            errno = 0;
            if (std::fputs(next.text.constData(), next.stream) < 0 || std::fflush(next.stream) != 0) {
                failed.append(next.stream);
                writeFailed(next.stream, errno);
            }
        }
        lock.lock();
        pendingBytes[next.stream] -= next.text.size();
    }
}
