/// @brief Each fault switch of the simulator, seen from an in-process client on a fake clock: what stops, what leaks,
/// and the recovery.
#include "sim/simclient.h"

#include <QSignalSpy>
#include <QtTest>
#include <string_view>

namespace {

SimulatorConfig streamingConfig()
{
    SimulatorConfig config;
    config.recordsPerSecond = 5000;
    config.keepSentBytes = true;
    return config;
}

} // namespace

class TstSimulatorFaults : public QObject {
    Q_OBJECT
private slots:
    void droppedHeartbeatsGoUnanswered()
    {
        SimRig rig;
        QVERIFY(rig.connect());
        rig.sim.dropHeartbeats(2);
        // Three heartbeats and a version request: only the third heartbeat is answered, then the version.
        const QByteArray replies = rig.request("HHHV");
        QCOMPARE(replies.size(), 17);
        QCOMPARE(replies.left(2), QByteArray("HV"));
        QCOMPARE(rig.request("H"), QByteArray("H"));
    }

    // A silence drops what is asked during it; a stall holds it and sends it when it ends. Either
    // way the commands take effect, and the stream resumes without a burst for the pause.
    void silenceAndStall_data()
    {
        QTest::addColumn<bool>("silence");
        QTest::newRow("silence") << true;
        QTest::newRow("stall") << false;
    }

    void silenceAndStall()
    {
        QFETCH(bool, silence);
        SimRig rig(streamingConfig());
        QVERIFY(rig.connect());
        rig.send(QByteArray("R\x01", 2));
        rig.clock.elapse(0.1);
        QVERIFY(rig.sim.recordsSent() > 400);

        silence ? rig.sim.silence(800) : rig.sim.stall(800);
        const quint64 before = rig.sim.recordsSent();
        rig.clear();
        rig.send(QByteArray("HV"
                            "C\x01",
                            4));
        rig.clock.elapse(0.79);
        QCOMPARE(rig.data, QByteArray());
        QCOMPARE(rig.sim.recordsSent(), before);
        QCOMPARE(rig.sim.calibrationLevel(), InstrumentSimulator::CalibrationLevel::Low);

        rig.clock.elapse(0.02);
        if (!silence) {
            QCOMPARE(rig.data.left(2), QByteArray("HV"));
            rig.data.remove(0, 17);
        }
        rig.clock.elapse(0.1);
        const quint64 resumed = rig.sim.recordsSent() - before;
        QVERIFY2(resumed >= 500 && resumed <= 600, qPrintable(QString::number(resumed)));
        rig.send(QByteArray("R\x00", 2));
        QVERIFY(rig.drainStream());
        QCOMPARE(quint64(rig.records().size()), resumed);
    }

    void refusedConnections_data()
    {
        QTest::addColumn<InstrumentSimulator::RefuseMode>("mode");
        QTest::newRow("accepted, then closed") << InstrumentSimulator::RefuseMode::CloseAccepted;
        QTest::newRow("port closed") << InstrumentSimulator::RefuseMode::StopListening;
    }

    void refusedConnections()
    {
        QFETCH(InstrumentSimulator::RefuseMode, mode);
        const bool closed = mode == InstrumentSimulator::RefuseMode::StopListening;
        SimRig rig;
        QSignalSpy connected(&rig.sim, &InstrumentSimulator::clientConnected);
        QSignalSpy errors(&rig.socket, &Socket::errorOccurred);
        rig.sim.refuseConnections(800, mode);

        QVERIFY(!rig.connect());
        QCOMPARE(rig.socket.state(), int(closed ? Socket::Error : Socket::Closing));
        QCOMPARE((QList<int>{int(errors.count()), int(rig.sim.refusedConnections())}), (QList<int>{closed, !closed}));
        QCOMPARE(connected.count(), 0);

        rig.clock.elapse(0.79);
        QVERIFY(!rig.connect());
        rig.clock.elapse(0.01);
        QVERIFY(rig.connect());
        QCOMPARE(rig.request("H"), QByteArray("H"));
        QCOMPARE(connected.count(), 1);
    }

    void garbageBeginsNoReply()
    {
        SimRig rig;
        // With nobody connected the bytes wait for the next client.
        rig.sim.sendGarbage(10);
        QVERIFY(rig.connect());
        QCOMPARE(rig.data.size(), 10);
        rig.sim.sendGarbage(200);
        rig.clock.elapse(0);
        QCOMPARE(rig.data.size(), 210);
        for (char c : rig.take())
            QVERIFY2(std::string_view("HPRV01234567").find(c) == std::string_view::npos,
                     QByteArray(1, c).toHex().constData());
        QCOMPARE(rig.request("H"), QByteArray("H"));
    }

    void splitRepliesArriveInPieces()
    {
        SimulatorConfig config = streamingConfig();
        config.splitGapMs = 30;
        SimRig rig(config);
        QVERIFY(rig.connect());
        const QByteArray version = rig.request("V");
        rig.sim.splitReplies(10000);
        rig.request("V");
        rig.clock.elapse(0.2);
        QCOMPARE(rig.data, version);
        QVERIFY2(rig.arrivals.size() >= 2, "the reply came in one piece");

        // Records cut anywhere still reassemble, and count as sent only once wholly written.
        rig.clear();
        rig.send(QByteArray("R\x01", 2));
        rig.clock.elapse(0.5);
        rig.send(QByteArray("R\x00", 2));
        rig.clock.elapse(0.5);
        QVERIFY(rig.drainStream());
        rig.sim.clearFaults();
        QVERIFY(rig.records().size() > 100);
        QCOMPARE(quint64(rig.records().size()), rig.sim.recordsSent());
        QVERIFY(rig.sim.sentBytes().endsWith(rig.data));
    }
};

QTEST_GUILESS_MAIN(TstSimulatorFaults)
#include "tst_simulatorfaults.moc"
