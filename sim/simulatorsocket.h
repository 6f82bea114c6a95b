/// @brief The Socket seam backed by an InstrumentSimulator in this process: no TCP, and time only as the clock gives
/// it.
#pragma once

#include "platform/socket.h"
#include "sim/instrumentsimulator.h"

#include <QPointer>
#include <deque>
#include <memory>

class Clock;
class Timer;

/// Bytes cross in both directions on the clock's timers: every send and every write of the
/// simulator is handed over by a timer of no delay, so neither side is ever called back from
/// inside its own call. With a FakeClock nothing moves until the test calls elapse(); what the
/// simulator writes as one piece arrives as one arrival, as a split reply over TCP would.
class SimulatorSocket final : public Socket, private InstrumentSimulator::Peer {
    Q_OBJECT
public:
    /// Both must outlive the socket's use; the simulator may go first.
    SimulatorSocket(InstrumentSimulator& simulator, const Clock& clock, QObject* parent = nullptr);
    ~SimulatorSocket() override;

    /// Host and port are kept for the test to read; the simulator answers whatever they are.
    void connectToHost(const QString& host, quint16 port) override;
    void close() override;
    bool send(const QByteArray& bytes) override;
    int state() const override { return m_state; }

    QString lastHost() const { return m_host; }
    quint16 lastPort() const { return m_port; }

private:
    // The simulator's side.
    bool write(const QByteArray& bytes) override;
    qint64 bytesToWrite() const override { return m_inboundBytes; }
    void flush() override {}
    void abort() override;

    void schedule();
    void pump();
    void reset();

    QPointer<InstrumentSimulator> m_simulator;
    std::unique_ptr<Timer> m_pump;
    int m_state = Closed;
    bool m_connectPending = false;
    bool m_attached = false;
    QString m_host;
    quint16 m_port = 0;
    std::deque<QByteArray> m_outbound; ///< commands on their way to the simulator
    std::deque<QByteArray> m_inbound;  ///< the simulator's writes on their way to us
    qint64 m_inboundBytes = 0;
};
