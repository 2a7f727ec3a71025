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
    m_requestWrittenAt = at;
    if (m_transferStartedAt < 0)
        m_transferStartedAt = at;
}

void TurnaroundStats::frameSent(qint64 sentAt)
{
    if (m_requestWrittenAt >= 0)
        m_turnaroundsNs.append(sentAt - m_requestWrittenAt);
    m_requestWrittenAt = -1;
}

void TurnaroundStats::transferEnded(qint64 at)
{
    if (m_transferStartedAt >= 0)
        m_transferTimesNs.append(at - m_transferStartedAt);
    m_transferStartedAt = -1;
}

void TurnaroundStats::add(const TurnaroundStats &other)
{
    m_turnaroundsNs += other.m_turnaroundsNs;
    m_transferTimesNs += other.m_transferTimesNs;
}

qint64 TurnaroundStats::totalTransferNs() const
{
    return std::accumulate(m_transferTimesNs.cbegin(), m_transferTimesNs.cend(), qint64(0));
}

std::optional<TurnaroundStats::Percentiles> TurnaroundStats::percentiles() const
{
    if (m_turnaroundsNs.isEmpty())
        return std::nullopt;
    QList<qint64> sorted = m_turnaroundsNs;
    std::sort(sorted.begin(), sorted.end());
    return Percentiles{percentileUs(sorted, 0.50), percentileUs(sorted, 0.99), sorted.last() / 1000,
                       sorted.size()};
}
