/// @brief Timer on QTimer.
#pragma once

#include "platform/timer.h"

#include <QTimer>

class QtTimer final : public Timer {
    Q_OBJECT
public:
    explicit QtTimer(QObject* parent = nullptr);
    void setInterval(int ms) override { m_timer.setInterval(ms); }
    int interval() const override { return m_timer.interval(); }
    void setSingleShot(bool singleShot) override { m_timer.setSingleShot(singleShot); }
    void start() override { m_timer.start(); }
    void stop() override { m_timer.stop(); }
    bool isActive() const override { return m_timer.isActive(); }
    /// The simulator's record stream needs millisecond ticks; the panel's timers keep Qt's default.
    void setPrecise(bool precise) { m_timer.setTimerType(precise ? Qt::PreciseTimer : Qt::CoarseTimer); }

private:
    QTimer m_timer;
};
