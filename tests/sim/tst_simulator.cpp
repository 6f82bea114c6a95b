/// @brief The simulator over a real loopback socket: replies byte for byte, command framing, the record stream and its ground truth.
#include "link/timeconversion.h"
#include "sim/instrumentsimulator.h"
#include "sim/simclient.h"

#include <QFile>
#include <QSignalSpy>
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

struct Cells {
    int lowA = 0;
    int highA = 0;
    int lowB = 0;
    int highB = 0;
};

/// Calibrates the way the panel does, keeping the last value each register gave at each level.
/// Register 3 is read twice at the low level and register 4 twice at the high one, so a simulator
/// that builds records on anything but the last reported readings is caught.
bool calibrate(SimClient& client, Cells& cells)
{
    const QByteArray reply = client.request(QByteArray("R\x00" "C\x01" "34" "3" "C\x03" "34" "4" "C\x00", 15), 18);
    if (reply.size() != 18)
        return false;
    cells.lowA = registerValue(reply.mid(6, 3));
    cells.lowB = registerValue(reply.mid(3, 3));
    cells.highA = registerValue(reply.mid(9, 3));
    cells.highB = registerValue(reply.mid(15, 3));
    return reply.at(0) == '3' && reply.at(6) == '3' && reply.at(15) == '4';
}

} // namespace

class TstSimulator : public QObject {
    Q_OBJECT
private slots:
    void replies_data();
    void replies();
    void registersAreWellFormed();
    void calibrationReadingsStayInTheirWindows();
    void commandSplitAcrossWrites_data();
    void commandSplitAcrossWrites();
    void dacSetPointKeepsTwelveBits_data();
    void dacSetPointKeepsTwelveBits();
    void listensOnLoopbackOnly();
    void streamStartsAndStops();
    void groundTruthMatchesTheStream_data();
    void groundTruthMatchesTheStream();
};

void TstSimulator::replies_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("heartbeat") << QByteArray("H") << QByteArray("H");
    QTest::newRow("version, module text padded") << QByteArray("V") << QuietVersion;
    QTest::newRow("Verilog version") << QByteArray("7") << QByteArray("7\x05\xA7");
    QTest::newRow("low level, then ADC A and B") << QByteArray("C\x01" "34") << registerBytes('3', 500) + registerBytes('4', 510);
    QTest::newRow("high level, then ADC A and B") << QByteArray("C\x03" "34") << registerBytes('3', 3600) + registerBytes('4', 3590);
    QTest::newRow("state follows the level") << QByteArray("C\x01" "6" "C\x03" "6" "C\x00" "6", 9)
                                             << QByteArray("6\x00\x01" "6\x00\x02" "6\x00\x00", 9);
    QTest::newRow("level and run off answer nothing") << QByteArray("C\x00R\x00H", 5) << QByteArray("H");
    QTest::newRow("unknown bytes are skipped") << QByteArray("89xZ\xFFPH") << QByteArray("H");
    QTest::newRow("several commands, answered in order") << QByteArray("HV7H") << "H" + QuietVersion + "7\x05\xA7" + "H";
}

void TstSimulator::replies()
{
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, expected);
    InstrumentSimulator sim(quietConfig());
    QVERIFY2(sim.start(0), qPrintable(sim.errorString()));
    SimClient client;
    QVERIFY(client.connectTo(sim.port()));
    QCOMPARE(client.request(command, expected.size()), expected);
    QCOMPARE(sim.receivedBytes(), command);
}

void TstSimulator::registersAreWellFormed()
{
    SimulatorConfig config = quietConfig();
    config.setUnusedBits = true;
    InstrumentSimulator sim(config);
    QVERIFY(sim.start(0));
    SimClient client;
    QVERIFY(client.connectTo(sim.port()));
    bool unusedBitsSeen = false;
    for (int round = 0; round < 4; ++round) {
        const QByteArray replies = client.request("01234567", 24);
        QCOMPARE(replies.size(), 24);
        for (int i = 0; i < 8; ++i) {
            const QByteArray reply = replies.mid(3 * i, 3);
            QCOMPARE(reply.at(0), char('0' + i));
            unusedBitsSeen |= (quint8(reply.at(1)) & 0xF0) != 0;
        }
        QCOMPARE(registerValue(replies.mid(21, 3)), 0x5A7);
    }
    QVERIFY(unusedBitsSeen);

    // The cycle timer runs on its own.
    const int before = registerValue(client.request("5", 3));
    QTest::qWait(30);
    QVERIFY(registerValue(client.request("5", 3)) != before);
}

void TstSimulator::calibrationReadingsStayInTheirWindows()
{
    InstrumentSimulator sim; // default levels and noise
    QVERIFY(sim.start(0));
    SimClient client;
    QVERIFY(client.connectTo(sim.port()));
    QSet<int> seen;
    for (int round = 0; round < 30; ++round) {
        const QByteArray reply = client.request(QByteArray("C\x01" "34" "C\x03" "34" "C\x00", 10), 12);
        QCOMPARE(reply.size(), 12);
        const int lowA = registerValue(reply.mid(0, 3));
        const int lowB = registerValue(reply.mid(3, 3));
        const int highA = registerValue(reply.mid(6, 3));
        const int highB = registerValue(reply.mid(9, 3));
        for (int low : {lowA, lowB})
            QVERIFY2(low > 450 && low < 550, qPrintable(QString::number(low)));
        for (int high : {highA, highB})
            QVERIFY2(high > 3550 && high < 3650, qPrintable(QString::number(high)));
        QVERIFY(std::abs(lowA - 500) <= 3 && std::abs(lowB - 510) <= 3 && std::abs(highA - 3600) <= 3 && std::abs(highB - 3590) <= 3);
        seen.insert(lowA);
        // What the records are built against is exactly what the panel just captured.
        const auto reported = sim.reportedCalibration();
        QCOMPARE(reported.lowA, lowA);
        QCOMPARE(reported.lowB, lowB);
        QCOMPARE(reported.highA, highA);
        QCOMPARE(reported.highB, highB);
    }
    QVERIFY2(seen.size() > 1, "the readings carry no noise");
}

void TstSimulator::commandSplitAcrossWrites_data()
{
    QTest::addColumn<int>("cut");
    const QByteArray sequence("C\x01" "34" "A\x05\xDC" "V" "C\x00" "7", 11);
    for (int cut = 1; cut < sequence.size(); ++cut)
        QTest::addRow("cut after byte %d", cut) << cut;
}

void TstSimulator::commandSplitAcrossWrites()
{
    QFETCH(int, cut);
    const QByteArray sequence("C\x01" "34" "A\x05\xDC" "V" "C\x00" "7", 11);
    InstrumentSimulator sim(quietConfig());
    QVERIFY(sim.start(0));
    SimClient client;
    QVERIFY(client.connectTo(sim.port()));
    client.send(sequence.left(cut));
    // The simulator must have read the first part on its own before the rest arrives.
    QTRY_COMPARE(sim.bytesReceived(), quint64(cut));
    client.send(sequence.mid(cut));
    const QByteArray expected = registerBytes('3', 500) + registerBytes('4', 510) + QuietVersion + "7\x05\xA7";
    QVERIFY(client.waitForBytes(expected.size()));
    QCOMPARE(client.data(), expected);
    QCOMPARE(sim.dacACode(), 1500);
    QCOMPARE(sim.receivedBytes(), sequence);
}

void TstSimulator::dacSetPointKeepsTwelveBits_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<int>("code");
    QTest::newRow("4095") << QByteArray("A\x0F\xFF") << 4095;
    QTest::newRow("255") << QByteArray("A\x00\xFF", 3) << 255;
    QTest::newRow("256") << QByteArray("A\x01\x00", 3) << 256;
    QTest::newRow("upper bits dropped") << QByteArray("A\xF1\x23") << 0x123;
}

void TstSimulator::dacSetPointKeepsTwelveBits()
{
    QFETCH(QByteArray, command);
    QFETCH(int, code);
    InstrumentSimulator sim(quietConfig());
    QVERIFY(sim.start(0));
    SimClient client;
    QVERIFY(client.connectTo(sim.port()));
    // No reply of its own: the heartbeat behind it shows it has been taken.
    QCOMPARE(client.request(command + "H", 1), QByteArray("H"));
    QCOMPARE(sim.dacACode(), code);
}

void TstSimulator::listensOnLoopbackOnly()
{
    InstrumentSimulator first;
    QVERIFY(first.start(0));
    QVERIFY(first.port() != 0);
    InstrumentSimulator second;
    QVERIFY(!second.start(first.port()));
    QVERIFY(!second.errorString().isEmpty());

    // Bound to 127.0.0.1 alone: another loopback address finds nobody there.
    QTcpSocket other;
    other.connectToHost(QHostAddress(QStringLiteral("127.0.0.2")), first.port());
    QVERIFY(QTest::qWaitFor([&] { return other.state() == QAbstractSocket::UnconnectedState; }, 3000));
    QCOMPARE(other.error(), QAbstractSocket::ConnectionRefusedError);
}

void TstSimulator::streamStartsAndStops()
{
    SimulatorConfig config;
    config.recordsPerSecond = 20000;
    config.overrangeFraction = 0.05;
    config.backgroundFraction = 0.2;
    config.keepSentBytes = true;
    InstrumentSimulator sim(config);
    QVERIFY(sim.start(0));
    SimClient client;
    QVERIFY(client.connectTo(sim.port()));
    Cells cells;
    QVERIFY(calibrate(client, cells));

    client.send(QByteArray("R\x01", 2));
    QVERIFY(client.waitForBytes(2000 * 7, 10000));
    client.send(QByteArray("R\x00", 2));
    QVERIFY(client.drainStream());

    const QList<SimRecord> records = client.records();
    QCOMPARE(qsizetype(records.size()), (client.data().size() - 1) / 7);
    QCOMPARE(sim.recordsSent(), quint64(records.size()));
    int flagged = 0;
    for (const SimRecord& r : records) {
        QVERIFY2(r.a > 650 && r.a < 2350 && r.b > 650 && r.b < 2350, r.bytes.toHex().constData());
        QCOMPARE(r.flags & ~0x03, 0);
        flagged += r.flags != 0;
    }
    QVERIFY(flagged > 0 && flagged < records.size() / 4);
    // Everything after the 18 calibration reply bytes, exactly as the client got it.
    QCOMPARE(sim.sentBytes().mid(18), client.data());

    // Stopped means stopped: nothing but the heartbeat reply follows.
    client.clear();
    QTest::qWait(50);
    QCOMPARE(client.request("H", 1), QByteArray("H"));
    QCOMPARE(sim.recordsSent(), quint64(records.size()));
}

void TstSimulator::groundTruthMatchesTheStream_data()
{
    QTest::addColumn<double>("peak");
    QTest::addColumn<double>("width");
    QTest::addColumn<double>("background");
    QTest::newRow("B 25 ns after A") << -25000.0 << 200.0 << 0.0;
    QTest::newRow("B before A, no coarse offset") << 3000.0 << 150.0 << 0.0;
    QTest::newRow("near the end of the offset range") << -2500000.0 << 500.0 << 0.0;
    // The whole background span lies inside what the instrument can represent.
    QTest::newRow("with flat background") << -60000.0 << 200.0 << 0.3;
}

void TstSimulator::groundTruthMatchesTheStream()
{
    QFETCH(double, peak);
    QFETCH(double, width);
    QFETCH(double, background);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    SimulatorConfig config;
    config.recordsPerSecond = 50000;
    config.peakPs = peak;
    config.peakWidthPs = width;
    config.backgroundFraction = background;
    config.backgroundSpanPs = 100000;
    config.groundTruthPath = dir.filePath(QStringLiteral("truth.txt"));
    InstrumentSimulator sim(config);
    QVERIFY(sim.start(0));
    SimClient client;
    QVERIFY(client.connectTo(sim.port()));
    Cells cells;
    QVERIFY(calibrate(client, cells));
    client.send(QByteArray("R\x01", 2));
    QVERIFY(client.waitForBytes(4000 * 7, 10000));
    client.send(QByteArray("R\x00", 2));
    QVERIFY(client.drainStream());
    sim.stop();

    QFile file(config.groundTruthPath);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QList<QByteArray> lines;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (!line.isEmpty() && !line.startsWith('#'))
            lines.append(line);
    }
    const QList<SimRecord> records = client.records();
    QCOMPARE(lines.size(), records.size());

    double sum = 0;
    double sumSquares = 0;
    int inPeak = 0;
    for (qsizetype i = 0; i < records.size(); ++i) {
        const QList<QByteArray> fields = lines[i].split(' ');
        QCOMPARE(fields.size(), 3);
        QCOMPARE(fields[0], records[i].bytes.toHex());
        const double truth = fields[1].toDouble();
        const auto tA = timeconv::channelTime(9.47, records[i].a, cells.lowA, cells.highA);
        const auto tB = timeconv::channelTime(9.49, records[i].b, cells.lowB, cells.highB);
        const auto dt = timeconv::timeDifference(tA.ns, tB.ns, records[i].offset);
        QCOMPARE(dt.fault, timeconv::Fault::None);
        QCOMPARE(fields[2].toInt(), dt.ps);
        // Half a code on each ramp is under 4 ps even at the top of the plausible band.
        QVERIFY2(std::abs(truth - dt.ps) < 9, lines[i].constData());
        if (std::abs(truth - peak) < 10 * width) {
            ++inPeak;
            sum += truth;
            sumSquares += truth * truth;
        }
    }
    const double mean = sum / inPeak;
    const double sigma = std::sqrt(sumSquares / inPeak - mean * mean);
    QVERIFY2(std::abs(mean - peak) < 5 * width / std::sqrt(inPeak) + 1, qPrintable(QString::number(mean)));
    if (background == 0) {
        QCOMPARE(inPeak, records.size());
        QVERIFY2(std::abs(sigma - width) < 0.1 * width, qPrintable(QString::number(sigma)));
    } else {
        // The flat part that falls under the peak window is small against the tolerance.
        const double outside = 1.0 - double(inPeak) / records.size();
        QVERIFY2(std::abs(outside - background) < 0.05, qPrintable(QString::number(outside)));
    }
}

QTEST_GUILESS_MAIN(TstSimulator)
#include "tst_simulator.moc"
