/// @brief Socket on QTcpSocket.
#pragma once

#include "platform/socket.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTimer>

class QtSocket final : public Socket {
    Q_OBJECT
public:
    explicit QtSocket(QObject* parent = nullptr);
    void connectToHost(const QString& host, quint16 port) override;
    void close() override;
    bool send(const QByteArray& bytes) override;
    int state() const override;
    void catchUp() override;
    void setHoldAllowed(bool allowed) override;

    /// Largest piece read and handed on as one arrival. The socket is unbuffered: bytes stay in
    /// the kernel until they are read here, so a peer that sends faster than we decode is held
    /// back by TCP itself instead of filling our memory.
    static constexpr qint64 MaxArrivalBytes = 64 * 1024;
    /// Pieces are handed on until this much time has gone in one pass of the event loop; the
    /// rest waits behind whatever else the loop has to do (timers, the window, the keep-alive).
    static constexpr int DrainBudgetMs = 5;
    /// A stream's bytes that come within this long of the last read are left in the kernel until
    /// a display frame catches up with them (catchUp()), or this long after that read at most.
    /// The network delivers a stream in many small pieces, each of which would wake the program;
    /// read at the frames, they come in a few large ones, and no frame shows older figures than
    /// it would have. A quiet link's reply is still read at once.
    static constexpr int HoldMs = 40;
    /// Only while bytes come slower than this (twice the instrument's 100 Mbit/s): a faster
    /// stream keeps the program busy anyway, and every wait would be time it cannot make up.
    static constexpr qint64 HoldBelowBytesPerSecond = 25'000'000;

    /// Bytes are waiting in the kernel, held back for the next catch-up.
    bool holding() const { return m_holding; }
    /// The bytes being handed on were held back and are read by their catch-up.
    bool catchingUp() const { return m_catchingUp; }

signals:
    /// Bytes have come and are held back (for a benchmark's time to screen).
    void bytesHeld();

private:
    void readyRead();
    void drain();
    void queueDrain();
    void resetHold();
    bool shouldHold() const;
    void readFailed();

    QTcpSocket m_sock;
    QTimer m_holdLimit;
    // Since the end of the last read that left nothing behind.
    QElapsedTimer m_sinceDryRead;
    // The rate the bytes come at, measured over windows of a tenth of a second.
    QElapsedTimer m_rateWindow;
    qint64 m_rateWindowBytes = 0;
    bool m_fastStream = false;
    bool m_holdAllowed = true;
    bool m_holding = false;
    bool m_catchingUp = false;
    bool m_drainQueued = false;
    bool m_draining = false;
    bool m_broken = false;
    bool m_peerClosed = false;
};
