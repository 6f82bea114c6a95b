/// @brief Live histogram of a run's time differences, on bins that follow the grid of achievable values.
#pragma once

#include "link/protocol.h"

#include <QByteArray>
#include <QHash>
#include <QVector>
#include <QtGlobal>
#include <array>
#include <bitset>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

/// The step between axis ticks from the 1-2-5 series (…, 0.5, 1, 2, 5, 10, …) that puts at
/// most maxTicks intervals across span; 1 for an empty or invalid span.
double tickStep125(double span, int maxTicks);

/// Counts every time difference by its exact value (O(1) per record) and builds display bins
/// and summary figures lazily, only when they are asked for and something changed.
///
/// A record's dt can only take the values that the conversion gives for some pair of 12-bit
/// readings and an offset: an unevenly spaced set. Fixed-width bins narrower than the local
/// spacing of that set would alternate between full and structurally empty ("comb teeth").
/// The display bins therefore start from the operator's nominal width, move every edge to the
/// midpoint of the gap between the two achievable values around it, and drop edges that
/// coincide, so each bin holds at least one achievable value and no value lies on an edge.
/// The achievable set is computed from the calibration with the very conversion the decoder
/// uses; for records added with their readings, from the readings and offsets seen so far
/// (a superset of what was measured, far sparser than all readings when the signal is
/// narrow); otherwise from every plausible reading. Without a calibration, or when the set is
/// too costly to enumerate, the set is every integer (dt is a whole number of ps).
///
/// Not thread-safe; used on the thread that decodes.
class Histogram {
public:
    /// Readings the decoder accepts lie strictly between these.
    static constexpr int PlausibleLow = protocol::PlausibleLow;
    static constexpr int PlausibleHigh = protocol::PlausibleHigh;
    /// More display bins than this widen the effective bin width.
    static constexpr int MaxBins = 4000;
    /// Triples (A, B, offset) enumerated at most to find the achievable values in the range.
    static constexpr qint64 GridBudget = 24'000'000;

    struct Bin {
        double low = 0;  ///< ps, inclusive
        double high = 0; ///< ps, exclusive
        quint64 count = 0;
        /// Counts per ps times the nominal width: comparable between bins of unequal width.
        double scaledCount = 0;
    };

    struct Summary {
        quint64 count = 0;
        double mean = 0;   ///< ps; 0 without records
        double stdDev = 0; ///< ps, sample (n - 1) standard deviation; 0 below two records
        std::optional<qint32> minimum;
        std::optional<qint32> maximum;
        /// Full width at half maximum of the highest peak, on counts per ps; empty when a
        /// side of the peak never falls below half inside the range.
        std::optional<double> fwhm;
        /// ps, centre of the bin with the highest density; empty without records.
        std::optional<double> peak;
        double windowLow = 0;
        double windowHigh = 0;
        quint64 inWindow = 0;         ///< records with windowLow <= dt <= windowHigh
        double windowMean = 0;        ///< ps, mean dt of those records; 0 when there are none
        bool automaticWindow = false; ///< the window follows the peak (the operator set none)
        quint64 underflow = 0;        ///< records below the first bin
        quint64 overflow = 0;         ///< records at or above the end of the last bin
        double rangeLow = 0;          ///< ps, first bin's low edge
        double rangeHigh = 0;         ///< ps, last bin's high edge
        double nominalBinWidth = 0;   ///< ps, after widening for MaxBins
        int binCount = 0;
        /// True when the bin edges come from a calibration's achievable values.
        bool calibratedGrid = false;
    };

    Histogram();

    /// Forgets every record (run start); settings and calibration stay.
    void clear();
    /// One record's time difference, readings unknown (e.g. replayed from a plain data file).
    void add(qint32 dt) { add(dt, -1, -1, -1); }
    /// One record with its readings and offset, which narrow the achievable set.
    void add(qint32 dt, int a, int b, int offset)
    {
        struct Record {
            qint32 dt;
            int a;
            int b;
            int offset;
        };
        addAll(std::array<Record, 1>{{{dt, a, b, offset}}});
    }

    /// A block of records with readings, as add() one by one. The run's totals and where the
    /// counters lie stay in registers over the block instead of going to memory with every record.
    template <typename Records>
    void addAll(const Records& records)
    {
        quint64* dense = m_dense.get();
        qint64 base = m_denseBase;
        bool gridDirty = false;
        bool anyWithoutReadings = false;
        quint64 added = 0;
        for (const auto& r : records) {
            const quint64 slot = quint64(qint64(r.dt) - base);
            if (slot < quint64(DenseSpan)) [[likely]] {
                if (dense[slot]++ == 0)
                    m_newKeys.push_back(r.dt);
            } else {
                countSparse(r.dt);
                // The run's first record places the array.
                dense = m_dense.get();
                base = m_denseBase;
            }
            ++added;
            const int a = r.a;
            const int b = r.b;
            const int offset = r.offset;
            if (a >= 0 && a < 4096 && b >= 0 && b < 4096 && offset >= 0 && offset < 256) {
                if (!m_seenA.test(std::size_t(a)) || !m_seenB.test(std::size_t(b))
                    || !m_seenOffsets.test(std::size_t(offset))) [[unlikely]] {
                    m_seenA.set(std::size_t(a));
                    m_seenB.set(std::size_t(b));
                    m_seenOffsets.set(std::size_t(offset));
                    gridDirty = true;
                }
            } else {
                anyWithoutReadings = true;
            }
        }
        if (added == 0)
            return;
        m_count += added;
        m_revision += added;
        m_dirty = true;
        m_gridDirty = m_gridDirty || gridDirty;
        m_anyWithoutReadings = m_anyWithoutReadings || anyWithoutReadings;
    }

    /// The operator's bin width in ps (> 0; others are ignored).
    void setBinWidthPs(double width);
    double binWidthPs() const { return m_binWidth; }
    /// The calibration cells and Tau values the decoder converts with.
    void setCalibration(double aLow, double aHigh, double bLow, double bHigh, double tauA, double tauB);
    /// No usable calibration: the bins fall back to the integer grid.
    void clearCalibration();
    bool hasCalibration() const { return m_calibrated; }
    /// A fixed display range in ps (low < high), or empty for the automatic one: the highest
    /// peak ± 10 FWHM, never narrower than 20 bins, so that the flat background of accidental
    /// coincidences does not squeeze the peak into one bin. Without a peak whose both sides
    /// fall to half inside the records, the central 99.8 % widened by half on each side.
    void setRange(std::optional<std::pair<double, double>> range);
    std::optional<std::pair<double, double>> range() const { return m_range; }
    /// With no fixed range: true shows every record, from the smallest to the largest dt.
    void setShowAll(bool all);
    bool showAll() const { return m_showAll; }
    /// The coincidence window summary() and toCsv() use unless told otherwise. Until one is
    /// set (and again after setAutomaticWindow) the window is the peak ± 1 FWHM (both found on
    /// plain bins, whatever the display range), or ± 100 ps around the highest bin while no
    /// peak stands out.
    void setWindow(double low, double high);
    void setAutomaticWindow();

    quint64 count() const { return m_count; }
    /// Goes up with every clear(): tells a reader of cumulative figures that a new run began.
    quint64 generation() const { return m_generation; }
    /// Changes with every record and every setting: a viewer redraws only when it moved.
    quint64 revision() const { return m_revision; }
    /// Display bins, rebuilt if anything changed since the last call.
    const QVector<Bin>& bins() const;
    Summary summary() const;
    Summary summary(double windowLow, double windowHigh) const;
    /// "# name,value" lines of the summary, then "low_ps,high_ps,count" and one row per bin.
    QByteArray toCsv() const;
    /// Writes toCsv() to path; false (with errorText) when the file cannot be written.
    bool writeCsv(const QString& path, QString* errorText = nullptr) const;

    /// The achievable values in [low, high] the bins are built on (empty: the integer grid);
    /// exposed for tests and the replay tool's diagnostics.
    std::vector<qint32> achievableValues(qint32 low, qint32 high) const;

private:
    void countSparse(qint32 dt);
    quint64 countOf(qint32 dt) const
    {
        const quint64 slot = quint64(qint64(dt) - m_denseBase);
        return slot < quint64(DenseSpan) ? m_dense[slot] : m_counts.value(dt);
    }
    void rebuild() const;
    void resetDerived() const;
    const std::vector<quint64>& countsInKeyOrder() const;
    void computeMoments(const std::vector<quint64>& counts) const;
    /// Edges on the nominal lattice, snapped to the achievable grid; sets the nominal width.
    std::vector<double> binEdges() const;
    void fillBins(const std::vector<double>& edges, const std::vector<quint64>& counts) const;
    void findFwhm() const;
    struct PeakEstimate {
        double centre = 0;
        std::optional<double> fwhm;
        double binWidth = 0;
    };
    /// The highest peak on plain bins over [low, high]: cheap, no achievable grid.
    PeakEstimate estimatePeak(double low, double high) const;
    std::pair<double, double> centralRange() const;
    /// Coarse, then fine around the coarse peak; empty when no peak falls to half on both sides.
    std::optional<PeakEstimate> locatePeak() const;
    void mergeNewKeys() const;
    std::pair<double, double> automaticRange() const;
    void ensureGrid(qint32 low, qint32 high) const;
    /// The plausible readings' times, sorted and distinct; only those in `only` unless null.
    std::vector<double> readingTimes(const std::vector<double>& times, const std::bitset<4096>* only) const;
    /// Adds the values of the pairs of readings seen since the grid was enumerated.
    void extendGrid() const;
    double snapEdge(double edge) const;

    // Exact counts per dt: a flat array of DenseSpan values from m_denseBase (placed around the
    // first record of a run), and a hash for values outside it. Keys not yet in m_sortedKeys
    // wait in m_newKeys, so that adding stays O(1) and a rebuild only sorts what is new.
    static constexpr qint32 DenseSpan = 1 << 18;
    std::unique_ptr<quint64[]> m_dense;
    // Nothing is dense until the first record places the array.
    qint64 m_denseBase = std::numeric_limits<qint64>::min() / 2;
    QHash<qint32, quint64> m_counts;
    mutable std::vector<qint32> m_newKeys;
    mutable std::vector<qint32> m_sortedKeys;
    quint64 m_count = 0;
    quint64 m_revision = 0;
    quint64 m_generation = 0;

    std::bitset<4096> m_seenA;
    std::bitset<4096> m_seenB;
    std::bitset<256> m_seenOffsets;
    bool m_anyWithoutReadings = false;

    double m_binWidth = 10;
    std::optional<std::pair<double, double>> m_range;
    double m_windowLow = -100;
    double m_windowHigh = 100;
    bool m_windowSet = false;
    bool m_showAll = false;

    bool m_calibrated = false;
    std::vector<double> m_timeA; ///< ns per reading, NaN where the conversion faults
    std::vector<double> m_timeB;

    // Lazily built state.
    mutable bool m_dirty = true;
    mutable bool m_gridDirty = true;
    mutable QVector<Bin> m_bins;
    mutable double m_nominalWidth = 0;
    mutable quint64 m_underflow = 0;
    mutable quint64 m_overflow = 0;
    mutable std::optional<double> m_fwhm;
    mutable std::optional<double> m_peak;
    mutable std::optional<PeakEstimate> m_located;
    mutable double m_mean = 0;
    mutable double m_stdDev = 0;
    // Counts in m_sortedKeys order, and their running sums (one longer), for quantiles and
    // window counts without walking the hash.
    mutable std::vector<quint64> m_prefix;
    mutable std::vector<long double> m_prefixSum; ///< running sums of dt x count, same order
    mutable std::vector<quint64> m_keyCounts;     ///< counts in key order, kept between rebuilds
    mutable std::vector<qint64> m_gapScratch;
    // Achievable values over [m_gridLow, m_gridHigh]; m_gridValid false: integer grid.
    mutable std::vector<qint32> m_grid;
    mutable qint64 m_gridLow = 0;
    mutable qint64 m_gridHigh = -1;
    mutable bool m_gridValid = false;
    // What the grid was enumerated from. Readings seen later only add values, so while the
    // calibration and the range stay, only the pairs with a new reading or offset are enumerated.
    mutable bool m_gridNeedsFull = true;
    mutable bool m_gridUsedSeen = false;
    mutable qint64 m_gridWork = 0; ///< pairs in range so far, against GridBudget
    mutable std::bitset<4096> m_gridSeenA;
    mutable std::bitset<4096> m_gridSeenB;
    mutable std::bitset<256> m_gridSeenOffsets;
};
