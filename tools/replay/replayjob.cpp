/// @brief ReplayJob: the sidecar's calibration and its changes applied at the entries they were made at.
#include "tools/replay/replayjob.h"

#include "control/calibrationcapture.h"
#include "control/calibrationmodel.h"
#include "control/registermodel.h"
#include "control/versionmodel.h"
#include "link/dataoptions.h"
#include "link/protocol.h"
#include "link/replydecoder.h"
#include "measure/histogram.h"
#include "measure/histogramfeed.h"
#include "measure/runsidecar.h"
#include "measure/runstatistics.h"
#include "platform/commandline.h"
#include "platform/numbers.h"
#include "tools/replay/replaysink.h"

#include <QFile>
#include <QFileInfo>
#include <QLocale>

#include <cstdio>

namespace {

using protocol::RecordLength;
// A whole number of records per read keeps the decoder from holding a record across reads
// (it could, but then a calibration change would land inside one).
constexpr qint64 ChunkBytes = RecordLength * 150'000;

void apply(ReplyDecoder& decoder, HistogramFeed& histogram, const Calibration& c)
{
    histogram.setCalibration(c);
    decoder.setCalibration(c);
}

QString describe(const Calibration& c)
{
    const QLocale locale;
    return QStringLiteral("A %1..%2, B %3..%4, Tau %5 / %6 ns")
        .arg(c.cellText(Calibration::ALow, locale), c.cellText(Calibration::AHigh, locale),
             c.cellText(Calibration::BLow, locale), c.cellText(Calibration::BHigh, locale),
             c.tauText(Calibration::A, locale), c.tauText(Calibration::B, locale));
}

} // namespace

ReplayJob::ReplayJob(const ReplayOptions::Settings& settings, const CommandLine& cli) : m_settings(settings), m_cli(cli)
{}

int ReplayJob::run()
{
    const ReplayOptions::Settings& s = m_settings;
    const QString& inputPath = s.input;

    // The sidecar: required unless both channels' readings are given.
    const QString sidecarPath = s.sidecar.value_or(RunSidecar::pathFor(inputPath));
    std::optional<RunSidecar::Description> sidecar;
    if (s.sidecar || QFileInfo::exists(sidecarPath)) {
        QFile f(sidecarPath);
        if (!f.open(QIODevice::ReadOnly)) {
            m_cli.complain(QStringLiteral("cannot read the sidecar %1: %2").arg(sidecarPath, f.errorString()));
            return CommandLine::ExitFailure;
        }
        QString why;
        sidecar = RunSidecar::fromJson(f.readAll(), &why, s.locale);
        if (!sidecar) {
            m_cli.complain(QStringLiteral("%1: %2").arg(sidecarPath, why));
            return ExitData;
        }
    } else if (!s.calA || !s.calB) {
        return m_cli.usage(
            QStringLiteral("no sidecar at %1: give --cal-a and --cal-b (and --tau unless 9.47,9.49)").arg(sidecarPath));
    }

    // The texts are read in the locale the panel read them in, unless told otherwise.
    const QString localeName = s.locale ? *s.locale : (sidecar ? sidecar->locale : QString());
    if (!localeName.isEmpty())
        QLocale::setDefault(QLocale(localeName));

    Calibration start = Calibration::fromTexts({CalibrationModel::Unknown, CalibrationModel::Unknown,
                                                CalibrationModel::Unknown, CalibrationModel::Unknown},
                                               CalibrationModel::DefaultTauA, CalibrationModel::DefaultTauB);
    QList<RunSidecar::CalibrationChange> changes;
    if (sidecar) {
        start = sidecar->calibration;
        changes = sidecar->calibrationChanges;
        if (!sidecar->options.raw)
            m_cli.complain(QStringLiteral("note: the sidecar says Raw was unticked when the run started"));
    }
    if (s.calA) {
        start.setReading(Calibration::ALow, s.calA->first);
        start.setReading(Calibration::AHigh, s.calA->second);
    }
    if (s.calB) {
        start.setReading(Calibration::BLow, s.calB->first);
        start.setReading(Calibration::BHigh, s.calB->second);
    }
    if (s.tau) {
        // Checked in C on the command line, read as the panel reads a Tau field.
        start.setTau(Calibration::A, numbers::strictNumber(s.tau->first));
        start.setTau(Calibration::B, numbers::strictNumber(s.tau->second));
    }
    if ((s.calA || s.calB || s.tau) && !changes.isEmpty()) {
        m_cli.complain(QStringLiteral("note: calibration given on the command line; the sidecar's %1 change(s) during "
                                      "the run are ignored")
                           .arg(changes.size()));
        changes.clear();
    }

    QFile input(inputPath);
    if (!input.open(QIODevice::ReadOnly)) {
        m_cli.complain(QStringLiteral("cannot read %1: %2").arg(inputPath, input.errorString()));
        return CommandLine::ExitFailure;
    }
    CommandLine::binaryStdout();
    QFile out;
    if (s.output ? (out.setFileName(*s.output), !out.open(QIODevice::WriteOnly | QIODevice::Truncate))
                 : !out.open(stdout, QIODevice::WriteOnly)) {
        m_cli.complain(
            QStringLiteral("cannot write %1: %2").arg(s.output.value_or(QStringLiteral("stdout")), out.errorString()));
        return CommandLine::ExitFailure;
    }

    // The panel's models, with no calibration under way and the run's values.
    CalibrationModel calibration;
    RegisterModel registers;
    VersionModel versions;
    RunStatistics statistics;
    DataOptions options;
    options.display = false;
    options.file = true;
    options.raw = false;
    options.verbose = s.verbose;
    HistogramFeed histogram;
    histogram.histogram().setBinWidthPs(s.binWidth);
    ReplaySink sink(out, s.histogram ? &histogram : nullptr, [this](const QString& line) { m_cli.complain(line); });
    CalibrationCapture capture(registers, calibration);
    // A replay is a run: its first record restarts minimum and maximum, as in the panel.
    statistics.setRunTickedSource([] { return true; });
    ReplyDecoder decoder({capture, versions, statistics, sink, &sink});
    decoder.setOptions(options);
    apply(decoder, histogram, start);
    if (!start.cellsInWindows()) {
        using namespace protocol;
        m_cli.complain(QStringLiteral("the calibration is outside its windows (lows %1..%2, highs %3..%4): ")
                           .arg(int(CalibrationLowFloor) + 1)
                           .arg(int(CalibrationLowCeiling) - 1)
                           .arg(int(CalibrationHighFloor) + 1)
                           .arg(int(CalibrationHighCeiling) - 1)
                       + describe(start));
        return ExitData;
    }
    statistics.clearForRunStart();

    // Records are fed up to each change's entry, so that every record meets the values the
    // panel converted it with.
    qint64 fed = 0;
    qsizetype nextChange = 0;
    int status = CommandLine::ExitOk;
    while (!input.atEnd()) {
        qint64 want = ChunkBytes;
        while (nextChange < changes.size() && qint64(changes[nextChange].entriesBefore) * RecordLength <= fed)
            apply(decoder, histogram, changes[nextChange++].calibration);
        if (nextChange < changes.size())
            want = std::min<qint64>(want, qint64(changes[nextChange].entriesBefore) * RecordLength - fed);
        const QByteArray chunk = input.read(want);
        if (chunk.isEmpty()) {
            m_cli.complain(QStringLiteral("cannot read %1: %2").arg(inputPath, input.errorString()));
            status = CommandLine::ExitFailure;
            break;
        }
        decoder.feed(chunk);
        fed += chunk.size();
    }
    QString writeError;
    if (!sink.flush(writeError)) {
        m_cli.complain(QStringLiteral("cannot write the lines: ") + writeError);
        status = CommandLine::ExitFailure;
    }
    out.close();
    if (s.histogram && status == CommandLine::ExitOk) {
        QString csvError;
        if (!histogram.histogram().writeCsv(*s.histogram, &csvError)) {
            m_cli.complain(QStringLiteral("cannot write the histogram %1: %2").arg(*s.histogram, csvError));
            status = CommandLine::ExitFailure;
        }
    }

    const ReplyDecoder::Counters& c = decoder.counters();
    m_cli.complain(
        QStringLiteral("%1: %2 bytes, %3 records decoded, %4 rejected by the gate, %5 implausible, %6 bytes dropped, "
                       "%7 bytes of an unfinished record, %8 errors")
            .arg(QFileInfo(inputPath).fileName())
            .arg(fed)
            .arg(c.recordsDecoded)
            .arg(c.rejectedByGate)
            .arg(c.rejectedByPlausibility)
            .arg(c.bytesDroppedByResync + c.bytesDroppedAfterError)
            .arg(decoder.pendingBytes())
            .arg(c.errors));
    std::fprintf(stderr, "count     %llu\n", sink.count());
    if (sink.count() > 0) {
        std::fprintf(stderr,
                     "min       %lld ps\nmax       %lld ps\nrange     %lld ps\nmean      %.3f ps\nstd dev   %.3f ps\n",
                     qlonglong(*statistics.minimum()), qlonglong(*statistics.maximum()),
                     qlonglong(*statistics.maximum() - *statistics.minimum()), sink.mean(), sink.stdDev());
    }
    if (status != CommandLine::ExitOk)
        return status;
    const bool clean = c.rejectedByGate == 0 && c.bytesDroppedByResync == 0 && c.bytesDroppedAfterError == 0
                       && c.errors == 0 && decoder.pendingBytes() == 0;
    if (!clean) {
        m_cli.complain(QStringLiteral(
            "the file did not decode cleanly: is it a raw data file (Raw ticked), with this calibration?"));
        return ExitData;
    }
    return CommandLine::ExitOk;
}
