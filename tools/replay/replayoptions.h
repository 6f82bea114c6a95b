/// @brief ReplayOptions: tallyscope-replay's command-line options and their checks.
#pragma once

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>
#include <optional>
#include <utility>

class ReplayOptions {
public:
    using ReadingPair = std::pair<int, int>;
    using TextPair = std::pair<QString, QString>;
    struct Settings {
        QString input;
        /// None: the sidecar beside the input, when there is one.
        std::optional<QString> sidecar;
        std::optional<ReadingPair> calA;
        std::optional<ReadingPair> calB;
        /// Texts: read, like the panel's Tau fields, in the replay's locale once it is known.
        std::optional<TextPair> tau;
        bool verbose = false;
        /// None: stdout.
        std::optional<QString> output;
        /// None: the sidecar's.
        std::optional<QString> locale;
        std::optional<QString> histogram;
        double binWidth = 10;
    };

    /// Adds the options and the FILE argument to `parser`.
    explicit ReplayOptions(QCommandLineParser& parser);

    /// The settings, or nothing with the problem in one line.
    std::optional<Settings> read(const QCommandLineParser& parser, QString* problem) const;

    /// "LOW,HIGH": two whole readings 0..4095.
    static std::optional<ReadingPair> readingPair(const QString& text);
    /// "A,B": two time constants in ns with a decimal point.
    static std::optional<TextPair> tauPair(const QString& text);

private:
    QCommandLineOption m_sidecar;
    QCommandLineOption m_calA;
    QCommandLineOption m_calB;
    QCommandLineOption m_tau;
    QCommandLineOption m_verbose;
    QCommandLineOption m_output;
    QCommandLineOption m_locale;
    QCommandLineOption m_histogram;
    QCommandLineOption m_binWidth;
};
