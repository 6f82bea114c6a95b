/// @brief Record forwarding and the calibration in force for the histogram.
#include "measure/histogramfeed.h"

void HistogramFeed::recordDecoded(qint32 dt, int a, int b, int offset, int /*flags*/)
{
    m_histogram.add(dt, a, b, offset);
}

void HistogramFeed::recordsDecoded(std::span<const DecodedRecord> records) { m_histogram.addAll(records); }

void HistogramFeed::setCalibration(const Calibration& c)
{
    using Ch = Calibration::Channel;
    if (c.converts(Ch::A) && c.converts(Ch::B))
        m_histogram.setCalibration(*c.low(Ch::A), *c.high(Ch::A), *c.low(Ch::B), *c.high(Ch::B), *c.tau(Ch::A),
                                   *c.tau(Ch::B));
    else
        m_histogram.clearCalibration();
}
