/// @brief The per-channel time table against the conversion it caches, for all 4096 readings.
#include "link/channeltimetable.h"

#include <QTest>
#include <cmath>
#include <cstring>

class TestChannelTimeTable : public QObject {
    Q_OBJECT
private slots:
    void matchesTheConversionBitForBit_data()
    {
        QTest::addColumn<double>("tau");
        QTest::addColumn<double>("low");
        QTest::addColumn<double>("high");
        QTest::newRow("channel A defaults") << 9.47 << 500.0 << 3600.0;
        // Tables are kept per calibration: each argument alone must tell two tables apart.
        QTest::newRow("only low moved") << 9.47 << 510.0 << 3600.0;
        QTest::newRow("fractional cells") << 12.25 << 499.5 << 3600.25;
        QTest::newRow("negative tau") << -3.0 << 500.0 << 3600.0;
        QTest::newRow("high below low") << 9.47 << 3600.0 << 500.0;
        QTest::newRow("no span: division by zero") << 9.47 << 500.0 << 500.0;
    }
    void matchesTheConversionBitForBit()
    {
        QFETCH(double, tau);
        QFETCH(double, low);
        QFETCH(double, high);
        ChannelTimeTable table;
        table.build(tau, low, high);
        for (int reading = 0; reading < ChannelTimeTable::Size; ++reading) {
            const timeconv::ChannelTime expected = timeconv::channelTime(tau, reading, low, high);
            const timeconv::ChannelTime& got = table.at(reading);
            QCOMPARE(int(got.fault), int(expected.fault));
            // Bit-identical, not merely close: the time difference is rounded afterwards and a
            // last-bit change can move it across a half.
            QVERIFY2(std::memcmp(&got.ns, &expected.ns, sizeof(double)) == 0, qPrintable(QString::number(reading)));
            // The decoder's own copy: the same bits, or NaN so that a faulty reading cannot
            // yield a difference.
            const double fast = table.timeOrNaN(reading);
            if (expected.fault == timeconv::Fault::None)
                QVERIFY2(std::memcmp(&fast, &expected.ns, sizeof(double)) == 0, qPrintable(QString::number(reading)));
            else
                QVERIFY2(std::isnan(fast), qPrintable(QString::number(reading)));
        }
    }

    void keptTablesAreSharedAndOutliveTheCache()
    {
        const auto sameAs = [](const ChannelTimeTable& table, double tau, double low, double high) {
            for (int reading : {0, 509, 510, 1600, 3589, 3590, 4095}) {
                const timeconv::ChannelTime expected = timeconv::channelTime(tau, reading, low, high);
                if (table.at(reading).fault != expected.fault || table.at(reading).ns != expected.ns)
                    return false;
            }
            return true;
        };
        ChannelTimeTable::setCacheCapacity(1);
        const quint64 filled = ChannelTimeTable::tablesFilled();
        ChannelTimeTable first;
        ChannelTimeTable second;
        first.build(7.25, 480, 3620);
        second.build(7.25, 480, 3620);
        QCOMPARE(ChannelTimeTable::tablesFilled(), filled + 1);
        // Pushes the first calibration out of the cache, not out of the table using it.
        second.build(7.5, 490, 3610);
        QVERIFY(sameAs(first, 7.25, 480, 3620));
        QVERIFY(sameAs(second, 7.5, 490, 3610));
        first.build(7.25, 480, 3620);
        QCOMPARE(ChannelTimeTable::tablesFilled(), filled + 3);
        QVERIFY(sameAs(first, 7.25, 480, 3620));
    }
};

QTEST_APPLESS_MAIN(TestChannelTimeTable)
#include "tst_channeltimetable.moc"
