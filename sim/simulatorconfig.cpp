/// @brief Range checks for a simulator configuration.
#include "sim/simulatorconfig.h"

#include "link/protocol.h"

#include <cmath>

namespace {

bool isReading(int v) { return v >= 0 && v <= 4095; }

} // namespace

QString SimulatorConfig::validationError() const
{
    if (fpgaMinor > 15 || fpgaRevision > 15)
        return QStringLiteral("FPGA minor version and revision must be 0 to 15");
    if (verilogVersion > 4095)
        return QStringLiteral("Verilog version must fit 12 bits");
    if (!isReading(calLowA) || !isReading(calLowB) || !isReading(calHighA) || !isReading(calHighB))
        return QStringLiteral("calibration levels must be 0 to 4095");
    if (calNoise < 0 || calNoise > 100)
        return QStringLiteral("calibration noise must be 0 to 100 codes");
    // The record model inverts the ramp up to the top of the plausible band (2349), whatever the noise.
    if (calHighA - calNoise < protocol::PlausibleHigh || calHighB - calNoise < protocol::PlausibleHigh)
        return QStringLiteral("high calibration levels must stay above 2349 with noise");
    if (calLowA + calNoise >= calHighA - calNoise || calLowB + calNoise >= calHighB - calNoise)
        return QStringLiteral("low calibration levels must stay below the high ones with noise");
    if (!(tauANs > 0) || !(tauBNs > 0) || !std::isfinite(tauANs) || !std::isfinite(tauBNs))
        return QStringLiteral("time constants must be positive");
    if (!(recordsPerSecond > 0) || recordsPerSecond > 100e6)
        return QStringLiteral("record rate must be above 0 and at most 100,000,000 per second");
    if (!std::isfinite(peakPs) || !(peakWidthPs >= 0) || !std::isfinite(peakWidthPs))
        return QStringLiteral("peak position and width must be finite, the width not negative");
    if (!(backgroundFraction >= 0 && backgroundFraction <= 1) || !(overrangeFraction >= 0 && overrangeFraction <= 1))
        return QStringLiteral("fractions must be 0 to 1");
    if (!(backgroundSpanPs >= 0) || !std::isfinite(backgroundSpanPs))
        return QStringLiteral("background span must not be negative");
    if (maxQueuedBytes < 7 || splitGapMs < 0)
        return QStringLiteral("queue limit and split gap out of range");
    if (blastRingRecords < 1 || blastRingRecords > MaxBlastRingRecords)
        return QStringLiteral("blast ring must hold 1 to 16,777,216 records");
    return {};
}
