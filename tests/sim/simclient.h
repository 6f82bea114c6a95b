/// @brief A raw loopback client for the simulator tests: exact bytes out, every arrival kept, bounded waits.
#pragma once

#include <QHostAddress>
#include <QList>
#include <QTcpSocket>
#include <QTest>

struct SimRecord {
    int a = 0;
    int b = 0;
    int offset = 0;
    int flags = 0;
    QByteArray bytes;
};

class SimClient {
public:
    SimClient()
    {
        QObject::connect(&m_socket, &QTcpSocket::readyRead, &m_socket, [this] {
            const QByteArray bytes = m_socket.readAll();
            if (bytes.isEmpty())
                return;
            m_data += bytes;
            m_arrivals.append(bytes);
        });
    }

    bool connectTo(quint16 port, int timeoutMs = 3000)
    {
        m_socket.connectToHost(QHostAddress::LocalHost, port);
        return QTest::qWaitFor([&] { return m_socket.state() == QAbstractSocket::ConnectedState; }, timeoutMs);
    }
    bool isConnected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    bool waitDisconnected(int timeoutMs = 3000)
    {
        return QTest::qWaitFor([&] { return m_socket.state() == QAbstractSocket::UnconnectedState; }, timeoutMs);
    }

    void send(const QByteArray& bytes)
    {
        m_socket.write(bytes);
        m_socket.flush();
    }
    bool waitForBytes(qsizetype count, int timeoutMs = 3000)
    {
        return QTest::qWaitFor([&] { return m_data.size() >= count; }, timeoutMs);
    }
    /// Sends the command and waits for exactly replyLength bytes; returns them and forgets them.
    QByteArray request(const QByteArray& command, qsizetype replyLength, int timeoutMs = 3000)
    {
        clear();
        send(command);
        waitForBytes(replyLength, timeoutMs);
        // A reply longer than asked for is a fault too: give stray bytes a moment to show.
        QTest::qWait(5);
        return take();
    }

    /// After a run stop: sends a heartbeat and waits until everything received parses as whole
    /// records followed by that single "H". Returns false on anything else within the time.
    bool drainStream(int timeoutMs = 5000)
    {
        send("H");
        return QTest::qWaitFor([&] { return recordsEnd() == m_data.size() - 1 && m_data.endsWith('H'); }, timeoutMs);
    }
    /// The records at the start of what was received, stopping at the first byte that begins none.
    QList<SimRecord> records() const
    {
        QList<SimRecord> out;
        for (qsizetype p = 0; p < recordsEnd(); p += 7) {
            const auto at = [&](qsizetype i) { return int(quint8(m_data.at(p + i))); };
            out.append({at(1) * 256 + at(2), (at(3) & 0x0F) * 256 + at(4), at(5), at(6), m_data.mid(p, 7)});
        }
        return out;
    }

    QByteArray data() const { return m_data; }
    const QList<QByteArray>& arrivals() const { return m_arrivals; }
    QByteArray take()
    {
        const QByteArray bytes = m_data;
        clear();
        return bytes;
    }
    void clear()
    {
        m_data.clear();
        m_arrivals.clear();
    }
    QTcpSocket& socket() { return m_socket; }

private:
    qsizetype recordsEnd() const
    {
        qsizetype p = 0;
        while (p + 7 <= m_data.size() && m_data.at(p) == 'R')
            p += 7;
        return p;
    }

    QTcpSocket m_socket;
    QByteArray m_data;
    QList<QByteArray> m_arrivals;
};

/// A register reply's 12-bit value.
inline int registerValue(const QByteArray& reply) { return (quint8(reply.at(1)) & 0x0F) * 256 + quint8(reply.at(2)); }

/// The reply "3"/"4" with the given value, as the instrument encodes it.
inline QByteArray registerBytes(char digit, int value)
{
    QByteArray reply(3, '\0');
    reply[0] = digit;
    reply[1] = char(value >> 8);
    reply[2] = char(value & 0xFF);
    return reply;
}
