#ifndef LINETIMING_H
#define LINETIMING_H

#include <QtGlobal>

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

#endif // LINETIMING_H
