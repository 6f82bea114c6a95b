/// @brief Socket on QTcpSocket.
#pragma once

#include "platform/socket.h"

#include <QTcpSocket>

class QtSocket final : public Socket {
    Q_OBJECT
public:
    explicit QtSocket(QObject* parent = nullptr);
    void connectToHost(const QString& host, quint16 port) override;
    void close() override;
    bool send(const QByteArray& bytes) override;
    int state() const override;
    qint64 bufferedBytes() const override;

    /// Most bytes held between the network and the decoder. Beyond it the socket stops
    /// reading, so a peer that sends faster than we decode is held back by TCP itself
    /// instead of filling our memory.
    static constexpr qint64 ReadBufferBytes = 1024 * 1024;
    /// Largest piece handed on as one arrival.
    static constexpr qint64 MaxArrivalBytes = 64 * 1024;
    /// Pieces are handed on until this much time has gone in one pass of the event loop; the
    /// rest waits behind whatever else the loop has to do (timers, the window, the keep-alive).
    static constexpr int DrainBudgetMs = 5;

private:
    void readyRead();
    void drain();
    void queueDrain();

    QTcpSocket m_sock;
    bool m_drainQueued = false;
    bool m_draining = false;
    bool m_broken = false;
    bool m_peerClosed = false;
};
