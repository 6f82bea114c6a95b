/// @brief The decoder's record observer that fills a Histogram, binned with the calibration in force.
#pragma once

#include "link/calibration.h"
#include "link/decoderoutput.h"
#include "measure/histogram.h"

/// Attach with ReplyDecoder::setObserver; every decoded record goes into histogram() with its
/// readings and offset. Owns the histogram so a viewer and the observer cannot disagree on
/// which one is live.
class HistogramFeed : public RecordObserver {
public:
    void recordDecoded(qint32 dt, int a, int b, int offset, int flags) override;
    void recordsDecoded(std::span<const DecodedRecord> records) override;

    /// Run start: forget the previous run's records, as the statistics do.
    void clearForRunStart() { m_histogram.clear(); }

    /// The calibration the decoder converts with; when a channel does not convert the histogram
    /// has no calibration (and the decoder converts nothing either).
    void setCalibration(const Calibration& calibration);

    Histogram& histogram() { return m_histogram; }
    const Histogram& histogram() const { return m_histogram; }

private:
    Histogram m_histogram;
};
