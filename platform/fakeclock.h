/// @brief The Clock seam's fake: time moves only when a test moves it, and the timers made by it fire on that time.
#pragma once

#include "platform/clock.h"

#include <QtGlobal>
#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

class FakeClock final : public Clock {
    class FakeTimer;
    struct Schedule {
        const double* seconds = nullptr; ///< null once the clock is gone
        std::vector<FakeTimer*> timers;
        quint64 nextOrder = 0;
    };

    class FakeTimer final : public Timer {
    public:
        FakeTimer(std::shared_ptr<Schedule> schedule, QObject* parent) : Timer(parent), m_schedule(std::move(schedule))
        {
            m_schedule->timers.push_back(this);
        }
        ~FakeTimer() override { std::erase(m_schedule->timers, this); }
        void setInterval(int ms) override { m_interval = std::max(0, ms); }
        int interval() const override { return m_interval; }
        void setSingleShot(bool singleShot) override { m_singleShot = singleShot; }
        void start() override
        {
            if (!m_schedule->seconds)
                return;
            m_active = true;
            m_due = *m_schedule->seconds + m_interval / 1000.0;
            m_order = m_schedule->nextOrder++;
        }
        void stop() override { m_active = false; }
        bool isActive() const override { return m_active; }

        bool m_active = false;
        bool m_singleShot = false;
        int m_interval = 0;
        double m_due = 0;
        quint64 m_order = 0;

    private:
        std::shared_ptr<Schedule> m_schedule;
    };

public:
    FakeClock() { m_schedule->seconds = &seconds; }
    ~FakeClock() override { m_schedule->seconds = nullptr; }
    /// A copy reads the same time; the timers stay with the clock that made them.
    FakeClock(const FakeClock& other) : FakeClock() { *this = other; }
    FakeClock& operator=(const FakeClock& other)
    {
        seconds = other.seconds;
        now = other.now;
        return *this;
    }

    double monotonicSeconds() const override { return seconds; }
    QDateTime localNow() const override { return now; }
    std::unique_ptr<Timer> makeTimer(QObject* parent = nullptr) const override
    {
        return std::make_unique<FakeTimer>(m_schedule, parent);
    }

    /// Moves both clocks and fires nothing: for tests that call the timer handlers themselves.
    void advance(double s)
    {
        seconds += s;
        now = now.addMSecs(qint64(std::llround(s * 1000)));
    }

    /// Moves both clocks by `s`, firing every timer that falls due on the way at its own time,
    /// earliest first (timers due together in the order they were started). What a handler
    /// starts with no delay fires within the same call; elapse(0) fires only what is due now.
    /// Returns the number of timeouts fired.
    int elapse(double s)
    {
        const double end = seconds + std::max(0.0, s);
        int fired = 0;
        while (FakeTimer* next = nextDue(end)) {
            advance(std::max(0.0, next->m_due - seconds));
            if (next->m_singleShot)
                next->m_active = false;
            else
                next->m_due += std::max(1, next->m_interval) / 1000.0; // a 0 ms repeat waits a millisecond
            next->m_order = m_schedule->nextOrder++;
            ++fired;
            emit next->timeout(); // may destroy `next`
        }
        advance(std::max(0.0, end - seconds));
        return fired;
    }

    /// Active timers made by this clock.
    int activeTimers() const
    {
        return int(std::count_if(m_schedule->timers.begin(), m_schedule->timers.end(),
                                 [](const FakeTimer* t) { return t->m_active; }));
    }

    double seconds = 100.0;
    QDateTime now = QDateTime(QDate(2026, 12, 6), QTime(15, 5, 9));

private:
    FakeTimer* nextDue(double end) const
    {
        FakeTimer* best = nullptr;
        for (FakeTimer* t : m_schedule->timers) {
            // A microsecond of slack: sums of milliseconds in double seconds do not land exactly.
            if (!t->m_active || t->m_due > end + 1e-6)
                continue;
            if (!best || t->m_due < best->m_due - 1e-9
                || (std::abs(t->m_due - best->m_due) <= 1e-9 && t->m_order < best->m_order))
                best = t;
        }
        return best;
    }

    std::shared_ptr<Schedule> m_schedule = std::make_shared<Schedule>();
};
