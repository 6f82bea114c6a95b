/// @brief Calibration sequence: step order, bounded waits on the monotonic clock, clean-up on every way out.
#include "control/calibrationsequence.h"

#include "link/commands.h"

#include "control/calibrationmodel.h"
#include "platform/clock.h"

#include <algorithm>
#include <cmath>

CalibrationSequence::CalibrationSequence(CalibrationModel& model, const Clock& clock, SendFunction send,
                                         KeepAliveFunction keepAlive, QObject* parent)
    : QObject(parent), m_model(model), m_clock(clock), m_send(std::move(send)), m_keepAlive(std::move(keepAlive))
{
    m_wait = clock.makeTimer();
    m_wait->setSingleShot(true);
    connect(m_wait.get(), &Timer::timeout, this, &CalibrationSequence::waitElapsed);
    connect(&m_model, &CalibrationModel::cellChanged, this, &CalibrationSequence::onCellChanged);
}

bool CalibrationSequence::send(const QByteArray& bytes) { return m_send && m_send(bytes); }

bool CalibrationSequence::start()
{
    if (isRunning())
        return false;

    const quint64 serial = ++m_serial;
    m_step = Step::Settle;
    emit busyChanged(true);
    if (m_keepAlive)
        m_keepAlive(false);
    emit logAsideBegin(Header);
    m_model.voidCells();
    send(commands::runOff());
    if (serial != m_serial || m_step != Step::Settle)
        return true; // ended from inside one of the calls above
    // A zero timer lets the events already queued (a late record, a key) run once before the
    // low level goes out, without nesting an event loop here.
    m_wait->start(0);
    return true;
}

void CalibrationSequence::waitElapsed()
{
    m_wait->stop();
    switch (m_step) {
    case Step::Idle:
    case Step::Ending:
        return;
    case Step::Settle:
        enterLevel(Step::Low);
        return;
    case Step::Low:
    case Step::High:
        break;
    }

    // Nothing can answer a level that never left, so its wait is skipped.
    if (m_levelSent && !levelComplete() && !levelTimeUp()) {
        armWait();
        return;
    }
    if (m_step == Step::Low) {
        enterLevel(Step::High);
        return;
    }
    m_step = Step::Ending;
    wrapUp();
    m_step = Step::Idle;
    emit finished();
}

void CalibrationSequence::abort()
{
    if (m_step == Step::Idle || m_step == Step::Ending)
        return;
    ++m_serial;
    m_step = Step::Ending;
    wrapUp();
    m_step = Step::Idle;
    emit aborted();
}

void CalibrationSequence::enterLevel(Step level)
{
    const quint64 serial = m_serial;
    m_step = level;
    m_model.setPhaseText(level == Step::Low ? QStringLiteral("1") : QStringLiteral("2"));
    const bool sent = send(level == Step::Low ? commands::calibrationLow() : commands::calibrationHigh());
    if (serial != m_serial || m_step != level)
        return;
    m_levelSent = sent;
    m_levelStart = m_clock.monotonicSeconds();
    if (!sent || levelComplete())
        m_wait->start(0);
    else
        armWait();
}

void CalibrationSequence::onCellChanged()
{
    // The step moves on from the timer, not from inside the decoder's call: the rest of the
    // arrival that filled the cell is still decoded under the phase it was sent for.
    if ((m_step == Step::Low || m_step == Step::High) && levelComplete())
        m_wait->start(0);
}

void CalibrationSequence::wrapUp()
{
    m_wait->stop();
    m_model.setPhaseText(QStringLiteral("0"));
    send(commands::calibrationOff());
    emit logAsideEnd(Closing);
    emit busyChanged(false);
    if (m_keepAlive)
        m_keepAlive(true);
}

void CalibrationSequence::armWait()
{
    const double left = m_levelStart + m_levelWaitMs / 1000.0 - m_clock.monotonicSeconds();
    // Timers may fire a little early; the handler checks the clock and re-arms for the rest.
    m_wait->start(std::max(0, int(std::ceil(left * 1000.0))));
}

bool CalibrationSequence::levelComplete() const
{
    const auto filled = [this](CalibrationModel::Cell c) { return m_model.cell(c) != CalibrationModel::Unknown; };
    if (m_step == Step::Low)
        return filled(CalibrationModel::ALow) && filled(CalibrationModel::BLow);
    return filled(CalibrationModel::AHigh) && filled(CalibrationModel::BHigh);
}

bool CalibrationSequence::levelTimeUp() const
{
    return m_clock.monotonicSeconds() - m_levelStart >= m_levelWaitMs / 1000.0;
}
