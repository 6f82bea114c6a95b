/// @brief Histogram: binning and figures against two-pass references, bins on the achievable grid, FWHM, window, clear,
/// CSV.
#include "link/channeltimetable.h"
#include "link/timeconversion.h"
#include "measure/exactsum.h"
#include "measure/histogram.h"
#include "measure/histogramfeed.h"

#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <climits>
#include <cmath>
#include <numeric>
#include <random>
#include <set>

namespace {

/// The calibration the tests use, and the decoder's path from readings to dt under it.
struct Converter {
    ChannelTimeTable a, b;
    Converter() { a.build(9.47, 500, 3600), b.build(9.49, 510, 3590); }
    qint32 dt(int ra, int rb, int offset) const
    {
        return timeconv::timeDifference(a.at(ra).ns, b.at(rb).ns, offset).ps;
    }
    static void calibrate(Histogram& h) { h.setCalibration(500, 3600, 510, 3590, 9.47, 9.49); }
};

quint64 binTotal(const Histogram& h)
{
    return std::accumulate(h.bins().begin(), h.bins().end(), quint64(0),
                           [](quint64 t, const Histogram::Bin& b) { return t + b.count; });
}

} // namespace

class TestHistogram : public QObject {
    Q_OBJECT
private slots:
    // Bin counts, mean, standard deviation, window and out-of-range counts against a plain
    // two-pass computation over the raw values.
    void figuresMatchTwoPassReference_data()
    {
        QTest::addColumn<double>("centre");
        QTest::addColumn<double>("sigma");
        QTest::addColumn<double>("width");
        QTest::newRow("peak near -30 ns, 10 ps bins") << -30000.0 << 120.0 << 10.0;
        QTest::newRow("odd width") << 250.0 << 40.0 << 7.3;
        // Far from zero with a small spread: summing squares would lose every digit here.
        QTest::newRow("large values, small spread") << 2.0e9 << 3.0 << 1.0;
    }
    void figuresMatchTwoPassReference()
    {
        QFETCH(double, centre);
        QFETCH(double, sigma);
        QFETCH(double, width);
        std::mt19937 rng(7);
        std::normal_distribution<double> normal(centre, sigma);
        std::vector<qint32> values;
        for (int i = 0; i < 100000; ++i)
            values.push_back(qint32(std::lround(normal(rng))));
        // Strays an offset step or more away, on both sides.
        values.insert(values.end(), {qint32(centre - 1e6), qint32(centre - 5e5), qint32(centre + 7e5)});

        Histogram h;
        h.setBinWidthPs(width);
        for (qint32 v : values)
            h.add(v);
        const double wLow = centre - sigma / 2, wHigh = centre + sigma;
        const Histogram::Summary s = h.summary(wLow, wHigh);

        const long double mean = std::accumulate(values.begin(), values.end(), 0.0L) / values.size();
        long double squares = 0;
        for (qint32 v : values)
            squares += (v - mean) * (v - mean);
        const double sd = double(std::sqrt(squares / (values.size() - 1)));
        QCOMPARE(s.count, quint64(values.size()));
        QVERIFY(std::abs(s.mean - double(mean)) <= 1e-9 * std::max(1.0, std::abs(double(mean))));
        QVERIFY2(std::abs(s.stdDev - sd) <= 1e-6 * sd,
                 qPrintable(QString::number(s.stdDev) + " vs " + QString::number(sd)));
        QCOMPARE(s.inWindow, quint64(std::count_if(values.begin(), values.end(),
                                                   [&](qint32 v) { return v >= wLow && v <= wHigh; })));
        QCOMPARE(*s.minimum, *std::min_element(values.begin(), values.end()));
        QCOMPARE(*s.maximum, *std::max_element(values.begin(), values.end()));
        QVERIFY(!s.calibratedGrid);
        QVERIFY2(s.fwhm && std::abs(*s.fwhm - 2.3548 * sigma) < 0.03 * 2.3548 * sigma,
                 qPrintable(QString::number(s.fwhm.value_or(0))));

        // Every bin recounted by brute force; the strays land outside the automatic range.
        const QVector<Histogram::Bin>& bins = h.bins();
        QVERIFY(bins.size() > 10);
        QCOMPARE(s.underflow,
                 quint64(std::count_if(values.begin(), values.end(), [&](qint32 v) { return v < bins.front().low; })));
        QCOMPARE(s.overflow,
                 quint64(std::count_if(values.begin(), values.end(), [&](qint32 v) { return v >= bins.back().high; })));
        QCOMPARE(s.underflow + 10 * s.overflow, quint64(12)); // the strays
        for (qsizetype i = 0; i < bins.size(); ++i) {
            const Histogram::Bin& b = bins[i];
            QCOMPARE(b.low, i == 0 ? b.low : bins[i - 1].high);
            QCOMPARE(b.count, quint64(std::count_if(values.begin(), values.end(),
                                                    [&](qint32 v) { return v >= b.low && v < b.high; })));
            // Without a calibration the edges lie between integers, never on a value.
            QCOMPARE(b.low - std::floor(b.low), 0.5);
        }
    }

    // Readings from a narrow signal put dt on a sparse, uneven set of values; bins finer than
    // its spacing must not alternate between full and empty, and no record may be lost.
    void readingsGridHasNoCombTeeth()
    {
        const Converter conv;
        Histogram h;
        Converter::calibrate(h);
        h.setBinWidthPs(1);
        std::mt19937 rng(11);
        std::uniform_int_distribution<int> da(1496, 1504), db(1597, 1603);
        std::set<qint32> distinct;
        const int n = 60000;
        for (int i = 0; i < n; ++i) {
            const int a = da(rng), b = db(rng);
            const qint32 dt = conv.dt(a, b, 3);
            distinct.insert(dt);
            h.add(dt, a, b, 3);
        }
        // Really a comb for 1 ps bins: far fewer values than integers in their span.
        QVERIFY(qint64(distinct.size()) * 2 < qint64(*distinct.rbegin() - *distinct.begin()));

        QVERIFY(h.summary().calibratedGrid);
        QCOMPARE(binTotal(h), quint64(n));
        const QVector<Histogram::Bin>& bins = h.bins();
        QCOMPARE(bins.size(), qsizetype(distinct.size()));
        for (const Histogram::Bin& b : bins)
            QVERIFY2(b.count > 0, qPrintable(QStringLiteral("empty bin [%1, %2)").arg(b.low).arg(b.high)));

        // The grid is exactly what the conversion can give for the readings seen, and the
        // edges sit halfway between neighbouring values.
        const std::vector<qint32> grid = h.achievableValues(*distinct.begin() - 100, *distinct.rbegin() + 100);
        std::set<qint32> expected;
        for (int a = 1496; a <= 1504; ++a)
            for (int b = 1597; b <= 1603; ++b)
                expected.insert(conv.dt(a, b, 3));
        QCOMPARE(std::vector<qint32>(expected.begin(), expected.end()), grid);
        for (qsizetype i = 1; i < bins.size(); ++i) {
            const auto above = std::upper_bound(grid.begin(), grid.end(), bins[i].low);
            QVERIFY(above != grid.begin() && above != grid.end());
            QCOMPARE(bins[i].low, (double(*(above - 1)) + double(*above)) / 2);
        }

        // Wider bins merge whole groups of values, still with nothing empty.
        const qsizetype fineBins = bins.size();
        h.setBinWidthPs(12);
        QVERIFY(h.bins().size() < fineBins);
        QVERIFY(std::all_of(h.bins().begin(), h.bins().end(), [](const Histogram::Bin& b) { return b.count > 0; }));
        QCOMPARE(binTotal(h), quint64(n));
    }

    // Readings keep turning up during a run (the background's tails); the grid then grows by
    // the new pairs alone. After every step it must be the grid of all readings seen, and the
    // bins those of a histogram that saw the same records at once.
    void aGrowingGridIsTheGridOfEveryReadingSeen()
    {
        const Converter conv;
        Histogram grown;
        Converter::calibrate(grown);
        grown.setBinWidthPs(1);
        struct Record {
            int a, b, offset;
        };
        std::vector<Record> records;
        const std::vector<std::vector<Record>> steps = {
            {{1500, 1600, 3}, {1501, 1600, 3}, {1502, 1600, 3}},
            {{1503, 1600, 3}, {1504, 1600, 3}},                  // new A readings
            {{1500, 1601, 3}, {1500, 1602, 3}, {1500, 1603, 3}}, // new B readings
            {{1500, 1600, 4}},                                   // a new offset
            {{1505, 1604, 4}},                                   // all at once
        };
        const qint32 low = conv.dt(1510, 1590, 4) - 100, high = conv.dt(1490, 1610, 3) + 100;
        for (const std::vector<Record>& step : steps) {
            for (const Record& r : step) {
                records.push_back(r);
                grown.add(conv.dt(r.a, r.b, r.offset), r.a, r.b, r.offset);
            }
            std::set<int> as, bs, offsets;
            for (const Record& r : records) {
                as.insert(r.a);
                bs.insert(r.b);
                offsets.insert(r.offset);
            }
            std::set<qint32> expected;
            for (int offset : offsets)
                for (int a : as)
                    for (int b : bs)
                        if (const qint32 dt = conv.dt(a, b, offset); dt >= low && dt <= high)
                            expected.insert(dt);
            QCOMPARE(grown.achievableValues(low, high), std::vector<qint32>(expected.begin(), expected.end()));

            Histogram atOnce;
            Converter::calibrate(atOnce);
            atOnce.setBinWidthPs(1);
            for (const Record& r : records)
                atOnce.add(conv.dt(r.a, r.b, r.offset), r.a, r.b, r.offset);
            QCOMPARE(grown.bins().size(), atOnce.bins().size());
            for (qsizetype i = 0; i < grown.bins().size(); ++i) {
                QCOMPARE(grown.bins()[i].low, atOnce.bins()[i].low);
                QCOMPARE(grown.bins()[i].count, atOnce.bins()[i].count);
            }
        }
    }

    // Records without readings (a replayed plain file): the grid is every value any plausible
    // pair of readings can give, bit-identical to the conversion.
    void plausibleGridMatchesBruteForce()
    {
        const Converter conv;
        Histogram h;
        Converter::calibrate(h);
        h.add(conv.dt(1500, 1600, 3));
        const qint32 low = -30400, high = -29600;
        const std::vector<qint32> grid = h.achievableValues(low, high);
        // One offset step is 10 ns and a channel spans under 9 ns, so offsets 2..4 cover it.
        std::vector<bool> seen(std::size_t(high - low + 1));
        for (int offset = 2; offset <= 4; ++offset)
            for (int a = Histogram::PlausibleLow + 1; a < Histogram::PlausibleHigh; ++a)
                for (int b = Histogram::PlausibleLow + 1; b < Histogram::PlausibleHigh; ++b)
                    if (const qint32 dt = conv.dt(a, b, offset); dt >= low && dt <= high)
                        seen[std::size_t(dt - low)] = true;
        std::vector<qint32> expected;
        for (qint32 v = low; v <= high; ++v)
            if (seen[std::size_t(v - low)])
                expected.push_back(v);
        QCOMPARE(grid, expected);
    }

    // On uneven bins the peak is judged by counts per ps: here every value's count is the
    // density times the width of its cell, so raw counts zigzag with the widths while the
    // density is a clean Gaussian.
    void fwhmUsesDensityOnUnevenBins()
    {
        const Converter conv;
        Histogram h;
        Converter::calibrate(h);
        h.setBinWidthPs(1);
        std::vector<qint32> values;
        for (int b = 1560; b <= 1640; ++b) {
            values.push_back(conv.dt(1500, b, 3));
            h.add(values.back(), 1500, b, 3); // once with its true readings, so that the grid is right
        }
        std::sort(values.begin(), values.end());
        const double sigma = 20, centre = values[values.size() / 2];
        for (std::size_t i = 1; i + 1 < values.size(); ++i) {
            const double cell = (values[i + 1] - values[i - 1]) / 2.0;
            for (auto k = std::lround(1e5 * cell * std::exp(-0.5 * std::pow((values[i] - centre) / sigma, 2))); k > 0;
                 --k)
                h.add(values[i], 1500, 1560, 3);
        }
        double narrowest = 1e9, widest = 0;
        for (const Histogram::Bin& bin : h.bins()) {
            narrowest = std::min(narrowest, bin.high - bin.low);
            widest = std::max(widest, bin.high - bin.low);
            QCOMPARE(bin.scaledCount, bin.count / (bin.high - bin.low) * h.summary().nominalBinWidth);
        }
        QVERIFY(widest > narrowest);
        const std::optional<double> fwhm = h.summary().fwhm;
        QVERIFY2(fwhm && std::abs(*fwhm - 2.3548 * sigma) < 0.03 * 2.3548 * sigma,
                 qPrintable(QString::number(fwhm.value_or(0))));
    }

    // The feed is what the decoder talks to: run start forgets records, keeps the calibration.
    void feedClearsAtRunStart()
    {
        HistogramFeed feed;
        const Converter conv;
        feed.setCalibration(Calibration::fromTexts({"500", "3600", "510", "3590"}, "9.47", "9.49"));
        for (int a = 1490; a < 1510; ++a)
            feed.recordDecoded(conv.dt(a, 1600, 3), a, 1600, 3, 0);
        const Histogram& h = feed.histogram();
        QVERIFY(h.count() == 20 && h.summary().calibratedGrid);

        feed.clearForRunStart();
        QVERIFY(h.count() == 0 && h.bins().isEmpty() && !h.summary().minimum);

        // The next run's grid is built from its own readings only.
        feed.recordDecoded(conv.dt(1700, 1700, 1), 1700, 1700, 1, 0);
        feed.recordDecoded(conv.dt(1702, 1700, 1), 1702, 1700, 1, 0);
        const Histogram::Summary s = h.summary();
        QVERIFY(s.count == 2 && s.calibratedGrid);
        QCOMPARE(h.achievableValues(-20000, 20000).size(), std::size_t(2));
        QCOMPARE(s.mean, (conv.dt(1700, 1700, 1) + conv.dt(1702, 1700, 1)) / 2.0);

        feed.setCalibration(Calibration::fromTexts({"???", "3600", "510", "3590"}, "9.47", "9.49"));
        QVERIFY(!h.hasCalibration());
        QVERIFY(!h.summary().calibratedGrid);
    }

    void tickSteps_data()
    {
        QTest::addColumn<double>("span");
        QTest::addColumn<int>("maxTicks");
        QTest::addColumn<double>("step");
        QTest::newRow("exact decade") << 100.0 << 10 << 10.0;
        QTest::newRow("up to 2") << 149521.0 << 8 << 20000.0;
        QTest::newRow("up to 5") << 3.1 << 10 << 0.5;
        QTest::newRow("up to the next decade") << 5200.0 << 10 << 1000.0;
        QTest::newRow("rounding noise stays on 1") << 0.3 << 3 << 0.1;
        QTest::newRow("no span") << 0.0 << 10 << 1.0;
    }
    void tickSteps()
    {
        QFETCH(double, span);
        QFETCH(int, maxTicks);
        QFETCH(double, step);
        QCOMPARE(tickStep125(span, maxTicks), step);
    }

    // A narrow peak on a wide flat background of accidental coincidences: the automatic range
    // and window centre on the peak; "show all" and a window set by hand override them.
    void rangeAndWindowFollowThePeak_data()
    {
        QTest::addColumn<double>("centre");
        QTest::addColumn<double>("sigma");
        QTest::addColumn<double>("width");
        QTest::newRow("peak off centre") << 41000.0 << 30.0 << 10.0;
        QTest::newRow("peak narrower than 2 bins") << -5000.0 << 2.0 << 10.0;
    }
    void rangeAndWindowFollowThePeak()
    {
        QFETCH(double, centre);
        QFETCH(double, sigma);
        QFETCH(double, width);
        std::mt19937 rng(3);
        std::normal_distribution<double> normal(centre, sigma);
        std::uniform_int_distribution<int> flat(-75000, 75000);
        Histogram h;
        h.setBinWidthPs(width);
        std::vector<qint32> values;
        for (int i = 0; i < 40000; ++i)
            values.push_back(i % 4 ? qint32(std::lround(normal(rng))) : flat(rng));
        for (qint32 v : values)
            h.add(v);
        const Histogram::Summary s = h.summary();
        QVERIFY(s.peak && std::abs(*s.peak - centre) <= std::max(sigma, width));
        const double fwhm = s.fwhm.value_or(0);
        QVERIFY2(s.binCount >= 20 && s.rangeHigh - s.rangeLow <= 22 * std::max(fwhm, 2 * width),
                 qPrintable(QStringLiteral("%1 bins over [%2, %3], fwhm %4")
                                .arg(s.binCount)
                                .arg(s.rangeLow)
                                .arg(s.rangeHigh)
                                .arg(fwhm)));
        QVERIFY(s.rangeLow < centre - 3 * sigma && s.rangeHigh > centre + 3 * sigma);
        QVERIFY(s.automaticWindow && s.windowLow < centre && s.windowHigh > centre);
        QVERIFY(s.windowHigh - s.windowLow < 3 * std::max(fwhm, 2 * width));
        const auto inside = [&](double lo, double hi) {
            return std::count_if(values.begin(), values.end(), [&](qint32 v) { return v >= lo && v <= hi; });
        };
        QCOMPARE(s.inWindow, quint64(inside(s.windowLow, s.windowHigh)));
        long double sum = 0;
        for (qint32 v : values)
            sum += (v >= s.windowLow && v <= s.windowHigh) ? v : 0;
        QVERIFY(std::abs(s.windowMean - double(sum / s.inWindow)) < 1e-6);

        h.setShowAll(true);
        QVERIFY(h.summary().rangeLow <= *std::min_element(values.begin(), values.end()));
        QVERIFY(h.summary().rangeHigh > *std::max_element(values.begin(), values.end()));
        QCOMPARE(h.summary().underflow + h.summary().overflow, quint64(0));

        h.setWindow(0, 10);
        QVERIFY(!h.summary().automaticWindow && h.summary().windowLow == 0
                && h.summary().inWindow == quint64(inside(0, 10)));
        h.setAutomaticWindow();
        QCOMPARE(h.summary().windowLow, s.windowLow);
    }

    void csvExport()
    {
        Histogram h;
        h.setBinWidthPs(2);
        h.setWindow(0, 3);
        h.setRange(std::pair{0.0, 3.0});
        for (qint32 v : {-1, 0, 1, 1, 3, 4})
            h.add(v);
        QCOMPARE(h.toCsv(),
                 QByteArray("# count,6\n# mean_ps,1.33333333333\n# std_dev_ps,1.8618986725\n# min_ps,-1\n# max_ps,4\n"
                            "# fwhm_ps,\n# window_low_ps,0\n# window_high_ps,3\n# in_window,4\n# underflow,1\n"
                            "# overflow,1\n# bin_width_ps,2\n# grid,integer\nlow_ps,high_ps,count\n"
                            "-0.5,1.5,3\n1.5,3.5,1\n"));
        // A reversed window holds nothing; without the range nothing is out of it.
        h.setRange(std::nullopt);
        QVERIFY(h.summary(3, 0).inWindow == 0 && h.summary().underflow + h.summary().overflow == 0);
        QTemporaryDir dir;
        QString error;
        QVERIFY(!h.writeCsv(dir.filePath("missing/h.csv"), &error));
        QVERIFY(!error.isEmpty());
    }

    // The sum behind the mean, at the extremes no run of adds can reach: 32-bit values times
    // 64-bit counts, where a 64-bit or a long double accumulator loses the result.
    void exactSum_data()
    {
        QTest::addColumn<QList<qint32>>("values");
        QTest::addColumn<QList<quint64>>("counts");
        QTest::addColumn<double>("sum");
        const quint64 most = ~quint64(0);
        const double twoTo64 = std::ldexp(1.0, 64);
        QTest::newRow("largest positive term")
            << QList<qint32>{INT_MAX} << QList<quint64>{most}
            << double(std::ldexp(1.0L, 95) - std::ldexp(1.0L, 64) - std::ldexp(1.0L, 31) + 1);
        QTest::newRow("largest negative term")
            << QList<qint32>{INT_MIN} << QList<quint64>{most} << double(-(std::ldexp(1.0L, 95) - std::ldexp(1.0L, 31)));
        // The huge terms cancel exactly and leave what a rounded sum would lose.
        QTest::newRow("cancelling terms")
            << QList<qint32>{INT_MAX, INT_MIN, 1, 1} << QList<quint64>{most, most, most, 5} << 5.0;
        QTest::newRow("carry into the high word") << QList<qint32>{1, 1} << QList<quint64>{most, 1} << twoTo64;
    }
    void exactSum()
    {
        QFETCH(QList<qint32>, values);
        QFETCH(QList<quint64>, counts);
        QFETCH(double, sum);
        ExactSum s;
        for (qsizetype i = 0; i < values.size(); ++i)
            s.add(values[i], counts[i]);
        QCOMPARE(double(s.value()), sum);
    }
};

QTEST_APPLESS_MAIN(TestHistogram)
#include "tst_histogram.moc"
