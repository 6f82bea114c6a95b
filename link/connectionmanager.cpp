/// @brief Connection rules: heartbeat every 4.5 s, more than 5 s of silence closes and reopens.
#include "link/connectionmanager.h"

#include "platform/clock.h"
#include "platform/socket.h"
#include "platform/timer.h"

#include <utility>

ConnectionManager::ConnectionManager(Socket& socket, const Clock& clock, QObject* parent)
    : QObject(parent), m_socket(socket), m_clock(clock), m_keepAlive(clock.makeTimer()), m_hb(clock.makeTimer())
{
    m_keepAlive->setInterval(KeepAliveMs);
    m_hb->setInterval(HeartbeatFlashMs);
    connect(m_keepAlive.get(), &Timer::timeout, this, &ConnectionManager::tmrKeepAlive_Timer);
    connect(m_hb.get(), &Timer::timeout, this, &ConnectionManager::tmrHb_Timer);
    connect(&m_socket, &Socket::connected, this, &ConnectionManager::Sock_Connect);
    connect(&m_socket, &Socket::errorOccurred, this, &ConnectionManager::Sock_Error);
    connect(&m_socket, &Socket::dataArrived, this, &ConnectionManager::Sock_DataArrival);
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
    if (state != Socket::Closed && state != Socket::Connecting) {
        emit linkIndicator(false);
        emit connectionLost();
    }
    m_socket.close();
    emit runStopRequested();
    emit logMessage(QStringLiteral(" Reopening..."), true);
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
    m_hb->stop();
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

qint64 ConnectionManager::bufferedBytes() const { return m_socket.bufferedBytes(); }

void ConnectionManager::setKeepAliveEnabled(bool enabled)
{
    if (enabled)
        m_keepAlive->start();
    else
        m_keepAlive->stop();
}

bool ConnectionManager::keepAliveEnabled() const { return m_keepAlive->isActive(); }

void ConnectionManager::heartbeatReceived()
{
    emit heartbeatFlash(true);
    m_hb->start();
}

void ConnectionManager::Sock_Connect()
{
    emit logMessage(QStringLiteral("Connected."), true);
    emit linkIndicator(true);
    m_keepAlive->start();
    m_lastRxTime = m_clock.monotonicSeconds();
    emit connectionEstablished();
}

void ConnectionManager::Sock_Error(int /*number*/, const QString& description)
{
    emit logMessage(QStringLiteral(" Doh! (sock) ") + description, true);
}

void ConnectionManager::Sock_DataArrival(const QByteArray& bytes)
{
    m_lastRxTime = m_clock.monotonicSeconds();
    emit dataArrived(bytes);
}

void ConnectionManager::tmrKeepAlive_Timer()
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
        emit logMessage(QStringLiteral(" Lost connection, closed.  "), true);
        m_reopenPending = true;
        emit linkIndicator(false);
        emit connectionLost();
    }
    m_socket.close();
    emit runStopRequested();
    if (m_socket.state() == Socket::Closed) {
        connectNow();
        if (m_reopenPending) {
            emit logMessage(QStringLiteral(" Reopening..."), true);
            m_reopenPending = false;
        }
    }
}

void ConnectionManager::tmrHb_Timer()
{
    m_hb->stop();
    emit heartbeatFlash(false);
}
