/// @brief QTcpSocket behind the Socket seam, with the failed/closing states kept until the next close.
#include "platform/qtsocket.h"

#include <QElapsedTimer>
#include <QScopedValueRollback>

QtSocket::QtSocket(QObject* parent) : Socket(parent)
{
    m_sock.setReadBufferSize(ReadBufferBytes);
    connect(&m_sock, &QTcpSocket::connected, this, [this] {
        // Only a connected socket takes the option. Without it a command sent soon after
        // another (a run start after a stop) waits for the instrument's delayed acknowledgement.
        m_sock.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_broken = false;
        m_peerClosed = false;
        emit connected();
    });
    connect(&m_sock, &QTcpSocket::readyRead, this, &QtSocket::readyRead);
    connect(&m_sock, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError err) {
        // A peer that closes in good order is not an error: the link just goes quiet and
        // the keep-alive notices it, as with any other silence.
        if (err == QAbstractSocket::RemoteHostClosedError) {
            m_peerClosed = true;
            return;
        }
        // Our own misuse (a write or a connect in the wrong state) says nothing about the link;
        // taking it for a broken link would drop every later command, the heartbeat included.
        if (err == QAbstractSocket::OperationError)
            return;
        m_broken = true;
        emit errorOccurred(int(err), m_sock.errorString());
    });
    connect(&m_sock, &QTcpSocket::disconnected, this, [this] { m_peerClosed = true; });
}

void QtSocket::drain()
{
    // A drain queued before a close that came from inside an arrival finds nothing to read.
    if (!m_sock.isOpen())
        return;
    const QScopedValueRollback draining(m_draining, true);
    QElapsedTimer spent;
    spent.start();
    do {
        const QByteArray bytes = m_sock.read(MaxArrivalBytes);
        if (bytes.isEmpty())
            break;
        emit dataArrived(bytes);
    } while (m_sock.bytesAvailable() > 0 && !spent.hasExpired(DrainBudgetMs));
    // readyRead is not raised again for bytes already buffered, and a full buffer is only
    // refilled once it has been read empty, so the rest is fetched by the next pass.
    if (m_sock.bytesAvailable() > 0)
        queueDrain();
}

void QtSocket::readyRead()
{
    // A drain already queued takes these bytes too. Otherwise they are read here, in the pass that
    // brought them: posting the drain instead would wake the event loop a second time for every
    // arrival, which at the instrument's own rate costs more than the reading.
    if (m_drainQueued)
        return;
    // Bytes that come while an arrival is handled (a message box's own event loop) wait for the
    // drain under way to finish, as they would in the next pass.
    if (m_draining)
        queueDrain();
    else
        drain();
}

void QtSocket::queueDrain()
{
    // What one drain's budget left is read by a posted call: the event loop takes one per pass,
    // and paints and timers get their turn in between.
    if (m_drainQueued)
        return;
    m_drainQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
        m_drainQueued = false;
        drain();
        },
        Qt::QueuedConnection);
}

void QtSocket::connectToHost(const QString& host, quint16 port)
{
    // A link that is up or on its way stays: Qt refuses a second connect on it anyway.
    if (state() == Connected || state() == Connecting)
        return;
    if (m_sock.state() != QAbstractSocket::UnconnectedState)
        m_sock.abort();
    m_broken = false;
    m_peerClosed = false;
    m_sock.connectToHost(host, port);
}

void QtSocket::close()
{
    m_sock.abort();
    m_broken = false;
    m_peerClosed = false;
}

bool QtSocket::send(const QByteArray& bytes)
{
    if (state() != Connected)
        return false;
    return m_sock.write(bytes) == bytes.size();
}

qint64 QtSocket::bufferedBytes() const { return m_sock.bytesAvailable(); }

int QtSocket::state() const
{
    if (m_broken)
        return Error;
    if (m_peerClosed)
        return Closing;
    switch (m_sock.state()) {
    case QAbstractSocket::UnconnectedState:
        return Closed;
    case QAbstractSocket::HostLookupState:
    case QAbstractSocket::ConnectingState:
        return Connecting;
    case QAbstractSocket::ConnectedState:
        return Connected;
    default:
        return Closing;
    }
}
