#include "turnaroundstats.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace {

qint64 percentileUs(const QList<qint64> &sortedNs, double fraction)
{
    const qsizetype rank = qsizetype(std::ceil(fraction * sortedNs.size()));
    return sortedNs.at(std::clamp<qsizetype>(rank - 1, 0, sortedNs.size() - 1)) / 1000;
}

} // namespace

void TurnaroundStats::requestWritten(qint64 at)
{
    requestWrittenAt = at;
    if (transferStartedAt < 0)
        transferStartedAt = at;
}

void TurnaroundStats::frameSent(qint64 sentAt)
{
    if (requestWrittenAt >= 0)
        turnaroundDurationsNs.append(sentAt - requestWrittenAt);
    requestWrittenAt = -1;
}

void TurnaroundStats::transferEnded(qint64 at)
{
    if (transferStartedAt >= 0)
        transferDurationsNs.append(at - transferStartedAt);
    transferStartedAt = -1;
}

void TurnaroundStats::add(const TurnaroundStats &other)
{
    turnaroundDurationsNs += other.turnaroundDurationsNs;
    transferDurationsNs += other.transferDurationsNs;
}

qint64 TurnaroundStats::totalTransferNs() const
{
    return std::accumulate(transferDurationsNs.cbegin(), transferDurationsNs.cend(), qint64(0));
}

std::optional<TurnaroundStats::Percentiles> TurnaroundStats::percentiles() const
{
    if (turnaroundDurationsNs.isEmpty())
        return std::nullopt;
    QList<qint64> sorted = turnaroundDurationsNs;
    std::sort(sorted.begin(), sorted.end());
    return Percentiles{percentileUs(sorted, 0.50), percentileUs(sorted, 0.99), sorted.last() / 1000,
                       sorted.size()};
}
