/// @brief tallyscope-replay: turns a raw data file back into the record lines the panel would have written, through the panel's own decoder.
#include "control/calibrationcapture.h"
#include "control/calibrationmodel.h"
#include "control/registermodel.h"
#include "link/decoderoutput.h"
#include "link/replydecoder.h"
#include "link/versionmodel.h"
#include "link/dataoptions.h"
#include "measure/histogram.h"
#include "measure/histogramfeed.h"
#include "measure/runsidecar.h"
#include "measure/runstatistics.h"
#include "platform/commandline.h"
#include "platform/numbers.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QLocale>

#include <cmath>
#include <cstdio>
#include <optional>

namespace {

// sysexits.h values beside the shared ones, so that scripts can tell a wrong call from bad data.
constexpr int ExitOk = CommandLine::ExitOk;
constexpr int ExitIo = CommandLine::ExitFailure;
constexpr int ExitData = 65;

constexpr int RecordLength = 7;
// A whole number of records per read keeps the decoder from holding a record across reads
// (it could, but then a calibration change would land inside one).
constexpr qint64 ChunkBytes = RecordLength * 150'000;

void complain(const QString& text) { std::fprintf(stderr, "tallyscope-replay: %s\n", qPrintable(text)); }

/// The decoder's window side for a replay: entries go to the output, records into the summary.
class Replayer final : public DecoderOutput, public RecordObserver {
public:
    explicit Replayer(QFile& out, HistogramFeed* histogram) : m_out(out), m_histogram(histogram) {}

    void heartbeat() override {}
    void displayLine(const QString&) override {}
    void errorLine(const QString& line) override { complain(line); }
    bool fileIsOpen() const override { return true; }
    bool writeFile(QByteArrayView bytes, QString& errorText) override
    {
        m_buffer.append(bytes.data(), bytes.size());
        if (m_buffer.size() >= (1 << 20))
            return flush(errorText);
        return true;
    }

    void recordDecoded(qint32 dt, int a, int b, int offset, int flags) override
    {
        if (m_histogram)
            m_histogram->recordDecoded(dt, a, b, offset, flags);
        // Welford's running mean and sum of squares: stable for millions of records.
        ++m_count;
        const double delta = dt - m_mean;
        m_mean += delta / double(m_count);
        m_m2 += delta * (dt - m_mean);
    }

    bool flush(QString& errorText)
    {
        if (!m_buffer.isEmpty() && m_out.write(m_buffer) != m_buffer.size()) {
            errorText = m_out.errorString();
            m_buffer.clear();
            return false;
        }
        m_buffer.clear();
        if (!m_out.flush()) {
            errorText = m_out.errorString();
            return false;
        }
        return true;
    }

    quint64 count() const { return m_count; }
    double mean() const { return m_mean; }
    double stdDev() const { return m_count > 1 ? std::sqrt(m_m2 / double(m_count - 1)) : 0.0; }

private:
    QFile& m_out;
    HistogramFeed* m_histogram;
    QByteArray m_buffer;
    quint64 m_count = 0;
    double m_mean = 0;
    double m_m2 = 0;
};

/// "LOW,HIGH": two whole readings 0..4095, kept as the texts the panel would show.
std::optional<std::pair<QString, QString>> readingPair(const QString& text)
{
    const QStringList parts = text.split(u',');
    if (parts.size() != 2)
        return std::nullopt;
    for (const QString& p : parts) {
        bool ok = false;
        const int v = p.trimmed().toInt(&ok);
        if (!ok || v < 0 || v > 4095)
            return std::nullopt;
    }
    return std::pair{QString::number(parts[0].trimmed().toInt()), QString::number(parts[1].trimmed().toInt())};
}

/// "A,B": two time constants in ns with a decimal point.
std::optional<std::pair<QString, QString>> tauPair(const QString& text)
{
    const QStringList parts = text.split(u',');
    if (parts.size() != 2)
        return std::nullopt;
    for (const QString& p : parts) {
        bool ok = false;
        const double v = QLocale::c().toDouble(p.trimmed(), &ok);
        if (!ok || !(v > 0))
            return std::nullopt;
    }
    return std::pair{parts[0].trimmed(), parts[1].trimmed()};
}

void apply(CalibrationModel& model, HistogramFeed& histogram, const RunSidecar::Calibration& c)
{
    histogram.setCalibrationTexts(c.cells[0], c.cells[1], c.cells[2], c.cells[3], c.tauA, c.tauB);
    for (int i = 0; i < 4; ++i)
        model.setCell(CalibrationModel::Cell(i), c.cells[size_t(i)]);
    model.setTauA(c.tauA);
    model.setTauB(c.tauB);
}

QString describe(const RunSidecar::Calibration& c)
{
    return QStringLiteral("A %1..%2, B %3..%4, Tau %5 / %6 ns")
        .arg(c.cells[0], c.cells[1], c.cells[2], c.cells[3], c.tauA, c.tauB);
}

} // namespace

int main(int argc, char* argv[])
{
    CommandLine cli(QStringLiteral("tallyscope-replay"), QStringLiteral(
        "Decodes a raw data file (7-byte records back to back) with the panel's decoder and writes the record\n"
        "lines the panel would have written (CR LF), with summary statistics on stderr.\n"
        "Calibration and Tau come from the sidecar beside the file unless given here; values given here apply\n"
        "to the whole file, the sidecar's changes during the run only to the sidecar's own values.\n"
        "Exit codes: 0 done, 1 a file could not be read or written, 64 bad arguments,\n"
        "65 the data did not decode cleanly (the lines that did are still written)."));
    QCommandLineParser& p = cli.parser();
    p.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The raw data file."));
    const QCommandLineOption sidecarOpt(QStringLiteral("sidecar"), QStringLiteral("The run's sidecar (default: FILE with .json)."),
                                        QStringLiteral("JSON"));
    const QCommandLineOption calAOpt(QStringLiteral("cal-a"), QStringLiteral("Channel A calibration readings."),
                                     QStringLiteral("LOW,HIGH"));
    const QCommandLineOption calBOpt(QStringLiteral("cal-b"), QStringLiteral("Channel B calibration readings."),
                                     QStringLiteral("LOW,HIGH"));
    const QCommandLineOption tauOpt(QStringLiteral("tau"), QStringLiteral("Tau of A and B in ns (default: 9.47,9.49)."),
                                    QStringLiteral("A,B"));
    const QCommandLineOption verboseOpt(QStringLiteral("verbose"), QStringLiteral("Verbose lines instead of plain ones."));
    const QCommandLineOption outputOpt({QStringLiteral("o"), QStringLiteral("output")},
                                       QStringLiteral("Write the lines here instead of stdout."), QStringLiteral("FILE"));
    const QCommandLineOption localeOpt(QStringLiteral("locale"),
                                       QStringLiteral("Locale of verbose lines and Tau texts (default: the sidecar's)."),
                                       QStringLiteral("NAME"));
    const QCommandLineOption histogramOpt(QStringLiteral("histogram"),
                                          QStringLiteral("Also write the histogram of the time differences as CSV."),
                                          QStringLiteral("FILE.csv"));
    const QCommandLineOption binWidthOpt(QStringLiteral("bin-width"), QStringLiteral("Histogram bin width in ps (default 10)."),
                                         QStringLiteral("PS"));
    p.addOptions({sidecarOpt, calAOpt, calBOpt, tauOpt, verboseOpt, outputOpt, localeOpt, histogramOpt, binWidthOpt});
    if (const auto exitCode = cli.parse(CommandLine::arguments(argc, argv)))
        return *exitCode;
    if (p.positionalArguments().size() != 1)
        return cli.usage(QStringLiteral("give exactly one raw data file"));
    const QString inputPath = p.positionalArguments().constFirst();
    QCoreApplication app(argc, argv);

    std::optional<std::pair<QString, QString>> calA, calB, tau;
    if (p.isSet(calAOpt) && !(calA = readingPair(p.value(calAOpt)))) {
        return cli.usage(QStringLiteral("--cal-a takes two readings 0..4095: LOW,HIGH"));
    }
    if (p.isSet(calBOpt) && !(calB = readingPair(p.value(calBOpt)))) {
        return cli.usage(QStringLiteral("--cal-b takes two readings 0..4095: LOW,HIGH"));
    }
    if (p.isSet(tauOpt) && !(tau = tauPair(p.value(tauOpt)))) {
        return cli.usage(QStringLiteral("--tau takes two positive times in ns with a decimal point: A,B"));
    }

    double binWidth = 10;
    if (p.isSet(binWidthOpt)) {
        bool ok = false;
        binWidth = QLocale::c().toDouble(p.value(binWidthOpt), &ok);
        if (!ok || !(binWidth > 0)) {
            return cli.usage(QStringLiteral("--bin-width takes a positive number of ps"));
        }
    }

    // The sidecar: required unless both channels' readings are given.
    const QString sidecarPath = p.isSet(sidecarOpt) ? p.value(sidecarOpt) : RunSidecar::pathFor(inputPath);
    std::optional<RunSidecar::Description> sidecar;
    if (p.isSet(sidecarOpt) || QFileInfo::exists(sidecarPath)) {
        QFile f(sidecarPath);
        if (!f.open(QIODevice::ReadOnly)) {
            complain(QStringLiteral("cannot read the sidecar %1: %2").arg(sidecarPath, f.errorString()));
            return ExitIo;
        }
        QString why;
        sidecar = RunSidecar::fromJson(f.readAll(), &why);
        if (!sidecar) {
            complain(QStringLiteral("%1: %2").arg(sidecarPath, why));
            return ExitData;
        }
    } else if (!calA || !calB) {
        return cli.usage(QStringLiteral("no sidecar at %1: give --cal-a and --cal-b (and --tau unless 9.47,9.49)").arg(sidecarPath));
    }

    RunSidecar::Calibration start;
    start.tauA = QStringLiteral("9.47");
    start.tauB = QStringLiteral("9.49");
    QList<RunSidecar::CalibrationChange> changes;
    if (sidecar) {
        start = sidecar->calibration;
        changes = sidecar->calibrationChanges;
        if (!sidecar->options.raw)
            complain(QStringLiteral("note: the sidecar says Raw was unticked when the run started"));
    }
    const bool overridden = calA || calB || tau;
    if (calA) {
        start.cells[CalibrationModel::ALow] = calA->first;
        start.cells[CalibrationModel::AHigh] = calA->second;
    }
    if (calB) {
        start.cells[CalibrationModel::BLow] = calB->first;
        start.cells[CalibrationModel::BHigh] = calB->second;
    }
    if (tau) {
        start.tauA = tau->first;
        start.tauB = tau->second;
    }
    if (overridden && !changes.isEmpty()) {
        complain(QStringLiteral("note: calibration given on the command line; the sidecar's %1 change(s) during the run are ignored")
                     .arg(changes.size()));
        changes.clear();
    }

    const QString localeName = p.isSet(localeOpt) ? p.value(localeOpt) : (sidecar ? sidecar->locale : QString());
    if (!localeName.isEmpty())
        QLocale::setDefault(QLocale(localeName));

    QFile input(inputPath);
    if (!input.open(QIODevice::ReadOnly)) {
        complain(QStringLiteral("cannot read %1: %2").arg(inputPath, input.errorString()));
        return ExitIo;
    }
    QFile out;
    const bool toStdout = !p.isSet(outputOpt);
    if (toStdout ? !out.open(stdout, QIODevice::WriteOnly) : (out.setFileName(p.value(outputOpt)), !out.open(QIODevice::WriteOnly | QIODevice::Truncate))) {
        complain(QStringLiteral("cannot write %1: %2").arg(toStdout ? QStringLiteral("stdout") : p.value(outputOpt), out.errorString()));
        return ExitIo;
    }

    // The panel's models, with no calibration under way (phase 0) and the run's values.
    CalibrationModel calibration;
    RegisterModel registers;
    VersionModel versions;
    RunStatistics statistics;
    DataOptions options;
    options.display = false;
    options.file = true;
    options.raw = false;
    options.verbose = p.isSet(verboseOpt);
    HistogramFeed histogram;
    histogram.histogram().setBinWidthPs(binWidth);
    const bool wantHistogram = p.isSet(histogramOpt);
    Replayer replayer(out, wantHistogram ? &histogram : nullptr);
    CalibrationCapture capture(registers, calibration);
    // A replay is a run: its first record restarts minimum and maximum, as in the panel.
    statistics.setRunTickedSource([] { return true; });
    ReplyDecoder decoder({calibration, capture, versions, statistics, options, replayer, &replayer});
    apply(calibration, histogram, start);
    if (!calibration.runGate()) {
        complain(QStringLiteral("the calibration is outside its windows (lows 451..549, highs 3551..3649): ") + describe(start));
        return ExitData;
    }
    statistics.clearForRunStart();

    // Records are fed up to each change's entry, so that every record meets the values the
    // panel converted it with.
    qint64 fed = 0;
    qsizetype nextChange = 0;
    int status = ExitOk;
    QString writeError;
    while (!input.atEnd()) {
        qint64 want = ChunkBytes;
        while (nextChange < changes.size() && qint64(changes[nextChange].entriesBefore) * RecordLength <= fed)
            apply(calibration, histogram, changes[nextChange++].calibration);
        if (nextChange < changes.size())
            want = std::min<qint64>(want, qint64(changes[nextChange].entriesBefore) * RecordLength - fed);
        const QByteArray chunk = input.read(want);
        if (chunk.isEmpty()) {
            complain(QStringLiteral("cannot read %1: %2").arg(inputPath, input.errorString()));
            status = ExitIo;
            break;
        }
        decoder.feed(chunk);
        fed += chunk.size();
    }
    if (!replayer.flush(writeError)) {
        complain(QStringLiteral("cannot write the lines: ") + writeError);
        status = ExitIo;
    }
    out.close();
    if (wantHistogram && status == ExitOk) {
        QString csvError;
        if (!histogram.histogram().writeCsv(p.value(histogramOpt), &csvError)) {
            complain(QStringLiteral("cannot write the histogram %1: %2").arg(p.value(histogramOpt), csvError));
            status = ExitIo;
        }
    }

    const ReplyDecoder::Counters& c = decoder.counters();
    std::fprintf(stderr, "tallyscope-replay: %s: %lld bytes, %llu records decoded, %llu rejected by the gate, %llu implausible, "
                         "%llu bytes dropped, %d bytes of an unfinished record, %llu errors\n",
                 qPrintable(QFileInfo(inputPath).fileName()), qlonglong(fed), c.recordsDecoded, c.rejectedByGate,
                 c.rejectedByPlausibility, c.bytesDroppedByResync + c.bytesDroppedAfterError, decoder.pendingBytes(), c.errors);
    std::fprintf(stderr, "count     %llu\n", replayer.count());
    if (replayer.count() > 0) {
        std::fprintf(stderr, "min       %lld ps\nmax       %lld ps\nrange     %lld ps\nmean      %.3f ps\nstd dev   %.3f ps\n",
                     qlonglong(*statistics.minimum()), qlonglong(*statistics.maximum()),
                     qlonglong(*statistics.maximum() - *statistics.minimum()), replayer.mean(), replayer.stdDev());
    }
    if (status != ExitOk)
        return status;
    const bool clean = c.rejectedByGate == 0 && c.bytesDroppedByResync == 0 && c.bytesDroppedAfterError == 0 && c.errors == 0
        && decoder.pendingBytes() == 0;
    if (!clean) {
        complain(QStringLiteral("the file did not decode cleanly: is it a raw data file (Raw ticked), with this calibration?"));
        return ExitData;
    }
    return ExitOk;
}
