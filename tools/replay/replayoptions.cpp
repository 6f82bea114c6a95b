/// @brief ReplayOptions: the replay's options, read in the order the complaints are made.
#include "tools/replay/replayoptions.h"

#include <QLocale>
#include <QStringList>

ReplayOptions::ReplayOptions(QCommandLineParser& parser)
    : m_sidecar(QStringLiteral("sidecar"), QStringLiteral("The run's sidecar (default: FILE with .json)."),
                QStringLiteral("JSON")),
      m_calA(QStringLiteral("cal-a"), QStringLiteral("Channel A calibration readings."), QStringLiteral("LOW,HIGH")),
      m_calB(QStringLiteral("cal-b"), QStringLiteral("Channel B calibration readings."), QStringLiteral("LOW,HIGH")),
      m_tau(QStringLiteral("tau"), QStringLiteral("Tau of A and B in ns (default: 9.47,9.49)."), QStringLiteral("A,B")),
      m_verbose(QStringLiteral("verbose"), QStringLiteral("Verbose lines instead of plain ones.")),
      m_output({QStringLiteral("o"), QStringLiteral("output")},
               QStringLiteral("Write the lines here instead of stdout."), QStringLiteral("FILE")),
      m_locale(QStringLiteral("locale"),
               QStringLiteral("Locale of verbose lines and Tau texts (default: the sidecar's)."),
               QStringLiteral("NAME")),
      m_histogram(QStringLiteral("histogram"),
                  QStringLiteral("Also write the histogram of the time differences as CSV."),
                  QStringLiteral("FILE.csv")),
      m_binWidth(QStringLiteral("bin-width"), QStringLiteral("Histogram bin width in ps (default 10)."),
                 QStringLiteral("PS"))
{
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The raw data file."));
    parser.addOptions({m_sidecar, m_calA, m_calB, m_tau, m_verbose, m_output, m_locale, m_histogram, m_binWidth});
}

std::optional<ReplayOptions::Settings> ReplayOptions::read(const QCommandLineParser& p, QString* problem) const
{
    const auto fail = [problem](const QString& text) {
        *problem = text;
        return std::nullopt;
    };
    Settings s;
    if (p.positionalArguments().size() != 1)
        return fail(QStringLiteral("give exactly one raw data file"));
    s.input = p.positionalArguments().constFirst();
    if (p.isSet(m_calA) && !(s.calA = readingPair(p.value(m_calA))))
        return fail(QStringLiteral("--cal-a takes two readings 0..4095: LOW,HIGH"));
    if (p.isSet(m_calB) && !(s.calB = readingPair(p.value(m_calB))))
        return fail(QStringLiteral("--cal-b takes two readings 0..4095: LOW,HIGH"));
    if (p.isSet(m_tau) && !(s.tau = tauPair(p.value(m_tau))))
        return fail(QStringLiteral("--tau takes two positive times in ns with a decimal point: A,B"));
    if (p.isSet(m_binWidth)) {
        bool ok = false;
        s.binWidth = QLocale::c().toDouble(p.value(m_binWidth), &ok);
        if (!ok || !(s.binWidth > 0))
            return fail(QStringLiteral("--bin-width takes a positive number of ps"));
    }
    const auto given = [&p](const QCommandLineOption& o) {
        return p.isSet(o) ? std::optional(p.value(o)) : std::nullopt;
    };
    s.sidecar = given(m_sidecar);
    s.verbose = p.isSet(m_verbose);
    s.output = given(m_output);
    s.locale = given(m_locale);
    s.histogram = given(m_histogram);
    return s;
}

std::optional<ReplayOptions::ReadingPair> ReplayOptions::readingPair(const QString& text)
{
    const QStringList parts = text.split(u',');
    if (parts.size() != 2)
        return std::nullopt;
    for (const QString& part : parts) {
        bool ok = false;
        const int v = part.trimmed().toInt(&ok);
        if (!ok || v < 0 || v > 4095)
            return std::nullopt;
    }
    return ReadingPair{parts[0].trimmed().toInt(), parts[1].trimmed().toInt()};
}

std::optional<ReplayOptions::TextPair> ReplayOptions::tauPair(const QString& text)
{
    const QStringList parts = text.split(u',');
    if (parts.size() != 2)
        return std::nullopt;
    for (const QString& part : parts) {
        bool ok = false;
        const double v = QLocale::c().toDouble(part.trimmed(), &ok);
        if (!ok || !(v > 0))
            return std::nullopt;
    }
    return TextPair{parts[0].trimmed(), parts[1].trimmed()};
}
