/// @brief The simulator's active faults, each bounded by a deadline or a count so that none outlives its test.
#pragma once

#include "platform/clock.h"

#include <QtGlobal>
#include <cmath>

/// Deadlines are read on the simulator's clock, so that a fake clock ends a silence exactly when
/// the test has moved it far enough.
class FaultState {
public:
    enum class RefuseMode {
        CloseAccepted, ///< the connect succeeds and the socket is closed at once
        StopListening  ///< the port is closed, so the connect itself is refused
    };

    explicit FaultState(const Clock& clock) : m_clock(&clock) {}

    void silence(int durationMs) { m_silentUntil = deadline(durationMs); }
    void stall(int durationMs) { m_stallUntil = deadline(durationMs); }
    void split(int durationMs) { m_splitUntil = deadline(durationMs); }
    void refuse(int durationMs, RefuseMode mode)
    {
        m_refuseUntil = deadline(durationMs);
        m_refuseMode = mode;
    }
    void dropHeartbeats(int count) { m_heartbeatsToDrop = count > 0 ? count : 0; }
    void clear() { *this = FaultState(*m_clock); }

    bool silent() const { return pending(m_silentUntil); }
    bool stalled() const { return pending(m_stallUntil); }
    bool splitting() const { return pending(m_splitUntil); }
    bool refusing() const { return pending(m_refuseUntil); }
    RefuseMode refuseMode() const { return m_refuseMode; }
    qint64 refuseRemainingMs() const
    {
        return refusing() ? qint64(std::ceil((m_refuseUntil - m_clock->monotonicSeconds()) * 1000)) : 0;
    }
    /// True when this heartbeat is one of those to go unanswered; counts it off.
    bool takeHeartbeatDrop()
    {
        if (m_heartbeatsToDrop <= 0)
            return false;
        --m_heartbeatsToDrop;
        return true;
    }
    int heartbeatsToDrop() const { return m_heartbeatsToDrop; }

private:
    // Every fault starts off: a deadline of minus infinity has passed.
    double deadline(int durationMs) const
    {
        return durationMs > 0 ? m_clock->monotonicSeconds() + durationMs / 1000.0 : -INFINITY;
    }
    bool pending(double until) const { return m_clock->monotonicSeconds() < until; }

    const Clock* m_clock;
    double m_silentUntil = -INFINITY;
    double m_stallUntil = -INFINITY;
    double m_splitUntil = -INFINITY;
    double m_refuseUntil = -INFINITY;
    RefuseMode m_refuseMode = RefuseMode::CloseAccepted;
    int m_heartbeatsToDrop = 0;
};
