#ifndef LINEPACING_H
#define LINEPACING_H

#include <QElapsedTimer>
#include <QObject>
#include <QSocketNotifier>

// When bytes would arrive over an 8N1 serial line: ten bit times a byte, and
// bytes handed over in one direction queue behind those still under way.
// Times are nanoseconds on the caller's clock.
class LineTiming
{
public:
    // 0 makes the line instant.
    void setBaudRate(int baud);
    bool isPaced() const { return byteNs > 0; }
    qint64 durationNs(qint64 byteCount) const { return byteCount * byteNs; }

    // The moment the last of byteCount bytes, handed to the line at now, has
    // fully arrived at the far end.
    qint64 deliver(qint64 now, qint64 byteCount);

private:
    qint64 byteNs = 0;
    qint64 busyUntil = 0;
};

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

#endif // LINEPACING_H
