/// @brief Reading -> time on one channel's exponential ramp, and the time difference of a record.
#pragma once

#include <QtGlobal>
#include <optional>

// The rounding in timeDifference relies on IEEE arithmetic that value-changing optimisations
// would fold away.
#if defined(__FAST_MATH__)
#error "timeconversion needs strict IEEE floating point; build without -ffast-math"
#endif

namespace timeconv {

enum class Fault { None, DivisionByZero, InvalidLog, Overflow };

struct ChannelTime {
    double ns = 0;
    Fault fault = Fault::None;
};

/// t = -tau * ln(1 - (reading - low) / (high - low)), in the unit of tau (ns).
ChannelTime channelTime(double tau, double reading, double low, double high);

struct Difference {
    qint32 ps = 0;
    Fault fault = Fault::None;
};

/// The unrounded value of the same expression, for the simulator's ground truth.
inline double rawDifference(double tA, double tB, int offset) { return ((tB + 10.0 * offset) - tA) * (-1000.0); }

/// dt = ((tB + 10 * offset) - tA) * (-1000), evaluated in that order, rounded half to even
/// into a 32-bit integer; a value outside the 32-bit range is an overflow.
/// Inline because the decoder calls it once per record.
inline Difference timeDifference(double tA, double tB, int offset)
{
    const double raw = rawDifference(tA, tB, offset);
    // Beyond 2^51 in magnitude (or NaN) the result is an overflow however it rounds. Below it,
    // adding and taking away 1.5 * 2^52 rounds to a whole number in the current rounding mode,
    // as nearbyint does, without nearbyint's library call: the sum lies where doubles are
    // exactly the integers, and the subtraction is exact.
    if (!(raw > -0x1p51 && raw < 0x1p51))
        return {0, Fault::Overflow};
    constexpr double shifter = 0x1.8p52;
    const double r = (raw + shifter) - shifter;
    if (!(r >= -2147483648.0 && r <= 2147483647.0))
        return {0, Fault::Overflow};
    return {qint32(r), Fault::None};
}

} // namespace timeconv
