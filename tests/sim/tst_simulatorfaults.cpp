/// @brief Each fault switch of the simulator, seen from a loopback client: what stops, what leaks, and the recovery.
#include "sim/instrumentsimulator.h"
#include "sim/simclient.h"

#include <QSignalSpy>
#include <QtTest>
#include <string_view>

namespace {

SimulatorConfig streamingConfig()
{
    SimulatorConfig config;
    config.recordsPerSecond = 5000;
    return config;
}

} // namespace

class TstSimulatorFaults : public QObject {
    Q_OBJECT
private slots:
    void droppedHeartbeatsGoUnanswered();
    void silenceAnswersNothingThenRecovers();
    void droppedConnectionsAreReset();
    void refusedConnections_data();
    void refusedConnections();
    void garbageBeginsNoReply();
    void splitRepliesArriveInPieces();
    void stallHoldsRepliesThenSendsThem();
};

void TstSimulatorFaults::droppedHeartbeatsGoUnanswered()
{
    InstrumentSimulator sim;
    QVERIFY(sim.start(0));
    SimClient client;
    QVERIFY(client.connectTo(sim.port()));
    sim.dropHeartbeats(2);
    // Three heartbeats and a version request: only the third heartbeat is answered, then the version.
    const QByteArray replies = client.request("HHHV", 17);
    QCOMPARE(replies.size(), 17);
    QCOMPARE(replies.left(2), QByteArray("HV"));
    QCOMPARE(client.request("H", 1), QByteArray("H"));
}

void TstSimulatorFaults::silenceAnswersNothingThenRecovers()
{
    InstrumentSimulator sim(streamingConfig());
    QVERIFY(sim.start(0));
    SimClient client;
    QVERIFY(client.connectTo(sim.port()));
    client.send(QByteArray("R\x01", 2));
    QTRY_VERIFY(sim.recordsSent() > 50);

    sim.silence(800);
    const quint64 before = sim.recordsSent();
    client.clear();
    client.send(QByteArray("HV" "C\x01", 4));
    QTest::qWait(150);
    QCOMPARE(client.data(), QByteArray());
    QCOMPARE(sim.recordsSent(), before);
    // Deaf it is not: the commands arrived and took effect.
    QVERIFY(sim.receivedBytes().endsWith(QByteArray("HVC\x01", 4)));
    QCOMPARE(sim.calibrationLevel(), InstrumentSimulator::CalibrationLevel::Low);

    QTRY_VERIFY_WITH_TIMEOUT(!sim.faults().silent(), 3000);
    QTRY_VERIFY(sim.recordsSent() > before);
    client.send(QByteArray("R\x00", 2));
    QVERIFY(client.drainStream());
    // Nothing asked during the silence is answered late: whole records from the start, then the heartbeat.
    QCOMPARE(client.records().size() * 7 + 1, client.data().size());
    QVERIFY(!client.records().isEmpty());
}

void TstSimulatorFaults::droppedConnectionsAreReset()
{
    InstrumentSimulator sim(streamingConfig());
    QVERIFY(sim.start(0));
    QSignalSpy gone(&sim, &InstrumentSimulator::clientDisconnected);
    SimClient client;
    QVERIFY(client.connectTo(sim.port()));
    client.send(QByteArray("R\x01", 2));
    QVERIFY(client.waitForBytes(70));
    sim.dropConnections();
    QVERIFY(client.waitDisconnected());
    QCOMPARE(gone.count(), 1);
    QCOMPARE(sim.connectionCount(), 0);

    SimClient again;
    QVERIFY(again.connectTo(sim.port()));
    QCOMPARE(again.request("H", 1), QByteArray("H"));
}

void TstSimulatorFaults::refusedConnections_data()
{
    QTest::addColumn<InstrumentSimulator::RefuseMode>("mode");
    QTest::newRow("accepted, then closed") << InstrumentSimulator::RefuseMode::CloseAccepted;
    QTest::newRow("port closed") << InstrumentSimulator::RefuseMode::StopListening;
}

void TstSimulatorFaults::refusedConnections()
{
    QFETCH(InstrumentSimulator::RefuseMode, mode);
    InstrumentSimulator sim;
    QVERIFY(sim.start(0));
    const quint16 port = sim.port();
    QSignalSpy connected(&sim, &InstrumentSimulator::clientConnected);
    sim.refuseConnections(800, mode);

    SimClient refused;
    refused.socket().connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(refused.waitDisconnected());
    if (mode == InstrumentSimulator::RefuseMode::StopListening)
        QCOMPARE(refused.socket().error(), QAbstractSocket::ConnectionRefusedError);
    else
        QCOMPARE(sim.refusedConnections(), 1);
    QCOMPARE(refused.data(), QByteArray());
    QCOMPARE(connected.count(), 0);

    QTRY_VERIFY_WITH_TIMEOUT(!sim.faults().refusing() && sim.isListening(), 3000);
    SimClient accepted;
    QVERIFY(accepted.connectTo(port));
    QCOMPARE(accepted.request("H", 1), QByteArray("H"));
    QCOMPARE(connected.count(), 1);
}

void TstSimulatorFaults::garbageBeginsNoReply()
{
    InstrumentSimulator sim;
    QVERIFY(sim.start(0));
    // With nobody connected the bytes wait for the next client.
    sim.sendGarbage(10);
    SimClient client;
    QVERIFY(client.connectTo(sim.port()));
    QVERIFY(client.waitForBytes(10));
    sim.sendGarbage(200);
    QVERIFY(client.waitForBytes(210));
    QTest::qWait(20);
    const QByteArray garbage = client.take();
    QCOMPARE(garbage.size(), 210);
    for (char c : garbage)
        QVERIFY2(std::string_view("HPRV01234567").find(c) == std::string_view::npos, QByteArray(1, c).toHex().constData());
    QCOMPARE(client.request("H", 1), QByteArray("H"));
}

void TstSimulatorFaults::splitRepliesArriveInPieces()
{
    SimulatorConfig config = streamingConfig();
    config.splitGapMs = 30;
    config.keepSentBytes = true;
    InstrumentSimulator sim(config);
    QVERIFY(sim.start(0));
    SimClient client;
    QVERIFY(client.connectTo(sim.port()));
    const QByteArray version = client.request("V", 16);
    QCOMPARE(version.size(), 16);

    sim.splitReplies(10000);
    client.send("V");
    QVERIFY(client.waitForBytes(16, 5000));
    QCOMPARE(client.data(), version);
    QVERIFY2(client.arrivals().size() >= 2, "the reply came in one piece");

    // Records cut anywhere still reassemble, and count as sent only once wholly written.
    client.clear();
    client.send(QByteArray("R\x01", 2));
    QVERIFY(client.waitForBytes(7 * 100, 5000));
    client.send(QByteArray("R\x00", 2));
    QVERIFY(client.drainStream());
    sim.clearFaults();
    QCOMPARE(quint64(client.records().size()), sim.recordsSent());
    QVERIFY(sim.sentBytes().endsWith(client.data()));
}

void TstSimulatorFaults::stallHoldsRepliesThenSendsThem()
{
    InstrumentSimulator sim(streamingConfig());
    QVERIFY(sim.start(0));
    SimClient client;
    QVERIFY(client.connectTo(sim.port()));
    sim.stall(800);
    client.send("HV");
    QTest::qWait(150);
    QCOMPARE(client.data(), QByteArray());
    QVERIFY(client.waitForBytes(17, 3000));
    QTest::qWait(20);
    QCOMPARE(client.data().size(), 17);
    QCOMPARE(client.data().left(2), QByteArray("HV"));
}

QTEST_GUILESS_MAIN(TstSimulatorFaults)
#include "tst_simulatorfaults.moc"
