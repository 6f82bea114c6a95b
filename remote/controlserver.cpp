/// @brief The control port's transport: accepting, refusing, framing lines, bounding backlogs.
#include "remote/controlserver.h"

#include "platform/clock.h"
#include "platform/timer.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <cstring>
#include <utility>

namespace {

// What Qt may hold of a client's unread input; each readyRead takes it all, so this only
// bounds one turn of the event loop against a flooding client.
constexpr qint64 ReadBufferBytes = 1024 * 1024;
// A refused client gets this long to read its line before the close; closing at once, with
// its first command unread, could reset the connection before the line arrives.
constexpr int RefuseLingerMs = 1000;
// Refused connections still lingering beyond this many are cut at once (a connect flood).
constexpr int MaxLingering = 32;
// A closing connection gets this long to deliver what is queued; a peer that does not read
// must not keep its backlog alive.
constexpr int CloseGraceMs = 5000;

/// Closes after the queued bytes went out, but never waits on the peer for long.
void closeGracefully(QTcpSocket* socket)
{
    QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    QTimer::singleShot(CloseGraceMs, socket, [socket] { socket->abort(); });
    socket->disconnectFromHost();
    if (socket->state() == QAbstractSocket::UnconnectedState)
        socket->deleteLater();
}

} // namespace

ControlServer::ControlServer(Limits limits, const Clock* clock, QObject* parent)
    : QObject(parent), m_limits(limits), m_ownClock(clock ? nullptr : std::make_unique<SystemClock>()),
      m_clock(clock ? *clock : *m_ownClock), m_lineTimer(m_clock.makeTimer())
{
    // Runs only while some line is unfinished: an idle port costs nothing.
    m_lineTimer->setInterval(1000);
    connect(m_lineTimer.get(), &Timer::timeout, this, &ControlServer::checkUnfinishedLines);
}

ControlServer::~ControlServer()
{
    // No signals from sockets that go down with us.
    for (auto& [id, client] : m_clients)
        client.socket->disconnect(this);
}

bool ControlServer::listen(const QHostAddress& address, quint16 port, QString* error)
{
    stopListening();

    auto open = [this](const QHostAddress& at, quint16 atPort, QString* why) {
        auto* server = new QTcpServer(this);
        if (!server->listen(at, atPort)) {
            if (why)
                *why = server->errorString();
            delete server;
            return false;
        }
        connect(server, &QTcpServer::newConnection, this, [this, server] { acceptPending(server); });
        m_servers.push_back(server);
        return true;
    };

    if (!address.isNull())
        return open(address, port, error);
    if (!open(QHostAddress(QHostAddress::LocalHost), port, error))
        return false;
    // Best effort: a machine without IPv6 serves 127.0.0.1 alone.
    open(QHostAddress(QHostAddress::LocalHostIPv6), m_servers.front()->serverPort(), nullptr);
    return true;
}

void ControlServer::stopListening()
{
    for (QTcpServer* server : m_servers)
        delete server;
    m_servers.clear();
}

quint16 ControlServer::port() const { return m_servers.empty() ? 0 : m_servers.front()->serverPort(); }

QList<QHostAddress> ControlServer::addresses() const
{
    QList<QHostAddress> list;
    for (const QTcpServer* server : m_servers)
        list.append(server->serverAddress());
    return list;
}

void ControlServer::acceptPending(QTcpServer* server)
{
    while (QTcpSocket* socket = server->nextPendingConnection()) {
        if (clientCount() >= m_limits.maxClients && !makeRoom()) {
            refuse(socket);
            continue;
        }
        const quint64 id = m_nextId++;
        socket->setParent(this);
        socket->setReadBufferSize(ReadBufferBytes);
        // Answers are short and a script waits for each: Nagle's wait for the client's delayed
        // acknowledgement would add 40 ms to every answer written in more than one piece.
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        Client client;
        client.socket = socket;
        client.lastLine = m_clock.monotonicSeconds();
        m_clients.emplace(id, std::move(client));
        connect(socket, &QTcpSocket::readyRead, this, [this, id] { readFrom(id); });
        connect(socket, &QTcpSocket::bytesWritten, this, [this, id, socket] {
            // Qt hands the network one queued piece per pass of the event loop; a large reply
            // in pieces would then go no faster than the passes. Whatever the network takes now
            // goes now.
            socket->flush();
            emit bytesSent(id);
        });
        connect(socket, &QTcpSocket::disconnected, this, [this, id] { drop(id, Ending::Abort); });
        connect(socket, &QTcpSocket::errorOccurred, this, [this, id] {
            // A reset or a failed write; the socket may already be unusable.
            if (Client* c = find(id); c && c->socket->state() != QAbstractSocket::ConnectedState)
                drop(id, Ending::Abort);
        });
        emit clientConnected(id);
        emit clientCountChanged(clientCount());
        // Lines that arrived with the connection (a script that writes at once).
        if (find(id) && socket->bytesAvailable() > 0)
            readFrom(id);
    }
}

bool ControlServer::makeRoom()
{
    // The place of the client idle longest, and only of one that has been idle for a while: a
    // handful of connections that never finish a line must not lock every script out, and a
    // script between two commands must not lose its place to a newcomer.
    const double now = m_clock.monotonicSeconds();
    const Client* idlest = nullptr;
    quint64 idlestId = 0;
    for (const auto& [id, client] : m_clients) {
        // One whose lines wait for us to read them is busy, not idle.
        if (!client.reading || now - client.lastLine < m_limits.idleSeconds)
            continue;
        if (!idlest || client.lastLine < idlest->lastLine) {
            idlest = &client;
            idlestId = id;
        }
    }
    if (!idlest)
        return false;
    idlest->socket->write("ERROR: closed to make room for a new client: no complete line for "
                          + QByteArray::number(m_limits.idleSeconds) + " s\n");
    drop(idlestId, Ending::Flush);
    return true;
}

void ControlServer::refuse(QTcpSocket* socket)
{
    socket->setParent(this);
    socket->write("ERROR: too many clients (" + QByteArray::number(m_limits.maxClients) + ")\n");
    if (m_lingering >= MaxLingering) {
        closeGracefully(socket);
        return;
    }
    ++m_lingering;
    connect(socket, &QObject::destroyed, this, [this] { --m_lingering; });
    socket->setReadBufferSize(ReadBufferBytes);
    connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->readAll(); });
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    QTimer::singleShot(RefuseLingerMs, socket, [socket] { closeGracefully(socket); });
}

ControlServer::Client* ControlServer::find(quint64 id)
{
    const auto it = m_clients.find(id);
    return it == m_clients.end() ? nullptr : &it->second;
}

const ControlServer::Client* ControlServer::find(quint64 id) const
{
    const auto it = m_clients.find(id);
    return it == m_clients.end() ? nullptr : &it->second;
}

void ControlServer::setReading(quint64 id, bool reading)
{
    Client* c = find(id);
    if (!c || c->reading == reading)
        return;
    c->reading = reading;
    if (!reading)
        return;
    // Later, from the event loop: this may be called from inside one of the client's lines.
    QMetaObject::invokeMethod(
        this,
        [this, id] {
        Client* client = find(id);
        if (!client || !client->reading)
            return;
        if (!client->unframed.isEmpty())
            deliver(id, std::exchange(client->unframed, {}));
        if ((client = find(id)) && client->reading && client->socket->bytesAvailable() > 0)
            readFrom(id);
        },
        Qt::QueuedConnection);
}

void ControlServer::readFrom(quint64 id)
{
    Client* c = find(id);
    if (!c || !c->reading)
        return;
    QByteArray chunk = c->socket->readAll();
    if (!chunk.isEmpty())
        deliver(id, std::move(chunk));
    // The answers go to the kernel now: a client that sent its last line with a half-close
    // (nc -N) is next seen as closed, and Qt then drops whatever it still holds unsent.
    if ((c = find(id)))
        c->socket->flush();
}

void ControlServer::deliver(quint64 id, QByteArray chunk)
{
    const char* data = chunk.constData();
    const qsizetype size = chunk.size();
    qsizetype pos = 0;
    while (pos < size) {
        // A handler may have closed this client, or dropped it through a send().
        Client* c = find(id);
        if (!c)
            return;
        if (!c->reading) {
            c->unframed = chunk.mid(pos);
            return;
        }
        const auto* newline = static_cast<const char*>(std::memchr(data + pos, '\n', size_t(size - pos)));
        const qsizetype end = newline ? newline - data : size;
        const qsizetype length = end - pos;
        if (c->discarding) {
            c->discarding = !newline;
            pos = end + 1;
            continue;
        }
        if (c->partial.size() + length > m_limits.maxLine) {
            c->partial.clear();
            c->partialSince = -1;
            c->discarding = !newline;
            pos = end + 1;
            emit lineOverrun(id);
            continue;
        }
        if (!newline) {
            if (c->partialSince < 0 && length > 0) {
                c->partialSince = m_clock.monotonicSeconds();
                if (!m_lineTimer->isActive())
                    m_lineTimer->start();
            }
            c->partial.append(data + pos, length);
            return;
        }
        c->partialSince = -1;
        c->lastLine = m_clock.monotonicSeconds();
        QByteArray line;
        if (c->partial.isEmpty()) {
            line = QByteArray(data + pos, length);
        } else {
            line = c->partial;
            line.append(data + pos, length);
            c->partial.clear();
        }
        if (line.endsWith('\r'))
            line.chop(1);
        pos = end + 1;
        emit lineReceived(id, line);
    }
}

void ControlServer::checkUnfinishedLines()
{
    const double now = m_clock.monotonicSeconds();
    std::vector<quint64> late;
    bool waiting = false;
    for (auto& [id, client] : m_clients) {
        if (client.partialSince < 0)
            continue;
        if (now - client.partialSince < m_limits.lineTimeoutSeconds) {
            waiting = true;
            continue;
        }
        // A byte now and then must not hold a place, or memory, for ever.
        client.partial.clear();
        client.partialSince = -1;
        client.discarding = true;
        late.push_back(id);
    }
    if (!waiting)
        m_lineTimer->stop();
    for (quint64 id : late)
        if (find(id))
            emit lineTimedOut(id);
}

qint64 ControlServer::unsentBytes(quint64 client) const
{
    const Client* c = find(client);
    return c ? c->socket->bytesToWrite() : 0;
}

bool ControlServer::send(quint64 client, QByteArrayView bytes)
{
    const Client* c = find(client);
    if (c && c->socket->state() == QAbstractSocket::ConnectedState && c->socket->bytesToWrite() > m_limits.maxBacklog) {
        drop(client, Ending::Abort);
        return false;
    }
    return sendMore(client, bytes);
}

bool ControlServer::sendMore(quint64 client, QByteArrayView bytes)
{
    Client* c = find(client);
    if (!c || c->socket->state() != QAbstractSocket::ConnectedState)
        return false;
    if (!bytes.isEmpty())
        c->socket->write(bytes.data(), bytes.size());
    return true;
}

void ControlServer::close(quint64 client) { drop(client, Ending::Flush); }

void ControlServer::drop(quint64 id, Ending ending)
{
    const auto it = m_clients.find(id);
    if (it == m_clients.end())
        return;
    QTcpSocket* socket = it->second.socket;
    m_clients.erase(it);
    // From here on the socket tells us nothing; it may still be inside its own signal, so it
    // is deleted later, never now.
    socket->disconnect(this);
    if (ending == Ending::Flush) {
        closeGracefully(socket);
    } else {
        socket->abort();
        socket->deleteLater();
    }
    emit clientDisconnected(id);
    emit clientCountChanged(clientCount());
}

QString ControlServer::peerName(quint64 client) const
{
    const Client* c = find(client);
    if (!c || !c->socket)
        return QString();
    const QHostAddress a = c->socket->peerAddress();
    const QString host = a.protocol() == QAbstractSocket::IPv6Protocol ? u'[' + a.toString() + u']' : a.toString();
    return host + u':' + QString::number(c->socket->peerPort());
}
