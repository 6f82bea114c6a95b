/// @brief Non-blocking sends on the descriptor (POSIX), or Qt's own write path where that is not available.
#include "platform/rawwriter.h"

#include <QSocketNotifier>
#include <QTcpSocket>

#ifdef Q_OS_WIN
#include <algorithm>

// Qt's buffer is the only way onto the socket here; kept short so that replies queued behind a
// block still go out soon.
namespace {
constexpr qint64 FallbackBufferLimit = 1 << 20;
}
#else
#include <cerrno>
#include <sys/socket.h>
#include <sys/types.h>
#endif

RawWriter::RawWriter(QTcpSocket* socket) : QObject(socket), m_socket(socket)
{
#ifdef Q_OS_WIN
    connect(m_socket, &QTcpSocket::bytesWritten, this, [this] {
        if (m_watching && m_socket->bytesToWrite() < FallbackBufferLimit)
            emit writable();
    });
#else
    m_notifier = new QSocketNotifier(m_socket->socketDescriptor(), QSocketNotifier::Write, this);
    m_notifier->setEnabled(false);
    connect(m_notifier, &QSocketNotifier::activated, this, &RawWriter::writable);
#endif
}

qint64 RawWriter::write(const char* data, qint64 size)
{
    if (size <= 0)
        return 0;
#ifdef Q_OS_WIN
    if (m_socket->state() != QAbstractSocket::ConnectedState)
        return -1;
    const qint64 room = FallbackBufferLimit - m_socket->bytesToWrite();
    if (room <= 0)
        return 0;
    return m_socket->write(data, std::min(size, room));
#else
    for (;;) {
        const ssize_t sent = ::send(int(m_socket->socketDescriptor()), data, size_t(size), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent >= 0)
            return sent;
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
#endif
}

void RawWriter::watch(bool on)
{
    if (m_watching == on)
        return;
    m_watching = on;
#ifdef Q_OS_WIN
    if (on && m_socket->bytesToWrite() < FallbackBufferLimit)
        QMetaObject::invokeMethod(this, &RawWriter::writable, Qt::QueuedConnection);
#else
    m_notifier->setEnabled(on);
#endif
}
