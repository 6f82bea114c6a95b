/// @brief Time as the panel needs it: a monotonic clock for silence tests, the local wall clock for file names, and the
/// timers that run on that time.
#pragma once

#include "platform/timer.h"

#include <QDateTime>
#include <memory>

class Clock {
public:
    virtual ~Clock() = default;
    /// Seconds on a clock that never jumps (no midnight, no daylight saving).
    virtual double monotonicSeconds() const = 0;
    /// The local date and time, for data file names and update gates.
    virtual QDateTime localNow() const = 0;
    /// A stopped, repeating timer on this clock's time. Timers come from the clock so that a
    /// reading of the clock and a timer's expiry can never disagree.
    virtual std::unique_ptr<Timer> makeTimer(QObject* parent = nullptr) const = 0;
};

class SystemClock final : public Clock {
public:
    double monotonicSeconds() const override;
    QDateTime localNow() const override;
    std::unique_ptr<Timer> makeTimer(QObject* parent = nullptr) const override;
};
