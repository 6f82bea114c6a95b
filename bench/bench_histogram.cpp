/// @brief What the histogram window costs while a run goes on: a rebuild (bins, peak, figures) after
/// each tenth of a second of records, and a trend sample, on a peak over a wide flat background.
#include "measure/histogram.h"
#include "measure/trendseries.h"

#include <QElapsedTimer>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

int main()
{
    // 2,000,000 records: two in three in a peak (sigma 150 ps), the rest flat over ±60 ns.
    std::mt19937 rng(1);
    std::normal_distribution<double> peak(-25000, 150);
    std::uniform_int_distribution<int> flat(-60000, 60000);
    std::vector<qint32> values(2'000'000);
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = i % 3 ? qint32(std::lround(peak(rng))) : flat(rng);

    Histogram h;
    QElapsedTimer t;
    t.start();
    for (qint32 v : values)
        h.add(v);
    const double addNs = double(t.nsecsElapsed()) / double(values.size());

    // Each round: a tenth of a second at 10,000 records/s, then what one refresh asks for.
    constexpr int Rounds = 50;
    TrendSeries trends;
    qint64 rebuildNs = 0;
    qint64 sampleNs = 0;
    for (int r = 0; r < Rounds; ++r) {
        for (int i = 0; i < 1000; ++i)
            h.add(values[std::size_t(r * 1000 + i)]);
        t.restart();
        const Histogram::Summary s = h.summary();
        (void)h.bins();
        rebuildNs += t.nsecsElapsed();
        if (r == 0)
            std::printf("%d bins over [%.1f, %.1f] ps, FWHM %.1f ps, window [%.1f, %.1f] ps\n", s.binCount, s.rangeLow,
                        s.rangeHigh, s.fwhm.value_or(0), s.windowLow, s.windowHigh);
        t.restart();
        trends.sample(qint64(r) * 100, h);
        sampleNs += t.nsecsElapsed();
    }
    h.setShowAll(true);
    t.restart();
    const int allBins = h.summary().binCount;
    const double showAllMs = double(t.nsecsElapsed()) / 1e6;

    std::printf("add: %.1f ns per record\n", addNs);
    std::printf("refresh after 1,000 new records: %.2f ms (peak-centred range)\n", double(rebuildNs) / Rounds / 1e6);
    std::printf("Show all (%d bins): %.2f ms\n", allBins, showAllMs);
    std::printf("trend sample: %.1f us\n", double(sampleNs) / Rounds / 1e3);
    return 0;
}
