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
    /// Bytes that come within this long of the last read wait until it has passed and are read
    /// together with what follows them. A stream of records is then read in a few large pieces
    /// instead of as many small ones as the network delivers, each of which would wake the
    /// program, and a quiet link's reply is still read at once.
    static constexpr int GatherMs = 10;
    /// Only while bytes come slower than this (twice the instrument's 100 Mbit/s): a faster
    /// stream keeps the program busy anyway, and every wait would be time it cannot make up.
    static constexpr qint64 GatherBelowBytesPerSecond = 25'000'000;

    /// Bytes are held back, or the gathering has ended and what waited in the kernel meanwhile
    /// is still to be read.
    bool gathering() const { return m_gathering || m_gatherEnded; }

signals:
    /// Bytes are waiting and held back for the gathering (for a benchmark's time to screen).
    void bytesHeld();

private:
    void readyRead();
    void drain();
    void queueDrain();
    void endGathering();
    void listenAgain();
    void stopGathering();

    QTcpSocket m_sock;
    QTimer m_gather;
    QElapsedTimer m_sinceRead;
    // The rate the bytes come at, measured over windows of a tenth of a second.
    QElapsedTimer m_rateWindow;
    qint64 m_rateWindowBytes = 0;
    bool m_fastStream = false;
    bool m_gathering = false;
    // The gathering has just ended: the next bytes are read at once, however recent the last read.
    bool m_gatherEnded = false;
    bool m_drainQueued = false;
    bool m_draining = false;
    bool m_broken = false;
    bool m_peerClosed = false;
};
