/// @brief The rounding of the time difference against nearbyint: halves, the 32-bit edges, huge values and NaN.
#include "link/timeconversion.h"

#include <QTest>
#include <cmath>
#include <limits>

namespace {

/// The definition: the unrounded expression through nearbyint, then the 32-bit range test.
timeconv::Difference byDefinition(double tA, double tB, int offset)
{
    const double r = std::nearbyint(timeconv::rawDifference(tA, tB, offset));
    if (!(r >= -2147483648.0 && r <= 2147483647.0))
        return {0, timeconv::Fault::Overflow};
    return {qint32(r), timeconv::Fault::None};
}

} // namespace

class TestTimeConversion : public QObject {
    Q_OBJECT
private slots:
    void agreesWithNearbyintEverywhere()
    {
        // m/1024 ns gives m * 125/128 ps exactly, so m = 64 + 128k lands on the halves.
        QList<double> tBs;
        for (int m = -300000; m <= 300000; ++m)
            tBs << m / 1024.0;
        // Both 32-bit edges, from inside to outside, in steps just under 1 ps.
        const double edge = 2147483648.0 * 1024.0 / 1000.0 / 1024.0;
        for (int k = -3000; k <= 3000; ++k)
            tBs << edge + k / 1024.0 << -edge + k / 1024.0;
        const double inf = std::numeric_limits<double>::infinity();
        for (double v : {0x1p51 / 1000.0, -0x1p51 / 1000.0, 0x1p52 / 1000.0, 1e300, -1e300, inf, -inf,
                         std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::denorm_min(), -0.0})
            tBs << v;
        int overflows = 0;
        for (double tB : tBs) {
            for (int offset : {0, 1, 255}) {
                const timeconv::Difference got = timeconv::timeDifference(1.25, tB, offset);
                const timeconv::Difference want = byDefinition(1.25, tB, offset);
                QCOMPARE(int(got.fault), int(want.fault));
                QCOMPARE(got.ps, want.ps);
                overflows += got.fault == timeconv::Fault::Overflow;
            }
        }
        // The edges were crossed: both outcomes occurred.
        QVERIFY(overflows > 3000 && overflows < 3 * tBs.size() - 3000);
    }
};

QTEST_APPLESS_MAIN(TestTimeConversion)
#include "tst_timeconversion.moc"
