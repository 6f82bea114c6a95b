/// @brief The simulator: replies byte for byte, command framing, the record stream and its ground truth (in process, on
/// a fake clock), and its TCP front on loopback.
#include "link/timeconversion.h"
#include "sim/instrumentsimulator.h"
#include "sim/recordgenerator.h"
#include "sim/simclient.h"

#include <QFile>
#include <QHostAddress>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>
#include <cmath>

namespace {

SimulatorConfig quietConfig()
{
    SimulatorConfig config;
    config.calNoise = 0;
    config.fpgaMajor = 7;
    config.fpgaMinor = 4;
    config.fpgaRevision = 9;
    config.moduleVersion = " NM 1.0";
    config.verilogVersion = 0x5A7;
    return config;
}

const QByteArray QuietVersion = QByteArray("V\x07\x49 NM 1.0      ", 16);

using Cells = RecordGenerator::Calibration;

/// Calibrates the way the panel does, keeping the last value each register gave at each level.
/// Register 3 is read twice at the low level and register 4 twice at the high one, so a simulator
/// that builds records on anything but the last reported readings is caught.
bool calibrate(SimRig& rig, Cells& cells)
{
    const QByteArray reply = rig.request(QByteArray("R\x00"
                                                    "C\x01"
                                                    "34"
                                                    "3"
                                                    "C\x03"
                                                    "34"
                                                    "4"
                                                    "C\x00",
                                                    15));
    if (reply.size() != 18)
        return false;
    cells = {registerValue(reply.mid(6, 3)), registerValue(reply.mid(9, 3)), registerValue(reply.mid(3, 3)),
             registerValue(reply.mid(15, 3))};
    return reply.at(0) == '3' && reply.at(6) == '3' && reply.at(15) == '4';
}

/// The commands both split tests send, cut after every byte in turn.
QByteArray splitSequence()
{
    return QByteArray("C\x01"
                      "34"
                      "A\x05\xDC"
                      "V"
                      "C\x00"
                      "7",
                      11);
}
} // namespace
class TstSimulator : public QObject {
    Q_OBJECT
private slots:
    void replies_data()
    {
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<QByteArray>("expected");
        QTest::addColumn<int>("dacCode"); // the DAC set-point has no reply of its own
        QTest::newRow("heartbeat") << QByteArray("H") << QByteArray("H") << 0;
        QTest::newRow("version, module text padded") << QByteArray("V") << QuietVersion << 0;
        QTest::newRow("Verilog version") << QByteArray("7") << QByteArray("7\x05\xA7") << 0;
        QTest::newRow("low level, then ADC A and B") << QByteArray("C\x01"
                                                                   "34")
                                                     << registerBytes('3', 500) + registerBytes('4', 510) << 0;
        QTest::newRow("high level, then ADC A and B") << QByteArray("C\x03"
                                                                    "34")
                                                      << registerBytes('3', 3600) + registerBytes('4', 3590) << 0;
        QTest::newRow("state follows the level") << QByteArray("C\x01"
                                                               "6"
                                                               "C\x03"
                                                               "6"
                                                               "C\x00"
                                                               "6",
                                                               9)
                                                 << QByteArray("6\x00\x01"
                                                               "6\x00\x02"
                                                               "6\x00\x00",
                                                               9)
                                                 << 0;
        QTest::newRow("level and run off answer nothing") << QByteArray("C\x00R\x00H", 5) << QByteArray("H") << 0;
        QTest::newRow("unknown bytes are skipped") << QByteArray("89xZ\xFFPH") << QByteArray("H") << 0;
        QTest::newRow("DAC A 4095") << QByteArray("A\x0F\xFFH") << QByteArray("H") << 4095;
        QTest::newRow("DAC A 256") << QByteArray("A\x01\x00H", 4) << QByteArray("H") << 256;
        QTest::newRow("DAC A, upper bits dropped") << QByteArray("A\xF1\x23H") << QByteArray("H") << 0x123;
        QTest::newRow("several commands, answered in order")
            << QByteArray("HV7H") << "H" + QuietVersion + "7\x05\xA7" + "H" << 0;
    }

    void replies()
    {
        QFETCH(QByteArray, command);
        QFETCH(QByteArray, expected);
        QFETCH(int, dacCode);
        SimRig rig(quietConfig());
        QVERIFY(rig.connect());
        QCOMPARE(rig.request(command), expected);
        QCOMPARE(rig.sim.receivedBytes(), command);
        QCOMPARE(rig.sim.dacACode(), dacCode);
    }

    void registersAreWellFormed()
    {
        SimulatorConfig config = quietConfig();
        config.setUnusedBits = true;
        SimRig rig(config);
        QVERIFY(rig.connect());
        bool unusedBitsSeen = false;
        for (int round = 0; round < 4; ++round) {
            const QByteArray replies = rig.request("01234567");
            QCOMPARE(replies.size(), 24);
            for (int i = 0; i < 8; ++i) {
                QCOMPARE(replies.at(3 * i), char('0' + i));
                unusedBitsSeen |= (quint8(replies.at(3 * i + 1)) & 0xF0) != 0;
            }
            QCOMPARE(registerValue(replies.mid(21, 3)), 0x5A7);
        }
        QVERIFY(unusedBitsSeen);

        // The cycle counter counts milliseconds, in 12 bits.
        const int before = registerValue(rig.request("5"));
        rig.clock.elapse(0.03);
        QCOMPARE(registerValue(rig.request("5")), (before + 30) & 0x0FFF);
        rig.clock.elapse(4.096);
        QCOMPARE(registerValue(rig.request("5")), (before + 30) & 0x0FFF);
    }

    void commandSplitAcrossWrites_data()
    {
        QTest::addColumn<int>("cut");
        const QByteArray sequence = splitSequence();
        for (int cut = 1; cut < sequence.size(); ++cut)
            QTest::addRow("cut after byte %d", cut) << cut;
    }

    void commandSplitAcrossWrites()
    {
        QFETCH(int, cut);
        const QByteArray sequence = splitSequence();
        SimRig rig(quietConfig());
        QVERIFY(rig.connect());
        rig.send(sequence.left(cut));
        QCOMPARE(rig.sim.bytesReceived(), quint64(cut));
        rig.send(sequence.mid(cut));
        QCOMPARE(rig.data, registerBytes('3', 500) + registerBytes('4', 510) + QuietVersion + "7\x05\xA7");
        QCOMPARE(rig.sim.dacACode(), 1500);
        QCOMPARE(rig.sim.receivedBytes(), sequence);
    }

    void tcpFrontOnLoopbackOnly()
    {
        InstrumentSimulator first(quietConfig());
        QVERIFY(first.start(0) && first.port() != 0);
        InstrumentSimulator second;
        QVERIFY(!second.start(first.port()) && !second.errorString().isEmpty());

        // The same bytes as in process, over the wire.
        QTcpSocket client;
        QByteArray got;
        connect(&client, &QTcpSocket::readyRead, this, [&] { got += client.readAll(); });
        client.connectToHost(QHostAddress::LocalHost, first.port());
        client.write(QByteArray("HV7"
                                "C\x01"
                                "34",
                                7));
        const QByteArray expected = "H" + QuietVersion + "7\x05\xA7" + registerBytes('3', 500)
                                    + registerBytes('4', 510);
        QTRY_COMPARE_WITH_TIMEOUT(got, expected, 5000);

        // A refusal closes the port, and it opens again by itself.
        first.refuseConnections(100, InstrumentSimulator::RefuseMode::StopListening);
        QVERIFY(!first.isListening());
        QTRY_VERIFY_WITH_TIMEOUT(first.isListening(), 3000);

        // Bound to 127.0.0.1 alone: another loopback address finds nobody there.
        QTcpSocket other;
        other.connectToHost(QHostAddress(QStringLiteral("127.0.0.2")), first.port());
        QVERIFY(QTest::qWaitFor([&] { return other.state() == QAbstractSocket::UnconnectedState; }, 3000));
        QCOMPARE(other.error(), QAbstractSocket::ConnectionRefusedError);
    }

    // The stream at its rate, stopped when told, and each line of the ground truth a record as
    // sent with the value the panel reads back from it with the calibration it captured; the
    // distribution itself is the generator's test.
    void streamAndItsGroundTruth_data()
    {
        QTest::addColumn<double>("peak");
        QTest::addColumn<double>("background");
        QTest::newRow("B 25 ns after A") << -25000.0 << 0.0;
        QTest::newRow("B before A, with flat background") << 3000.0 << 0.3;
    }

    void streamAndItsGroundTruth()
    {
        QFETCH(double, peak);
        QFETCH(double, background);
        QTemporaryDir dir;
        SimulatorConfig config;
        config.recordsPerSecond = 50000;
        config.keepSentBytes = true;
        config.peakPs = peak;
        config.backgroundFraction = background;
        config.groundTruthPath = dir.filePath(QStringLiteral("truth.txt"));
        SimRig rig(config);
        QVERIFY(rig.connect());
        Cells cells;
        QVERIFY(calibrate(rig, cells));
        // Each reading within its noise of the configured level.
        QVERIFY(std::abs(cells.lowA - 500) <= 3 && std::abs(cells.lowB - 510) <= 3 && std::abs(cells.highA - 3600) <= 3
                && std::abs(cells.highB - 3590) <= 3);
        rig.send(QByteArray("R\x01", 2));
        rig.clock.elapse(0.1);
        rig.send(QByteArray("R\x00", 2));
        QVERIFY(rig.drainStream());
        const QList<SimRecord> records = rig.records();
        QVERIFY2(std::abs(records.size() - 5000) <= 1, qPrintable(QString::number(records.size())));
        QCOMPARE(rig.sim.recordsSent(), quint64(records.size()));
        // Everything after the 18 calibration reply bytes, exactly as the client got it.
        QCOMPARE(rig.sim.sentBytes().mid(18), rig.data);
        // Stopped means stopped: nothing but the heartbeat reply follows.
        rig.clock.elapse(0.05);
        QCOMPARE(rig.request("H"), QByteArray("H"));
        QCOMPARE(rig.sim.recordsSent(), quint64(records.size()));
        rig.sim.stop();

        QFile file(config.groundTruthPath);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QList<QByteArray> lines = file.readAll().split('\n');
        lines.removeIf([](const QByteArray& line) { return line.isEmpty() || line.startsWith('#'); });
        QCOMPARE(lines.size(), records.size());
        for (qsizetype i = 0; i < records.size(); ++i) {
            const QList<QByteArray> fields = lines[i].split(' ');
            QCOMPARE(fields.size(), 3);
            QCOMPARE(fields[0], records[i].bytes.toHex());
            const auto tA = timeconv::channelTime(9.47, records[i].a, cells.lowA, cells.highA);
            const auto tB = timeconv::channelTime(9.49, records[i].b, cells.lowB, cells.highB);
            const auto dt = timeconv::timeDifference(tA.ns, tB.ns, records[i].offset);
            QCOMPARE(dt.fault, timeconv::Fault::None);
            QCOMPARE(fields[2].toInt(), dt.ps);
            // Half a code on each ramp is under 4 ps even at the top of the plausible band.
            QVERIFY2(std::abs(fields[1].toDouble() - dt.ps) < 9, lines[i].constData());
        }
    }
};

QTEST_GUILESS_MAIN(TstSimulator)
#include "tst_simulator.moc"
