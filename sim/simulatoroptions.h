/// @brief The simulator executable's command line: options declared on a parser and read into a configuration.
#pragma once

#include "sim/faultschedule.h"
#include "sim/simulatorconfig.h"

#include <QCommandLineOption>
#include <QList>

class QCommandLineParser;

class SimulatorOptions {
public:
    /// Declares every option on the parser; call read() after the parser has processed the arguments.
    explicit SimulatorOptions(QCommandLineParser& parser);

    /// False with a reason when a value is malformed or out of range.
    bool read(const QCommandLineParser& parser, QString* error);

    const SimulatorConfig& config() const { return m_config; }
    quint16 port() const { return m_port; }
    /// 0: run until killed.
    double durationSeconds() const { return m_duration; }
    bool printStats() const { return m_stats; }
    const FaultSchedule& faults() const { return m_faults; }

private:
    QCommandLineOption m_portOption;
    QCommandLineOption m_rate;
    QCommandLineOption m_seed;
    QCommandLineOption m_groundTruth;
    QCommandLineOption m_noise;
    QCommandLineOption m_peak;
    QCommandLineOption m_width;
    QCommandLineOption m_background;
    QCommandLineOption m_backgroundSpan;
    QCommandLineOption m_overrange;
    QCommandLineOption m_unusedBits;
    QCommandLineOption m_calLow;
    QCommandLineOption m_calHigh;
    QCommandLineOption m_tau;
    QCommandLineOption m_fpgaVersion;
    QCommandLineOption m_moduleVersion;
    QCommandLineOption m_splitGap;
    QCommandLineOption m_fault;
    QCommandLineOption m_durationOption;
    QCommandLineOption m_statsOption;
    QCommandLineOption m_blast;
    QCommandLineOption m_blastRing;

    SimulatorConfig m_config;
    quint16 m_port = SimulatorConfig::DefaultPort;
    double m_duration = 0;
    bool m_stats = false;
    FaultSchedule m_faults;
};
