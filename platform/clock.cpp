/// @brief The machine's clocks behind the Clock seam.
#include "platform/clock.h"

#include "platform/qttimer.h"

#include <chrono>

double SystemClock::monotonicSeconds() const
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

QDateTime SystemClock::localNow() const { return QDateTime::currentDateTime(); }

std::unique_ptr<Timer> SystemClock::makeTimer(QObject* parent) const { return std::make_unique<QtTimer>(parent); }
