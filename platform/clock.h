/// @brief Time as the panel needs it: a monotonic clock for silence tests and the local wall clock for file names.
#pragma once

#include <QDateTime>

class Clock {
public:
    virtual ~Clock() = default;
    /// Seconds on a clock that never jumps (no midnight, no daylight saving).
    virtual double monotonicSeconds() const = 0;
    /// The local date and time, for data file names and update gates.
    virtual QDateTime localNow() const = 0;
};

class SystemClock final : public Clock {
public:
    double monotonicSeconds() const override;
    QDateTime localNow() const override;
};
