/// @brief One channel's reading -> time conversion, precomputed for every 12-bit reading.
#pragma once

#include "link/timeconversion.h"

#include <vector>

/// Holds timeconv::channelTime(tau, reading, low, high) for readings 0..4095. The entries come
/// from that very function with the same arguments, so a lookup is bit-identical to computing
/// it afresh; the table only saves the logarithm per record.
class ChannelTimeTable {
public:
    static constexpr int Size = 4096;

    ChannelTimeTable();

    void build(double tau, double low, double high);
    /// reading must lie in 0..4095.
    const timeconv::ChannelTime& at(int reading) const { return m_entries[std::size_t(reading)]; }

private:
    std::vector<timeconv::ChannelTime> m_entries;
};
