/// @brief The reference conversion in plain double arithmetic, without tables and without the decoder's code.
#include "sim/conversionoracle.h"

#include <cmath>

ConversionOracle::Time ConversionOracle::timeOf(const Ramp& ramp, double reading)
{
    const double span = ramp.high - ramp.low;
    if (span == 0)
        return {0, Fault::DivisionByZero};
    const double covered = (reading - ramp.low) / span;
    const double left = 1.0 - covered;
    // Nothing (or less) left: the ramp never reaches this reading. NaN goes the same way.
    if (!(left > 0))
        return {0, Fault::InvalidLog};
    return {ramp.tauNs * -std::log(left), Fault::None};
}

ConversionOracle::Represented ConversionOracle::represented(const Time& a, const Time& b, int offset)
{
    if (a.fault != Fault::None)
        return {0, a.fault};
    if (b.fault != Fault::None)
        return {0, b.fault};
    const double stopB = b.ns + CoarseStepNs * offset;
    return roundToPs((a.ns - stopB) * 1000.0);
}

ConversionOracle::Represented ConversionOracle::roundToPs(double ps)
{
    if (!std::isfinite(ps))
        return {0, Fault::Overflow};
    // Rounded by magnitude, where taking the whole part away is exact (for magnitudes from 1 up
    // the two are within a factor of two; below 1 the whole part is 0); the sign comes back after.
    const double magnitude = std::fabs(ps);
    const double whole = std::floor(magnitude);
    const double fraction = magnitude - whole;
    double rounded = whole;
    if (fraction > 0.5 || (fraction == 0.5 && std::fmod(whole, 2.0) != 0))
        rounded = whole + 1;
    if (ps < 0)
        rounded = -rounded;
    if (!(rounded >= -2147483648.0 && rounded <= 2147483647.0))
        return {0, Fault::Overflow};
    return {qint32(rounded), Fault::None};
}
