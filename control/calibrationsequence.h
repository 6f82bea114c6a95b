/// @brief The calibration run as a state machine: run off, low level, high level, calibration off, with bounded waits
/// for the replies.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include "platform/timer.h"
#include <functional>
#include <memory>

class CalibrationModel;
class Clock;

/// Drives one calibration at a time without blocking the event loop: the waits for the
/// ADC replies are a timer plus the model's cellChanged signal, so the reply decoder keeps
/// running (and filling the cells) while a sequence is under way.
///
/// Decisions the protocol leaves open:
/// - A start() while a sequence runs is ignored (returns false, logs nothing). The running
///   sequence ends within two level waits, and its finished() serves whoever asked second
///   (the connect handling sends "V" on finished()).
/// - Without a connection the sequence still runs every step so that the operator sees the
///   same outcome as with a silent instrument: cells "???", Run disabled, "Calibrating...Done.".
///   A level whose command could not be sent does not wait, since no reply can come to bytes
///   that never left; the sequence then ends on the next pass of the event loop.
class CalibrationSequence : public QObject {
    Q_OBJECT
public:
    using SendFunction = std::function<bool(const QByteArray&)>;
    using KeepAliveFunction = std::function<void(bool enabled)>;

    /// Settle: run off sent, letting pending events run once. Ending: calibration off and clean-up.
    enum class Step { Idle, Settle, Low, High, Ending };

    static constexpr int DefaultLevelWaitMs = 2000;
    static inline const QString Header = QStringLiteral("Calibrating...");
    static inline const QString Closing = QStringLiteral("Done.");

    /// `send` writes one command in one piece and reports whether it went out;
    /// `keepAlive` stops and restarts the link's heartbeat (ConnectionManager::setKeepAliveEnabled).
    CalibrationSequence(CalibrationModel& model, const Clock& clock, SendFunction send, KeepAliveFunction keepAlive,
                        QObject* parent = nullptr);

    /// What the window's Calibrate button asks for. Returns at once; the outcome is finished().
    /// False when a sequence was already running, in which case nothing changes.
    bool start();
    /// Ends a running sequence at once (shutdown, or a link torn down under it): phase "0",
    /// calibration off sent if possible, log aside closed, cursor and keep-alive restored,
    /// then aborted() instead of finished(). Does nothing when idle.
    void abort();

    bool isRunning() const { return m_step != Step::Idle; }
    Step step() const { return m_step; }

    /// Upper bound of each level wait, measured on the clock's monotonic seconds.
    void setLevelWaitMs(int ms) { m_levelWaitMs = ms; }
    int levelWaitMs() const { return m_levelWaitMs; }

    /// Handler of the wait timer, public so that tests can step the sequence without waiting.
    /// Safe to call at any time: it only moves on when the clock says the wait is over.
    void waitElapsed();
    Timer& waitTimer() { return *m_wait; }

signals:
    /// True at the start (busy cursor on), false at the end.
    void busyChanged(bool busy);
    /// The log shows only `header` and keeps its earlier lines aside (MessageLog::beginAside).
    void logAsideBegin(const QString& header);
    /// The log gets `closing` after the header and the earlier lines back (MessageLog::endAside).
    void logAsideEnd(const QString& closing);
    /// The sequence has ended normally: phase "0", keep-alive running again.
    void finished();
    /// The sequence was cut short by abort().
    void aborted();

private:
    void enterLevel(Step level);
    void onCellChanged();
    void wrapUp();
    void armWait();
    bool send(const QByteArray& bytes);
    bool levelComplete() const;
    bool levelTimeUp() const;

    CalibrationModel& m_model;
    const Clock& m_clock;
    SendFunction m_send;
    KeepAliveFunction m_keepAlive;
    std::unique_ptr<Timer> m_wait;
    Step m_step = Step::Idle;
    double m_levelStart = 0;
    bool m_levelSent = false;
    int m_levelWaitMs = DefaultLevelWaitMs;
    // Bumped by every start, so that a step resumed after a reentrant send can tell that
    // its sequence has been ended or replaced meanwhile.
    quint64 m_serial = 0;
};
