/// @brief The decoder's record observer that fills a Histogram, with the calibration read from the panel's texts.
#pragma once

#include "link/decoderoutput.h"
#include "measure/histogram.h"

#include <QString>

/// Attach with ReplyDecoder::setObserver; every decoded record goes into histogram() with its
/// readings and offset. Owns the histogram so a viewer and the observer cannot disagree on
/// which one is live.
class HistogramFeed : public RecordObserver {
public:
    void recordDecoded(qint32 dt, int a, int b, int offset, int flags) override;

    /// Run start: forget the previous run's records, as the statistics do.
    void clearForRunStart() { m_histogram.clear(); }

    /// The calibration cells and Tau fields as the panel holds them, read the way the decoder
    /// reads them; when one does not read as a number the histogram has no calibration (and
    /// the decoder converts nothing either).
    void setCalibrationTexts(const QString& aLow, const QString& aHigh, const QString& bLow, const QString& bHigh,
                             const QString& tauA, const QString& tauB);

    Histogram& histogram() { return m_histogram; }
    const Histogram& histogram() const { return m_histogram; }

private:
    Histogram m_histogram;
};
