/// @brief Connection rules: heartbeat every 4.5 s, more than 5 s of silence closes and reopens.
#include "link/connectionmanager.h"

#include "platform/clock.h"
#include "platform/socket.h"
#include "platform/timer.h"

#include <utility>

ConnectionManager::ConnectionManager(Socket& socket, const Clock& clock, QObject* parent)
    : QObject(parent), m_socket(socket), m_clock(clock), m_keepAlive(clock.makeTimer())
{
    m_keepAlive->setInterval(KeepAliveMs);
    connect(m_keepAlive.get(), &Timer::timeout, this, &ConnectionManager::keepAliveTick);
    connect(&m_socket, &Socket::connected, this, &ConnectionManager::onConnected);
    connect(&m_socket, &Socket::errorOccurred, this, &ConnectionManager::onSocketError);
    connect(&m_socket, &Socket::dataArrived, this, &ConnectionManager::onDataArrived);
    // The keep-alive is also the reconnect engine, so it waits for the first open: running from
    // creation, it would reach the instrument while start-up still waits for the update check.
}

ConnectionManager::~ConnectionManager() = default;

void ConnectionManager::open()
{
    // A link that stands or is being made is kept: a second connect on it would break it.
    if (isOpenOrOpening())
        return;
    if (m_socket.state() != Socket::Closed)
        m_socket.close();
    connectNow();
}

void ConnectionManager::reopen()
{
    m_lastRxTime.reset();
    const int state = m_socket.state();
    if (state != Socket::Closed && state != Socket::Connecting)
        emit connectionLost();
    m_socket.close();
    emit runStopRequested();
    emit logLine(LogKind::Info, QStringLiteral(" Reopening..."));
    connectNow();
}

void ConnectionManager::connectNow()
{
    // From the first connect on, the keep-alive runs for good (the calibration pauses it).
    if (!std::exchange(m_opened, true))
        m_keepAlive->start();
    m_socket.connectToHost(m_host, m_port);
}

void ConnectionManager::shutdown()
{
    m_keepAlive->stop();
    m_socket.close();
}

bool ConnectionManager::send(const QByteArray& bytes) { return m_socket.send(bytes); }

bool ConnectionManager::isConnected() const { return m_socket.state() == Socket::Connected; }

bool ConnectionManager::isOpenOrOpening() const
{
    const int state = m_socket.state();
    return state == Socket::Connected || state == Socket::Connecting;
}

int ConnectionManager::socketState() const { return m_socket.state(); }

void ConnectionManager::catchUp() { m_socket.catchUp(); }

void ConnectionManager::setHoldAllowed(bool allowed) { m_socket.setHoldAllowed(allowed); }

void ConnectionManager::setKeepAliveEnabled(bool enabled)
{
    if (enabled)
        m_keepAlive->start();
    else
        m_keepAlive->stop();
}

bool ConnectionManager::keepAliveEnabled() const { return m_keepAlive->isActive(); }

void ConnectionManager::onConnected()
{
    emit logLine(LogKind::Info, QStringLiteral("Connected."));
    m_keepAlive->start();
    m_lastRxTime = m_clock.monotonicSeconds();
    emit connectionEstablished();
}

void ConnectionManager::onSocketError(int /*number*/, const QString& description)
{
    emit logLine(LogKind::Error, QStringLiteral(" Doh! (sock) ") + description);
}

void ConnectionManager::onDataArrived(const QByteArray& bytes)
{
    m_lastRxTime = m_clock.monotonicSeconds();
    emit dataArrived(bytes);
}

void ConnectionManager::keepAliveTick()
{
    if (m_socket.state() == Socket::Connected)
        m_socket.send(QByteArrayLiteral("H"));

    const double now = m_clock.monotonicSeconds();
    // An unset receive time counts as long silence: nothing has been heard since the last
    // reset, so a pending connect is abandoned and restarted on every tick.
    const bool silent = !m_lastRxTime || *m_lastRxTime + SilenceLimitSeconds < now;
    if (!silent)
        return;

    m_lastRxTime.reset();
    const int state = m_socket.state();
    if (state != Socket::Closed && state != Socket::Connecting) {
        emit logLine(LogKind::Error, QStringLiteral(" Lost connection, closed.  "));
        m_reopenPending = true;
        emit connectionLost();
    }
    m_socket.close();
    emit runStopRequested();
    if (m_socket.state() == Socket::Closed) {
        connectNow();
        if (m_reopenPending) {
            emit logLine(LogKind::Info, QStringLiteral(" Reopening..."));
            m_reopenPending = false;
        }
    }
}
