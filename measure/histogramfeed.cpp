/// @brief Record forwarding and calibration reading for the histogram.
#include "measure/histogramfeed.h"

#include "platform/numbers.h"

void HistogramFeed::recordDecoded(qint32 dt, int a, int b, int offset, int /*flags*/)
{
    m_histogram.add(dt, a, b, offset);
}

void HistogramFeed::setCalibrationTexts(const QString& aLow, const QString& aHigh, const QString& bLow,
                                        const QString& bHigh, const QString& tauA, const QString& tauB)
{
    const auto al = numbers::strictNumber(aLow);
    const auto ah = numbers::strictNumber(aHigh);
    const auto bl = numbers::strictNumber(bLow);
    const auto bh = numbers::strictNumber(bHigh);
    const auto ta = numbers::strictNumber(tauA);
    const auto tb = numbers::strictNumber(tauB);
    if (al && ah && bl && bh && ta && tb)
        m_histogram.setCalibration(*al, *ah, *bl, *bh, *ta, *tb);
    else
        m_histogram.clearCalibration();
}
