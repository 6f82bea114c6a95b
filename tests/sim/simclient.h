/// @brief The simulator on a fake clock with one in-process client: exact bytes out, every arrival kept, time only as
/// the test moves it.
#pragma once

#include "platform/fakeclock.h"
#include "sim/instrumentsimulator.h"
#include "sim/simulatorsocket.h"

#include <QList>
#include <utility>

struct SimRecord {
    int a = 0;
    int b = 0;
    int offset = 0;
    QByteArray bytes;
};

struct SimRig {
    FakeClock clock;
    InstrumentSimulator sim;
    SimulatorSocket socket{sim, clock};
    QByteArray data;            ///< everything received since the last clear()
    QList<QByteArray> arrivals; ///< the same, as it arrived

    explicit SimRig(SimulatorConfig config = {}) : sim(std::move(config), clock)
    {
        sim.startInProcess();
        QObject::connect(&socket, &Socket::dataArrived, &socket, [this](const QByteArray& bytes) {
            data += bytes;
            arrivals.append(bytes);
        });
    }
    bool connect()
    {
        socket.connectToHost(QStringLiteral("127.0.0.1"), 0);
        clock.elapse(0);
        return socket.state() == Socket::Connected;
    }
    /// Sends and lets the simulator answer, without moving the clock.
    void send(const QByteArray& bytes) { socket.send(bytes), clock.elapse(0); }
    QByteArray request(const QByteArray& command) { return clear(), send(command), take(); }
    /// After a run stop: true when everything received is whole records followed by the reply
    /// to one more heartbeat.
    bool drainStream()
    {
        send("H");
        return recordsEnd() == data.size() - 1 && data.endsWith('H');
    }
    /// The records at the start of what was received, stopping at the first byte that begins none.
    QList<SimRecord> records() const
    {
        QList<SimRecord> out;
        for (qsizetype p = 0; p < recordsEnd(); p += 7) {
            const auto at = [&](qsizetype i) { return int(quint8(data.at(p + i))); };
            out.append({at(1) * 256 + at(2), (at(3) & 0x0F) * 256 + at(4), at(5), data.mid(p, 7)});
        }
        return out;
    }
    QByteArray take() { return arrivals.clear(), std::exchange(data, {}); }
    void clear() { data.clear(), arrivals.clear(); }

private:
    qsizetype recordsEnd() const
    {
        qsizetype p = 0;
        while (p + 7 <= data.size() && data.at(p) == 'R')
            p += 7;
        return p;
    }
};

/// A register reply's 12-bit value.
inline int registerValue(const QByteArray& reply) { return (quint8(reply.at(1)) & 0x0F) * 256 + quint8(reply.at(2)); }

/// The reply "3"/"4" with the given value, as the instrument encodes it.
inline QByteArray registerBytes(char digit, int value)
{
    return QByteArray(1, digit) + char(value >> 8) + char(value & 0xFF);
}
