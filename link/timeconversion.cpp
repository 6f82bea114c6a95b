/// @brief The time conversion shared by the decoder, the simulator and the replay tools.
#include "link/timeconversion.h"

#include <cmath>

namespace timeconv {

ChannelTime channelTime(double tau, double reading, double low, double high)
{
    const double span = high - low;
    if (span == 0)
        return {0, Fault::DivisionByZero};
    const double arg = 1.0 - (reading - low) / span;
    if (!(arg > 0))
        return {0, Fault::InvalidLog};
    return {-tau * std::log(arg), Fault::None};
}

double rawDifference(double tA, double tB, int offset) { return ((tB + 10.0 * offset) - tA) * (-1000.0); }

Difference timeDifference(double tA, double tB, int offset)
{
    const double r = std::nearbyint(rawDifference(tA, tB, offset));
    if (!(r >= -2147483648.0 && r <= 2147483647.0))
        return {0, Fault::Overflow};
    return {qint32(r), Fault::None};
}

} // namespace timeconv
