/// @brief The record model without a socket: reproducible streams, records a panel reads back exactly, the drawn
/// distribution.
#include "link/timeconversion.h"
#include "sim/recordgenerator.h"

#include <QtTest>
#include <array>
#include <cmath>

namespace {

/// Channel A's and B's codes and the coarse offset, as the panel reads them.
std::array<int, 3> decode(const GeneratedRecord& r)
{
    return {r.bytes[1] * 256 + r.bytes[2], (r.bytes[3] & 0x0F) * 256 + r.bytes[4], r.bytes[5]};
}

} // namespace

class TstRecordGenerator : public QObject {
    Q_OBJECT
private slots:
    void seedMakesTheStreamReproducible()
    {
        SimulatorConfig config;
        config.backgroundFraction = 0.1;
        config.overrangeFraction = 0.1;
        const auto stream = [&config](quint64 seed) {
            config.seed = seed;
            QByteArray bytes;
            RecordGenerator(config).generate(1000, bytes, nullptr);
            return bytes;
        };
        const QByteArray first = stream(7);
        QCOMPARE(first.size(), 7000);
        QCOMPARE(stream(7), first);
        QVERIFY(stream(8) != first);
    }

    void panelReadsBackTheRepresentedValue_data()
    {
        QTest::addColumn<RecordGenerator::Calibration>("calibration");
        QTest::addColumn<double>("tauA");
        QTest::addColumn<double>("tauB");
        QTest::addColumn<bool>("unusedBits");
        QTest::addColumn<double>("tolerance"); // half a code on each ramp at its steepest, plus the rounding
        QTest::newRow("nominal") << RecordGenerator::Calibration{500, 3600, 510, 3590} << 9.47 << 9.49 << false << 9.0;
        QTest::newRow("cells at the window edges")
            << RecordGenerator::Calibration{451, 3551, 549, 3649} << 9.47 << 9.49 << false << 9.0;
        QTest::newRow("other time constants, unused bits set")
            << RecordGenerator::Calibration{530, 3560, 470, 3620} << 12.0 << 7.5 << true << 12.0;
    }

    void panelReadsBackTheRepresentedValue()
    {
        QFETCH(RecordGenerator::Calibration, calibration);
        QFETCH(double, tauA);
        QFETCH(double, tauB);
        QFETCH(bool, unusedBits);
        QFETCH(double, tolerance);
        SimulatorConfig config;
        config.tauANs = tauA;
        config.tauBNs = tauB;
        config.setUnusedBits = unusedBits;
        config.peakPs = -40000;
        config.backgroundFraction = 0.5;
        config.backgroundSpanPs = 60000;
        RecordGenerator generator(config);
        generator.setCalibration(calibration);
        QByteArray bytes;
        std::vector<GeneratedRecord> records;
        generator.generate(20000, bytes, &records);
        QCOMPARE(size_t(bytes.size()), 7 * records.size());

        bool unusedSeen = false;
        for (size_t i = 0; i < records.size(); ++i) {
            const GeneratedRecord& r = records[i];
            QVERIFY(std::equal(r.bytes.begin(), r.bytes.end(), bytes.constData() + 7 * i,
                               [](quint8 x, char y) { return x == quint8(y); }));
            const auto [a, b, offset] = decode(r);
            QVERIFY2(a > 650 && a < 2350 && b > 650 && b < 2350, QByteArray::number(a) + " " + QByteArray::number(b));
            QVERIFY(r.bytes[0] == 'R' && r.bytes[1] < 0x80);
            unusedSeen |= (r.bytes[3] & 0xF0) != 0;
            const auto tA = timeconv::channelTime(tauA, a, calibration.lowA, calibration.highA);
            const auto tB = timeconv::channelTime(tauB, b, calibration.lowB, calibration.highB);
            QCOMPARE(timeconv::timeDifference(tA.ns, tB.ns, offset).ps, r.representedPs);
            QVERIFY2(std::abs(r.trueDtPs - r.representedPs) < tolerance,
                     QByteArray::number(r.trueDtPs - r.representedPs));
        }
        QCOMPARE(unusedSeen, unusedBits);
    }

    void peakAndBackgroundFollowTheConfiguration()
    {
        SimulatorConfig config;
        // The background span stays inside the representable range, so none of it is redrawn.
        config.peakPs = -300000;
        config.peakWidthPs = 300;
        config.backgroundFraction = 0.25;
        config.backgroundSpanPs = 400000;
        config.overrangeFraction = 0.1;
        RecordGenerator generator(config);
        const int n = 40000;
        int outside = 0, inPeak = 0, flagged = 0;
        double sum = 0, sumSquares = 0;
        QSet<int> offsets;
        for (int i = 0; i < n; ++i) {
            const GeneratedRecord r = generator.next();
            QVERIFY(r.bytes[6] <= 3);
            flagged += r.bytes[6] != 0;
            offsets.insert(r.bytes[5]);
            const double dt = r.representedPs;
            const bool peak = std::abs(dt - config.peakPs) <= 1500;
            outside += !peak;
            inPeak += peak;
            sum += peak ? dt : 0;
            sumSquares += peak ? dt * dt : 0;
        }
        // The background's share under the peak window (5 sigma each way) is 3000/400000 of it.
        QVERIFY2(std::abs(double(outside) / n - 0.25 * (1 - 3000.0 / 400000)) < 0.015, QByteArray::number(outside));
        QVERIFY2(std::abs(double(flagged) / n - 0.1) < 0.01, QByteArray::number(flagged));
        const double mean = sum / inPeak;
        QVERIFY2(std::abs(mean - config.peakPs) < 10, QByteArray::number(mean));
        const double sigma = std::sqrt(sumSquares / inPeak - mean * mean);
        QVERIFY2(std::abs(sigma - 300) < 15, QByteArray::number(sigma));
        // 400 ns of background spreads over some 40 coarse steps.
        QVERIFY(offsets.size() > 30);
    }

    void differencesBeyondTheRangeStayPlausible()
    {
        for (const double peak : {50000.0, -3e6}) {
            SimulatorConfig config;
            config.peakPs = peak;
            config.peakWidthPs = 100;
            config.backgroundFraction = 0;
            RecordGenerator generator(config);
            QVERIFY(generator.minDifferencePs() < -2.5e6 && generator.maxDifferencePs() > 7000);
            for (int i = 0; i < 500; ++i) {
                const GeneratedRecord r = generator.next();
                const auto [a, b, offset] = decode(r);
                QVERIFY(a > 650 && a < 2350 && b > 650 && b < 2350);
                // Piled up at the nearest edge of what can be represented.
                const double edge = peak > 0 ? generator.maxDifferencePs() : generator.minDifferencePs();
                QVERIFY2(std::abs(r.trueDtPs - edge) < 1, QByteArray::number(r.trueDtPs));
            }
        }
    }
};

QTEST_APPLESS_MAIN(TstRecordGenerator)
#include "tst_recordgenerator.moc"
