#ifndef PRECISEWAKEUP_H
#define PRECISEWAKEUP_H

#include <QElapsedTimer>
#include <QObject>
#include <QSocketNotifier>

// A one-shot wake-up on clock, accurate to a few microseconds. An ordinary
// timer wakes late by tens of microseconds, which over thousands of frames
// would be charged to the host, so the kernel timer fires a little early and
// the last stretch is waited out on the clock.
class PreciseWakeUp : public QObject
{
    Q_OBJECT
public:
    explicit PreciseWakeUp(const QElapsedTimer &clock, QObject *parent = nullptr);
    ~PreciseWakeUp() override;

    // Replaces any wake-up still pending.
    void wakeAt(qint64 deadlineNs);
    void cancel();

signals:
    void due();

private:
    void fire();

    const QElapsedTimer &clock;
    int timerFd = -1;
    QSocketNotifier notifier{QSocketNotifier::Read};
    qint64 wakeDeadlineNs = 0;
};

#endif // PRECISEWAKEUP_H
