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

private:
    QTcpSocket m_sock;
    bool m_broken = false;
    bool m_peerClosed = false;
};
