/// @brief QTcpSocket behind the Socket seam, with the failed/closing states kept until the next close.
#include "platform/qtsocket.h"

#include <QScopedValueRollback>
#include <utility>

QtSocket::QtSocket(QObject* parent) : Socket(parent)
{
    m_sock.setReadBufferSize(ReadBufferBytes);
    m_gather.setSingleShot(true);
    connect(&m_gather, &QTimer::timeout, this, &QtSocket::endGathering);
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
    m_sinceRead.start();
    do {
        const QByteArray bytes = m_sock.read(MaxArrivalBytes);
        if (bytes.isEmpty())
            break;
        m_rateWindowBytes += bytes.size();
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
    if (m_drainQueued || m_gathering)
        return;
    // Bytes that come while an arrival is handled (a message box's own event loop) wait for the
    // drain under way to finish, as they would in the next pass.
    if (m_draining) {
        queueDrain();
        return;
    }
    // The stream's rate, taken anew every tenth of a second.
    if (!m_rateWindow.isValid()) {
        m_rateWindow.start();
    } else if (m_rateWindow.elapsed() >= 100) {
        const qint64 ms = m_rateWindow.restart();
        m_fastStream = m_rateWindowBytes * 1000 / ms > GatherBelowBytesPerSecond;
        m_rateWindowBytes = 0;
    }
    const qint64 sinceRead = m_sinceRead.isValid() ? m_sinceRead.elapsed() : GatherMs;
    if (std::exchange(m_gatherEnded, false)) {
        m_gather.stop();
    } else if (!m_fastStream && sinceRead < GatherMs && m_sock.bytesAvailable() > 0) {
        // A read buffer no larger than what it holds makes Qt stop listening to the socket until
        // the gathering ends: what comes meanwhile waits in the kernel without waking anyone.
        m_gathering = true;
        m_sock.setReadBufferSize(m_sock.bytesAvailable());
        m_gather.start(int(GatherMs - sinceRead));
        emit bytesHeld();
        return;
    }
    drain();
}

void QtSocket::endGathering()
{
    if (m_gathering) {
        // Listening again, Qt takes what waited in the kernel meanwhile in the next pass and says
        // so, and all of it is read at once. Should nothing have come, what Qt holds is read a
        // moment later.
        listenAgain();
        m_gatherEnded = true;
        m_gather.start(1);
        return;
    }
    m_gatherEnded = false;
    if (m_draining)
        queueDrain();
    else
        drain();
}

void QtSocket::listenAgain()
{
    m_gathering = false;
    m_sock.setReadBufferSize(ReadBufferBytes);
}

void QtSocket::stopGathering()
{
    m_gather.stop();
    listenAgain();
    m_gatherEnded = false;
    m_rateWindow.invalidate();
    m_rateWindowBytes = 0;
    m_fastStream = false;
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
    stopGathering();
    m_broken = false;
    m_peerClosed = false;
    m_sock.connectToHost(host, port);
}

void QtSocket::close()
{
    m_sock.abort();
    stopGathering();
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
