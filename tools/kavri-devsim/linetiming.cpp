#include "linetiming.h"

#include <algorithm>

namespace {

constexpr int bitsPerByte = 10; // start bit, eight data bits, stop bit
constexpr qint64 nsPerSecond = 1000000000;

} // namespace

void LineTiming::setBaudRate(int baud)
{
    byteNs = baud > 0 ? bitsPerByte * nsPerSecond / baud : 0;
}

qint64 LineTiming::deliver(qint64 now, qint64 byteCount)
{
    busyUntil = std::max(busyUntil, now) + durationNs(byteCount);
    return busyUntil;
}
