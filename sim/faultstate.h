/// @brief The simulator's active faults, each bounded by a deadline or a count so that none outlives its test.
#pragma once

#include <QDeadlineTimer>

class FaultState {
public:
    enum class RefuseMode {
        CloseAccepted, ///< the connect succeeds and the socket is closed at once
        StopListening  ///< the port is closed, so the connect itself is refused
    };

    void silence(int durationMs) { m_silent = deadline(durationMs); }
    void stall(int durationMs) { m_stall = deadline(durationMs); }
    void split(int durationMs) { m_split = deadline(durationMs); }
    void refuse(int durationMs, RefuseMode mode)
    {
        m_refuse = deadline(durationMs);
        m_refuseMode = mode;
    }
    void dropHeartbeats(int count) { m_heartbeatsToDrop = count > 0 ? count : 0; }
    void clear() { *this = FaultState{}; }

    bool silent() const { return !m_silent.hasExpired(); }
    bool stalled() const { return !m_stall.hasExpired(); }
    bool splitting() const { return !m_split.hasExpired(); }
    bool refusing() const { return !m_refuse.hasExpired(); }
    RefuseMode refuseMode() const { return m_refuseMode; }
    qint64 refuseRemainingMs() const { return m_refuse.remainingTime(); }
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
    // A default QDeadlineTimer has already expired: every fault starts off.
    static QDeadlineTimer deadline(int durationMs)
    {
        return durationMs > 0 ? QDeadlineTimer(durationMs, Qt::PreciseTimer) : QDeadlineTimer();
    }

    QDeadlineTimer m_silent;
    QDeadlineTimer m_stall;
    QDeadlineTimer m_split;
    QDeadlineTimer m_refuse;
    RefuseMode m_refuseMode = RefuseMode::CloseAccepted;
    int m_heartbeatsToDrop = 0;
};
