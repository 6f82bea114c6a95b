/// @brief A session on the in-process simulator driven through RemoteControl, with the answers kept per client, for the
/// control port's tests.
#pragma once

#include "common/fakes.h"
#include "control/calibrationmodel.h"
#include "measure/histogramfeed.h"
#include "platform/settingsbackend.h"
#include "platform/settingsstore.h"
#include "remote/remotecontrol.h"
#include "session/histogrambinding.h"
#include "session/instrumentsession.h"
#include "session/messagelog.h"
#include "session/paneloptions.h"
#include "sim/instrumentsimulator.h"
#include "sim/simulatorsocket.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>
#include <functional>
#include <map>

namespace remoterig {

/// Keeps what each client is sent; the test decides how much of it the network has not taken.
struct RecordingTransport final : ClientTransport {
    bool send(quint64 c, QByteArrayView bytes) override
    {
        if (onSend)
            onSend(c);
        answers[c] += bytes.toByteArray();
        sends[c] += 1;
        return true;
    }
    qint64 unsentBytes(quint64 c) const override { return unsent.count(c) ? unsent.at(c) : 0; }
    void setReading(quint64 c, bool on) override { reading[c] = on; }

    std::map<quint64, QByteArray> answers;
    std::map<quint64, int> sends;
    std::map<quint64, qint64> unsent;
    std::map<quint64, bool> reading;
    std::function<void(quint64)> onSend;
};

/// A session joined to the in-process simulator, and a RemoteControl whose answers are kept
/// per client; nothing happens until the test moves the clock.
struct Rig {
    explicit Rig(SimulatorConfig cfg = {}, bool keepTruth = true)
    {
        cfg.calNoise = 0;
        if (keepTruth)
            cfg.groundTruthPath = dir.filePath(QStringLiteral("truth.txt"));
        sim = std::make_unique<InstrumentSimulator>(cfg, clock);
        sim->startInProcess();
        socket = std::make_unique<SimulatorSocket>(*sim, clock);
        session = std::make_unique<InstrumentSession>(*socket, clock, boxes, log);
        options.setAddress(QStringLiteral("127.0.0.1"));
        options.setDataFolder(dir.path());
        session->bindOptions(options);
        bindHistogramFeed(*session, feed);
        remote = std::make_unique<RemoteControl>(*session, options, feed, clock, QStringLiteral("9.8.7"), transport);
        // A line runs to its end at once unless a test asks for turns: the answers are then
        // there when ask() returns.
        remote->setTurnBudget({1 << 30, 1 << 30});
        session->openConnection();
    }
    ~Rig() { remote.reset(); }

    void elapse(double seconds)
    {
        for (double t = 0; t < seconds; t += 0.01)
            clock.elapse(0.01);
    }
    /// The answers the client has been sent since the last call.
    QByteArray take(quint64 c) { return std::exchange(transport.answers[c], {}); }
    QByteArray ask(quint64 c, const QByteArray& line)
    {
        remote->lineReceived(c, line);
        return take(c);
    }
    /// What a reader of every option and state a command may touch would see.
    QString state() const
    {
        return QStringLiteral("run %1 file %2 verbose %3 raw %4 display %5 folder %6 address %7 tau %8/%9 dac %10")
            .arg(session->isRunTicked())
            .arg(options.value(PanelOptions::File))
            .arg(options.value(PanelOptions::Verbose))
            .arg(options.value(PanelOptions::Raw))
            .arg(options.value(PanelOptions::Display))
            .arg(options.dataFolder(), options.address(), session->calibrationShown().tauA,
                 session->calibrationShown().tauB)
            .arg(session->dacACode().value_or(-1));
    }

    QTemporaryDir dir;
    FakeClock clock;
    std::unique_ptr<InstrumentSimulator> sim;
    std::unique_ptr<SimulatorSocket> socket;
    FakeMessageBoxes boxes;
    MessageLog log;
    MemorySettingsBackend backend;
    SettingsStore store{backend};
    PanelOptions options{store};
    HistogramFeed feed;
    std::unique_ptr<InstrumentSession> session;
    RecordingTransport transport;
    std::unique_ptr<RemoteControl> remote;
};

/// The represented time difference of every record the simulator sent, in order.
inline QList<qint32> groundTruth(const QString& path)
{
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    QList<qint32> out;
    for (const QByteArray& line : f.readAll().split('\n')) {
        const QList<QByteArray> parts = line.trimmed().split(' ');
        if (parts.size() >= 3 && !line.startsWith('#'))
            out.append(parts.at(2).toInt());
    }
    return out;
}

inline QList<qint32> blockValues(const QByteArray& answer)
{
    const int digits = answer.at(1) - '0';
    const int length = answer.mid(2, digits).toInt();
    QList<qint32> out;
    for (int at = 2 + digits; at < 2 + digits + length; at += 4)
        out.append(qFromLittleEndian<qint32>(answer.constData() + at));
    return out;
}

} // namespace remoterig
