/// @brief Filling the per-channel time table.
#include "link/channeltimetable.h"

ChannelTimeTable::ChannelTimeTable() : m_entries(Size) {}

void ChannelTimeTable::build(double tau, double low, double high)
{
    for (int reading = 0; reading < Size; ++reading)
        m_entries[std::size_t(reading)] = timeconv::channelTime(tau, reading, low, high);
}
