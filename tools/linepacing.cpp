#include "linepacing.h"

#include <algorithm>
#include <sys/timerfd.h>
#include <unistd.h>

namespace {

constexpr int BitsPerByte = 10; // start bit, eight data bits, stop bit
constexpr qint64 NsPerSecond = 1000000000;
// How much earlier than the deadline the kernel timer is set: more than its
// usual lateness (timer slack plus scheduling), so the spin is rarely skipped.
constexpr qint64 SpinMarginNs = 200000;

} // namespace

void LineTiming::setBaudRate(int baud)
{
    m_byteNs = baud > 0 ? BitsPerByte * NsPerSecond / baud : 0;
}

qint64 LineTiming::deliver(qint64 now, qint64 byteCount)
{
    m_busyUntil = std::max(m_busyUntil, now) + durationNs(byteCount);
    return m_busyUntil;
}

PreciseWakeUp::PreciseWakeUp(const QElapsedTimer &clock, QObject *parent)
    : QObject(parent)
    , m_clock(clock)
    , m_timerFd(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC))
{
    m_notifier.setSocket(m_timerFd);
    connect(&m_notifier, &QSocketNotifier::activated, this, &PreciseWakeUp::fire);
}

PreciseWakeUp::~PreciseWakeUp()
{
    m_notifier.setEnabled(false);
    if (m_timerFd >= 0)
        ::close(m_timerFd);
}

void PreciseWakeUp::wakeAt(qint64 deadlineNs)
{
    m_deadlineNs = deadlineNs;
    // A zero expiry would disarm the timer, so an overdue wake-up fires after 1 ns.
    const qint64 delayNs = std::max<qint64>(deadlineNs - SpinMarginNs - m_clock.nsecsElapsed(), 1);
    itimerspec expiry{};
    expiry.it_value.tv_sec = delayNs / NsPerSecond;
    expiry.it_value.tv_nsec = delayNs % NsPerSecond;
    timerfd_settime(m_timerFd, 0, &expiry, nullptr);
    m_notifier.setEnabled(true);
}

void PreciseWakeUp::cancel()
{
    const itimerspec disarmed{};
    timerfd_settime(m_timerFd, 0, &disarmed, nullptr);
    m_notifier.setEnabled(false);
}

void PreciseWakeUp::fire()
{
    quint64 expirations = 0;
    if (::read(m_timerFd, &expirations, sizeof expirations) < 0)
        return; // a wake-up replaced after it fired: nothing is due yet
    m_notifier.setEnabled(false);
    while (m_clock.nsecsElapsed() < m_deadlineNs) {
        // Waiting out the last stretch of at most SpinMarginNs on the clock.
    }
    emit due();
}
