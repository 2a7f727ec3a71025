#ifndef TURNAROUNDSTATS_H
#define TURNAROUNDSTATS_H

#include <QList>
#include <QtGlobal>

#include <optional>

// How quickly a host answers the device, in nanoseconds on the driver's
// clock: per frame, from the moment the device's request (ACK or NAK) was
// fully written to the moment the frame's first byte left the host; per
// device, from its first request written to the end of its session.
class TurnaroundStats
{
public:
    struct Percentiles
    {
        qint64 p50Us;
        qint64 p99Us;
        qint64 maxUs;
        qsizetype frames;
    };

    void requestWritten(qint64 at);
    // A frame arrived that the host began sending at sentAt. Counted only
    // when it answers a request.
    void frameSent(qint64 sentAt);
    // The current device's session ended at the moment given.
    void transferEnded(qint64 at);
    // Adds another line's figures, for totals over several lines.
    void add(const TurnaroundStats &other);

    const QList<qint64> &turnaroundsNs() const { return turnaroundDurationsNs; }
    const QList<qint64> &transferTimesNs() const { return transferDurationsNs; }
    qint64 totalTransferNs() const;
    // Nearest-rank p50 and p99 and the maximum, in microseconds; nullopt
    // without frames.
    std::optional<Percentiles> percentiles() const;

private:
    qint64 requestWrittenAt = -1;
    qint64 transferStartedAt = -1;
    QList<qint64> turnaroundDurationsNs;
    QList<qint64> transferDurationsNs;
};

#endif // TURNAROUNDSTATS_H
