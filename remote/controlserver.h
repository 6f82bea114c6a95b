/// @brief The control port's transport: loopback listening, a bounded number of clients, lines
/// in, bytes out with a bounded backlog. It knows nothing of the commands.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <map>
#include <memory>
#include <vector>

class Clock;
class QTcpServer;
class QTcpSocket;
class Timer;

/// ControlServer::Limits; at namespace scope so that it can be a defaulted argument.
struct ControlServerLimits {
    int maxClients = 8;
    qsizetype maxLine = 64 * 1024;
    /// Unsent bytes a client may leave queued before the next send() disconnects it.
    qsizetype maxBacklog = 16 * 1024 * 1024;
    /// A line still unfinished this long after its first byte is discarded (lineTimedOut).
    double lineTimeoutSeconds = 30;
    /// When every place is taken, a client that has sent no complete line for this long gives
    /// its place to a new one.
    double idleSeconds = 60;
};

/// Every signal is emitted on the event loop's thread, and never blocks. A handler may call
/// send() or close() (for any client) from inside lineReceived; the server then delivers no
/// further line, and emits nothing more, for a client that is gone.
class ControlServer : public QObject {
    Q_OBJECT
public:
    using Limits = ControlServerLimits;

    /// The time-outs run on `clock` (the machine's when null), which must outlive the server.
    explicit ControlServer(Limits limits = {}, const Clock* clock = nullptr, QObject* parent = nullptr);
    ~ControlServer() override;

    /// A null address listens on 127.0.0.1 and, when the machine has IPv6, on ::1 at the same
    /// port. Port 0 picks a free one. On failure nothing listens and error says why.
    bool listen(const QHostAddress& address, quint16 port, QString* error);
    /// No new clients from now on; those connected stay.
    void stopListening();
    quint16 port() const;
    QList<QHostAddress> addresses() const;
    int clientCount() const { return int(m_clients.size()); }

    /// Queues bytes for the client. A client whose unsent backlog already exceeds maxBacklog
    /// has stopped reading: it is disconnected instead, and false returned (false too for a
    /// client that is gone). Memory stays within maxBacklog plus one reply per client.
    bool send(quint64 client, QByteArrayView bytes);
    /// Queues the next piece of a reply that send() began; the backlog limit is not checked
    /// again, so a reply larger than it is not cut off half-way.
    bool sendMore(quint64 client, QByteArrayView bytes);
    /// Bytes queued for the client and not yet taken by the network (0 for a client that is gone).
    qint64 unsentBytes(quint64 client) const;
    /// The client's address and port ("127.0.0.1:50123", "[::1]:50123"); empty when it is gone.
    QString peerName(quint64 client) const;
    /// Ends the connection once what is queued has gone (or after a few seconds at most).
    void close(quint64 client);
    /// With false, no further line of the client is delivered until reading is turned on again:
    /// its bytes wait, and once the buffers are full TCP holds the client back.
    void setReading(quint64 client, bool reading);

signals:
    void clientConnected(quint64 client);
    void clientDisconnected(quint64 client);
    void clientCountChanged(int count);
    /// One complete line without its "\n" (or "\r\n"), in arrival order.
    void lineReceived(quint64 client, const QByteArray& line);
    /// A line passed maxLine bytes (its "\r" counted): once per such line. The line is
    /// discarded up to and including its "\n"; the connection stays.
    void lineOverrun(quint64 client);
    /// A line stayed unfinished for lineTimeoutSeconds: what came of it is discarded, and so is
    /// the rest of it up to its "\n"; the connection stays.
    void lineTimedOut(quint64 client);
    /// Some of the client's queued bytes have gone out.
    void bytesSent(quint64 client);

private:
    struct Client {
        QTcpSocket* socket = nullptr;
        QByteArray partial;
        bool discarding = false;
        /// Read but not yet framed, while reading is off.
        QByteArray unframed;
        bool reading = true;
        /// When the unfinished line's first byte came; negative when there is none.
        double partialSince = -1;
        double lastLine = 0;
    };

    void acceptPending(QTcpServer* server);
    bool makeRoom();
    void refuse(QTcpSocket* socket);
    void readFrom(quint64 id);
    void deliver(quint64 id, QByteArray chunk);
    void checkUnfinishedLines();
    enum class Ending { Abort, Flush };
    void drop(quint64 id, Ending ending);
    Client* find(quint64 id);
    const Client* find(quint64 id) const;

    Limits m_limits;
    std::unique_ptr<Clock> m_ownClock;
    const Clock& m_clock;
    std::unique_ptr<Timer> m_lineTimer;
    std::vector<QTcpServer*> m_servers;
    std::map<quint64, Client> m_clients;
    quint64 m_nextId = 1;
    int m_lingering = 0; // refused connections not yet closed
};
