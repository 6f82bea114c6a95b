/// @brief Lazy binning on the achievable-value grid, the summary figures and the CSV export.
#include "measure/histogram.h"
#include "platform/nofollowfile.h"

#include "measure/exactsum.h"

#include "link/channeltimetable.h"
#include "link/timeconversion.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <iterator>
#include <limits>

namespace {

// Beyond this many integers the presence bitmap of the grid would cost more than it helps.
constexpr qint64 MaxGridSpan = qint64(1) << 26;

// dt as the decoder computes it, with overflows ordered by sign so that searches along a
// monotone sequence stay monotone.
qint64 differenceOrdered(double tA, double tB, int offset)
{
    const timeconv::Difference d = timeconv::timeDifference(tA, tB, offset);
    if (d.fault == timeconv::Fault::None)
        return d.ps;
    return timeconv::rawDifference(tA, tB, offset) > 0 ? std::numeric_limits<qint64>::max()
                                                       : std::numeric_limits<qint64>::min();
}

QByteArray number(double v) { return QByteArray::number(v, 'g', 12); }

// Width at half maximum around density[peak], the crossings interpolated between bin centres;
// empty when a side never falls below half inside the bins.
std::optional<double> halfMaximumWidth(const std::vector<double>& density, const std::vector<double>& centre,
                                       std::size_t peak)
{
    const double half = density[peak] / 2;
    if (half <= 0)
        return std::nullopt;
    std::size_t left = peak;
    while (left > 0 && density[left - 1] >= half)
        --left;
    std::size_t right = peak;
    while (right + 1 < density.size() && density[right + 1] >= half)
        ++right;
    if (left == 0 || right + 1 == density.size())
        return std::nullopt;
    const auto cross = [&](std::size_t below, std::size_t above) {
        return centre[below]
               + (half - density[below]) * (centre[above] - centre[below]) / (density[above] - density[below]);
    };
    return cross(right + 1, right) - cross(left - 1, left);
}

// Around the peak the automatic window reaches this far when the FWHM is unknown.
constexpr double DefaultWindowHalf = 100;

} // namespace

double tickStep125(double span, int maxTicks)
{
    if (!(span > 0) || !std::isfinite(span) || maxTicks < 1)
        return 1;
    const double raw = span / maxTicks;
    double decade = std::pow(10.0, std::floor(std::log10(raw)));
    for (;;) {
        for (double m : {1.0, 2.0, 5.0}) {
            // A hair of tolerance: 0.3 / 3 must give 0.1, not 0.2.
            if (m * decade >= raw * (1 - 1e-9))
                return m * decade;
        }
        decade *= 10;
    }
}

Histogram::Histogram() = default;

void Histogram::countSparse(qint32 dt)
{
    if (!m_dense) {
        // The first record: the array centres on it, ±131,072 ps (a peak and its background).
        m_dense = std::make_unique<quint64[]>(size_t(DenseSpan));
        m_denseBase = qint64(dt) - DenseSpan / 2;
        m_dense[size_t(qint64(dt) - m_denseBase)] = 1;
        m_newKeys.push_back(dt);
        return;
    }
    auto it = m_counts.find(dt);
    if (it == m_counts.end()) {
        m_counts.insert(dt, 1);
        m_newKeys.push_back(dt);
    } else {
        ++*it;
    }
}

void Histogram::clear()
{
    // The next run places the array anew around its own first record.
    m_dense.reset();
    m_denseBase = std::numeric_limits<qint64>::min() / 2;
    m_counts.clear();
    m_newKeys.clear();
    m_sortedKeys.clear();
    m_prefix.clear();
    m_prefixSum.clear();
    m_count = 0;
    m_seenA.reset();
    m_seenB.reset();
    m_seenOffsets.reset();
    m_anyWithoutReadings = false;
    ++m_generation;
    ++m_revision;
    m_dirty = true;
    m_gridDirty = true;
    m_gridNeedsFull = true;
}

void Histogram::setBinWidthPs(double width)
{
    if (!(width > 0) || !std::isfinite(width) || width == m_binWidth)
        return;
    m_binWidth = width;
    ++m_revision;
    m_dirty = true;
}

void Histogram::setCalibration(double aLow, double aHigh, double bLow, double bHigh, double tauA, double tauB)
{
    // The decoder's own tables, so the grid is bit-identical to the records' values.
    ChannelTimeTable a;
    ChannelTimeTable b;
    a.build(tauA, aLow, aHigh);
    b.build(tauB, bLow, bHigh);
    m_timeA.assign(a.timesOrNaN(), a.timesOrNaN() + ChannelTimeTable::Size);
    m_timeB.assign(b.timesOrNaN(), b.timesOrNaN() + ChannelTimeTable::Size);
    m_calibrated = true;
    ++m_revision;
    m_dirty = true;
    m_gridDirty = true;
    m_gridNeedsFull = true;
}

void Histogram::clearCalibration()
{
    if (!m_calibrated)
        return;
    m_calibrated = false;
    m_timeA.clear();
    m_timeB.clear();
    ++m_revision;
    m_dirty = true;
    m_gridDirty = true;
    m_gridNeedsFull = true;
}

void Histogram::setRange(std::optional<std::pair<double, double>> range)
{
    if (range && !(range->first < range->second))
        return;
    m_range = range;
    ++m_revision;
    m_dirty = true;
}

void Histogram::setWindow(double low, double high)
{
    m_windowLow = low;
    m_windowHigh = high;
    m_windowSet = true;
    ++m_revision;
}

void Histogram::setAutomaticWindow()
{
    m_windowSet = false;
    ++m_revision;
}

void Histogram::setShowAll(bool all)
{
    if (all == m_showAll)
        return;
    m_showAll = all;
    ++m_revision;
    m_dirty = true;
}

const QVector<Histogram::Bin>& Histogram::bins() const
{
    if (m_dirty || m_gridDirty)
        rebuild();
    return m_bins;
}

void Histogram::mergeNewKeys() const
{
    if (m_newKeys.empty())
        return;
    std::sort(m_newKeys.begin(), m_newKeys.end());
    const auto middle = m_sortedKeys.insert(m_sortedKeys.end(), m_newKeys.begin(), m_newKeys.end());
    std::inplace_merge(m_sortedKeys.begin(), middle, m_sortedKeys.end());
    m_newKeys.clear();
}

std::pair<double, double> Histogram::automaticRange() const
{
    if (m_showAll)
        return {double(m_sortedKeys.front()), double(m_sortedKeys.back())};
    if (!m_located)
        return centralRange();
    const double half = std::max(10 * *m_located->fwhm, 10 * m_binWidth);
    return {m_located->centre - half, m_located->centre + half};
}

std::optional<Histogram::PeakEstimate> Histogram::locatePeak() const
{
    // The peak on coarse bins over every record, then once more on finer bins around it: the
    // first FWHM can be no narrower than the coarse bins.
    const PeakEstimate coarse = estimatePeak(m_sortedKeys.front(), m_sortedKeys.back());
    if (!coarse.fwhm)
        return std::nullopt;
    const double half = std::max(10 * *coarse.fwhm, 10 * m_binWidth);
    const PeakEstimate fine = estimatePeak(coarse.centre - half, coarse.centre + half);
    return fine.fwhm ? fine : coarse;
}

Histogram::PeakEstimate Histogram::estimatePeak(double low, double high) const
{
    PeakEstimate p;
    low = std::ceil(low);
    high = std::max(low, std::floor(high));
    // Bins no narrower than twice the typical (median) gap between the values present: on a
    // sparse set of achievable values finer bins would make every value a peak of its own.
    const auto firstKey = std::lower_bound(m_sortedKeys.begin(), m_sortedKeys.end(), low,
                                           [](qint32 k, double v) { return k < v; });
    const auto endKey = std::lower_bound(firstKey, m_sortedKeys.end(), high + 1,
                                         [](qint32 k, double v) { return k < v; });
    double typicalGap = 1;
    if (endKey - firstKey > 2) {
        std::vector<qint64>& gaps = m_gapScratch;
        gaps.clear();
        for (auto k = firstKey + 1; k != endKey; ++k)
            gaps.push_back(qint64(*k) - *(k - 1));
        std::nth_element(gaps.begin(), gaps.begin() + qsizetype(gaps.size() / 2), gaps.end());
        typicalGap = double(gaps[gaps.size() / 2]);
    }
    p.binWidth = std::max({m_binWidth, (high - low + 1) / MaxBins, 2 * typicalGap});
    const auto n = std::size_t(std::ceil((high - low + 1) / p.binWidth));
    std::vector<double> density(n);
    std::vector<double> centre(n);
    std::size_t peak = 0;
    auto key = m_sortedKeys.begin();
    for (std::size_t i = 0; i < n; ++i) {
        const double from = low - 0.5 + double(i) * p.binWidth;
        const double to = from + p.binWidth;
        const auto first = std::lower_bound(key, m_sortedKeys.end(), from, [](qint32 k, double v) { return k < v; });
        key = std::lower_bound(first, m_sortedKeys.end(), to, [](qint32 k, double v) { return k < v; });
        density[i] = double(m_prefix[std::size_t(key - m_sortedKeys.begin())]
                            - m_prefix[std::size_t(first - m_sortedKeys.begin())]);
        centre[i] = (from + to) / 2;
        if (density[i] > density[peak])
            peak = i;
    }
    p.centre = centre[peak];
    p.fwhm = halfMaximumWidth(density, centre, peak);
    return p;
}

std::pair<double, double> Histogram::centralRange() const
{
    // The central 99.8 %: a handful of accidental coincidences an offset away must not set
    // the scale. The margin (half the central span) keeps a peak's tails in view: for a
    // Gaussian the range reaches about 6 sigma.
    const quint64 n = m_count;
    const quint64 lowRank = n / 1000;
    const quint64 highRank = n - 1 - n / 1000;
    const auto rankValue = [this](quint64 rank) {
        const auto it = std::upper_bound(m_prefix.begin() + 1, m_prefix.end(), rank);
        return double(m_sortedKeys[std::size_t(it - m_prefix.begin() - 1)]);
    };
    const double low = rankValue(lowRank);
    const double high = rankValue(highRank);
    const double margin = std::max((high - low) * 0.5, 2 * m_binWidth);
    return {std::max(double(m_sortedKeys.front()), low - margin), std::min(double(m_sortedKeys.back()), high + margin)};
}

std::vector<qint32> Histogram::achievableValues(qint32 low, qint32 high) const
{
    ensureGrid(low, high);
    if (!m_gridValid)
        return {};
    const auto first = std::lower_bound(m_grid.begin(), m_grid.end(), low);
    const auto last = std::upper_bound(m_grid.begin(), m_grid.end(), high);
    return {first, last};
}

namespace {

struct GridRun {
    int offset;
    double tA;
    const std::vector<double>* timesB;
    std::size_t first;
    std::size_t last;
};

// For one offset and one tA, dt does not increase along ascending tB (every step of the
// expression is monotone), so the readings that land in the range form one run, found by two
// binary searches. Returns the pairs added.
qint64 collectRuns(const std::vector<double>& timesA, const std::vector<double>& timesB, int offset, qint64 low,
                   qint64 high, std::vector<GridRun>& runs)
{
    if (timesA.empty() || timesB.empty() || differenceOrdered(timesA.back(), timesB.front(), offset) < low
        || differenceOrdered(timesA.front(), timesB.back(), offset) > high)
        return 0;
    qint64 pairs = 0;
    for (const double tA : timesA) {
        const auto first = std::partition_point(timesB.begin(), timesB.end(),
                                                [&](double tB) { return differenceOrdered(tA, tB, offset) > high; });
        const auto end = std::partition_point(first, timesB.end(),
                                              [&](double tB) { return differenceOrdered(tA, tB, offset) >= low; });
        if (first == end)
            continue;
        runs.push_back({offset, tA, &timesB, std::size_t(first - timesB.begin()), std::size_t(end - timesB.begin())});
        pairs += end - first;
    }
    return pairs;
}

} // namespace

std::vector<double> Histogram::readingTimes(const std::vector<double>& times, const std::bitset<4096>* only) const
{
    std::vector<double> out;
    for (int r = PlausibleLow + 1; r < PlausibleHigh; ++r) {
        const double t = times[std::size_t(r)];
        if (std::isfinite(t) && (!only || only->test(std::size_t(r))))
            out.push_back(t);
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

void Histogram::ensureGrid(qint32 low, qint32 high) const
{
    const bool inRange = low >= m_gridLow && high <= m_gridHigh;
    if (!m_gridDirty && inRange)
        return;
    // Readings seen bound the set only when every record brought its readings.
    const bool useSeen = !m_anyWithoutReadings && m_seenA.any();
    if (inRange && !m_gridNeedsFull && m_gridValid && m_gridUsedSeen && useSeen) {
        m_gridDirty = false;
        extendGrid();
        return;
    }
    // Padding lets the automatic range drift a little without a new enumeration.
    const qint64 pad = (qint64(high) - low) / 4 + 16;
    const qint64 gridLow = std::max<qint64>(qint64(low) - pad, std::numeric_limits<qint32>::min());
    const qint64 gridHigh = std::min<qint64>(qint64(high) + pad, std::numeric_limits<qint32>::max());
    m_gridDirty = false;
    m_gridNeedsFull = false;
    m_gridLow = gridLow;
    m_gridHigh = gridHigh;
    m_grid.clear();
    m_gridValid = false;
    m_gridUsedSeen = useSeen;
    m_gridSeenA = m_seenA;
    m_gridSeenB = m_seenB;
    m_gridSeenOffsets = m_seenOffsets;
    m_gridWork = 0;
    if (!m_calibrated || gridHigh - gridLow + 1 > MaxGridSpan)
        return;

    const std::vector<double> timesA = readingTimes(m_timeA, useSeen ? &m_seenA : nullptr);
    const std::vector<double> timesB = readingTimes(m_timeB, useSeen ? &m_seenB : nullptr);
    if (timesA.empty() || timesB.empty())
        return;

    // First the runs are sized against the budget, then enumerated.
    std::vector<GridRun> runs;
    for (int offset = 0; offset < 256; ++offset) {
        if (useSeen && !m_seenOffsets.test(std::size_t(offset)))
            continue;
        m_gridWork += collectRuns(timesA, timesB, offset, gridLow, gridHigh, runs);
        if (m_gridWork > GridBudget)
            return;
    }

    std::vector<bool> present(std::size_t(gridHigh - gridLow + 1), false);
    for (const GridRun& run : runs) {
        for (std::size_t ib = run.first; ib < run.last; ++ib)
            present[std::size_t(differenceOrdered(run.tA, (*run.timesB)[ib], run.offset) - gridLow)] = true;
    }
    for (std::size_t i = 0; i < present.size(); ++i) {
        if (present[i])
            m_grid.push_back(qint32(gridLow + qint64(i)));
    }
    m_gridValid = true;
}

void Histogram::extendGrid() const
{
    const std::bitset<4096> newA = m_seenA & ~m_gridSeenA;
    const std::bitset<4096> newB = m_seenB & ~m_gridSeenB;
    const std::bitset<256> newOffsets = m_seenOffsets & ~m_gridSeenOffsets;
    if (newA.none() && newB.none() && newOffsets.none())
        return;
    const std::vector<double> allA = readingTimes(m_timeA, &m_seenA);
    const std::vector<double> allB = readingTimes(m_timeB, &m_seenB);
    // Times already in the grid are left out of the new ones, so that no pair counts twice
    // against the budget (two readings can share a time).
    const auto without = [](const std::vector<double>& times, const std::vector<double>& old) {
        std::vector<double> out;
        std::set_difference(times.begin(), times.end(), old.begin(), old.end(), std::back_inserter(out));
        return out;
    };
    const std::vector<double> oldA = readingTimes(m_timeA, &m_gridSeenA);
    const std::vector<double> addedA = without(readingTimes(m_timeA, &newA), oldA);
    const std::vector<double> addedB = without(readingTimes(m_timeB, &newB), readingTimes(m_timeB, &m_gridSeenB));
    m_gridSeenA = m_seenA;
    m_gridSeenB = m_seenB;
    m_gridSeenOffsets = m_seenOffsets;

    // Each new pair once: a new offset with every pair; an old one with the new A readings
    // against every B, and the old A readings against the new B ones.
    std::vector<GridRun> runs;
    for (int offset = 0; offset < 256; ++offset) {
        if (!m_seenOffsets.test(std::size_t(offset)))
            continue;
        if (newOffsets.test(std::size_t(offset))) {
            m_gridWork += collectRuns(allA, allB, offset, m_gridLow, m_gridHigh, runs);
        } else {
            m_gridWork += collectRuns(addedA, allB, offset, m_gridLow, m_gridHigh, runs);
            m_gridWork += collectRuns(oldA, addedB, offset, m_gridLow, m_gridHigh, runs);
        }
        if (m_gridWork > GridBudget) {
            // As a whole enumeration would have found: too many pairs for a grid.
            m_grid.clear();
            m_gridValid = false;
            return;
        }
    }
    std::vector<qint32> added;
    for (const GridRun& run : runs) {
        for (std::size_t ib = run.first; ib < run.last; ++ib)
            added.push_back(qint32(differenceOrdered(run.tA, (*run.timesB)[ib], run.offset)));
    }
    std::sort(added.begin(), added.end());
    const auto middle = m_grid.insert(m_grid.end(), added.begin(), added.end());
    std::inplace_merge(m_grid.begin(), middle, m_grid.end());
    m_grid.erase(std::unique(m_grid.begin(), m_grid.end()), m_grid.end());
}

double Histogram::snapEdge(double edge) const
{
    if (!m_gridValid || m_grid.empty())
        return std::floor(edge) + 0.5;
    const auto above = std::upper_bound(m_grid.begin(), m_grid.end(), edge);
    if (above == m_grid.begin())
        return m_grid.front() - 0.5;
    if (above == m_grid.end())
        return m_grid.back() + 0.5;
    return (double(*(above - 1)) + double(*above)) / 2;
}

void Histogram::rebuild() const
{
    mergeNewKeys();
    resetDerived();
    if (m_sortedKeys.empty())
        return;
    const std::vector<quint64>& counts = countsInKeyOrder();
    computeMoments(counts);
    m_located = locatePeak();
    const std::vector<double> edges = binEdges();
    fillBins(edges, counts);
    findFwhm();
}

void Histogram::resetDerived() const
{
    m_bins.clear();
    // Every entry past the first is written by countsInKeyOrder(): no need to clear them first,
    // which on a run's hundreds of thousands of values cost more than the sums themselves.
    m_prefix.resize(m_sortedKeys.size() + 1);
    m_prefixSum.resize(m_sortedKeys.size() + 1);
    m_prefix[0] = 0;
    m_prefixSum[0] = 0;
    m_underflow = m_overflow = 0;
    m_fwhm.reset();
    m_peak.reset();
    m_located.reset();
    m_mean = m_stdDev = 0;
    m_nominalWidth = m_binWidth;
    m_dirty = false;
}

const std::vector<quint64>& Histogram::countsInKeyOrder() const
{
    // Kept between rebuilds: a fresh vector of this size is fresh pages for the kernel to hand
    // out, every refresh.
    std::vector<quint64>& counts = m_keyCounts;
    counts.resize(m_sortedKeys.size());
    for (std::size_t i = 0; i < m_sortedKeys.size(); ++i) {
        counts[i] = countOf(m_sortedKeys[i]);
        m_prefix[i + 1] = m_prefix[i] + counts[i];
        m_prefixSum[i + 1] = m_prefixSum[i] + static_cast<long double>(m_sortedKeys[i]) * counts[i];
    }
    return counts;
}

void Histogram::computeMoments(const std::vector<quint64>& counts) const
{
    // Exact sum, then squared deviations from the exact mean: no cancellation.
    ExactSum sum;
    for (std::size_t i = 0; i < m_sortedKeys.size(); ++i)
        sum.add(m_sortedKeys[i], counts[i]);
    m_mean = double(sum.value() / static_cast<long double>(m_count));
    if (m_count > 1) {
        long double squares = 0;
        for (std::size_t i = 0; i < m_sortedKeys.size(); ++i) {
            const long double d = static_cast<long double>(m_sortedKeys[i]) - m_mean;
            squares += d * d * counts[i];
        }
        m_stdDev = double(std::sqrt(squares / static_cast<long double>(m_count - 1)));
    }
}

std::vector<double> Histogram::binEdges() const
{
    // Integer values: a range [lo, hi] of them is covered by [lo - 0.5, hi + 0.5]. Nominal
    // edges sit on a fixed lattice -0.5 + k * width, so they do not wander as the range does.
    auto [low, high] = m_range ? *m_range : automaticRange();
    low = std::ceil(low);
    high = std::floor(high);
    if (high < low)
        high = low;
    const double width = std::max(m_binWidth, (high - low + 1) / MaxBins);
    m_nominalWidth = width;
    const double kFirst = std::floor(low / width);
    const double kLast = std::ceil((high + 1) / width);
    ensureGrid(qint32(std::clamp<double>(-0.5 + kFirst * width - 1, INT_MIN, INT_MAX)),
               qint32(std::clamp<double>(-0.5 + kLast * width + 1, INT_MIN, INT_MAX)));

    std::vector<double> edges;
    edges.reserve(std::size_t(kLast - kFirst + 1));
    for (double k = kFirst; k <= kLast; ++k) {
        const double e = snapEdge(-0.5 + k * width);
        if (edges.empty() || e > edges.back())
            edges.push_back(e);
    }
    if (edges.size() < 2) {
        // Every nominal edge fell into one gap: one bin around the achievable value there.
        const double e = edges.empty() ? low - 0.5 : edges.front();
        edges = {e, e + 1};
        if (m_gridValid) {
            const auto above = std::upper_bound(m_grid.begin(), m_grid.end(), e);
            if (above != m_grid.end())
                edges.back() = snapEdge(double(*above));
        }
    }
    return edges;
}

void Histogram::fillBins(const std::vector<double>& edges, const std::vector<quint64>& counts) const
{
    m_bins.resize(qsizetype(edges.size() - 1));
    for (qsizetype i = 0; i < m_bins.size(); ++i) {
        m_bins[i].low = edges[std::size_t(i)];
        m_bins[i].high = edges[std::size_t(i) + 1];
    }
    std::size_t bin = 0;
    for (std::size_t i = 0; i < m_sortedKeys.size(); ++i) {
        const double v = m_sortedKeys[i];
        if (v < edges.front()) {
            m_underflow += counts[i];
        } else if (v >= edges.back()) {
            m_overflow += counts[i];
        } else {
            while (v >= edges[bin + 1])
                ++bin;
            m_bins[qsizetype(bin)].count += counts[i];
        }
    }
}

void Histogram::findFwhm() const
{
    // Uneven bins are compared by counts per ps; the peak's half-maximum crossings are
    // interpolated between bin centres on that density.
    std::vector<double> density(std::size_t(m_bins.size()));
    std::vector<double> centre(std::size_t(m_bins.size()));
    std::size_t peak = 0;
    for (std::size_t i = 0; i < density.size(); ++i) {
        Bin& b = m_bins[qsizetype(i)];
        density[i] = double(b.count) / (b.high - b.low);
        centre[i] = (b.low + b.high) / 2;
        b.scaledCount = density[i] * m_nominalWidth;
        if (density[i] > density[peak])
            peak = i;
    }
    if (density.empty() || density[peak] <= 0)
        return;
    m_peak = centre[peak];
    m_fwhm = halfMaximumWidth(density, centre, peak);
}

Histogram::Summary Histogram::summary() const
{
    if (m_dirty || m_gridDirty)
        rebuild();
    if (m_windowSet || !m_peak)
        return summary(m_windowLow, m_windowHigh);
    // From the located peak, not the display bins: zooming must not move the window.
    const double centre = m_located ? m_located->centre : *m_peak;
    const double half = m_located ? *m_located->fwhm : DefaultWindowHalf;
    Summary s = summary(centre - half, centre + half);
    s.automaticWindow = true;
    return s;
}

Histogram::Summary Histogram::summary(double windowLow, double windowHigh) const
{
    if (m_dirty || m_gridDirty)
        rebuild();
    Summary s;
    s.count = m_count;
    s.mean = m_mean;
    s.stdDev = m_stdDev;
    if (!m_sortedKeys.empty()) {
        s.minimum = m_sortedKeys.front();
        s.maximum = m_sortedKeys.back();
    }
    s.fwhm = m_fwhm;
    s.peak = m_peak;
    s.windowLow = windowLow;
    s.windowHigh = windowHigh;
    if (windowLow <= windowHigh && !m_sortedKeys.empty()) {
        const auto first = std::lower_bound(m_sortedKeys.begin(), m_sortedKeys.end(), std::ceil(windowLow),
                                            [](qint32 k, double v) { return k < v; });
        const auto last = std::upper_bound(m_sortedKeys.begin(), m_sortedKeys.end(), std::floor(windowHigh),
                                           [](double v, qint32 k) { return v < k; });
        const auto from = std::size_t(first - m_sortedKeys.begin());
        const auto to = std::size_t(last - m_sortedKeys.begin());
        if (first < last) {
            s.inWindow = m_prefix[to] - m_prefix[from];
            s.windowMean = double((m_prefixSum[to] - m_prefixSum[from]) / static_cast<long double>(s.inWindow));
        }
    }
    s.underflow = m_underflow;
    s.overflow = m_overflow;
    if (!m_bins.isEmpty()) {
        s.rangeLow = m_bins.front().low;
        s.rangeHigh = m_bins.back().high;
    }
    s.nominalBinWidth = m_nominalWidth;
    s.binCount = int(m_bins.size());
    s.calibratedGrid = m_gridValid;
    return s;
}

QByteArray Histogram::toCsv() const
{
    const Summary s = summary();
    const auto optional = [](const auto& v) { return v ? number(double(*v)) : QByteArray(); };
    QByteArray out;
    out += "# count," + QByteArray::number(s.count) + '\n';
    out += "# mean_ps," + number(s.mean) + '\n';
    out += "# std_dev_ps," + number(s.stdDev) + '\n';
    out += "# min_ps," + optional(s.minimum) + '\n';
    out += "# max_ps," + optional(s.maximum) + '\n';
    out += "# fwhm_ps," + optional(s.fwhm) + '\n';
    out += "# window_low_ps," + number(s.windowLow) + '\n';
    out += "# window_high_ps," + number(s.windowHigh) + '\n';
    out += "# in_window," + QByteArray::number(s.inWindow) + '\n';
    out += "# underflow," + QByteArray::number(s.underflow) + '\n';
    out += "# overflow," + QByteArray::number(s.overflow) + '\n';
    out += "# bin_width_ps," + number(s.nominalBinWidth) + '\n';
    out += "# grid," + QByteArray(s.calibratedGrid ? "calibration" : "integer") + '\n';
    out += "low_ps,high_ps,count\n";
    for (const Bin& b : m_bins)
        out += number(b.low) + ',' + number(b.high) + ',' + QByteArray::number(b.count) + '\n';
    return out;
}

bool Histogram::writeCsv(const QString& path, QString* errorText) const
{
    // Replaced whole, and never through a link standing at the name (QSaveFile writes
    // through one), however the name was chosen.
    const NoFollowFile::Replaced saved = NoFollowFile::replaceContents(path, toCsv());
    if (!saved.ok() && errorText)
        *errorText = saved.errorString;
    return saved.ok();
}
