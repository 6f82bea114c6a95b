/// @brief QTcpSocket behind the Socket seam, with the failed/closing states kept until the next close.
#include "platform/qtsocket.h"

#include <QElapsedTimer>
#include <QScopedValueRollback>

QtSocket::QtSocket(QObject* parent) : Socket(parent)
{
    m_holdLimit.setSingleShot(true);
    connect(&m_holdLimit, &QTimer::timeout, this, &QtSocket::catchUp);
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
    if (!m_sock.isOpen() || m_sock.state() != QAbstractSocket::ConnectedState)
        return;
    const QScopedValueRollback draining(m_draining, true);
    QElapsedTimer spent;
    spent.start();
    for (;;) {
        const QByteArray bytes = m_sock.read(MaxArrivalBytes);
        if (bytes.isEmpty()) {
            readFailed();
            m_sinceDryRead.start();
            return;
        }
        m_rateWindowBytes += bytes.size();
        emit dataArrived(bytes);
        // Whoever handled it may have closed the link, or opened a new one.
        if (m_sock.state() != QAbstractSocket::ConnectedState)
            return;
        // A short piece took all the kernel had: reading on would only be told so.
        if (bytes.size() < MaxArrivalBytes) {
            m_sinceDryRead.start();
            return;
        }
        // The rest waits for the next pass: a read re-arms Qt's notice of waiting bytes.
        if (spent.hasExpired(DrainBudgetMs)) {
            m_sinceDryRead.invalidate();
            return;
        }
    }
}

void QtSocket::readFailed()
{
    // Unbuffered, Qt tells nobody of a link that ends in a read; it only leaves the state.
    if (!m_sock.isOpen() || m_sock.state() == QAbstractSocket::ConnectedState)
        return;
    const QAbstractSocket::SocketError err = m_sock.error();
    if (err == QAbstractSocket::RemoteHostClosedError) {
        m_peerClosed = true;
        return;
    }
    m_broken = true;
    emit errorOccurred(int(err), m_sock.errorString());
}

bool QtSocket::shouldHold() const
{
    return m_holdAllowed && !m_fastStream && m_sinceDryRead.isValid() && m_sinceDryRead.elapsed() < HoldMs;
}

void QtSocket::readyRead()
{
    // A drain already queued takes these bytes too.
    if (m_drainQueued)
        return;
    // Held bytes wait for their catch-up: unread, Qt stops listening to the socket on its next
    // pass, and the kernel keeps what follows without waking anyone. On Windows, though, Qt
    // announces a peer's close again in every pass, which starves the hold's timer and the
    // window alike; a second notice for held bytes therefore reads them now.
    if (m_holding) {
        catchUp();
        return;
    }
    // Bytes that come while an arrival is handled (a message box's own event loop) wait for the
    // drain under way to finish, as they would in the next pass.
    if (m_draining) {
        queueDrain();
        return;
    }
    // The stream's rate, taken anew every tenth of a second at most.
    if (!m_rateWindow.isValid()) {
        m_rateWindow.start();
    } else if (m_rateWindow.elapsed() >= 100) {
        const qint64 ms = m_rateWindow.restart();
        m_fastStream = m_rateWindowBytes * 1000 / ms > HoldBelowBytesPerSecond;
        m_rateWindowBytes = 0;
    }
    if (shouldHold()) {
        m_holding = true;
        m_holdLimit.start(int(HoldMs - m_sinceDryRead.elapsed()));
        emit bytesHeld();
        return;
    }
    // Otherwise they are read here, in the pass that brought them: posting the drain instead
    // would wake the event loop a second time for every arrival.
    drain();
}

void QtSocket::catchUp()
{
    if (!m_holding)
        return;
    m_holding = false;
    m_holdLimit.stop();
    if (m_draining) {
        queueDrain();
        return;
    }
    const QScopedValueRollback catchingUp(m_catchingUp, true);
    const qint64 before = m_rateWindowBytes;
    drain();
    // What waited came close to filling the kernel's buffer: the peer may have been held back
    // by TCP meanwhile, and holding on would cap its rate at the buffer's size per hold, which
    // the measured rate could then never exceed. Read at once until the next measurement.
    const qint64 read = m_rateWindowBytes - before;
    const qint64 kernelBuffer = m_sock.socketOption(QAbstractSocket::ReceiveBufferSizeSocketOption).toLongLong();
    if (kernelBuffer > 0 && read > kernelBuffer / 2) {
        m_fastStream = true;
        m_rateWindow.start();
        m_rateWindowBytes = 0;
    }
}

void QtSocket::setHoldAllowed(bool allowed)
{
    m_holdAllowed = allowed;
    if (!allowed)
        catchUp();
}

void QtSocket::resetHold()
{
    m_holding = false;
    m_holdLimit.stop();
    m_sinceDryRead.invalidate();
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
    resetHold();
    m_broken = false;
    m_peerClosed = false;
    // Unbuffered: a read takes the bytes straight from the kernel, so that a catch-up gets
    // everything that has come, and nothing waits in a buffer of ours. QTcpSocket's page still
    // says a TCP socket cannot be opened so, but QAbstractSocket has its own path for an
    // unbuffered TCP socket; tst_qtsocket holds it to what the link relies on.
    m_sock.connectToHost(host, port, QIODevice::ReadWrite | QIODevice::Unbuffered);
}

void QtSocket::close()
{
    m_sock.abort();
    resetHold();
    m_broken = false;
    m_peerClosed = false;
}

bool QtSocket::send(const QByteArray& bytes)
{
    if (state() != Connected)
        return false;
    if (m_sock.write(bytes) == bytes.size())
        return true;
    // Unbuffered, a write that fails in the kernel is only told to the caller.
    if (m_sock.error() != QAbstractSocket::OperationError && m_sock.error() != QAbstractSocket::UnknownSocketError) {
        m_broken = true;
        emit errorOccurred(int(m_sock.error()), m_sock.errorString());
    }
    return false;
}

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
