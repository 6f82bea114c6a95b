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

    /// Largest piece handed on as one arrival; the rest follows on the next pass of the
    /// event loop, so that a flood never holds the window for longer than one piece takes.
    static constexpr qint64 MaxArrivalBytes = 64 * 1024;

private:
    void drain();

    QTcpSocket m_sock;
    bool m_drainQueued = false;
    bool m_broken = false;
    bool m_peerClosed = false;
};
