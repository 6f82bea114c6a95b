/// @brief The physics behind the coincidence stream: true time differences turned into 7-byte records.
#pragma once

#include "link/protocol.h"
#include "sim/simulatorconfig.h"

#include <QByteArray>
#include <QtGlobal>
#include <array>
#include <random>
#include <vector>

struct GeneratedRecord {
    std::array<quint8, protocol::RecordLength> bytes{};
    double trueDtPs = 0;      ///< the drawn time difference, before 12-bit quantisation
    qint32 representedPs = 0; ///< what a panel holding our calibration readings computes from the bytes
};

/// Draws a time difference, places it on the two ramps with a coarse offset, and quantises the two
/// times into readings, so that the records carry the drawn distribution up to the quantisation.
/// The conversion is inverted with the same calibration readings the panel captured from us, and the
/// represented value comes from the simulator's own conversion (ConversionOracle), not the panel's
/// code: a panel that converts wrongly disagrees with it.
class RecordGenerator {
public:
    struct Calibration {
        int lowA = 0;
        int highA = 0;
        int lowB = 0;
        int highB = 0;
        bool operator==(const Calibration&) const = default;
    };

    /// Readings outside this band are dropped by the panel as implausible.
    static constexpr int MinReading = 651;
    static constexpr int MaxReading = 2349;
    static constexpr int MaxOffset = 255;

    explicit RecordGenerator(const SimulatorConfig& config);

    /// The low and high readings the panel holds; rebuilds the reading tables when they change.
    void setCalibration(const Calibration& calibration);
    Calibration calibration() const { return m_calibration; }
    double tauANs() const { return m_a.tau; }
    double tauBNs() const { return m_b.tau; }
    /// False when the calibration leaves no plausible reading on a channel.
    bool canGenerate() const { return m_a.valid() && m_b.valid(); }

    GeneratedRecord next();
    /// Appends count records' bytes to out and, when given, the records themselves.
    void generate(int count, QByteArray& out, std::vector<GeneratedRecord>* records);

    /// The representable span of time differences for this calibration, in ps.
    double minDifferencePs() const { return m_minDiffNs * 1000; }
    double maxDifferencePs() const { return m_maxDiffNs * 1000; }
    /// Largest distance between a true and a represented difference that quantisation alone explains, in ps.
    double quantisationBoundPs() const;

private:
    struct Channel {
        int low = 0;
        int high = 0;
        double tau = 0;
        int firstReading = 0;
        std::vector<double> times; ///< the time of each reading from firstReading on
        double maxStep = 0;
        /// A uniform grid over the times, each cell holding the last reading at or below its start:
        /// a lookup costs one multiplication instead of an exponential.
        std::vector<int> grid;
        double gridScale = 0;

        void build(int lowReading, int highReading);
        bool valid() const { return times.size() >= 2; }
        double tMin() const { return times.front(); }
        double tMax() const { return times.back(); }
        double timeOf(int reading) const { return times[size_t(reading - firstReading)]; }
        int nearestReading(double t) const;
    };

    double uniform01();
    double drawDifferencePs();
    void placeOnRamps(double diffNs, int& offset, double& tA, double& tB);

    SimulatorConfig m_config;
    Calibration m_calibration;
    Channel m_a;
    Channel m_b;
    double m_minDiffNs = 0;
    double m_maxDiffNs = 0;
    std::mt19937_64 m_rng;
    std::normal_distribution<double> m_normal{0.0, 1.0};
};
