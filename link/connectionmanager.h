/// @brief The one link to the instrument: connect, heartbeat, silence test, close and reopen.
#pragma once

#include "link/logkind.h"
#include "link/protocol.h"

#include <QObject>
#include <QString>
#include <memory>
#include <optional>

class Clock;
class Socket;
class Timer;

class ConnectionManager : public QObject {
    Q_OBJECT
public:
    static constexpr quint16 DefaultPort = protocol::DefaultPort;
    static constexpr int KeepAliveMs = protocol::KeepAliveMs;
    static constexpr double SilenceLimitSeconds = protocol::SilenceLimitSeconds;

    ConnectionManager(Socket& socket, const Clock& clock, QObject* parent = nullptr);
    ~ConnectionManager() override;

    /// The address box's text, read at every connect; editing it changes nothing until then.
    void setHostText(const QString& host) { m_host = host; }
    QString hostText() const { return m_host; }
    void setPort(quint16 port) { m_port = port; }
    quint16 port() const { return m_port; }

    /// Start-up's first connect; returns at once, the outcome comes as an event. The keep-alive
    /// starts with the first connect. A link that is up or being made is left as it is.
    void open();
    /// Closes whatever link stands or is being made, as a loss (connectionLost() while it
    /// still stands, so that the run's stop can go out), and connects to the host text in force.
    void reopen();
    /// Shutdown: drop the link and stop the timers.
    void shutdown();
    /// One command in one write; false (bytes dropped) when not connected.
    bool send(const QByteArray& bytes);
    bool isConnected() const;
    /// Connected, or a connect is on its way.
    bool isOpenOrOpening() const;
    int socketState() const;
    /// Bytes of a stream left waiting for a display frame are handed on now.
    void catchUp();
    /// Off: every byte is handed on as it comes.
    void setHoldAllowed(bool allowed);

    /// The calibration stops the keep-alive for its whole length.
    void setKeepAliveEnabled(bool enabled);
    bool keepAliveEnabled() const;

    /// Time of the last completed connect or arrival on the monotonic clock; empty when unset.
    std::optional<double> lastRxTime() const { return m_lastRxTime; }

    /// Every 4.5 s: the heartbeat out, and the silence test that closes and reopens a quiet link.
    /// Public so that tests can drive it without waiting for the timer.
    void keepAliveTick();

    Timer& keepAliveTimer() { return *m_keepAlive; }

signals:
    /// A line for the message log, in the order the log shows them.
    void logLine(LogKind kind, const QString& text);
    /// A connection is up and "Connected." is logged: calibrate, then ask for the version.
    void connectionEstablished();
    /// The lost path, after its log line: void the calibration, untick Run, then Auto.
    void connectionLost();
    /// A tick closed the socket: Run is unticked once more.
    void runStopRequested();
    /// Every arrival, after the receive time is refreshed.
    void dataArrived(const QByteArray& bytes);

private:
    void onConnected();
    void onSocketError(int number, const QString& description);
    void onDataArrived(const QByteArray& bytes);
    void connectNow();

    Socket& m_socket;
    const Clock& m_clock;
    QString m_host;
    quint16 m_port = DefaultPort;
    std::unique_ptr<Timer> m_keepAlive;
    std::optional<double> m_lastRxTime;
    bool m_reopenPending = false;
    bool m_opened = false;
};
