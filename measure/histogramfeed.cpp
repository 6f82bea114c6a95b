/// @brief Record forwarding and the calibration in force for the histogram.
#include "measure/histogramfeed.h"

#include <algorithm>

void HistogramFeed::recordDecoded(qint32 dt, int a, int b, int offset, int /*flags*/)
{
    m_histogram.add(dt, a, b, offset);
}

void HistogramFeed::recordsDecoded(std::span<const DecodedRecord> records)
{
    // A counter's cache miss costs more than the rest of add(): asking a few records ahead lets
    // the misses overlap instead of following one another.
    constexpr size_t Ahead = 8;
    const size_t n = records.size();
    for (size_t i = 0; i < std::min(n, Ahead); ++i)
        m_histogram.prefetch(records[i].dt);
    for (size_t i = 0; i < n; ++i) {
        if (i + Ahead < n)
            m_histogram.prefetch(records[i + Ahead].dt);
        const DecodedRecord& r = records[i];
        m_histogram.add(r.dt, r.a, r.b, r.offset);
    }
}

void HistogramFeed::setCalibration(const Calibration& c)
{
    using Ch = Calibration::Channel;
    if (c.converts(Ch::A) && c.converts(Ch::B))
        m_histogram.setCalibration(*c.low(Ch::A), *c.high(Ch::A), *c.low(Ch::B), *c.high(Ch::B), *c.tau(Ch::A),
                                   *c.tau(Ch::B));
    else
        m_histogram.clearCalibration();
}
