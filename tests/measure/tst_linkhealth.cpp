/// @brief LinkHealth against a real decoder and a clock the test moves: sliding rates, counts since the run start,
/// reconnects.
#include "common/fakes.h"
#include "link/calibration.h"
#include "link/dataoptions.h"
#include "link/decoderoutput.h"
#include "link/replydecoder.h"
#include "measure/linkhealth.h"
#include "measure/runstatistics.h"

#include <QTest>

namespace {

class NullOutput final : public DecoderOutput {
public:
    void heartbeat() override {}
    void displayLine(const QString&) override {}
    void errorLine(const QString&) override {}
    bool fileIsOpen() const override { return false; }
    bool writeFile(QByteArrayView, QString&) override { return true; }
};

/// The reference readings and taus.
Calibration calibrated()
{
    return Calibration::fromTexts({QStringLiteral("500"), QStringLiteral("3600"), QStringLiteral("510"),
                                   QStringLiteral("3590")},
                                  QStringLiteral("9.47"), QStringLiteral("9.49"));
}

class NoRegisters final : public RegisterReplies {
public:
    void registerReplied(int, int) override {}
};

class NoVersions final : public VersionReplies {
public:
    void versionReplied(const QString&, const QString&) override {}
};

QByteArray records(int n)
{
    QByteArray out;
    for (int i = 0; i < n; ++i)
        out += recordBytes(1500 + i, 1600);
    return out;
}

} // namespace

class TestLinkHealth : public QObject {
    Q_OBJECT
private:
    NoRegisters m_registers;
    NoVersions m_versions;
    RunStatistics m_statistics;
    NullOutput m_output;
    FakeClock m_clock;
    std::unique_ptr<ReplyDecoder> m_decoder;
    std::unique_ptr<LinkHealth> m_health;

    void arrive(const QByteArray& bytes)
    {
        m_decoder->feed(bytes);
        m_health->noteArrival(bytes.size());
    }
    /// Records and bytes per second.
    QString rates() const
    {
        const LinkHealthFigures f = m_health->figures();
        return QStringLiteral("%1 %2").arg(f.recordsPerSecond).arg(f.bytesPerSecond);
    }
    /// Decoded, implausible, overflowed, gated, dropped by resync, errors, bytes.
    QString counts() const
    {
        const LinkHealthFigures f = m_health->figures();
        return QStringLiteral("%1 %2 %3 %4 %5 %6 %7")
            .arg(f.recordsDecoded)
            .arg(f.rejectedByPlausibility)
            .arg(f.rejectedByOverflow)
            .arg(f.rejectedByGate)
            .arg(f.bytesDroppedByResync)
            .arg(f.errors)
            .arg(f.bytes);
    }

private slots:
    void init()
    {
        m_decoder = std::make_unique<ReplyDecoder>(
            ReplyDecoder::Context{m_registers, m_versions, m_statistics, m_output});
        m_decoder->setCalibration(calibrated());
        m_decoder->setOptions({.display = false});
        m_health = std::make_unique<LinkHealth>(*m_decoder, m_clock);
    }

    void ratesCoverOnlyTheLastSecond()
    {
        arrive(records(10));
        QCOMPARE(rates(), QStringLiteral("10 70"));
        m_clock.advance(0.5);
        arrive(records(5) + "H");
        QCOMPARE(rates(), QStringLiteral("15 106"));
        // The first arrival is now more than a second old; the second is not.
        m_clock.advance(0.6);
        QCOMPARE(rates(), QStringLiteral("5 36"));
        // Silence: the rates fall to zero without any further arrival.
        m_clock.advance(1.0);
        QCOMPARE(rates(), QStringLiteral("0 0"));
        // The counts are not rates: they keep everything since the run start.
        QCOMPARE(counts(), QStringLiteral("15 0 0 0 0 0 106"));
    }

    void countsStartAgainAtEachRun()
    {
        // Before the run: one implausible record, one corrupt, a gated record and a garbage tail.
        arrive(recordBytes(600, 1600) + recordBytes(0x8000 + 1500, 1600) + recordBytes(1500, 1600));
        m_decoder->setCalibrationUnderWay(true);
        arrive(recordBytes(1500, 1600));
        m_decoder->setCalibrationUnderWay(false);
        arrive(QByteArray("xyz"));
        QCOMPARE(counts(), QStringLiteral("1 1 1 1 3 0 31"));

        m_health->resetForRun();
        QCOMPARE(counts(), QStringLiteral("0 0 0 0 0 0 0"));
        // The rates describe the link, not the run: the start does not empty them.
        QVERIFY(m_health->figures().recordsPerSecond > 0);

        // A Tau that is not a number sends every record down the error path.
        Calibration noTauA = calibrated();
        noTauA.setTau(Calibration::A, std::nullopt);
        m_decoder->setCalibration(noTauA);
        arrive(recordBytes(1500, 1600) + recordBytes(1500, 1600));
        m_decoder->setCalibration(calibrated());
        arrive(records(4) + "Q");
        QCOMPARE(counts(), QStringLiteral("4 0 0 0 1 1 43"));
        QCOMPARE(m_health->figures().recordsDecoded, m_decoder->counters().recordsDecoded - 1);
    }

    void everyConnectionAfterTheFirstIsAReconnect()
    {
        m_health->noteConnectionEstablished();
        QCOMPARE(m_health->figures().reconnects, 0ull);
        m_health->noteConnectionEstablished();
        m_health->noteConnectionEstablished();
        QCOMPARE(m_health->figures().reconnects, 2ull);
        m_health->resetForRun();
        QCOMPARE(m_health->figures().reconnects, 0ull);
        // The first connection stays the first across run starts.
        m_health->noteConnectionEstablished();
        QCOMPARE(m_health->figures().reconnects, 1ull);
    }
};

QTEST_GUILESS_MAIN(TestLinkHealth)
#include "tst_linkhealth.moc"
