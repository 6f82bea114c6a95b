/// @brief The reply decoder against models and a recording output: worked records, gates, framing across
/// arrivals, calibration capture, registers, versions, file entries and the error path.
#include "common/fakes.h"
#include "control/calibrationcapture.h"
#include "control/calibrationmodel.h"
#include "control/registermodel.h"
#include "link/connectionmanager.h"
#include "link/decoderoutput.h"
#include "link/replydecoder.h"
#include "link/timeconversion.h"
#include "link/versionmodel.h"
#include "link/dataoptions.h"
#include "measure/runstatistics.h"

#include <QLocale>
#include <QSignalSpy>
#include <QTest>
#include <functional>
#include <optional>

namespace {

/// Records every call in one ordered trace, so that a test can compare whole sequences.
class RecordingOutput final : public DecoderOutput {
public:
    void heartbeat() override
    {
        trace.append(QStringLiteral("heartbeat"));
        if (onHeartbeat)
            onHeartbeat();
    }
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
    bool run = true;
    std::optional<QString> writeError;
    std::function<void()> onHeartbeat;
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

/// The models a running panel holds, calibrated with the reference readings and a run started.
struct Rig {
    CalibrationModel calibration;
    RegisterModel registers;
    VersionModel versions;
    RunStatistics statistics;
    DataOptions options;
    RecordingOutput out;
    FakeClock clock;
    CalibrationCapture capture{registers, calibration};
    ReplyDecoder decoder{ReplyDecoder::Context{calibration, capture, versions, statistics, options, out, nullptr, &clock}};

    explicit Rig(bool calibrated = true, bool runStarted = true)
    {
        statistics.setRunTickedSource([this] { return out.run; });
        if (calibrated)
            calibrate(QStringLiteral("500"), QStringLiteral("3600"), QStringLiteral("510"), QStringLiteral("3590"));
        if (runStarted)
            statistics.clearForRunStart();
        // Model changes join the output trace, so order across kinds is visible.
        QObject::connect(&registers, &RegisterModel::valueChanged, [this](int i) {
            out.trace.append(QStringLiteral("register %1 %2 %3")
                                 .arg(i)
                                 .arg(registers.decimalCaption(i), registers.hexCaption(i)));
        });
        QObject::connect(&versions, &VersionModel::changed, [this] {
            out.trace.append(QStringLiteral("version ") + versions.fpgaCaption() + u'|' + versions.rabbitCaption());
        });
        QObject::connect(&calibration, &CalibrationModel::cellChanged, [this](CalibrationModel::Cell c, const QString& t) {
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

    /// Everything a decoding can change, for comparing two ways of feeding the same bytes.
    QStringList snapshot() const
    {
        QStringList s = out.trace;
        s << QString::fromLatin1(out.file.toHex(' '));
        for (int i = 0; i < RegisterModel::Count; ++i)
            s << registers.decimalCaption(i) + u'/' + registers.hexCaption(i);
        s << versions.fpgaCaption() << versions.rabbitCaption();
        for (auto c : {CalibrationModel::ALow, CalibrationModel::AHigh, CalibrationModel::BLow, CalibrationModel::BHigh})
            s << calibration.cell(c);
        s << statistics.countCaption() << statistics.minCaption() << statistics.maxCaption()
          << statistics.rangeCaption();
        const auto& k = decoder.counters();
        s << QStringLiteral("counters %1 %2 %3 %4 %5 %6")
                 .arg(k.recordsDecoded)
                 .arg(k.rejectedByGate)
                 .arg(k.rejectedByPlausibility)
                 .arg(k.bytesDroppedByResync)
                 .arg(k.bytesDroppedAfterError)
                 .arg(k.errors);
        s << QString::number(decoder.pendingBytes());
        return s;
    }
};

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
qint32 referenceDifference(double tauA, double tauB, double al, double ah, double bl, double bh, int a, int b, int offset)
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
        QTest::newRow("offset 0, plain") << record(1500, 1600) << false << -457 << "     -457";
        QTest::newRow("offset 0, verbose") << record(1500, 1600) << true << -457 << "-457 A=1500 B=1600 Offset=0 OR/A=0";
        QTest::newRow("positive, plain") << Record4619 << false << 4619 << Line4619;
        QTest::newRow("positive, verbose") << Record4619 << true << 4619 << "4,619 A=2000 B=1000 Offset=0 OR/A=0";
        QTest::newRow("offset 255, plain") << record(1500, 1600, 255) << false << -2550457 << " -2550457";
        QTest::newRow("offset 255, verbose")
            << record(1500, 1600, 255) << true << -2550457 << "-2,550,457 A=1500 B=1600 Offset=255 OR/A=0";
        QTest::newRow("both overranges, plain")
            << record(1500, 1600, 3, 3) << false << -30457 << "   -30457, Overrange A!, Overrange B!";
        QTest::newRow("both overranges, verbose")
            << record(1500, 1600, 3, 3) << true << -30457
            << "-30,457 A=1500 B=1600 Offset=3 OR/A=3, Overrange A!, Overrange B!";
        QTest::newRow("overrange B only") << record(1500, 1600, 3, 2) << false << -30457 << "   -30457, Overrange B!";
        QTest::newRow("flags shown mod 16")
            << record(1500, 1600, 3, 0xF6) << true << -30457
            << "-30,457 A=1500 B=1600 Offset=3 OR/A=6, Overrange B!";
        QTest::newRow("B high byte: upper nibble ignored")
            << bytes({0x52, 0x05, 0xDC, 0xF6, 0x40, 0x03, 0x00}) << true << -30457
            << "-30,457 A=1500 B=1600 Offset=3 OR/A=0";
    }
    void recordLine()
    {
        QFETCH(QByteArray, reply);
        QFETCH(bool, verbose);
        QFETCH(int, dt);
        QFETCH(QString, line);

        Rig rig;
        rig.options.verbose = verbose;
        rig.decoder.feed(reply);
        QCOMPARE(rig.logLines(), QStringList{line});
        QCOMPARE(rig.decoder.lastDifference(), std::optional<qint32>(dt));
        QCOMPARE(rig.statistics.lastDifference(), QString::number(dt));
        QCOMPARE(rig.statistics.countCaption(), QStringLiteral("1"));
        QCOMPARE(rig.statistics.minCaption(), QString::number(dt));
        QCOMPARE(rig.decoder.counters().recordsDecoded, quint64(1));
    }

    void plainLineKeepsTheRightmostNineCharacters_data()
    {
        QTest::addColumn<QString>("tauA");
        QTest::addColumn<QString>("tauB");
        // A large Tau on one channel pushes dt to nine digits, ten characters with its sign or blank.
        QTest::newRow("positive") << "1000000" << "0";
        QTest::newRow("negative: the sign is cut off") << "0" << "1000000";
    }
    void plainLineKeepsTheRightmostNineCharacters()
    {
        QFETCH(QString, tauA);
        QFETCH(QString, tauB);
        Rig rig;
        rig.calibration.setTauA(tauA);
        rig.calibration.setTauB(tauB);
        rig.decoder.feed(record(2000, 2000));
        const qint32 dt = rig.decoder.lastDifference().value();
        QCOMPARE(dt, referenceDifference(tauA.toDouble(), tauB.toDouble(), 500, 3600, 510, 3590, 2000, 2000, 0));
        QVERIFY(qAbs(dt) >= 100000000 && qAbs(dt) <= 999999999);
        QCOMPARE(rig.logLines(), QStringList{QString::number(qAbs(dt))});
    }

    void everyPlausibleReadingMatchesTheConversion()
    {
        Rig rig;
        rig.options.display = false;
        for (int a = 651; a <= 2349; ++a) {
            const int offset = a % 256;
            rig.decoder.feed(record(a, 1600, offset));
            QCOMPARE(rig.decoder.lastDifference().value(),
                     referenceDifference(9.47, 9.49, 500, 3600, 510, 3590, a, 1600, offset));
        }
        for (int b = 651; b <= 2349; ++b) {
            rig.decoder.feed(record(1500, b, 7));
            QCOMPARE(rig.decoder.lastDifference().value(),
                     referenceDifference(9.47, 9.49, 500, 3600, 510, 3590, 1500, b, 7));
        }
        QCOMPARE(rig.decoder.counters().recordsDecoded, quint64(2 * 1699));
        QCOMPARE(rig.statistics.count(), std::optional<qint64>(2 * 1699));
    }

    void modelChangesApplyToTheNextRecord()
    {
        Rig rig;
        rig.decoder.feed(RecordMinus30457);
        QCOMPARE(rig.decoder.lastDifference(), std::optional<qint32>(-30457));

        rig.calibration.setTauA(QStringLiteral("9.5"));
        rig.decoder.feed(RecordMinus30457);
        QCOMPARE(rig.decoder.lastDifference().value(), referenceDifference(9.5, 9.49, 500, 3600, 510, 3590, 1500, 1600, 3));

        rig.calibration.setTauB(QStringLiteral("9.3"));
        rig.calibration.setCell(CalibrationModel::BLow, QStringLiteral("520"));
        rig.calibration.setCell(CalibrationModel::AHigh, QStringLiteral("3610"));
        rig.decoder.feed(RecordMinus30457);
        QCOMPARE(rig.decoder.lastDifference().value(), referenceDifference(9.5, 9.3, 500, 3610, 520, 3590, 1500, 1600, 3));
    }

    void localeChangeAppliesToNumbersAndGrouping()
    {
        Rig rig;
        rig.options.verbose = true;
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

        QCOMPARE(rig.out.trace, (QStringList{"error Doh! (data) Type mismatch",
                                             "log -30.457 A=1500 B=1600 Offset=3 OR/A=0",
                                             "log -30,457 A=1500 B=1600 Offset=3 OR/A=0"}));
    }

    void nonAsciiSeparatorInTheFile()
    {
        QLocale::setDefault(QLocale(QLocale::French, QLocale::France));
        Rig rig;
        rig.options = {true, true, true, false};
        rig.out.fileOpen = true;
        rig.decoder.feed(RecordMinus30457);
        const QString line = QStringLiteral("-30") + QLocale().groupSeparator() + QStringLiteral("457 A=1500 B=1600 Offset=3 OR/A=0");
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
        QTest::newRow("A high missing") << "0" << QStringList{"500", "???", "510", "3590"} << false;
        QTest::newRow("B low missing") << "0" << QStringList{"500", "3600", "???", "3590"} << false;
        QTest::newRow("B high missing") << "0" << QStringList{"500", "3600", "510", "???"} << false;
        QTest::newRow("A low 450") << "0" << QStringList{"450", "3600", "510", "3590"} << false;
        QTest::newRow("A low 451") << "0" << QStringList{"451", "3600", "510", "3590"} << true;
        QTest::newRow("A low 549") << "0" << QStringList{"549", "3600", "510", "3590"} << true;
        QTest::newRow("A low 550") << "0" << QStringList{"550", "3600", "510", "3590"} << false;
        QTest::newRow("B low 450") << "0" << QStringList{"500", "3600", "450", "3590"} << false;
        QTest::newRow("B low 550") << "0" << QStringList{"500", "3600", "550", "3590"} << false;
        QTest::newRow("A high 3550") << "0" << QStringList{"500", "3550", "510", "3590"} << false;
        QTest::newRow("A high 3551") << "0" << QStringList{"500", "3551", "510", "3590"} << true;
        QTest::newRow("A high 3649") << "0" << QStringList{"500", "3649", "510", "3590"} << true;
        QTest::newRow("A high 3650") << "0" << QStringList{"500", "3650", "510", "3590"} << false;
        QTest::newRow("B high 3550") << "0" << QStringList{"500", "3600", "510", "3550"} << false;
        QTest::newRow("B high 3650") << "0" << QStringList{"500", "3600", "510", "3650"} << false;
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

    void plausibility_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<bool>("plausible");
        QTest::newRow("A 650") << record(650, 1600) << false;
        QTest::newRow("A 651") << record(651, 1600) << true;
        QTest::newRow("A 2349") << record(2349, 1600) << true;
        QTest::newRow("A 2350") << record(2350, 1600) << false;
        QTest::newRow("B 650") << record(1500, 650) << false;
        QTest::newRow("B 651") << record(1500, 651) << true;
        QTest::newRow("B 2349") << record(1500, 2349) << true;
        QTest::newRow("B 2350") << record(1500, 2350) << false;
        QTest::newRow("A 0") << record(0, 1600) << false;
        QTest::newRow("B 4095") << record(1500, 4095) << false;
        QTest::newRow("A high byte 0x15") << bytes({'R', 0x15, 0xDC, 0x06, 0x40, 0x03, 0x00}) << false;
        // B keeps only the low nibble of its high byte: 0x86 0x40 is 1600.
        QTest::newRow("B high byte 0x86") << bytes({'R', 0x05, 0xDC, 0x86, 0x40, 0x03, 0x00}) << true;
    }
    void plausibility()
    {
        QFETCH(QByteArray, reply);
        QFETCH(bool, plausible);
        Rig rig;
        rig.decoder.feed(reply + Record4619);
        const QStringList lines = rig.logLines();
        QCOMPARE(lines.size(), plausible ? 2 : 1);
        QCOMPARE(lines.last(), Line4619);
        QCOMPARE(rig.out.trace.filter(QStringLiteral("error")), QStringList());
        QCOMPARE(rig.decoder.counters().rejectedByPlausibility, quint64(plausible ? 0 : 1));
        QCOMPARE(rig.statistics.countCaption(), plausible ? QStringLiteral("2") : QStringLiteral("1"));
        // A skipped record leaves no trace as the last time difference either.
        if (!plausible)
            QCOMPARE(rig.decoder.lastDifference(), std::optional<qint32>(4619));
    }

    void overflowIsToldOncePerArrivalAndSkipped_data()
    {
        QTest::addColumn<QList<QByteArray>>("arrivals");
        QTest::addColumn<QStringList>("trace");
        QTest::addColumn<int>("overflows");
        // A keeps its whole high byte: 0x80 and above overflows it.
        const QByteArray over = bytes({'R', 0x80, 0xDC, 0x06, 0x40, 0x03, 0x00});
        const QByteArray overFF = bytes({'R', 0xFF, 0xFF, 0x06, 0x40, 0x03, 0x00});
        const QString error = QStringLiteral("error Doh! (data) Overflow");
        const QString log = "log " + Line4619;
        QTest::newRow("the record behind it is decoded") << QList<QByteArray>{over + Record4619} << QStringList{error, log} << 1;
        QTest::newRow("two in one arrival, one line")
            << QList<QByteArray>{over + registerBytes(1, 7) + overFF + Record4619}
            << QStringList{error, "register 1 7 0x7", log} << 2;
        QTest::newRow("a line for each arrival")
            << QList<QByteArray>{over + Record4619, overFF} << QStringList{error, log, error} << 2;
        QTest::newRow("completed in the next arrival")
            << QList<QByteArray>{over.left(2), over.mid(2) + overFF} << QStringList{error} << 2;
    }
    void overflowIsToldOncePerArrivalAndSkipped()
    {
        QFETCH(QList<QByteArray>, arrivals);
        QFETCH(QStringList, trace);
        QFETCH(int, overflows);
        Rig rig;
        for (const QByteArray& arrival : arrivals)
            rig.decoder.feed(arrival);
        QCOMPARE(rig.out.trace, trace);
        const ReplyDecoder::Counters& c = rig.decoder.counters();
        QCOMPARE(c.rejectedByOverflow, quint64(overflows));
        QCOMPARE(c.rejectedByPlausibility + c.bytesDroppedAfterError + c.bytesDroppedByResync, 0ull);
    }

    // ---- outputs ------------------------------------------------------------------------

    void outputs_data()
    {
        QTest::addColumn<bool>("display");
        QTest::addColumn<bool>("verbose");
        QTest::addColumn<bool>("file");
        QTest::addColumn<bool>("raw");
        QTest::addColumn<bool>("fileOpen");
        QTest::addColumn<QByteArray>("fileContent");
        QTest::addColumn<int>("logLines");

        const QByteArray stream = RecordMinus30457 + Record4619;
        QTest::newRow("plain lines in the file")
            << true << false << true << false << true << QByteArray("   -30457\r\n     4619\r\n") << 2;
        QTest::newRow("verbose lines in the file")
            << true << true << true << false << true
            << QByteArray("-30,457 A=1500 B=1600 Offset=3 OR/A=0\r\n4,619 A=2000 B=1000 Offset=0 OR/A=0\r\n") << 2;
        QTest::newRow("raw records back to back") << true << false << true << true << true << stream << 2;
        QTest::newRow("raw wins over verbose") << false << true << true << true << true << stream << 0;
        QTest::newRow("File ticked, no file open") << true << false << true << false << false << QByteArray() << 2;
        QTest::newRow("file open, File unticked") << true << false << false << false << true << QByteArray() << 2;
        QTest::newRow("Display unticked, file still written")
            << false << false << true << false << true << QByteArray("   -30457\r\n     4619\r\n") << 0;
        QTest::newRow("nothing shown, nothing written") << false << false << false << false << false << QByteArray() << 0;
    }
    void outputs()
    {
        QFETCH(bool, display);
        QFETCH(bool, verbose);
        QFETCH(bool, file);
        QFETCH(bool, raw);
        QFETCH(bool, fileOpen);
        QFETCH(QByteArray, fileContent);
        QFETCH(int, logLines);

        Rig rig;
        rig.options = {display, verbose, file, raw};
        rig.out.fileOpen = fileOpen;
        rig.decoder.feed(RecordMinus30457 + Record4619);
        QCOMPARE(rig.out.file, fileContent);
        QCOMPARE(rig.logLines().size(), logLines);
        // Statistics are kept whatever is shown or written.
        QCOMPARE(rig.statistics.countCaption(), QStringLiteral("2"));
        QCOMPARE(rig.statistics.minCaption(), QStringLiteral("-30457"));
        QCOMPARE(rig.statistics.maxCaption(), QStringLiteral("4619"));
        QCOMPARE(rig.statistics.rangeCaption(), QStringLiteral("35076"));
    }

    void fileThenDisplayThenStatistics()
    {
        Rig rig;
        rig.options.file = true;
        rig.out.fileOpen = true;
        rig.out.statistics = &rig.statistics;
        rig.decoder.feed(RecordMinus30457 + Record4619);
        QCOMPARE(rig.out.trace, (QStringList{"file 11 bytes", "log " + Line30457, "file 11 bytes", "log " + Line4619}));
        // Each record is counted only after it was written and shown.
        QCOMPARE(rig.out.countsSeen, (QStringList{"0", "0", "1", "1"}));
        QCOMPARE(rig.statistics.countCaption(), QStringLiteral("2"));
    }

    void optionsAreReadForEveryRecord()
    {
        Rig rig;
        rig.out.fileOpen = true;
        rig.options.file = true;
        // A change made while a record is being written applies to the next record of the same arrival.
        rig.out.onWrite = [&rig] { rig.options.raw = true; };
        rig.decoder.feed(RecordMinus30457 + Record4619);
        QCOMPARE(rig.out.file, QByteArray("   -30457\r\n") + Record4619);
    }

    void statisticsAnnouncedOncePerArrival_data()
    {
        QTest::addColumn<QList<QByteArray>>("arrivals");
        QTest::addColumn<QList<int>>("announcedCounts"); // the count as each announcement saw it
        const QByteArray three = RecordMinus30457 + Record4619 + record(1500, 1600);
        QTest::newRow("three records, one arrival") << QList<QByteArray>{three} << QList<int>{3};
        QTest::newRow("one arrival each") << QList<QByteArray>{RecordMinus30457, Record4619} << QList<int>{1, 2};
        QTest::newRow("no record counted") << QList<QByteArray>{registerBytes(1, 7) + record(650, 1600)}
                                           << QList<int>{};
        QTest::newRow("record completed by the second arrival")
            << QList<QByteArray>{three.left(10), three.mid(10)} << QList<int>{1, 3};
        QTest::newRow("heartbeat between records")
            << QList<QByteArray>{RecordMinus30457 + "H" + Record4619} << QList<int>{2};
    }
    void statisticsAnnouncedOncePerArrival()
    {
        QFETCH(QList<QByteArray>, arrivals);
        QFETCH(QList<int>, announcedCounts);
        Rig rig;
        rig.out.statistics = &rig.statistics;
        QList<int> announced;
        QObject::connect(&rig.statistics, &RunStatistics::changed,
                         [&] { announced.append(int(rig.statistics.count().value_or(-1))); });
        for (const QByteArray& arrival : arrivals)
            rig.decoder.feed(arrival);
        QCOMPARE(announced, announcedCounts);
        // Held back is only the announcement: each line still sees the count of the records before it.
        QCOMPARE(rig.out.countsSeen.size(), rig.logLines().size());
        for (qsizetype i = 0; i < rig.out.countsSeen.size(); ++i)
            QCOMPARE(rig.out.countsSeen.at(i), QString::number(i));
    }

    void failedArrivalStillAnnouncesItsRecords()
    {
        Rig rig;
        rig.options.file = true;
        rig.out.fileOpen = true;
        rig.out.onWrite = [&rig] { rig.out.writeError = QStringLiteral("Disk gone"); };
        QList<int> announced;
        QObject::connect(&rig.statistics, &RunStatistics::changed,
                         [&] { announced.append(int(rig.statistics.count().value_or(-1))); });
        rig.decoder.feed(RecordMinus30457 + Record4619 + record(1500, 1600));
        QCOMPARE(rig.out.trace, (QStringList{"file 11 bytes", "log " + Line30457, "error Doh! (data) Write failed: Disk gone"}));
        QCOMPARE(announced, QList<int>{1});
    }

    void recordsBeforeTheFirstRunAreCounted()
    {
        Rig rig(true, false);
        rig.out.run = false;
        rig.decoder.feed(Record4619 + RecordMinus30457);
        QCOMPARE(rig.out.trace, (QStringList{"log " + Line4619, "log " + Line30457}));
        QCOMPARE(rig.statistics.countCaption(), QStringLiteral("2"));
        QCOMPARE(rig.statistics.minCaption(), QStringLiteral("-30457"));
        QCOMPARE(rig.statistics.maxCaption(), QStringLiteral("4619"));
    }

    // ---- versions and registers ---------------------------------------------------------

    void versionReply_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("fpga");
        QTest::addColumn<QString>("rabbit");
        QTest::newRow("1.2.3, padded text")
            << versionBytes(0x01, 0x23, "  RCM 2.05   ") << "FPGA: 1.2.3" << "Rabbit: RCM 2.05";
        QTest::newRow("extremes") << versionBytes(0xFF, 0xF0, "ABCDEFGHIJKLM") << "FPGA: 255.15.0" << "Rabbit: ABCDEFGHIJKLM";
        QTest::newRow("zeros, blank text") << versionBytes(0, 0, "             ") << "FPGA: 0.0.0" << "Rabbit: ";
        // Only blanks are trimmed; a tab inside the text stays.
        QTest::newRow("tab kept") << versionBytes(3, 0x4A, "\tv7          ") << "FPGA: 3.4.10" << "Rabbit: \tv7";
    }
    void versionReply()
    {
        QFETCH(QByteArray, reply);
        QFETCH(QString, fpga);
        QFETCH(QString, rabbit);
        Rig rig;
        rig.decoder.feed(reply);
        QCOMPARE(rig.versions.fpgaCaption(), fpga);
        QCOMPARE(rig.versions.rabbitCaption(), rabbit);
    }

    void registerReply_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("decimal");
        QTest::addColumn<QString>("hex");
        QTest::newRow("register 0, zero") << registerBytes(0, 0) << 0 << "0" << "0x0";
        QTest::newRow("register 2") << bytes({'2', 0x03, 0x45}) << 2 << "837" << "0x345";
        QTest::newRow("register 3, 500") << registerBytes(3, 500) << 3 << "500" << "0x1F4";
        QTest::newRow("register 5, 0x01FF reduced mod 256") << registerBytes(5, 0x01FF) << 5 << "255" << "0xFF";
        QTest::newRow("register 6, 13 reduced mod 8") << registerBytes(6, 13) << 6 << "5" << "0x5";
        QTest::newRow("register 6, 0x0F08 reduced to 0") << registerBytes(6, 0x0F08) << 6 << "0" << "0x0";
        QTest::newRow("register 4, high nibble ignored") << bytes({'4', 0xA1, 0xF4}) << 4 << "500" << "0x1F4";
    }
    void registerReply()
    {
        QFETCH(QByteArray, reply);
        QFETCH(int, index);
        QFETCH(QString, decimal);
        QFETCH(QString, hex);
        Rig rig;
        rig.decoder.feed(reply);
        QCOMPARE(rig.registers.decimalCaption(index), decimal);
        QCOMPARE(rig.registers.hexCaption(index), hex);
        for (int other = 0; other < RegisterModel::Count; ++other)
            if (other != index)
                QCOMPARE(rig.registers.value(other), std::optional<int>());
    }

    void calibrationCapture_data()
    {
        QTest::addColumn<QString>("phase");
        QTest::addColumn<int>("index");
        QTest::addColumn<int>("cell"); // -1: no cell changes
        QTest::newRow("register 3, phase 1: A low") << "1" << 3 << int(CalibrationModel::ALow);
        QTest::newRow("register 3, phase 2: A high") << "2" << 3 << int(CalibrationModel::AHigh);
        QTest::newRow("register 4, phase 1: B low") << "1" << 4 << int(CalibrationModel::BLow);
        QTest::newRow("register 4, phase 2: B high") << "2" << 4 << int(CalibrationModel::BHigh);
        QTest::newRow("register 3, phase 0") << "0" << 3 << -1;
        QTest::newRow("register 2, phase 1") << "1" << 2 << -1;
        QTest::newRow("register 5, phase 2") << "2" << 5 << -1;
        QTest::newRow("register 3, phase 3") << "3" << 3 << -1;
    }
    void calibrationCapture()
    {
        QFETCH(QString, phase);
        QFETCH(int, index);
        QFETCH(int, cell);
        Rig rig(false);
        rig.calibration.setPhaseText(phase);
        rig.decoder.feed(registerBytes(index, 200));
        QCOMPARE(rig.registers.decimalCaption(index), QStringLiteral("200"));
        for (int c = CalibrationModel::ALow; c <= CalibrationModel::BHigh; ++c)
            QCOMPARE(rig.calibration.cell(CalibrationModel::Cell(c)), c == cell ? QStringLiteral("200") : QStringLiteral("???"));
    }

    void calibrationThroughStaleRecords()
    {
        // Records still streaming when the calibration starts are dropped one by one; the
        // calibration replies behind them reach the cells and open the gate.
        Rig rig(false);
        rig.calibration.setPhaseText(QStringLiteral("1"));
        rig.decoder.feed(RecordMinus30457 + Record4619 + registerBytes(3, 500) + registerBytes(4, 510));
        rig.calibration.setPhaseText(QStringLiteral("2"));
        rig.decoder.feed(Record4619 + registerBytes(3, 3600) + RecordMinus30457 + registerBytes(4, 3590));
        rig.calibration.setPhaseText(QStringLiteral("0"));
        QVERIFY(rig.calibration.runGate());
        rig.decoder.feed(RecordMinus30457);

        QCOMPARE(rig.out.trace, (QStringList{"register 3 500 0x1F4", "cell 0 500", "register 4 510 0x1FE", "cell 2 510",
                                             "register 3 3600 0xE10", "cell 1 3600", "register 4 3590 0xE06",
                                             "cell 3 3590", "log " + Line30457}));
        QCOMPARE(rig.decoder.counters().rejectedByGate, quint64(4));
    }

    // ---- framing --------------------------------------------------------------------------

    void replyOrder_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QStringList>("trace");
        const QString rec = "log " + Line30457;
        const QString rec2 = "log " + Line4619;
        QTest::newRow("heartbeat then record") << QByteArray("H") + RecordMinus30457 << QStringList{"heartbeat", rec};
        QTest::newRow("prefix, one byte, two records")
            << QByteArray("P\x07") + RecordMinus30457 + Record4619 << QStringList{rec, rec2};
        QTest::newRow("prefix byte that looks like a kind")
            << QByteArray("PR") + RecordMinus30457 << QStringList{rec};
        QTest::newRow("prefix between records")
            << RecordMinus30457 + "PH" + Record4619 << QStringList{rec, rec2};
        QTest::newRow("register then record")
            << registerBytes(1, 9) + RecordMinus30457 << QStringList{"register 1 9 0x9", rec};
        QTest::newRow("version then record")
            << versionBytes(1, 0x23, "RCM          ") + RecordMinus30457
            << QStringList{"version FPGA: 1.2.3|Rabbit: RCM", rec};
        QTest::newRow("register before version")
            << registerBytes(0, 1) + versionBytes(2, 0x10, "x            ")
            << QStringList{"register 0 1 0x1", "version FPGA: 2.1.0|Rabbit: x"};
        QTest::newRow("heartbeats between records")
            << QByteArray("HH") + RecordMinus30457 + "H" + Record4619
            << QStringList{"heartbeat", "heartbeat", rec, "heartbeat", rec2};
        QTest::newRow("register reply whose value bytes look like kinds")
            << QByteArray("5RH") + Record4619 << QStringList{"register 5 72 0x48", rec2};
    }
    void replyOrder()
    {
        QFETCH(QByteArray, stream);
        QFETCH(QStringList, trace);
        Rig rig;
        rig.decoder.feed(stream);
        QCOMPARE(rig.out.trace, trace);
        QCOMPARE(rig.decoder.pendingBytes(), 0);
        QCOMPARE(rig.decoder.counters().bytesDroppedByResync, quint64(0));
    }

    void unknownBytesEndTheBuffer_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QStringList>("trace");
        QTest::addColumn<int>("dropped");
        QTest::newRow("register 8") << QByteArray("8\x01\x02") << QStringList() << 3;
        QTest::newRow("register 9 before a record") << QByteArray("9\x01\x02") + Record4619 << QStringList() << 10;
        QTest::newRow("garbage between records")
            << RecordMinus30457 + "X" + Record4619 << QStringList{"log " + Line30457} << 8;
        QTest::newRow("NUL first") << QByteArray(1, '\0') + Record4619 << QStringList() << 8;
        QTest::newRow("lower-case kind") << QByteArray("r") + Record4619 << QStringList() << 8;
    }
    void unknownBytesEndTheBuffer()
    {
        QFETCH(QByteArray, stream);
        QFETCH(QStringList, trace);
        QFETCH(int, dropped);
        Rig rig;
        rig.decoder.feed(stream);
        QCOMPARE(rig.out.trace, trace); // silently: no error line
        QCOMPARE(rig.decoder.counters().bytesDroppedByResync, quint64(dropped));
        QCOMPARE(rig.decoder.pendingBytes(), 0);
        // The next arrival is read from its first byte.
        rig.decoder.feed(Record4619);
        QCOMPARE(rig.out.trace.last(), "log " + Line4619);
    }

    void unfinishedRepliesWaitForTheirRest_data()
    {
        QTest::addColumn<QByteArray>("first");
        QTest::addColumn<QByteArray>("second");
        QTest::addColumn<QStringList>("trace");
        const QByteArray version = versionBytes(1, 0x23, "RCM          ");
        QTest::newRow("version of 15 bytes, then its last byte and a record")
            << version.left(15) << version.mid(15) + Record4619
            << QStringList{"version FPGA: 1.2.3|Rabbit: RCM", "log " + Line4619};
        QTest::newRow("record head alone") << QByteArray("R") << RecordMinus30457.mid(1) << QStringList{"log " + Line30457};
        QTest::newRow("record tail that looks like a register reply")
            << RecordMinus30457.left(3) + QByteArray() << RecordMinus30457.mid(3) << QStringList{"log " + Line30457};
        QTest::newRow("register reply split") << QByteArray("3\x01") << QByteArray("\xF4") << QStringList{"register 3 500 0x1F4"};
        QTest::newRow("prefix split") << QByteArray("P") << QByteArray("H") + Record4619 << QStringList{"log " + Line4619};
    }
    void unfinishedRepliesWaitForTheirRest()
    {
        QFETCH(QByteArray, first);
        QFETCH(QByteArray, second);
        QFETCH(QStringList, trace);
        Rig rig;
        rig.decoder.feed(first);
        QCOMPARE(rig.out.trace, QStringList());
        QCOMPARE(rig.decoder.pendingBytes(), int(first.size()));
        rig.decoder.feed(second);
        QCOMPARE(rig.out.trace, trace);
        QCOMPARE(rig.decoder.pendingBytes(), 0);
    }

    void anySplitDecodesLikeTheWhole_data()
    {
        QTest::addColumn<QList<int>>("pieces"); // sizes; the rest goes in a last piece
        const int size = int(splitStream().size());
        for (int cut = 1; cut < size; ++cut)
            QTest::addRow("cut at %d", cut) << QList<int>{cut};
        QTest::newRow("single bytes") << QList<int>(size, 1);
        QTest::newRow("pairs") << QList<int>(size / 2, 2);
        QTest::newRow("odd pieces") << QList<int>{3, 5, 7, 11, 13};
        QTest::newRow("empty arrivals between") << QList<int>{0, 4, 0, 0, 9, 0};
    }
    void anySplitDecodesLikeTheWhole()
    {
        QFETCH(QList<int>, pieces);
        const QByteArray stream = splitStream();
        for (bool raw : {false, true}) {
            Rig whole;
            Rig split;
            for (Rig* rig : {&whole, &split}) {
                rig->options.file = true;
                rig->options.raw = raw;
                rig->out.fileOpen = true;
            }
            whole.decoder.feed(stream);
            qsizetype pos = 0;
            for (int n : pieces) {
                split.decoder.feed(QByteArrayView(stream).sliced(pos, n));
                pos += n;
            }
            split.decoder.feed(QByteArrayView(stream).sliced(pos));
            QCOMPARE(split.snapshot(), whole.snapshot());
        }
    }

    void theWholeSplitStreamDecodes()
    {
        // The reference for the split test, checked once on its own.
        Rig rig;
        rig.decoder.feed(splitStream());
        QCOMPARE(rig.out.trace,
                 (QStringList{"heartbeat", "log " + Line30457, "version FPGA: 1.2.3|Rabbit: RCM", "register 3 500 0x1F4",
                              "register 5 255 0xFF", "log " + Line4619, "heartbeat",
                              "log " + Line30457 + ", Overrange A!, Overrange B!"}));
        QCOMPARE(rig.decoder.counters().rejectedByPlausibility, quint64(1));
    }

    void resetForgetsAnUnfinishedReply()
    {
        Rig rig;
        rig.decoder.feed(RecordMinus30457.left(4));
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
        QTest::newRow("Tau A not a number") << "tauA abc" << "Doh! (data) Type mismatch";
        QTest::newRow("Tau B empty") << "tauB " << "Doh! (data) Type mismatch";
        QTest::newRow("A low cell only leads with a number") << "cellAL 500 mV" << "Doh! (data) Type mismatch";
        QTest::newRow("B high cell only leads with a number") << "cellBH 3590?" << "Doh! (data) Type mismatch";
        QTest::newRow("Tau A too large for 32 bits") << "tauA 1e9" << "Doh! (data) Overflow";
        QTest::newRow("Tau B too large for 32 bits") << "tauB 1e9" << "Doh! (data) Overflow";
        QTest::newRow("write failed with a reason") << "write No space left on device"
                                                    << "Doh! (data) Write failed: No space left on device";
        QTest::newRow("write failed without a reason") << "write " << "Doh! (data) Write failed";
        QTest::newRow("raw write failed") << "rawwrite Disk gone" << "Doh! (data) Write failed: Disk gone";
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
        else if (kind == u"cellBH")
            rig.calibration.setCell(CalibrationModel::BHigh, text);
        else {
            rig.options.file = true;
            rig.options.raw = kind == u"rawwrite";
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
        QCOMPARE(rig.registers.value(1), std::optional<int>());
        QCOMPARE(rig.statistics.countCaption(), QStringLiteral("1"));
        QCOMPARE(rig.decoder.pendingBytes(), 0);

        // The error ends that buffer only: the next arrival is decoded (and fails again while
        // the fault stays).
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

    // ---- wiring -------------------------------------------------------------------------

    void wiredToTheConnection()
    {
        FakeSocket socket;
        FakeClock clock;
        ConnectionManager connection(socket, clock);
        Rig rig;
        rig.out.onHeartbeat = [&connection] { connection.heartbeatReceived(); };
        QObject::connect(&connection, &ConnectionManager::dataArrived, &rig.decoder, &ReplyDecoder::feed);
        QSignalSpy flashes(&connection, &ConnectionManager::heartbeatFlash);

        connection.setHostText(QStringLiteral("127.0.0.1"));
        connection.open();
        socket.completeConnect();
        socket.deliver(QByteArray("H") + RecordMinus30457.left(5));
        socket.deliver(RecordMinus30457.mid(5));
        QCOMPARE(rig.out.trace, (QStringList{"heartbeat", "log " + Line30457}));
        QCOMPARE(flashes.count(), 1);
        QCOMPARE(flashes.at(0).at(0).toBool(), true);
    }

private:
    static QByteArray splitStream()
    {
        return QByteArray("P\x01") + "H" + RecordMinus30457 + versionBytes(1, 0x23, "RCM          ")
            + registerBytes(3, 500) + registerBytes(5, 0x01FF) + Record4619 + "H" + record(650, 1600)
            + record(1500, 1600, 3, 3);
    }
};

QTEST_GUILESS_MAIN(TestReplyDecoder)
#include "tst_replydecoder.moc"
