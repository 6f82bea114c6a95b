/// @brief The simulator's own reading -> time conversion, written from the formula: the reference for the panel's.
#pragma once

#include <QtGlobal>

/// What a panel makes of two readings and a coarse offset, computed without the panel's code.
///
/// Each channel's stop signal samples a ramp that rises from the low calibration level towards
/// the high one as 1 - exp(-t / tau): a reading that has covered the fraction
/// (reading - low) / (high - low) of the span lies t = -tau * ln(1 - that fraction) after the
/// ramp's start. B's stop counts its coarse clock periods (10 ns each) on top of its ramp time,
/// and the panel shows A's time less B's in whole picoseconds, halves to the even one, as a
/// 32-bit integer.
///
/// The records are integers, so the last bit of a time matters wherever the difference lies
/// close to a half: the arithmetic below is the panel's, term for term in doubles (the span, the
/// fraction covered, what is left of it, its logarithm), and an algebraically equal rearrangement
/// such as tau * ln(span / (high - reading)) would move some pairs across a half. The rest (the
/// faults, the sign, the scale, the rounding, the 32-bit range) is derived here independently.
class ConversionOracle {
public:
    /// Why a panel shows no value; it reports the first fault of a record and stops decoding there.
    enum class Fault { None, DivisionByZero, InvalidLog, Overflow };

    /// One channel's ramp: tau in ns, and the readings at the low and the high calibration level.
    struct Ramp {
        double tauNs = 0;
        double low = 0;
        double high = 0;
    };

    struct Time {
        double ns = 0;
        Fault fault = Fault::None;
    };

    struct Represented {
        qint32 ps = 0;
        Fault fault = Fault::None;
    };

    static constexpr double CoarseStepNs = 10.0;

    /// The time of a reading on its ramp. No span is a division by zero; a reading at or beyond
    /// the high level (where the ramp never arrives) has no logarithm.
    static Time timeOf(const Ramp& ramp, double reading);
    /// A's time less B's, B's counted `offset` coarse periods late, in ps; A's fault before B's.
    static Represented represented(const Time& a, const Time& b, int offset);
    /// To the nearest whole number, halves to the even one; outside the 32-bit range (or NaN) an overflow.
    static Represented roundToPs(double ps);
};
