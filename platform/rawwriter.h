/// @brief Writes straight on a connected TCP socket's descriptor, bypassing Qt's write buffer, for senders that must
/// not be the bottleneck.
#pragma once

#include <QObject>
#include <QtGlobal>

class QSocketNotifier;
class QTcpSocket;

/// Large writes that never block and never copy into Qt's buffer. Once a RawWriter writes on a
/// socket, nothing else may write through QTcpSocket::write, or bytes would reorder (the portable
/// fallback, used where descriptors cannot be written directly, goes through that buffer itself).
/// Belongs to the socket: it goes when the socket does.
class RawWriter : public QObject {
    Q_OBJECT
public:
    explicit RawWriter(QTcpSocket* socket);

    /// Bytes the socket took now: 0 when its send buffer is full, -1 when the connection failed.
    qint64 write(const char* data, qint64 size);
    /// While on, writable() follows each time the socket can take more (after yielding to the
    /// event loop, so that reads and timers go on between writes).
    void watch(bool on);

signals:
    void writable();

private:
    QTcpSocket* m_socket;
    QSocketNotifier* m_notifier = nullptr;
    bool m_watching = false;
};
