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

} // namespace timeconv
