#include "flashoutput.h"

#include <cerrno>
#include <utility>

namespace {

constexpr std::chrono::milliseconds gatherTime{20};

} // namespace

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

// What waits is written and flushed at once, all of it in one go, so a
// reader on a pipe sees it as it happens and a burst costs one write; a
// stream whose write fails takes no more.
void FlashOutput::writeAll()
{
    QList<std::FILE *> failed;
    std::unique_lock lock(mutex);
    for (;;) {
        queued.wait(lock, [this] { return ending || !pending.isEmpty(); });
        if (pending.isEmpty())
            return; // ending, with nothing left
        const QList<Pending> batch = std::exchange(pending, {});
        lock.unlock();
        QList<std::FILE *> written;
        for (const Pending &next : batch) {
            if (failed.contains(next.stream))
                continue;
            if (std::fputs(next.text.constData(), next.stream) < 0)
                fail(failed, next.stream);
            else if (!written.contains(next.stream))
                written.append(next.stream);
        }
        for (std::FILE *stream : std::as_const(written)) {
            if (!failed.contains(stream) && std::fflush(stream) != 0)
                fail(failed, stream);
        }
        // What comes in the next moment is gathered into one write: with a
        // hundred ports, a wake-up for every event costs more than the writing.
        std::this_thread::sleep_for(gatherTime);
        lock.lock();
        for (const Pending &done : batch)
            pendingBytes[done.stream] -= done.text.size();
    }
}

void FlashOutput::fail(QList<std::FILE *> &failed, std::FILE *stream)
{
    failed.append(stream);
    writeFailed(stream, errno);
}
