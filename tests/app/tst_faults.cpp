/// @brief Faults on the link, injected by the in-process simulator on a fake clock (and a junk flood and a killed panel
/// on loopback): what must stay true of the run, the file and the log.
#include "app/vbcheckbox.h"
#include "common/junkflood.h"
#include "common/panelbench.h"
#include "common/sessiontestaccess.h"
#include "link/connectionmanager.h"
#include "platform/qtsocket.h"
#include "session/instrumentsession.h"
#include "session/messagelog.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <csignal>

using namespace panelbench;

class TestFaults : public QObject {
    Q_OBJECT
private:
    static void startRun(Bench& b)
    {
        QVERIFY(b.startCalibrated());
        b.ui().chkFile->setValue(1);
        b.ui().chkDisplay->setValue(0);
        b.ui().chkRun->setValue(1);
        QVERIFY(b.runUntil([&] { return b.app->session().runFigures().count.value_or(0) > 20000; }, 20));
    }
    static bool logHas(Bench& b, const QString& text) { return b.app->log().text().contains(text); }

private slots:
    // A silent instrument and a cut connection both end the run at the keep-alive with the file
    // closed, holding every record received before, in order and exact; the reconnect calibrates
    // again (a silent instrument to "???", a cut one to a run that can start).
    void lostLinkClosesTheFileWithEverythingReceived_data()
    {
        QTest::addColumn<bool>("silence");
        QTest::newRow("silence") << true;
        QTest::newRow("cut") << false;
    }
    void lostLinkClosesTheFileWithEverythingReceived()
    {
        QFETCH(bool, silence);
        Bench b(50000);
        startRun(b);
        if (QTest::currentTestFailed())
            return;
        const double from = b.clock.seconds;
        silence ? b.sim->silence(30000) : b.sim->dropConnections();
        QVERIFY(b.runUntil([&] { return b.ui().chkRun->value() == 0; }, 16));
        // The first tick after more than the silence limit.
        QVERIFY(b.clock.seconds - from
                <= ConnectionManager::SilenceLimitSeconds + ConnectionManager::KeepAliveMs / 1000.0);
        // The reconnect that follows calibrates; the lines show again below that.
        QVERIFY(
            b.runUntil([&] { return logHas(b, QStringLiteral(" Reopening...\r\n Lost connection, closed.  \r\n")); },
                       10));
        QVERIFY(!b.app->session().dataFileState().open);
        const QList<TruthRecord> truth = b.truth();
        const QStringList lines = b.plainLines(b.dataFiles().value(0));
        QVERIFY(lines.size() >= 20000);
        // A cut may fall inside a record: the part that came is dropped, never written.
        QVERIFY(silence ? lines.size() == truth.size() : lines.size() <= truth.size());
        QCOMPARE(prefixMismatches(lines, truth), 0);
        QCOMPARE(b.app->session().decoderCounters().errors, 0ull);
        if (silence)
            QCOMPARE(b.ui().lblCalAl->text(), QStringLiteral("???"));
        else
            QVERIFY(b.runUntil([&] { return b.ui().chkRun->isEnabled(); }, 15));
    }

    void junkFloodIsHeldBackAndTheTimersKeepRunning()
    {
        // Far more than the read buffer, bounded in time and bytes.
        JunkFlood flood(2.0, 256ull << 20);
        QVERIFY(flood.port() != 0);
        MemorySettingsBackend settings;
        FakeMessageBoxes boxes;
        Application::Options o;
        o.address = QStringLiteral("127.0.0.1");
        o.port = flood.port();
        Application app(o, settings, boxes);
        // A panel slower than its peer: each arrival costs a millisecond more, as a busy window might.
        connect(&app.session(), &InstrumentSession::arrivalHandled, [] { QThread::usleep(1000); });
        int ticks = 0;
        QTimer probe;
        probe.setInterval(10);
        connect(&probe, &QTimer::timeout, [&] { ++ticks; });
        // What the panel takes from the kernel at a time, and so the most it ever holds unread.
        qint64 largestPiece = 0;
        connect(&SessionTestAccess(app.session()).link(), &ConnectionManager::dataArrived,
                [&](const QByteArray& bytes) { largestPiece = std::max(largestPiece, qint64(bytes.size())); });
        app.start();
        QTRY_VERIFY_WITH_TIMEOUT(flood.accepted(), 15000);
        QElapsedTimer flooding;
        flooding.start();
        probe.start();
        QTRY_VERIFY_WITH_TIMEOUT(flood.done(), 15000);
        const int ticksDuringFlood = ticks;
        const qint64 floodMs = flooding.elapsed();
        // Everything sent comes through, the last of the buffer included: the drain never stalls.
        QTRY_COMPARE_WITH_TIMEOUT(app.session().linkHealthFigures().bytes, flood.sent(), 10000);
        qInfo("%llu MiB of junk in %lld ms, read %lld KiB at a time at most, %d ticks of a 10 ms timer",
              flood.sent() >> 20, floodMs, largestPiece >> 10, ticksDuringFlood);
        QVERIFY(flood.sent() > 128 * QtSocket::MaxArrivalBytes);
        QVERIFY(largestPiece > 0 && largestPiece <= QtSocket::MaxArrivalBytes);
        // Lenient, for a loaded machine: a quarter of the ticks due.
        QVERIFY(ticksDuringFlood >= floodMs / 40);
        // Junk is data: the link is not declared silent under it.
        QVERIFY(!app.log().text().contains(QStringLiteral("Lost")));
        QCOMPARE(app.session().decoderCounters().recordsDecoded, 0ull);
        app.window().close();
    }

    void replyCutBeforeARunNeverSwallowsItsFirstRecord()
    {
        FakeSocket socket;
        FakeClock clock;
        FakeMessageBoxes boxes;
        MessageLog log;
        InstrumentSession session(socket, clock, boxes, log);
        const char* cells[] = {"500", "3600", "510", "3590"};
        SessionTestAccess(session).setCells(cells);
        // Unbound, the session shows records: the options' defaults.
        socket.deliver(QByteArray("R\x05\xDC\x06", 4));
        session.setRun(true);
        socket.deliver(QByteArray("R\x07\xD0\x03\xE8\x00\x00", 7)); // A 2000, B 1000
        QCOMPARE(log.line(0), QStringLiteral("     4619"));
        QCOMPARE(session.runFigures().countCaption, QStringLiteral("1"));
        QCOMPARE(session.decoderCounters().bytesDroppedByResync, 4ull);
    }

    // The panel runs as a process of its own, reporting after each arrival how many records it
    // has decoded and handed to its file; killed without warning, its file holds them all.
    void killedPanelLeavesEveryDecodedRecordInItsFile()
    {
        QTemporaryDir dir;
        SimulatorConfig cfg;
        cfg.recordsPerSecond = 100000;
        cfg.groundTruthPath = dir.filePath(QStringLiteral("truth.txt"));
        InstrumentSimulator sim(cfg);
        QVERIFY(sim.start(0));
        QProcess panel;
        QByteArray out;
        connect(&panel, &QProcess::readyReadStandardOutput, this, [&] { out += panel.readAllStandardOutput(); });
        panel.start(QCoreApplication::applicationDirPath() + QStringLiteral("/panel_child"),
                    {QString::number(sim.port()), dir.path()});
        QVERIFY(panel.waitForStarted(5000));
        QTRY_VERIFY_WITH_TIMEOUT(out.count('\n') > 50, 20000);
        panel.kill(); // SIGKILL, or TerminateProcess: no chance to close anything
        QVERIFY(panel.waitForFinished(5000));
        out += panel.readAllStandardOutput();
        const qint64 lastReported = out.trimmed().split('\n').last().toLongLong();
        QVERIFY(lastReported > 0);

        const QStringList files = QDir(dir.path()).entryList({QStringLiteral("Coincidences *.txt")}, QDir::Files);
        QCOMPARE(files.size(), 1);
        QStringList lines = QString::fromLatin1(readFile(dir.filePath(files.first()))).split(QStringLiteral("\r\n"));
        lines.removeLast(); // after the last CR LF: empty, or a line cut by the kill
        QVERIFY2(lines.size() >= lastReported,
                 qPrintable(QStringLiteral("%1 lines, %2 reported").arg(lines.size()).arg(lastReported)));
        QCOMPARE(prefixMismatches(lines, readGroundTruth(cfg.groundTruthPath)), 0);
    }
};

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
