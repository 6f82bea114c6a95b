/// @brief The blast stream over loopback TCP: the ring repeated record for record, replies between records, exact
/// counts, its pace.
#include "platform/fakeclock.h"
#include "sim/instrumentsimulator.h"

#include <QFile>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr qsizetype RecordLength = 7;
constexpr qsizetype MaxKept = 96 << 20;

struct BlastRig {
    QTemporaryDir dir;
    FakeClock clock;
    InstrumentSimulator sim;
    QTcpSocket client;
    QByteArray got;

    explicit BlastRig(int ringRecords, double pacedRate = 0)
        : sim(config(dir.filePath("truth.txt"), ringRecords, pacedRate), clock)
    {
        client.setReadBufferSize(8 << 20);
        // Bounded, so that a stream that never shows what a test waits for cannot eat the machine's memory.
        QObject::connect(&client, &QTcpSocket::readyRead, &client, [this] {
            if (got.size() < MaxKept)
                got += client.readAll();
        });
    }
    static SimulatorConfig config(const QString& truth, int ringRecords, double pacedRate)
    {
        SimulatorConfig c;
        c.calNoise = 0;
        c.blast = true;
        c.blastRingRecords = ringRecords;
        c.blastPaced = pacedRate > 0;
        if (c.blastPaced)
            c.recordsPerSecond = pacedRate;
        c.groundTruthPath = truth;
        return c;
    }
    bool connect()
    {
        if (!sim.start(0))
            return false;
        client.connectToHost(QHostAddress::LocalHost, sim.port());
        return client.waitForConnected(3000);
    }
    /// The ring's bytes as the ground truth holds them, once; empty unless exactly declared records follow the ring
    /// line.
    QByteArray ring() const
    {
        QFile file(dir.filePath("truth.txt"));
        if (!file.open(QIODevice::ReadOnly))
            return {};
        qint64 declared = -1;
        QByteArray bytes;
        for (const QByteArray& line : file.readAll().split('\n')) {
            if (line.startsWith("# ring "))
                declared = line.split(' ').at(2).toLongLong();
            else if (declared >= 0 && !line.isEmpty() && !line.startsWith('#'))
                bytes += QByteArray::fromHex(line.left(2 * RecordLength));
        }
        return bytes.size() == declared * RecordLength ? bytes : QByteArray();
    }
};

/// Consumes records from `at` on while they equal ring[i % N], i counting on from `index`.
qint64 takeRecords(const QByteArray& data, qsizetype& at, const QByteArray& ring, qint64& index)
{
    qint64 count = 0;
    const qint64 n = ring.size() / RecordLength;
    while (n > 0 && at + RecordLength <= data.size()
           && std::memcmp(data.constData() + at, ring.constData() + (index % n) * RecordLength, RecordLength) == 0) {
        at += RecordLength;
        ++index;
        ++count;
    }
    return count;
}

} // namespace

class TstBlast : public QObject {
    Q_OBJECT
private slots:
    void stopEndsOnARecord_data()
    {
        QTest::addColumn<int>("ringRecords");
        QTest::addColumn<QByteArray>("stop");
        QTest::addColumn<QByteArray>("replies");
        QTest::newRow("run off, tiny ring") << 5 << QByteArray("R\x00", 2) << QByteArray();
        QTest::newRow("calibration, ring across blocks") << 65539
                                                         << QByteArray("C\x01"
                                                                       "34")
                                                         << QByteArray("3\x01\xF4"
                                                                       "4\x01\xFE");
    }
    void stopEndsOnARecord()
    {
        QFETCH(int, ringRecords);
        QFETCH(QByteArray, stop);
        QFETCH(QByteArray, replies);
        BlastRig rig(ringRecords);
        QVERIFY(rig.connect());
        rig.client.write("R\x01");
        QTRY_VERIFY_WITH_TIMEOUT(rig.got.size() > 3 * 1024 * 1024, 5000);
        rig.client.write(stop + "H");
        const QByteArray ring = rig.ring();
        QCOMPARE(ring.size(), qsizetype(ringRecords) * RecordLength);
        qint64 records = 0;
        const auto tail = [&] {
            qsizetype at = 0;
            records = 0;
            takeRecords(rig.got, at, ring, records);
            return rig.got.mid(at);
        };
        QTRY_COMPARE_WITH_TIMEOUT(tail(), replies + "H", 5000);
        QVERIFY(records > 3 * ringRecords);
        QCOMPARE(qint64(rig.sim.recordsSent()), records);
        QTest::qWait(100);
        QCOMPARE(tail(), replies + "H");
    }

    void repliesBetweenRecords_data()
    {
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("heartbeat") << QByteArray("H") << QByteArray("H");
        QTest::newRow("register") << QByteArray("7") << QByteArray("7\x00\x12", 3);
        QTest::newRow("version") << QByteArray("V") << QByteArray("V\x01\x23  RCM 4.2.1  ");
    }
    void repliesBetweenRecords()
    {
        QFETCH(QByteArray, command);
        QFETCH(QByteArray, reply);
        BlastRig rig(1000);
        QVERIFY(rig.connect());
        rig.client.write("R\x01");
        QTRY_VERIFY_WITH_TIMEOUT(rig.got.size() > 1024 * 1024, 5000);
        rig.client.write(command);
        const QByteArray ring = rig.ring();
        QVERIFY(!ring.isEmpty());
        // Records, the reply whole, records again: what follows the reply is left in `at`.
        qsizetype at = 0;
        qint64 index = 0;
        const auto recordsAfterReply = [&]() -> qint64 {
            at = 0;
            index = 0;
            if (takeRecords(rig.got, at, ring, index) == 0 || rig.got.mid(at, reply.size()) != reply)
                return -1;
            at += reply.size();
            return takeRecords(rig.got, at, ring, index);
        };
        QTRY_VERIFY_WITH_TIMEOUT(recordsAfterReply() > 0, 5000);
        rig.client.write("R\x00H", 3);
        QTRY_COMPARE_WITH_TIMEOUT((recordsAfterReply(), rig.got.mid(at)), QByteArray("H"), 5000);
        QCOMPARE(qint64(rig.sim.recordsSent()), index);
    }

    void pacedAtTheGivenRate()
    {
        BlastRig rig(100, 50000);
        QVERIFY(rig.connect());
        rig.client.write("R\x01");
        QTRY_COMPARE(rig.sim.receivedBytes().size(), 2);
        // Sums of milliseconds on the fake clock may land a hair short: one record less is fine.
        const auto records = [&] { return rig.got.size() / RecordLength; };
        for (const int total : {1000, 1500}) {
            rig.clock.elapse(total == 1000 ? 0.020 : 0.010);
            QTRY_VERIFY(records() >= total - 1);
            QTest::qWait(50);
            QVERIFY2(records() <= total, qPrintable(QString::number(records())));
        }
        QCOMPARE(rig.got.size() % RecordLength, 0);
        QCOMPARE(qint64(rig.sim.recordsSent()), qint64(records()));
    }
};

QTEST_GUILESS_MAIN(TstBlast)
#include "tst_blast.moc"
