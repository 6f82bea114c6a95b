/// @brief TrendSeries: rate and drift per interval from cumulative figures, new runs, bounded ring, CSV.
#include "measure/histogram.h"
#include "measure/trendseries.h"

#include <QTest>
#include <cmath>

class TestTrendSeries : public QObject {
    Q_OBJECT
private slots:
    void rateAndDriftPerInterval()
    {
        Histogram h;
        h.setWindow(-1000, 1000);
        TrendSeries t;
        t.sample(5000, h);
        const auto add = [&h](int n, qint32 dt) {
            for (int i = 0; i < n; ++i)
                h.add(dt);
        };
        add(500, 10);
        t.sample(6000, h);
        add(1000, 20);
        add(2000, 5000); // outside the window: counts in the rate only
        t.sample(8000, h);
        t.sample(8000, h); // no time passed: no point
        t.sample(9000, h);
        // The window moves between samples: the interval is judged by the window it began with.
        h.setWindow(15, 1000);
        add(100, 10);
        add(100, 40);
        t.sample(10000, h);
        add(300, 40);
        t.sample(11000, h);

        QCOMPARE(t.size(), 5);
        const double expected[][3] = {{1, 500, 10}, {3, 1500, 20}, {4, 0, NAN}, {5, 200, 25}, {6, 300, 40}};
        for (int i = 0; i < t.size(); ++i) {
            QCOMPARE(t.at(i).seconds, expected[i][0]);
            QCOMPARE(t.at(i).rate, expected[i][1]);
            QCOMPARE(std::isnan(t.at(i).drift), std::isnan(expected[i][2]));
            if (!std::isnan(expected[i][2]))
                QCOMPARE(t.at(i).drift, expected[i][2]);
        }
        QCOMPARE(t.toCsv(2.5), QByteArray("seconds,records_per_s,drift_ps\n4,0,\n5,200,25\n6,300,40\n"));

        // A new run (the histogram cleared, even if it refilled past the old count) starts anew.
        h.clear();
        add(5000, 30);
        t.sample(12000, h);
        QCOMPARE(t.size(), 0);
        add(10, 30);
        t.sample(12500, h);
        QVERIFY(t.size() == 1 && t.at(0).seconds == 0.5 && t.at(0).rate == 20);
    }

    // However long the run, the ring holds its capacity: the newest points, oldest first.
    void memoryStaysBounded()
    {
        Histogram h;
        TrendSeries t(100);
        for (int s = 0; s <= 1000; ++s) {
            h.add(s);
            t.sample(qint64(s) * 1000, h);
        }
        QCOMPARE(t.size(), 100);
        for (int i = 0; i < t.size(); ++i)
            QCOMPARE(t.at(i).seconds, 901.0 + i);
        QCOMPARE(int(t.last(9.5).size()), 10);
        QCOMPARE(int(t.last(1e9).size()), 100);
        QCOMPARE(t.toCsv(1e9).count('\n'), 101);
        QString error;
        QVERIFY(!t.writeCsv(QStringLiteral("/nonexistent-dir/trend.csv"), 60, &error) && !error.isEmpty());
    }
};

QTEST_MAIN(TestTrendSeries)
#include "tst_trendseries.moc"
