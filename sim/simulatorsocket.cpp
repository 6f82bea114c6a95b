/// @brief SimulatorSocket: connect, refusal, the two byte queues and the drop of a connection.
#include "sim/simulatorsocket.h"

#include "platform/clock.h"

#include <QAbstractSocket>

SimulatorSocket::SimulatorSocket(InstrumentSimulator& simulator, const Clock& clock, QObject* parent)
    : Socket(parent), m_simulator(&simulator), m_pump(clock.makeTimer())
{
    m_pump->setSingleShot(true);
    m_pump->setInterval(0);
    connect(m_pump.get(), &Timer::timeout, this, &SimulatorSocket::pump);
}

SimulatorSocket::~SimulatorSocket() { close(); }

void SimulatorSocket::connectToHost(const QString& host, quint16 port)
{
    if (m_state == Connected || m_state == Connecting)
        return;
    close();
    m_host = host;
    m_port = port;
    m_state = Connecting;
    m_connectPending = true;
    schedule();
}

void SimulatorSocket::close()
{
    if (m_attached && m_simulator)
        m_simulator->detach(*this);
    reset();
    m_state = Closed;
}

void SimulatorSocket::reset()
{
    m_attached = false;
    m_connectPending = false;
    m_outbound.clear();
    m_inbound.clear();
    m_inboundBytes = 0;
}

bool SimulatorSocket::send(const QByteArray& bytes)
{
    if (m_state != Connected)
        return false;
    m_outbound.push_back(bytes);
    schedule();
    return true;
}

bool SimulatorSocket::write(const QByteArray& bytes)
{
    if (!m_attached)
        return false;
    m_inbound.push_back(bytes);
    m_inboundBytes += bytes.size();
    schedule();
    return true;
}

void SimulatorSocket::abort()
{
    // As a reset from the far end over TCP: what was still on its way is lost, and the link
    // just goes quiet (no error event), for the keep-alive to notice.
    reset();
    m_state = Closing;
}

void SimulatorSocket::schedule()
{
    if (!m_pump->isActive())
        m_pump->start();
}

void SimulatorSocket::pump()
{
    if (m_connectPending) {
        m_connectPending = false;
        if (!m_simulator) {
            m_state = Error;
            emit errorOccurred(int(QAbstractSocket::ConnectionRefusedError), QStringLiteral("Connection refused"));
            return;
        }
        // Attached before the call: the simulator may write at once (bytes held for the next client).
        m_attached = true;
        switch (m_simulator->attach(*this)) {
        case InstrumentSimulator::Attach::Refused:
            m_attached = false;
            m_state = Error;
            emit errorOccurred(int(QAbstractSocket::ConnectionRefusedError), QStringLiteral("Connection refused"));
            return;
        case InstrumentSimulator::Attach::ClosedAtOnce:
            // The connect itself succeeded; the close follows it.
            m_state = Connected;
            emit connected();
            if (m_state == Connected)
                m_state = Closing;
            return;
        case InstrumentSimulator::Attach::Accepted:
            m_state = Connected;
            emit connected();
            break;
        }
    }
    // One batch each way per pass; what the handlers queue meanwhile goes in the next pass.
    std::deque<QByteArray> commands;
    commands.swap(m_outbound);
    for (const QByteArray& bytes : commands) {
        if (!m_attached || !m_simulator)
            break;
        m_simulator->receive(*this, bytes);
    }
    std::deque<QByteArray> arrivals;
    arrivals.swap(m_inbound);
    m_inboundBytes = 0;
    for (const QByteArray& bytes : arrivals) {
        if (m_state != Connected)
            break;
        emit dataArrived(bytes);
    }
    if (!m_outbound.empty() || !m_inbound.empty())
        schedule();
}
