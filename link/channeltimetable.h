/// @brief One channel's reading -> time conversion, precomputed for every 12-bit reading.
#pragma once

#include "link/timeconversion.h"

#include <array>
#include <cstddef>
#include <memory>

/// Holds timeconv::channelTime(tau, reading, low, high) for readings 0..4095. The entries come
/// from that very function with the same arguments, so a lookup is bit-identical to computing
/// it afresh; the table only saves the logarithm per record.
///
/// Filled tables are immutable and shared: build() hands out the table already made for the
/// same three arguments (compared bit for bit) if a recent one is still kept, so a decoder
/// that is created again, or a calibration that comes back, costs no logarithms. The kept
/// tables are bounded by a capacity, least recently built first out; a table in use stays
/// valid when it is dropped from the cache.
class ChannelTimeTable {
public:
    static constexpr int Size = 4096;
    struct Entries {
        std::array<timeconv::ChannelTime, Size> exact;
        /// The same times, NaN where the entry has a fault: half the size, so that the entries a
        /// stream of records touches stay in the cache, and a fault shows in the difference as the
        /// NaN it makes, without a test per reading.
        std::array<double, Size> timeOrNaN;
    };

    /// Every entry zero until build().
    ChannelTimeTable();

    void build(double tau, double low, double high);
    /// reading must lie in 0..4095.
    const timeconv::ChannelTime& at(int reading) const { return m_entries->exact[std::size_t(reading)]; }
    /// at(reading).ns, or NaN where at(reading) has a fault.
    double timeOrNaN(int reading) const { return m_entries->timeOrNaN[std::size_t(reading)]; }
    /// timeOrNaN for every reading, valid until the next build().
    const double* timesOrNaN() const { return m_entries->timeOrNaN.data(); }

    /// How many filled tables the process keeps for reuse (64 KiB each); at least 1. Fuzzing
    /// raises it to hold every calibration its inputs can name.
    static void setCacheCapacity(int tables);
    /// Tables filled (each one a cache miss) since the process started.
    static quint64 tablesFilled();

private:
    std::shared_ptr<const Entries> m_entries;
};
