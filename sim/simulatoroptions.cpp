/// @brief Option declarations and strict value parsing for tallyscope-sim.
#include "sim/simulatoroptions.h"

#include "platform/commandline.h"

#include <QCommandLineParser>
#include <QStringList>
#include <cmath>

namespace {

bool readDouble(const QString& text, double& out)
{
    bool ok = false;
    const double value = text.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(value))
        return false;
    out = value;
    return true;
}

bool readInt(const QString& text, qint64 low, qint64 high, qint64& out)
{
    bool ok = false;
    const qint64 value = text.trimmed().toLongLong(&ok, 10);
    if (!ok || value < low || value > high)
        return false;
    out = value;
    return true;
}

/// "a,b" as two whole numbers in range.
bool readPair(const QString& text, int low, int high, int& first, int& second)
{
    const QStringList parts = text.split(u',');
    qint64 a = 0;
    qint64 b = 0;
    if (parts.size() != 2 || !readInt(parts[0], low, high, a) || !readInt(parts[1], low, high, b))
        return false;
    first = int(a);
    second = int(b);
    return true;
}

} // namespace

SimulatorOptions::SimulatorOptions(QCommandLineParser& parser)
    : m_portOption(QStringLiteral("port"), QStringLiteral("TCP port on 127.0.0.1 (0 picks a free one)."),
                   QStringLiteral("n"), QString::number(SimulatorConfig::DefaultPort)),
      m_rate(QStringLiteral("rate"), QStringLiteral("Coincidence records per second while a run is on."),
             QStringLiteral("per-second")),
      m_seed(QStringLiteral("seed"), QStringLiteral("Random seed, for a reproducible record stream."),
             QStringLiteral("n")),
      m_groundTruth(QStringLiteral("ground-truth"),
                    QStringLiteral("Write one line per record sent: bytes, true and represented dt."),
                    QStringLiteral("file")),
      m_noise(QStringLiteral("noise"), QStringLiteral("Calibration reading noise, +/- codes."),
              QStringLiteral("codes")),
      m_peak(QStringLiteral("peak"), QStringLiteral("Peak time difference in ps, as the panel shows it."),
             QStringLiteral("ps")),
      m_width(QStringLiteral("width"), QStringLiteral("Peak width (Gaussian sigma) in ps."), QStringLiteral("ps")),
      m_background(QStringLiteral("background"), QStringLiteral("Fraction of records from the flat background."),
                   QStringLiteral("0..1")),
      m_backgroundSpan(QStringLiteral("background-span"),
                       QStringLiteral("Width of the flat background around the peak, in ps."), QStringLiteral("ps")),
      m_overrange(QStringLiteral("overrange"), QStringLiteral("Fraction of records carrying overrange flags."),
                  QStringLiteral("0..1")),
      m_unusedBits(QStringLiteral("unused-bits"), QStringLiteral("Fill the bits the panel must ignore.")),
      m_calLow(QStringLiteral("cal-low"), QStringLiteral("Low calibration readings of A and B."),
               QStringLiteral("a,b")),
      m_calHigh(QStringLiteral("cal-high"), QStringLiteral("High calibration readings of A and B."),
                QStringLiteral("a,b")),
      m_tau(QStringLiteral("tau"), QStringLiteral("Ramp time constants of A and B in ns (the panel's Tau fields)."),
            QStringLiteral("a,b")),
      m_fpgaVersion(QStringLiteral("fpga-version"), QStringLiteral("FPGA version reported, major.minor.revision."),
                    QStringLiteral("x.y.z")),
      m_moduleVersion(QStringLiteral("module-version"), QStringLiteral("Network module version text (13 characters)."),
                      QStringLiteral("text")),
      m_splitGap(QStringLiteral("split-gap"), QStringLiteral("Pause between the pieces of a split write."),
                 QStringLiteral("ms")),
      m_fault(QStringLiteral("fault"), QStringLiteral("Planned fault, repeatable (kinds below)."),
              QStringLiteral("kind@seconds[:argument]")),
      m_durationOption(QStringLiteral("duration"),
                       QStringLiteral("Quit after this many seconds (default: run until killed)."),
                       QStringLiteral("seconds")),
      m_statsOption(QStringLiteral("stats"),
                    QStringLiteral("Print connections and records sent every second on stderr.")),
      m_blast(QStringLiteral("blast"),
              QStringLiteral("On run, send a pre-generated ring of records over and over, as fast as the "
                             "socket takes it (at --rate only when given).")),
      m_blastRing(QStringLiteral("blast-ring"), QStringLiteral("Records in the --blast ring (default 1048576)."),
                  QStringLiteral("n"))
{
    parser.addOptions({m_portOption,     m_rate,        m_seed,           m_groundTruth,   m_noise,      m_peak,
                       m_width,          m_background,  m_backgroundSpan, m_overrange,     m_unusedBits, m_calLow,
                       m_calHigh,        m_tau,         m_fpgaVersion,    m_moduleVersion, m_splitGap,   m_fault,
                       m_durationOption, m_statsOption, m_blast,          m_blastRing});
}

bool SimulatorOptions::read(const QCommandLineParser& parser, QString* error)
{
    const auto fail = [&](const QCommandLineOption& option, const QString& why) {
        if (error)
            *error = QStringLiteral("--%1: %2").arg(option.names().constFirst(), why);
        return false;
    };
    SimulatorConfig config;
    qint64 whole = 0;
    double real = 0;

    const auto port = CommandLine::port(parser.value(m_portOption), 0);
    if (!port)
        return fail(m_portOption, QStringLiteral("expected 0 to 65535"));
    m_port = *port;
    if (parser.isSet(m_rate)) {
        if (!readDouble(parser.value(m_rate), config.recordsPerSecond))
            return fail(m_rate, QStringLiteral("expected a number"));
    }
    config.blast = parser.isSet(m_blast);
    config.blastPaced = parser.isSet(m_rate);
    if (parser.isSet(m_blastRing)) {
        if (!readInt(parser.value(m_blastRing), 1, SimulatorConfig::MaxBlastRingRecords, whole))
            return fail(m_blastRing, QStringLiteral("expected 1 to 16777216"));
        config.blastRingRecords = int(whole);
    }
    if (parser.isSet(m_seed)) {
        bool ok = false;
        config.seed = parser.value(m_seed).trimmed().toULongLong(&ok, 10);
        if (!ok)
            return fail(m_seed, QStringLiteral("expected a whole number"));
    }
    config.groundTruthPath = parser.value(m_groundTruth);
    if (parser.isSet(m_noise)) {
        if (!readInt(parser.value(m_noise), 0, 100, whole))
            return fail(m_noise, QStringLiteral("expected 0 to 100"));
        config.calNoise = int(whole);
    }
    const std::pair<const QCommandLineOption*, double*> reals[] = {
        {&m_peak, &config.peakPs},
        {&m_width, &config.peakWidthPs},
        {&m_background, &config.backgroundFraction},
        {&m_backgroundSpan, &config.backgroundSpanPs},
        {&m_overrange, &config.overrangeFraction},
    };
    for (const auto& [option, target] : reals) {
        if (!parser.isSet(*option))
            continue;
        if (!readDouble(parser.value(*option), real))
            return fail(*option, QStringLiteral("expected a number"));
        *target = real;
    }
    config.setUnusedBits = parser.isSet(m_unusedBits);
    if (parser.isSet(m_calLow) && !readPair(parser.value(m_calLow), 0, 4095, config.calLowA, config.calLowB))
        return fail(m_calLow, QStringLiteral("expected two readings a,b"));
    if (parser.isSet(m_calHigh) && !readPair(parser.value(m_calHigh), 0, 4095, config.calHighA, config.calHighB))
        return fail(m_calHigh, QStringLiteral("expected two readings a,b"));
    if (parser.isSet(m_tau)) {
        const QStringList parts = parser.value(m_tau).split(u',');
        if (parts.size() != 2 || !readDouble(parts[0], config.tauANs) || !readDouble(parts[1], config.tauBNs))
            return fail(m_tau, QStringLiteral("expected two time constants a,b"));
    }
    if (parser.isSet(m_fpgaVersion)) {
        const QStringList parts = parser.value(m_fpgaVersion).split(u'.');
        qint64 major = 0;
        qint64 minor = 0;
        qint64 revision = 0;
        if (parts.size() != 3 || !readInt(parts[0], 0, 255, major) || !readInt(parts[1], 0, 15, minor)
            || !readInt(parts[2], 0, 15, revision))
            return fail(m_fpgaVersion, QStringLiteral("expected major.minor.revision, 0-255.0-15.0-15"));
        config.fpgaMajor = quint8(major);
        config.fpgaMinor = quint8(minor);
        config.fpgaRevision = quint8(revision);
    }
    if (parser.isSet(m_moduleVersion)) {
        const QString text = parser.value(m_moduleVersion);
        if (text.size() > SimulatorConfig::ModuleVersionLength)
            return fail(m_moduleVersion, QStringLiteral("at most 13 characters"));
        config.moduleVersion = text.toLatin1();
    }
    if (parser.isSet(m_splitGap)) {
        if (!readInt(parser.value(m_splitGap), 0, 10000, whole))
            return fail(m_splitGap, QStringLiteral("expected 0 to 10000"));
        config.splitGapMs = int(whole);
    }
    FaultSchedule faults;
    for (const QString& plan : parser.values(m_fault)) {
        QString why;
        if (!faults.add(plan, &why))
            return fail(m_fault, why);
    }
    m_duration = 0;
    if (parser.isSet(m_durationOption)) {
        if (!readDouble(parser.value(m_durationOption), m_duration) || !(m_duration > 0) || m_duration > 1e7)
            return fail(m_durationOption, QStringLiteral("expected a positive number of seconds"));
    }
    if (const QString problem = config.validationError(); !problem.isEmpty()) {
        if (error)
            *error = problem;
        return false;
    }
    m_stats = parser.isSet(m_statsOption);
    m_faults = faults;
    m_config = config;
    return true;
}
