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
#include <vector>

class QTcpServer;
class QTcpSocket;

/// ControlServer::Limits; at namespace scope so that it can be a defaulted argument.
struct ControlServerLimits {
    int maxClients = 8;
    qsizetype maxLine = 64 * 1024;
    /// Unsent bytes a client may leave queued before the next send() disconnects it.
    qsizetype maxBacklog = 16 * 1024 * 1024;
};

/// Every signal is emitted on the event loop's thread, and never blocks. A handler may call
/// send() or close() (for any client) from inside lineReceived; the server then delivers no
/// further line, and emits nothing more, for a client that is gone.
class ControlServer : public QObject {
    Q_OBJECT
public:
    using Limits = ControlServerLimits;

    explicit ControlServer(Limits limits = {}, QObject* parent = nullptr);
    ~ControlServer() override;

    /// A null address listens on 127.0.0.1 and, when the machine has IPv6, on ::1 at the same
    /// port. Port 0 picks a free one. On failure nothing listens and error says why.
    bool listen(const QHostAddress& address, quint16 port, QString* error);
    quint16 port() const;
    QList<QHostAddress> addresses() const;
    int clientCount() const { return int(m_clients.size()); }

    /// Queues bytes for the client. A client whose unsent backlog already exceeds maxBacklog
    /// has stopped reading: it is disconnected instead, and false returned (false too for a
    /// client that is gone). Memory stays within maxBacklog plus one reply per client.
    bool send(quint64 client, QByteArrayView bytes);
    /// Ends the connection once what is queued has gone (or after a few seconds at most).
    void close(quint64 client);

signals:
    void clientConnected(quint64 client);
    void clientDisconnected(quint64 client);
    void clientCountChanged(int count);
    /// One complete line without its "\n" (or "\r\n"), in arrival order.
    void lineReceived(quint64 client, const QByteArray& line);
    /// A line passed maxLine bytes (its "\r" counted): once per such line. The line is
    /// discarded up to and including its "\n"; the connection stays.
    void lineOverrun(quint64 client);

private:
    struct Client {
        QTcpSocket* socket = nullptr;
        QByteArray partial;
        bool discarding = false;
    };

    void acceptPending(QTcpServer* server);
    void refuse(QTcpSocket* socket);
    void readFrom(quint64 id);
    void deliver(quint64 id, const QByteArray& chunk);
    enum class Ending { Abort, Flush };
    void drop(quint64 id, Ending ending);
    Client* find(quint64 id);

    Limits m_limits;
    std::vector<QTcpServer*> m_servers;
    std::map<quint64, Client> m_clients;
    quint64 m_nextId = 1;
    int m_lingering = 0; // refused connections not yet closed
};
