/// @brief The panel's time conversion, as the reply decoder runs it, against the simulator's own for every reading
/// pair.
#include "link/channeltimetable.h"
#include "link/timeconversion.h"
#include "sim/conversionoracle.h"

#include <QTest>
#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

namespace {

using Fault = ConversionOracle::Fault;

Fault asOracleFault(timeconv::Fault fault)
{
    switch (fault) {
    case timeconv::Fault::None:
        return Fault::None;
    case timeconv::Fault::DivisionByZero:
        return Fault::DivisionByZero;
    case timeconv::Fault::InvalidLog:
        return Fault::InvalidLog;
    case timeconv::Fault::Overflow:
        return Fault::Overflow;
    }
    return Fault::None;
}

QString describe(ConversionOracle::Represented r)
{
    switch (r.fault) {
    case Fault::None:
        return QString::number(r.ps);
    case Fault::DivisionByZero:
        return QStringLiteral("division by zero");
    case Fault::InvalidLog:
        return QStringLiteral("invalid log");
    case Fault::Overflow:
        return QStringLiteral("overflow");
    }
    return QString();
}

/// What the decoder shows for a record: its channels' table entries, A's fault first, then the rounded difference.
ConversionOracle::Represented panelValue(const timeconv::ChannelTime& tA, const timeconv::ChannelTime& tB, int offset)
{
    if (tA.fault != timeconv::Fault::None)
        return {0, asOracleFault(tA.fault)};
    if (tB.fault != timeconv::Fault::None)
        return {0, asOracleFault(tB.fault)};
    const timeconv::Difference d = timeconv::timeDifference(tA.ns, tB.ns, offset);
    return {d.ps, asOracleFault(d.fault)};
}

/// Outcomes a calibration must produce somewhere on its grid, so that a row tests what its name says.
/// EvenHalf: a difference exactly halfway above an even whole number of ps, the one place where
/// halves to even and halves away from zero part.
enum Seen { Values = 1, DivisionByZero = 2, InvalidLog = 4, Overflow = 8, EvenHalf = 16 };

bool onEvenHalf(double tANs, double tBNs, int offset)
{
    const double magnitude = std::fabs((tANs - (tBNs + 10.0 * offset)) * 1000.0);
    const double whole = std::floor(magnitude);
    return magnitude - whole == 0.5 && std::fmod(whole, 2.0) == 0;
}

int seenBit(Fault fault)
{
    switch (fault) {
    case Fault::None:
        return Values;
    case Fault::DivisionByZero:
        return DivisionByZero;
    case Fault::InvalidLog:
        return InvalidLog;
    case Fault::Overflow:
        return Overflow;
    }
    return 0;
}

} // namespace

class TstConversionAgainstOracle : public QObject {
    Q_OBJECT
private slots:
    void everyReadingPair_data()
    {
        QTest::addColumn<double>("tauA");
        QTest::addColumn<double>("lowA");
        QTest::addColumn<double>("highA");
        QTest::addColumn<double>("tauB");
        QTest::addColumn<double>("lowB");
        QTest::addColumn<double>("highB");
        QTest::addColumn<int>("offset");
        QTest::addColumn<int>("mustSee");
        // Every window ends inside the 12 bits, so the readings at and above it have no logarithm.
        QTest::newRow("simulator's calibration, panel's taus")
            << 9.47 << 500.0 << 3600.0 << 9.49 << 510.0 << 3590.0 << 0 << (Values | InvalidLog);
        QTest::newRow("asymmetric windows: A widest, B narrowest")
            << 9.47 << 451.0 << 3649.0 << 9.49 << 549.0 << 3551.0 << 255 << (Values | InvalidLog);
        QTest::newRow("taus of very different size")
            << 0.35 << 500.0 << 3600.0 << 120.0 << 500.0 << 3600.0 << 137 << (Values | InvalidLog);
        QTest::newRow("window edges, fractional cells")
            << 9.47 << 450.5 << 3550.25 << 9.49 << 549.75 << 3649.5 << 1 << (Values | InvalidLog);
        // Halves are rare: at this tau one pair lands on one, on an even number.
        QTest::newRow("a millisecond ramp: halves, and beyond the 32 bits")
            << 450000.0 << 500.0 << 3600.0 << 9.49 << 510.0 << 3590.0 << 255
            << (Values | InvalidLog | Overflow | EvenHalf);
        QTest::newRow("high below low on A, no span on B")
            << 9.47 << 3600.0 << 500.0 << 9.49 << 510.0 << 510.0 << 0 << (InvalidLog | DivisionByZero);
        QTest::newRow("high below low on B")
            << 9.47 << 500.0 << 3600.0 << 9.49 << 3590.0 << 510.0 << 64 << (Values | InvalidLog);
        QTest::newRow("negative tau on A, zero on B")
            << -9.47 << 500.0 << 3600.0 << 0.0 << 510.0 << 3590.0 << 200 << (Values | InvalidLog);
    }

    void everyReadingPair()
    {
        QFETCH(double, tauA);
        QFETCH(double, lowA);
        QFETCH(double, highA);
        QFETCH(double, tauB);
        QFETCH(double, lowB);
        QFETCH(double, highB);
        QFETCH(int, offset);
        QFETCH(int, mustSee);
        constexpr int Size = ChannelTimeTable::Size;

        // The channels first, so that a wrong channel conversion is told by its reading, not by millions of pairs.
        ChannelTimeTable tableA;
        ChannelTimeTable tableB;
        tableA.build(tauA, lowA, highA);
        tableB.build(tauB, lowB, highB);
        std::vector<ConversionOracle::Time> oracleA(Size);
        std::vector<ConversionOracle::Time> oracleB(Size);
        for (int reading = 0; reading < Size; ++reading) {
            oracleA[size_t(reading)] = ConversionOracle::timeOf({tauA, lowA, highA}, reading);
            oracleB[size_t(reading)] = ConversionOracle::timeOf({tauB, lowB, highB}, reading);
            for (const auto& [channel, panel, oracle] :
                 {std::tuple{'A', tableA.at(reading), oracleA[size_t(reading)]},
                  std::tuple{'B', tableB.at(reading), oracleB[size_t(reading)]}}) {
                // Bit for bit: the difference is rounded afterwards, and a last bit can move it across a half.
                QVERIFY2(asOracleFault(panel.fault) == oracle.fault
                             && std::bit_cast<std::uint64_t>(panel.ns) == std::bit_cast<std::uint64_t>(oracle.ns),
                         qPrintable(QStringLiteral("%1 reading %2: panel %3 (fault %4), oracle %5 (fault %6)")
                                        .arg(channel)
                                        .arg(reading)
                                        .arg(panel.ns, 0, 'g', 17)
                                        .arg(int(panel.fault))
                                        .arg(oracle.ns, 0, 'g', 17)
                                        .arg(int(oracle.fault))));
            }
        }

        // Then every pair. The offset only moves B's time after its table, so each row takes one of its 256 values.
        int seen = 0;
        qint64 mismatches = 0;
        QString first;
        for (int a = 0; a < Size; ++a) {
            const timeconv::ChannelTime& tA = tableA.at(a);
            const ConversionOracle::Time& oA = oracleA[size_t(a)];
            for (int b = 0; b < Size; ++b) {
                const ConversionOracle::Represented panel = panelValue(tA, tableB.at(b), offset);
                const ConversionOracle::Represented oracle = ConversionOracle::represented(oA, oracleB[size_t(b)],
                                                                                           offset);
                seen |= seenBit(oracle.fault);
                if (oracle.fault == Fault::None && onEvenHalf(oA.ns, oracleB[size_t(b)].ns, offset))
                    seen |= EvenHalf;
                if (panel.ps == oracle.ps && panel.fault == oracle.fault)
                    continue;
                if (mismatches++ == 0)
                    first = QStringLiteral("A=%1 B=%2 offset=%3: panel %4, oracle %5")
                                .arg(a)
                                .arg(b)
                                .arg(offset)
                                .arg(describe(panel), describe(oracle));
            }
        }
        QVERIFY2(mismatches == 0, qPrintable(QStringLiteral("%1 pairs differ, first %2").arg(mismatches).arg(first)));
        QCOMPARE(seen, mustSee);
    }
};

QTEST_APPLESS_MAIN(TstConversionAgainstOracle)
#include "tst_conversionagainstoracle.moc"
