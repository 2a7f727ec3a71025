#include "precisewakeup.h"

#include <algorithm>
#include <sys/timerfd.h>
#include <unistd.h>

namespace {

constexpr qint64 nsPerSecond = 1000000000;
// How much earlier than the deadline the kernel timer is set: more than its
// usual lateness (timer slack plus scheduling), so the spin is rarely skipped.
constexpr qint64 spinMarginNs = 200000;

} // namespace

PreciseWakeUp::PreciseWakeUp(const QElapsedTimer &clock, QObject *parent)
    : QObject(parent)
    , clock(clock)
    , timerFd(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC))
{
    notifier.setSocket(timerFd);
    connect(&notifier, &QSocketNotifier::activated, this, &PreciseWakeUp::fire);
}

PreciseWakeUp::~PreciseWakeUp()
{
    notifier.setEnabled(false);
    if (timerFd >= 0)
        ::close(timerFd);
}

void PreciseWakeUp::wakeAt(qint64 deadlineNs)
{
    wakeDeadlineNs = deadlineNs;
    // A zero expiry would disarm the timer, so an overdue wake-up fires after 1 ns.
    const qint64 delayNs = std::max<qint64>(deadlineNs - spinMarginNs - clock.nsecsElapsed(), 1);
    itimerspec expiry{};
    expiry.it_value.tv_sec = delayNs / nsPerSecond;
    expiry.it_value.tv_nsec = delayNs % nsPerSecond;
    timerfd_settime(timerFd, 0, &expiry, nullptr);
    notifier.setEnabled(true);
}

void PreciseWakeUp::cancel()
{
    const itimerspec disarmed{};
    timerfd_settime(timerFd, 0, &disarmed, nullptr);
    notifier.setEnabled(false);
}

void PreciseWakeUp::fire()
{
    quint64 expirations = 0;
    if (::read(timerFd, &expirations, sizeof expirations) < 0)
        return; // a wake-up replaced after it fired: nothing is due yet
    notifier.setEnabled(false);
    while (clock.nsecsElapsed() < wakeDeadlineNs) {
        // Waiting out the last stretch of at most spinMarginNs on the clock.
    }
    emit due();
}
