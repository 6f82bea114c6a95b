/// @brief The reply decoder against models and a recording output: worked records, gates, framing across
/// arrivals, calibration capture, registers, versions, file entries and the error path.
#include "common/fakes.h"
#include "control/calibrationcapture.h"
#include "control/calibrationmodel.h"
#include "control/registermodel.h"
#include "control/versionmodel.h"
#include "link/dataoptions.h"
#include "link/decoderoutput.h"
#include "link/replydecoder.h"
#include "link/timeconversion.h"
#include "measure/runstatistics.h"

#include <QLocale>
#include <QRandomGenerator>
#include <QTest>
#include <functional>
#include <optional>

namespace {

/// Records every call in one ordered trace, so that a test can compare whole sequences.
class RecordingOutput final : public DecoderOutput {
public:
    void heartbeat() override { trace.append(QStringLiteral("heartbeat")); }
    void displayLine(const QString& line) override
    {
        trace.append(QStringLiteral("log ") + line);
        noteCount();
    }
    void errorLine(const QString& line) override { trace.append(QStringLiteral("error ") + line); }
    bool fileIsOpen() const override { return fileOpen; }
    bool writeFile(QByteArrayView bytes, QString& errorText) override
    {
        noteCount();
        if (writeError) {
            errorText = *writeError;
            return false;
        }
        trace.append(QStringLiteral("file %1 bytes").arg(bytes.size()));
        file.append(bytes);
        if (onWrite)
            onWrite();
        return true;
    }

    QStringList trace;
    QByteArray file;
    bool fileOpen = false;
    std::optional<QString> writeError;
    std::function<void()> onWrite;
    /// The record count as the statistics showed it at each file write and log line.
    const RunStatistics* statistics = nullptr;
    QStringList countsSeen;

private:
    void noteCount()
    {
        if (statistics)
            countsSeen.append(statistics->countCaption());
    }
};

/// A data file in miniature behind the outputs: entries collect until HandOverAt bytes, then
/// go to a disk that takes a given number of hand-overs. With batches it takes lines in bulk
/// as the session does; the log lines then come through the interface's own splitting.
class DiskOutput final : public DecoderOutput {
public:
    static constexpr qsizetype HandOverAt = 100;

    explicit DiskOutput(bool batches) : m_batches(batches) {}
    void heartbeat() override { trace.append(QStringLiteral("heartbeat")); }
    void displayLine(const QString& line) override { trace.append(QStringLiteral("log ") + line); }
    void displayAscii(QByteArrayView line) override
    {
        trace.append(QStringLiteral("log ") + QString::fromLatin1(line));
    }
    void errorLine(const QString& line) override { trace.append(QStringLiteral("error ") + line); }
    bool fileIsOpen() const override { return fileOpen; }
    bool writeFile(QByteArrayView bytes, QString& errorText) override { return take(bytes, errorText); }
    bool takesLineBatches() const override { return m_batches; }
    qsizetype fileRoom() const override { return HandOverAt - m_buffered; }
    bool writeFileLines(QByteArrayView bytes, qsizetype, QString& errorText) override { return take(bytes, errorText); }
    bool writeFileRecords(QByteArrayView bytes, int, QString& errorText) override { return take(bytes, errorText); }

    QStringList trace;
    QByteArray file;
    bool fileOpen = false;
    int handOversLeft = 1 << 30;

private:
    bool take(QByteArrayView bytes, QString& errorText)
    {
        if (!fileOpen)
            return false;
        file.append(bytes);
        m_buffered += bytes.size();
        if (m_buffered < HandOverAt)
            return true;
        m_buffered = 0;
        if (handOversLeft-- > 0)
            return true;
        fileOpen = false;
        errorText = QStringLiteral("Disk full");
        return false;
    }
    bool m_batches;
    qsizetype m_buffered = 0;
};

/// The models a running panel holds, calibrated with the reference readings and a run started.
template <class Output>
struct RigOf {
    CalibrationModel calibration;
    RegisterModel registers;
    VersionModel versions;
    RunStatistics statistics;
    Output out;
    FakeClock clock;
    CalibrationCapture capture{registers, calibration};
    ReplyDecoder decoder{ReplyDecoder::Context{capture, versions, statistics, out, nullptr, &clock}};

    /// One switch of the decoder's options, the others as they are.
    void set(bool DataOptions::*option, bool on)
    {
        DataOptions o = decoder.options();
        o.*option = on;
        decoder.setOptions(o);
    }
    bool option(bool DataOptions::*option) const { return decoder.options().*option; }

    template <typename... OutputArgs>
    explicit RigOf(bool calibrated = true, OutputArgs... outputArgs) : out(outputArgs...)
    {
        calibration.bindDecoder(decoder);
        statistics.setRunTickedSource([] { return true; });
        if (calibrated)
            calibrate(QStringLiteral("500"), QStringLiteral("3600"), QStringLiteral("510"), QStringLiteral("3590"));
        statistics.clearForRunStart();
        // Model changes join the output trace, so order across kinds is visible.
        QObject::connect(&registers, &RegisterModel::valueChanged, [this](int i) {
            out.trace.append(
                QStringLiteral("register %1 %2 %3").arg(i).arg(registers.decimalCaption(i), registers.hexCaption(i)));
        });
        QObject::connect(&versions, &VersionModel::changed, [this] {
            out.trace.append(QStringLiteral("version ") + versions.fpgaCaption() + u'|' + versions.rabbitCaption());
        });
        QObject::connect(&calibration, &CalibrationModel::cellChanged,
                         [this](CalibrationModel::Cell c, const QString& t) {
            out.trace.append(QStringLiteral("cell %1 %2").arg(int(c)).arg(t));
        });
    }

    void calibrate(const QString& al, const QString& ah, const QString& bl, const QString& bh)
    {
        calibration.setCell(CalibrationModel::ALow, al);
        calibration.setCell(CalibrationModel::AHigh, ah);
        calibration.setCell(CalibrationModel::BLow, bl);
        calibration.setCell(CalibrationModel::BHigh, bh);
    }

    QStringList logLines() const
    {
        QStringList lines;
        for (const QString& t : out.trace)
            if (t.startsWith(QLatin1String("log ")))
                lines.append(t.mid(4));
        return lines;
    }
};
using Rig = RigOf<RecordingOutput>;

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray b;
    for (int v : values)
        b.append(char(v));
    return b;
}

QByteArray record(int a, int b, int offset = 0, int flags = 0)
{
    return bytes({'R', a >> 8, a & 0xFF, b >> 8, b & 0xFF, offset, flags});
}

QByteArray registerBytes(int index, int value) { return bytes({'0' + index, value >> 8, value & 0xFF}); }

QByteArray versionBytes(int major, int minorRevision, const QByteArray& text13)
{
    Q_ASSERT(text13.size() == 13);
    return bytes({'V', major, minorRevision}) + text13;
}

// The reference record: cells 500/3600 and 510/3590, Tau 9.47 and 9.49.
const QByteArray RecordMinus30457 = bytes({0x52, 0x05, 0xDC, 0x06, 0x40, 0x03, 0x00});
const QByteArray Record4619 = record(2000, 1000);
const QString Line30457 = QStringLiteral("   -30457");
const QString Line4619 = QStringLiteral("     4619");

/// The conversion done directly, from the texts parsed independently of the decoder.
qint32 referenceDifference(double tauA, double tauB, double al, double ah, double bl, double bh, int a, int b,
                           int offset)
{
    const auto tA = timeconv::channelTime(tauA, a, al, ah);
    const auto tB = timeconv::channelTime(tauB, b, bl, bh);
    const auto d = timeconv::timeDifference(tA.ns, tB.ns, offset);
    Q_ASSERT(tA.fault == timeconv::Fault::None && tB.fault == timeconv::Fault::None
             && d.fault == timeconv::Fault::None);
    return d.ps;
}

} // namespace

class TestReplyDecoder : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }
    void cleanup() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }

    // ---- coincidence records -------------------------------------------------------------

    void recordLine_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<bool>("verbose");
        QTest::addColumn<int>("dt");
        QTest::addColumn<QString>("line");

        QTest::newRow("reference, plain") << RecordMinus30457 << false << -30457 << Line30457;
        QTest::newRow("reference, verbose")
            << RecordMinus30457 << true << -30457 << "-30,457 A=1500 B=1600 Offset=3 OR/A=0";
        QTest::newRow("positive, plain") << Record4619 << false << 4619 << Line4619;
        QTest::newRow("offset 0, verbose")
            << record(1500, 1600) << true << -457 << "-457 A=1500 B=1600 Offset=0 OR/A=0";
        QTest::newRow("offset 255, verbose")
            << record(1500, 1600, 255) << true << -2550457 << "-2,550,457 A=1500 B=1600 Offset=255 OR/A=0";
        QTest::newRow("both overranges, plain")
            << record(1500, 1600, 3, 3) << false << -30457 << "   -30457, Overrange A!, Overrange B!";
        QTest::newRow("both overranges, verbose")
            << record(1500, 1600, 3, 3) << true << -30457
            << "-30,457 A=1500 B=1600 Offset=3 OR/A=3, Overrange A!, Overrange B!";
        QTest::newRow("overrange B only") << record(1500, 1600, 3, 2) << false << -30457 << "   -30457, Overrange B!";
        QTest::newRow("flags shown mod 16")
            << record(1500, 1600, 3, 0xF6) << true << -30457 << "-30,457 A=1500 B=1600 Offset=3 OR/A=6, Overrange B!";
        QTest::newRow("B high byte: upper nibble ignored") << bytes({0x52, 0x05, 0xDC, 0xF6, 0x40, 0x03, 0x00}) << true
                                                           << -30457 << "-30,457 A=1500 B=1600 Offset=3 OR/A=0";
    }
    void recordLine()
    {
        QFETCH(QByteArray, reply);
        QFETCH(bool, verbose);
        QFETCH(int, dt);
        QFETCH(QString, line);

        Rig rig;
        rig.set(&DataOptions::verbose, verbose);
        rig.decoder.feed(reply);
        QCOMPARE(rig.logLines(), QStringList{line});
        QCOMPARE(rig.decoder.lastDifference(), std::optional<qint32>(dt));
        QCOMPARE(rig.statistics.lastDifference(), QString::number(dt));
        QCOMPARE(rig.statistics.countCaption(), QStringLiteral("1"));
    }

    void modelChangesApplyToTheNextRecord()
    {
        Rig rig;
        rig.decoder.feed(RecordMinus30457);
        QCOMPARE(rig.decoder.lastDifference(), std::optional<qint32>(-30457));

        rig.calibration.setTauA(QStringLiteral("9.5"));
        rig.decoder.feed(RecordMinus30457);
        QCOMPARE(rig.decoder.lastDifference().value(),
                 referenceDifference(9.5, 9.49, 500, 3600, 510, 3590, 1500, 1600, 3));

        rig.calibration.setTauB(QStringLiteral("9.3"));
        rig.calibration.setCell(CalibrationModel::BLow, QStringLiteral("520"));
        rig.calibration.setCell(CalibrationModel::AHigh, QStringLiteral("3610"));
        rig.decoder.feed(RecordMinus30457);
        QCOMPARE(rig.decoder.lastDifference().value(),
                 referenceDifference(9.5, 9.3, 500, 3610, 520, 3590, 1500, 1600, 3));
    }

    void localeChangeAppliesToNumbersAndGrouping()
    {
        Rig rig;
        rig.set(&DataOptions::verbose, true);
        rig.calibration.setTauA(QStringLiteral("9,47"));
        rig.calibration.setTauB(QStringLiteral("9,49"));
        rig.decoder.feed(RecordMinus30457); // a decimal comma is no number in English

        // Same texts, new locale: what was read under the old one must not stick.
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        rig.decoder.feed(RecordMinus30457);

        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        rig.calibration.setTauA(QStringLiteral("9.47"));
        rig.calibration.setTauB(QStringLiteral("9.49"));
        rig.decoder.feed(RecordMinus30457);

        QCOMPARE(rig.out.trace,
                 (QStringList{"error Doh! (data) Type mismatch", "log -30.457 A=1500 B=1600 Offset=3 OR/A=0",
                              "log -30,457 A=1500 B=1600 Offset=3 OR/A=0"}));
    }

    void nonAsciiSeparatorInTheFile()
    {
        QLocale::setDefault(QLocale(QLocale::French, QLocale::France));
        Rig rig;
        rig.decoder.setOptions({true, true, true, false});
        rig.out.fileOpen = true;
        rig.decoder.feed(RecordMinus30457);
        const QString line = QStringLiteral("-30") + QLocale().groupSeparator()
                             + QStringLiteral("457 A=1500 B=1600 Offset=3 OR/A=0");
        QVERIFY(QLocale().groupSeparator().at(0).unicode() >= 0x80);
        QCOMPARE(rig.logLines(), QStringList{line});
        QCOMPARE(rig.out.file, line.toLocal8Bit() + "\r\n");
    }

    void recordGate_data()
    {
        QTest::addColumn<QString>("phase");
        QTest::addColumn<QStringList>("cells"); // A low, A high, B low, B high
        QTest::addColumn<bool>("decoded");

        QTest::newRow("calibrated") << "0" << QStringList{"500", "3600", "510", "3590"} << true;
        QTest::newRow("low capture under way") << "1" << QStringList{"500", "3600", "510", "3590"} << false;
        QTest::newRow("high capture under way") << "2" << QStringList{"500", "3600", "510", "3590"} << false;
        QTest::newRow("A low missing") << "0" << QStringList{"???", "3600", "510", "3590"} << false;
        QTest::newRow("A low 450") << "0" << QStringList{"450", "3600", "510", "3590"} << false;
        QTest::newRow("A low 451") << "0" << QStringList{"451", "3600", "510", "3590"} << true;
        QTest::newRow("A high 3650") << "0" << QStringList{"500", "3650", "510", "3590"} << false;
        QTest::newRow("B high 3550") << "0" << QStringList{"500", "3600", "510", "3550"} << false;
        QTest::newRow("cells read as leading numbers") << "0" << QStringList{" 500", "3.6E3", "+510", "3590"} << true;
    }
    void recordGate()
    {
        QFETCH(QString, phase);
        QFETCH(QStringList, cells);
        QFETCH(bool, decoded);

        Rig rig(false);
        rig.calibrate(cells[0], cells[1], cells[2], cells[3]);
        rig.calibration.setPhaseText(phase);
        rig.out.trace.clear();
        // A stopped record drops itself only: the register reply behind it is still shown.
        rig.decoder.feed(RecordMinus30457 + registerBytes(0, 42));

        QStringList expected;
        if (decoded)
            expected << QStringLiteral("log ") + rig.logLines().value(0);
        expected << QStringLiteral("register 0 42 0x2A");
        QCOMPARE(rig.out.trace, expected);
        QCOMPARE(rig.logLines().size(), decoded ? 1 : 0);
        QCOMPARE(rig.decoder.counters().rejectedByGate, quint64(decoded ? 0 : 1));
        QCOMPARE(rig.statistics.countCaption(), decoded ? QStringLiteral("1") : QStringLiteral("0"));
    }

    // ---- outputs ------------------------------------------------------------------------

    void outputs_data()
    {
        QTest::addColumn<DataOptions>("options");
        QTest::addColumn<bool>("fileOpen");
        QTest::addColumn<QByteArray>("fileContent");
        QTest::addColumn<int>("logLines");

        const QByteArray plain("   -30457\r\n     4619\r\n");
        QTest::newRow("plain lines in the file") << DataOptions{true, false, true, false} << true << plain << 2;
        QTest::newRow("verbose lines in the file")
            << DataOptions{true, true, true, false} << true
            << QByteArray("-30,457 A=1500 B=1600 Offset=3 OR/A=0\r\n4,619 A=2000 B=1000 Offset=0 OR/A=0\r\n") << 2;
        QTest::newRow("raw wins over verbose")
            << DataOptions{false, true, true, true} << true << RecordMinus30457 + Record4619 << 0;
        QTest::newRow("File ticked, no file open")
            << DataOptions{true, false, true, false} << false << QByteArray() << 2;
        QTest::newRow("file open, File unticked")
            << DataOptions{true, false, false, false} << true << QByteArray() << 2;
        QTest::newRow("Display unticked, file still written")
            << DataOptions{false, false, true, false} << true << plain << 0;
    }
    void outputs()
    {
        QFETCH(DataOptions, options);
        QFETCH(bool, fileOpen);
        QFETCH(QByteArray, fileContent);
        QFETCH(int, logLines);

        Rig rig;
        rig.decoder.setOptions(options);
        rig.out.fileOpen = fileOpen;
        rig.decoder.feed(RecordMinus30457 + Record4619);
        QCOMPARE(rig.out.file, fileContent);
        QCOMPARE(rig.logLines().size(), logLines);
        // Statistics are kept whatever is shown or written.
        QCOMPARE(rig.statistics.rangeCaption(), QStringLiteral("35076"));
    }

    void optionsChangedDuringARecordApplyToTheNext()
    {
        Rig rig;
        rig.out.fileOpen = true;
        rig.set(&DataOptions::file, true);
        // A change made while a record is being written applies to the next record of the same arrival.
        rig.out.onWrite = [&rig] { rig.set(&DataOptions::raw, true); };
        rig.decoder.feed(RecordMinus30457 + Record4619);
        QCOMPARE(rig.out.file, QByteArray("   -30457\r\n") + Record4619);
    }

    void statisticsAnnouncedOncePerArrival_data()
    {
        QTest::addColumn<QList<QByteArray>>("arrivals");
        QTest::addColumn<QList<int>>("announcedCounts"); // the count as each announcement saw it
        const QByteArray three = RecordMinus30457 + Record4619 + record(1500, 1600);
        QTest::newRow("three records and a heartbeat, one arrival") << QList<QByteArray>{three + "H"} << QList<int>{3};
        QTest::newRow("no record counted")
            << QList<QByteArray>{registerBytes(1, 7) + record(650, 1600)} << QList<int>{};
        QTest::newRow("record completed by the second arrival")
            << QList<QByteArray>{three.left(10), three.mid(10)} << QList<int>{1, 3};
    }
    void statisticsAnnouncedOncePerArrival()
    {
        QFETCH(QList<QByteArray>, arrivals);
        QFETCH(QList<int>, announcedCounts);
        Rig rig;
        rig.out.fileOpen = true;
        rig.set(&DataOptions::file, true);
        rig.out.statistics = &rig.statistics;
        QList<int> announced;
        QObject::connect(&rig.statistics, &RunStatistics::changed,
                         [&] { announced.append(int(rig.statistics.count().value_or(-1))); });
        for (const QByteArray& arrival : arrivals)
            rig.decoder.feed(arrival);
        QCOMPARE(announced, announcedCounts);
        // Held back is only the announcement: each record is counted after it was written and
        // shown, and each write and line still sees the count of the records before it.
        QCOMPARE(rig.out.countsSeen.size(), 2 * rig.logLines().size());
        for (qsizetype i = 0; i < rig.out.countsSeen.size(); ++i)
            QCOMPARE(rig.out.countsSeen.at(i), QString::number(i / 2));
    }

    void failedArrivalStillAnnouncesItsRecords()
    {
        Rig rig;
        rig.set(&DataOptions::file, true);
        rig.out.fileOpen = true;
        rig.out.onWrite = [&rig] { rig.out.writeError = QStringLiteral("Disk gone"); };
        QList<int> announced;
        QObject::connect(&rig.statistics, &RunStatistics::changed,
                         [&] { announced.append(int(rig.statistics.count().value_or(-1))); });
        rig.decoder.feed(RecordMinus30457 + Record4619 + record(1500, 1600));
        QCOMPARE(rig.out.trace,
                 (QStringList{"file 11 bytes", "log " + Line30457, "error Doh! (data) Write failed: Disk gone"}));
        QCOMPARE(announced, QList<int>{1});
    }

    // ---- calibration capture ------------------------------------------------------------

    void calibrationThroughStaleRecords()
    {
        // Records still streaming when the calibration starts are dropped one by one; the
        // calibration replies behind them reach the cells and open the gate. Only the ADC
        // registers 3 and 4 are cells, and only while a level is being captured.
        Rig rig(false);
        rig.calibration.setPhaseText(QStringLiteral("1"));
        rig.decoder.feed(RecordMinus30457 + Record4619 + registerBytes(3, 500) + registerBytes(4, 510));
        rig.calibration.setPhaseText(QStringLiteral("2"));
        rig.decoder.feed(Record4619 + registerBytes(3, 3600) + RecordMinus30457 + registerBytes(5, 7)
                         + registerBytes(4, 3590));
        rig.calibration.setPhaseText(QStringLiteral("0"));
        QVERIFY(rig.calibration.runGate());
        rig.decoder.feed(RecordMinus30457 + registerBytes(3, 9));

        QCOMPARE(rig.out.trace,
                 (QStringList{"register 3 500 0x1F4", "cell 0 500", "register 4 510 0x1FE", "cell 2 510",
                              "register 3 3600 0xE10", "cell 1 3600", "register 5 7 0x7", "register 4 3590 0xE06",
                              "cell 3 3590", "log " + Line30457, "register 3 9 0x9"}));
        QCOMPARE(rig.decoder.counters().rejectedByGate, quint64(4));
    }

    // ---- framing --------------------------------------------------------------------------

    // What a sequence of arrivals leaves in the trace, and how the decoder counted it.
    void arrivals_data()
    {
        QTest::addColumn<QList<QByteArray>>("arrivals");
        QTest::addColumn<QStringList>("trace");
        QTest::addColumn<QString>("counters"); // decoded, implausible, overflowed, dropped by resync
        const QString rec = "log " + Line30457;
        const QString rec2 = "log " + Line4619;
        using Arrivals = QList<QByteArray>;
        QTest::newRow("prefix byte that looks like a kind")
            << Arrivals{"PR" + RecordMinus30457} << QStringList{rec} << "1 0 0 0";
        QTest::newRow("prefix and heartbeats between records")
            << Arrivals{RecordMinus30457 + "PHH" + Record4619} << QStringList{rec, "heartbeat", rec2} << "2 0 0 0";
        QTest::newRow("register before version")
            << Arrivals{registerBytes(0, 1) + versionBytes(2, 0x10, "x            ")}
            << QStringList{"register 0 1 0x1", "version FPGA: 2.1.0|Rabbit: x"} << "0 0 0 0";
        QTest::newRow("register reply whose value bytes look like kinds")
            << Arrivals{"5RH" + Record4619} << QStringList{"register 5 72 0x48", rec2} << "1 0 0 0";
        QTest::newRow("register 5 reduced mod 256")
            << Arrivals{registerBytes(5, 0x01FF)} << QStringList{"register 5 255 0xFF"} << "0 0 0 0";
        QTest::newRow("register 6 reduced mod 8")
            << Arrivals{registerBytes(6, 13)} << QStringList{"register 6 5 0x5"} << "0 0 0 0";
        QTest::newRow("register 4, high nibble ignored")
            << Arrivals{bytes({'4', 0xA1, 0xF4})} << QStringList{"register 4 500 0x1F4"} << "0 0 0 0";
        QTest::newRow("version, padded text") << Arrivals{versionBytes(0x01, 0x23, "  RCM 2.05   ")}
                                              << QStringList{"version FPGA: 1.2.3|Rabbit: RCM 2.05"} << "0 0 0 0";
        QTest::newRow("version extremes") << Arrivals{versionBytes(0xFF, 0xF0, "ABCDEFGHIJKLM")}
                                          << QStringList{"version FPGA: 255.15.0|Rabbit: ABCDEFGHIJKLM"} << "0 0 0 0";
        // Only blanks are trimmed; a tab inside the text stays.
        QTest::newRow("version, tab kept") << Arrivals{versionBytes(3, 0x4A, "\tv7          ")}
                                           << QStringList{"version FPGA: 3.4.10|Rabbit: \tv7"} << "0 0 0 0";
        // Implausible readings (just outside the window) go silently.
        QTest::newRow("A 650") << Arrivals{record(650, 1600) + Record4619} << QStringList{rec2} << "1 1 0 0";
        QTest::newRow("A 2350") << Arrivals{record(2350, 1600) + Record4619} << QStringList{rec2} << "1 1 0 0";
        QTest::newRow("B 650") << Arrivals{record(1500, 650) + Record4619} << QStringList{rec2} << "1 1 0 0";
        QTest::newRow("B 2350") << Arrivals{record(1500, 2350) + Record4619} << QStringList{rec2} << "1 1 0 0";
        QTest::newRow("A high byte 0x15") << Arrivals{bytes({'R', 0x15, 0xDC, 0x06, 0x40, 0x03, 0x00}) + Record4619}
                                          << QStringList{rec2} << "1 1 0 0";
        // A keeps its whole high byte: 0x80 and above overflows it, told once per arrival.
        const QByteArray over = bytes({'R', 0x80, 0xDC, 0x06, 0x40, 0x03, 0x00});
        const QByteArray overFF = bytes({'R', 0xFF, 0xFF, 0x06, 0x40, 0x03, 0x00});
        const QString overflow = QStringLiteral("error Doh! (data) Overflow");
        QTest::newRow("two overflows in one arrival, one line")
            << Arrivals{over + registerBytes(1, 7) + overFF + Record4619}
            << QStringList{overflow, "register 1 7 0x7", rec2} << "1 0 2 0";
        QTest::newRow("an overflow line for each arrival")
            << Arrivals{over + Record4619, overFF} << QStringList{overflow, rec2, overflow} << "1 0 2 0";
        QTest::newRow("overflow completed in the next arrival")
            << Arrivals{over.left(2), over.mid(2) + overFF} << QStringList{overflow} << "0 0 2 0";
        // A byte that starts no reply ends the arrival silently.
        QTest::newRow("register 8") << Arrivals{"8\x01\x02"} << QStringList() << "0 0 0 3";
        QTest::newRow("garbage between records")
            << Arrivals{RecordMinus30457 + "X" + Record4619} << QStringList{rec} << "1 0 0 8";
        QTest::newRow("lower-case kind") << Arrivals{"r" + Record4619} << QStringList() << "0 0 0 8";
    }
    void arrivals()
    {
        QFETCH(QList<QByteArray>, arrivals);
        QFETCH(QStringList, trace);
        QFETCH(QString, counters);
        Rig rig;
        for (const QByteArray& arrival : arrivals)
            rig.decoder.feed(arrival);
        QCOMPARE(rig.out.trace, trace);
        const ReplyDecoder::Counters& c = rig.decoder.counters();
        QCOMPARE(QStringLiteral("%1 %2 %3 %4")
                     .arg(c.recordsDecoded)
                     .arg(c.rejectedByPlausibility)
                     .arg(c.rejectedByOverflow)
                     .arg(c.bytesDroppedByResync),
                 counters);
        QCOMPARE(c.bytesDroppedAfterError, 0ull);
        QCOMPARE(rig.statistics.count(), std::optional<qint64>(qint64(c.recordsDecoded)));
        // Whatever came before, the next arrival is read from its first byte.
        rig.decoder.feed(Record4619);
        QCOMPARE(rig.out.trace.last(), "log " + Line4619);
    }

    // Every cut of the stream into arrivals is checked by the split fuzzer; here a few that
    // cut every kind of reply.
    void anySplitDecodesLikeTheWhole_data()
    {
        QTest::addColumn<QList<int>>("pieces"); // sizes; the rest goes in a last piece
        QTest::newRow("whole") << QList<int>{};
        QTest::newRow("single bytes") << QList<int>(splitStream().size(), 1);
        QTest::newRow("odd pieces, empty arrivals between") << QList<int>{0, 3, 5, 0, 7, 11, 13};
    }
    void anySplitDecodesLikeTheWhole()
    {
        QFETCH(QList<int>, pieces);
        const QByteArray stream = splitStream();
        Rig rig;
        rig.out.fileOpen = true;
        rig.set(&DataOptions::raw, true);
        rig.set(&DataOptions::file, true);
        qsizetype pos = 0;
        for (int n : pieces) {
            rig.decoder.feed(QByteArrayView(stream).sliced(pos, n));
            pos += n;
        }
        rig.decoder.feed(QByteArrayView(stream).sliced(pos));
        QCOMPARE(rig.out.trace,
                 (QStringList{"heartbeat", "file 7 bytes", "log " + Line30457, "version FPGA: 1.2.3|Rabbit: RCM",
                              "register 3 500 0x1F4", "register 5 255 0xFF", "file 7 bytes", "log " + Line4619,
                              "heartbeat", "file 7 bytes", "log " + Line30457 + ", Overrange A!, Overrange B!"}));
        QCOMPARE(rig.out.file, RecordMinus30457 + Record4619 + record(1500, 1600, 3, 3));
        QCOMPARE(rig.decoder.counters().rejectedByPlausibility, quint64(1));
        QCOMPARE(rig.decoder.counters().bytesDroppedByResync, quint64(0));
        QCOMPARE(rig.decoder.pendingBytes(), 0);
    }

    void resetForgetsAnUnfinishedReply()
    {
        Rig rig;
        rig.decoder.feed(RecordMinus30457.left(4));
        QCOMPARE(rig.decoder.pendingBytes(), 4);
        rig.decoder.reset();
        QCOMPARE(rig.decoder.pendingBytes(), 0);
        // The rest of the old connection's record is not a reply start.
        rig.decoder.feed(RecordMinus30457.mid(4));
        rig.decoder.feed(Record4619);
        QCOMPARE(rig.out.trace, QStringList{"log " + Line4619});
        QCOMPARE(rig.decoder.counters().bytesDroppedByResync, quint64(4 + 3));
    }

    void heldReplyLastsTheSilenceLimit_data()
    {
        QTest::addColumn<double>("gap");
        QTest::addColumn<QByteArray>("next");
        QTest::addColumn<QStringList>("trace");
        QTest::newRow("its rest comes at the limit")
            << 5.0 << RecordMinus30457.mid(4) + Record4619 << QStringList{"log " + Line30457, "log " + Line4619};
        QTest::newRow("an arrival after the limit is read from its first byte")
            << 5.01 << Record4619 << QStringList{"log " + Line4619};
    }
    void heldReplyLastsTheSilenceLimit()
    {
        QFETCH(double, gap);
        QFETCH(QByteArray, next);
        QFETCH(QStringList, trace);
        Rig rig;
        rig.decoder.feed(RecordMinus30457.left(3));
        rig.clock.advance(gap / 2);
        rig.decoder.feed(RecordMinus30457.mid(3, 1)); // still unfinished: the age counts from its start
        rig.clock.advance(gap / 2);
        rig.decoder.feed(next);
        QCOMPARE(rig.out.trace, trace);
        QCOMPARE(rig.decoder.counters().bytesDroppedByResync, quint64(trace.size() == 1 ? 4 : 0));
    }

    // ---- error path ---------------------------------------------------------------------

    void errorPath_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("line");
        QTest::newRow("Tau A not a number") << "tauA abc"
                                            << "Doh! (data) Type mismatch";
        QTest::newRow("Tau B empty") << "tauB "
                                     << "Doh! (data) Type mismatch";
        QTest::newRow("A low cell only leads with a number") << "cellAL 500 mV"
                                                             << "Doh! (data) Type mismatch";
        QTest::newRow("Tau B too large for 32 bits") << "tauB 1e9"
                                                     << "Doh! (data) Overflow";
        QTest::newRow("write failed with a reason") << "write No space left on device"
                                                    << "Doh! (data) Write failed: No space left on device";
        QTest::newRow("write failed without a reason") << "write "
                                                       << "Doh! (data) Write failed";
        QTest::newRow("raw write failed") << "rawwrite Disk gone"
                                          << "Doh! (data) Write failed: Disk gone";
    }
    void errorPath()
    {
        QFETCH(QString, fault);
        QFETCH(QString, line);
        Rig rig;
        rig.decoder.feed(Record4619);

        const QString kind = fault.section(u' ', 0, 0);
        const QString text = fault.section(u' ', 1);
        if (kind == u"tauA")
            rig.calibration.setTauA(text);
        else if (kind == u"tauB")
            rig.calibration.setTauB(text);
        else if (kind == u"cellAL")
            rig.calibration.setCell(CalibrationModel::ALow, text);
        else {
            rig.set(&DataOptions::file, true);
            rig.set(&DataOptions::raw, kind == u"rawwrite");
            rig.out.fileOpen = true;
            rig.out.writeError = text;
        }
        QVERIFY(rig.calibration.runGate());
        rig.out.trace.clear();

        // Everything behind the failing record in the buffer is discarded.
        const QByteArray behind = registerBytes(1, 7) + Record4619 + "H";
        rig.decoder.feed(RecordMinus30457 + behind);
        QCOMPARE(rig.out.trace, QStringList{"error " + line});
        QCOMPARE(rig.decoder.counters().errors, quint64(1));
        QCOMPARE(rig.decoder.counters().bytesDroppedAfterError, quint64(behind.size()));
        QCOMPARE(rig.statistics.countCaption(), QStringLiteral("1"));

        // The error ends that buffer only: the next arrival is decoded.
        rig.decoder.feed(registerBytes(1, 7));
        QCOMPARE(rig.out.trace.last(), QStringLiteral("register 1 7 0x7"));
    }

    void errorInACompletedReplyDropsTheRestOfItsArrival()
    {
        Rig rig;
        rig.calibration.setTauA(QStringLiteral("x"));
        rig.decoder.feed(RecordMinus30457.left(2));
        rig.decoder.feed(RecordMinus30457.mid(2) + registerBytes(0, 1));
        QCOMPARE(rig.out.trace, QStringList{"error Doh! (data) Type mismatch"});
        QCOMPARE(rig.decoder.counters().bytesDroppedAfterError, quint64(3));
    }

    // Batched lines reach the file and the log exactly as one by one, in the same order with
    // every other output, through faults, a full disk, option changes and any split.
    void batchesDecodeLikeSingleLines_data()
    {
        QTest::addColumn<int>("seed");
        QTest::addColumn<int>("handOvers");
        QTest::newRow("a long run, the disk never full") << 1 << (1 << 30);
        QTest::newRow("the disk full at the first hand-over") << 2 << 0;
        QTest::newRow("the disk full later") << 3 << 9;
        QTest::newRow("another mixture") << 4 << 4;
    }
    void batchesDecodeLikeSingleLines()
    {
        QFETCH(int, seed);
        QFETCH(int, handOvers);
        for (int variant = 0; variant < 20; ++variant)
            compareBatchedWithSingle(quint32(seed * 1000 + variant), handOvers);
    }

private:
    static void compareBatchedWithSingle(quint32 seed, int handOvers)
    {
        using DiskRig = RigOf<DiskOutput>;
        DiskRig single(true, false);
        DiskRig batched(true, true);
        for (DiskRig* rig : {&single, &batched}) {
            rig->out.fileOpen = true;
            rig->set(&DataOptions::display, true);
            rig->set(&DataOptions::file, true);
            rig->out.handOversLeft = handOvers;
        }
        QRandomGenerator random{seed};
        for (int arrival = 0; arrival < 300; ++arrival) {
            QByteArray bytes;
            // Now and then an arrival longer than the decoder's blocks of records.
            const int replies = random.bounded(8) == 0 ? int(random.bounded(300, 700)) : int(random.bounded(1, 60));
            for (int n = replies; n > 0; --n) {
                const int kind = int(random.bounded(100));
                if (kind < 80)
                    bytes += record(int(random.bounded(700, 2300)), int(random.bounded(700, 2300)),
                                    int(random.bounded(256)), random.bounded(10) == 0 ? int(random.bounded(4)) : 0);
                else if (kind < 84)
                    bytes += "H";
                else if (kind < 88)
                    bytes += registerBytes(int(random.bounded(8)), int(random.bounded(4096)));
                else if (kind < 91)
                    bytes += versionBytes(1, 0x23, "RCM          ");
                else if (kind < 94)
                    bytes += record(600, 1600); // implausible: skipped
                else if (kind < 97)
                    bytes += record(0x8100, 1600); // overflow: reported once per arrival
                else if (kind < 98)
                    bytes += "Z"; // junk: the rest of the arrival is dropped
                else
                    bytes += "P\x01";
            }
            // Cut anywhere, records included.
            const qsizetype cut = random.bounded(bytes.size() + 1);
            const int change = int(random.bounded(30));
            const quint64 bound = random.bounded(400);
            for (DiskRig* rig : {&single, &batched}) {
                rig->decoder.feed(bytes.left(cut));
                rig->decoder.feed(bytes.mid(cut));
                if (change == 0)
                    rig->set(&DataOptions::display, !rig->option(&DataOptions::display));
                else if (change == 1)
                    rig->set(&DataOptions::verbose, !rig->option(&DataOptions::verbose));
                else if (change == 2)
                    rig->set(&DataOptions::raw, !rig->option(&DataOptions::raw));
                else if (change < 6)
                    // A text that is no number faults every record; a Tau this long, those with a large reading.
                    rig->calibration.setTauA(QStringList{"9.47", "3e6", "x"}.at(change - 3));
                else if (change == 6 && !rig->out.fileOpen)
                    rig->out.fileOpen = true; // a new run after a failed one
                else if (change == 7)
                    // An acquisition of a few records; it may end inside the next arrival.
                    rig->decoder.setRecordBound(bound);
                else if (change < 11)
                    rig->decoder.setRecordBound(std::nullopt);
            }
        }
        QVERIFY(single.decoder.counters().recordsDecoded > 1000);
        QVERIFY(single.out.trace.size() > 50 && !single.out.file.isEmpty());
        QCOMPARE(batched.out.trace, single.out.trace);
        QCOMPARE(batched.out.file, single.out.file);
        QCOMPARE(batched.out.handOversLeft, single.out.handOversLeft);
        QCOMPARE(batched.statistics.countCaption(), single.statistics.countCaption());
        const auto& s = single.decoder.counters();
        const auto& b = batched.decoder.counters();
        QCOMPARE(b.recordsDecoded, s.recordsDecoded);
        QCOMPARE(b.errors, s.errors);
        QCOMPARE(b.bytesDroppedAfterError, s.bytesDroppedAfterError);
        QCOMPARE(b.bytesDroppedByResync, s.bytesDroppedByResync);
        QCOMPARE(b.rejectedByOverflow, s.rejectedByOverflow);
        QCOMPARE(b.refusedByBound, s.refusedByBound);
        QCOMPARE(batched.decoder.lastDifference(), single.decoder.lastDifference());
    }

    // Records reach the statistics and the observer in blocks, but never after a reply behind them.
    void everyRecordIsCountedBeforeTheReplyBehindIt()
    {
        Rig rig;
        struct Seen : RecordObserver {
            QList<qint32> dts;
            void recordDecoded(qint32 dt, int, int, int, int) override { dts.append(dt); }
        } seen;
        rig.decoder.setObserver(&seen);
        QStringList atReplies;
        const auto note = [&](const char* what) {
            atReplies.append(QStringLiteral("%1 at %2/%3")
                                 .arg(QLatin1String(what))
                                 .arg(rig.statistics.count().value_or(0))
                                 .arg(seen.dts.size()));
        };
        QObject::connect(&rig.registers, &RegisterModel::valueChanged, [&](int) { note("register"); });
        QObject::connect(&rig.versions, &VersionModel::changed, [&] { note("version"); });
        QByteArray arrival;
        for (int i = 0; i < 600; ++i) // more than one block
            arrival += record(1000 + i % 700, 1600);
        arrival += registerBytes(3, 500);
        for (int i = 0; i < 5; ++i)
            arrival += record(1200, 1600);
        arrival += versionBytes(1, 0x23, "RCM          ");
        arrival += record(1300, 1600);
        rig.decoder.feed(arrival);
        QCOMPARE(atReplies, QStringList({QStringLiteral("register at 600/600"), QStringLiteral("version at 605/605")}));
        // The arrival's last records are handed on when it ends.
        QCOMPARE(rig.statistics.count().value_or(0), 606);
        QCOMPARE(seen.dts.size(), 606);
        QCOMPARE(seen.dts.last(), rig.decoder.lastDifference().value_or(0));
    }

    static QByteArray splitStream()
    {
        return QByteArray("P\x01") + "H" + RecordMinus30457 + versionBytes(1, 0x23, "RCM          ")
               + registerBytes(3, 500) + registerBytes(5, 0x01FF) + Record4619 + "H" + record(650, 1600)
               + record(1500, 1600, 3, 3);
    }
};

QTEST_GUILESS_MAIN(TestReplyDecoder)
#include "tst_replydecoder.moc"
