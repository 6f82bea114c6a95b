/// @brief Filling the per-channel time table, and the process-wide cache of filled tables.
#include "link/channeltimetable.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <functional>
#include <limits>
#include <mutex>
#include <unordered_map>

namespace {

// Bits, not values: 0.0 and -0.0 compare equal yet may convert differently, and NaN compares
// unequal to itself.
struct Key {
    std::uint64_t tau;
    std::uint64_t low;
    std::uint64_t high;
    bool operator==(const Key&) const = default;
};

struct KeyHash {
    std::size_t operator()(const Key& k) const
    {
        return std::hash<std::uint64_t>()(k.tau ^ (k.low * 0x9E3779B97F4A7C15u) ^ (k.high * 0xC2B2AE3D27D4EB4Fu));
    }
};

class TableCache {
public:
    std::shared_ptr<const ChannelTimeTable::Entries> table(double tau, double low, double high)
    {
        const Key key{std::bit_cast<std::uint64_t>(tau), std::bit_cast<std::uint64_t>(low),
                      std::bit_cast<std::uint64_t>(high)};
        {
            const std::lock_guard lock(m_mutex);
            if (const auto hit = m_slots.find(key); hit != m_slots.end()) {
                hit->second.lastUse = ++m_clock;
                return hit->second.entries;
            }
        }
        // Filled outside the lock: 4096 logarithms should not hold up another thread's hit.
        auto filled = std::make_shared<ChannelTimeTable::Entries>();
        for (std::size_t reading = 0; reading < std::size_t(ChannelTimeTable::Size); ++reading) {
            const timeconv::ChannelTime t = timeconv::channelTime(tau, double(reading), low, high);
            filled->exact[reading] = t;
            filled->timeOrNaN[reading] = t.fault == timeconv::Fault::None ? t.ns
                                                                          : std::numeric_limits<double>::quiet_NaN();
        }

        const std::lock_guard lock(m_mutex);
        ++m_filled;
        if (const auto raced = m_slots.find(key); raced != m_slots.end()) {
            raced->second.lastUse = ++m_clock;
            return raced->second.entries;
        }
        while (m_slots.size() >= m_capacity)
            evictOldest();
        return m_slots.emplace(key, Slot{std::move(filled), ++m_clock}).first->second.entries;
    }

    void setCapacity(int tables)
    {
        const std::lock_guard lock(m_mutex);
        m_capacity = std::size_t(std::max(tables, 1));
        while (m_slots.size() > m_capacity)
            evictOldest();
    }

    quint64 filled()
    {
        const std::lock_guard lock(m_mutex);
        return m_filled;
    }

private:
    struct Slot {
        std::shared_ptr<const ChannelTimeTable::Entries> entries;
        quint64 lastUse;
    };

    // Linear, but only on a miss, which costs thousands of logarithms anyway.
    void evictOldest()
    {
        const auto oldest = std::min_element(m_slots.begin(), m_slots.end(), [](const auto& a, const auto& b) {
            return a.second.lastUse < b.second.lastUse;
        });
        m_slots.erase(oldest);
    }

    std::mutex m_mutex;
    std::unordered_map<Key, Slot, KeyHash> m_slots;
    // A calibration needs two tables; a few recent calibrations come back after a recalibration.
    std::size_t m_capacity = 8;
    quint64 m_clock = 0;
    quint64 m_filled = 0;
};

// Shared read-only data, never reset: every entry is a pure function of its key.
TableCache& cache()
{
    static TableCache instance;
    return instance;
}

const std::shared_ptr<const ChannelTimeTable::Entries>& zeroTable()
{
    static const auto zeros = std::make_shared<const ChannelTimeTable::Entries>(ChannelTimeTable::Entries{});
    return zeros;
}

} // namespace

ChannelTimeTable::ChannelTimeTable() : m_entries(zeroTable()) {}

void ChannelTimeTable::build(double tau, double low, double high) { m_entries = cache().table(tau, low, high); }

void ChannelTimeTable::setCacheCapacity(int tables) { cache().setCapacity(tables); }

quint64 ChannelTimeTable::tablesFilled() { return cache().filled(); }
