/// @brief Reading -> time on one channel's exponential ramp, and the time difference of a record.
#pragma once

#include <QtGlobal>
#include <optional>

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

/// dt = ((tB + 10 * offset) - tA) * (-1000), evaluated in that order, rounded half to even
/// into a 32-bit integer; a value outside the 32-bit range is an overflow.
Difference timeDifference(double tA, double tB, int offset);

/// The unrounded value of the same expression, for the simulator's ground truth.
double rawDifference(double tA, double tB, int offset);

} // namespace timeconv
