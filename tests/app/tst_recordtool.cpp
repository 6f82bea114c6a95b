/// @brief tallyscope-record as a child process against the in-process simulator on loopback: exit codes, and complete files after a limit or an interrupt.
#include "common/panelbench.h"
#include "measure/runsidecar.h"
#include "sim/instrumentsimulator.h"

#include <QDir>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

namespace {

struct Outcome {
    int exitCode = -1;
    QString out;
    QString err;
};

/// Runs the recorder while this process's event loop keeps the simulator answering.
/// `whileRunning` is asked on every pass and may act on the child (true: done acting).
Outcome record(const QStringList& arguments, const std::function<bool(QProcess&)>& whileRunning = {}, int timeoutMs = 60000)
{
    QProcess p;
    p.start(QStringLiteral(TALLYSCOPE_RECORD_EXE), arguments);
    Outcome o;
    if (!p.waitForStarted(10000))
        return o;
    QElapsedTimer t;
    t.start();
    bool acted = !whileRunning;
    while (p.state() != QProcess::NotRunning && t.elapsed() < timeoutMs) {
        QTest::qWait(20);
        if (!acted)
            acted = whileRunning(p);
    }
    if (p.state() != QProcess::NotRunning) {
        p.kill();
        p.waitForFinished();
        return o;
    }
    o.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    o.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    o.err = QString::fromLocal8Bit(p.readAllStandardError());
    return o;
}

QStringList filesIn(const QTemporaryDir& dir, const QString& pattern)
{
    return QDir(dir.path()).entryList({pattern}, QDir::Files);
}

std::optional<RunSidecar::Description> readSidecar(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return std::nullopt;
    return RunSidecar::fromJson(f.readAll());
}

std::unique_ptr<InstrumentSimulator> simulator(SimulatorConfig cfg = {})
{
    cfg.recordsPerSecond = 20000;
    auto sim = std::make_unique<InstrumentSimulator>(cfg);
    sim->start(0);
    return sim;
}

} // namespace

class TestRecordTool : public QObject {
    Q_OBJECT
private:
    /// The one data file and its sidecar, both complete, agreeing on the records written.
    void checkCompleteRun(const QTemporaryDir& dir, quint64 atLeast, bool raw)
    {
        const QStringList data = filesIn(dir, QStringLiteral("Coincidences *.txt"));
        QCOMPARE(data.size(), 1);
        const QStringList sidecars = filesIn(dir, QStringLiteral("Coincidences *.json"));
        QCOMPARE(sidecars, QStringList{RunSidecar::pathFor(data.first())});
        const auto d = readSidecar(dir.filePath(sidecars.first()));
        QVERIFY(d);
        QVERIFY(d->complete);
        QVERIFY(d->stop >= d->start);
        QCOMPARE(d->options.raw, raw);
        QVERIFY(d->options.file && !d->options.display);
        QVERIFY(d->entriesWritten >= atLeast);
        QFile f(dir.filePath(data.first()));
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray content = f.readAll();
        QCOMPARE(raw ? quint64(content.size() / 7) : quint64(content.count("\r\n")), d->entriesWritten);
        if (raw)
            QCOMPARE(content.size() % 7, 0);
        else
            QVERIFY(content.endsWith("\r\n"));
        // Registers are read before the run, so the sidecar knows them all.
        QCOMPARE(d->registers.size(), 8);
        for (const RunSidecar::Register& r : d->registers)
            QVERIFY2(r.value.has_value(), qPrintable(r.name));
    }

private slots:
    void stopsAfterTheRecordsAsked()
    {
        auto sim = simulator();
        QTemporaryDir dir;
        const Outcome o = record({QStringLiteral("--address"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
                                  QString::number(sim->port()), QStringLiteral("--folder"), dir.path(), QStringLiteral("--records"),
                                  QStringLiteral("3000"), QStringLiteral("--raw")});
        QVERIFY2(o.exitCode == 0, qPrintable(o.err));
        checkCompleteRun(dir, 3000, true);
        QVERIFY(o.out.contains(QStringLiteral("records written to")));
        // Not a terminal: progress comes as whole lines, never a carriage return.
        QVERIFY(!o.out.contains(u'\r'));
    }

    void interruptStopsTheRunCleanly_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("SIGINT") << int(SIGINT) << 130;
        QTest::newRow("SIGTERM") << int(SIGTERM) << 143;
    }
    void interruptStopsTheRunCleanly()
    {
        QFETCH(int, signalNumber);
        QFETCH(int, exitCode);
        auto sim = simulator();
        QTemporaryDir dir;
        QByteArray err;
        const Outcome o = record({QStringLiteral("--address"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
                                  QString::number(sim->port()), QStringLiteral("--folder"), dir.path()},
                                 [&](QProcess& p) {
                                     err += p.readAllStandardError();
                                     const QStringList data = filesIn(dir, QStringLiteral("Coincidences *.txt"));
                                     if (!err.contains("recording to") || data.isEmpty()
                                         || QFileInfo(dir.filePath(data.first())).size() < 10000)
                                         return false;
                                     ::kill(pid_t(p.processId()), signalNumber);
                                     return true;
                                 });
        QCOMPARE(o.exitCode, exitCode);
        checkCompleteRun(dir, 1, false);
    }

    void failuresHaveTheirOwnExitCodes()
    {
        QTemporaryDir dir;
        {
            // Calibration readings outside their windows: no run, no file.
            SimulatorConfig cfg;
            cfg.calLowA = 600;
            cfg.calNoise = 0;
            auto sim = simulator(cfg);
            const Outcome o = record({QStringLiteral("--address"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
                                      QString::number(sim->port()), QStringLiteral("--folder"), dir.path(),
                                      QStringLiteral("--records"), QStringLiteral("10")});
            QCOMPARE(o.exitCode, 3);
            QVERIFY2(o.err.contains(QStringLiteral("calibration failed: A low 600 (needs 450 < x < 550)")), qPrintable(o.err));
            QVERIFY(!o.err.contains(QStringLiteral("B low")));
            QVERIFY(QDir(dir.path()).entryList(QDir::Files).isEmpty());
        }
        {
            // A loopback port nobody listens on.
            QTcpServer closed;
            QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
            const quint16 port = closed.serverPort();
            closed.close();
            const Outcome o = record({QStringLiteral("--address"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
                                      QString::number(port), QStringLiteral("--folder"), dir.path(),
                                      QStringLiteral("--connect-timeout"), QStringLiteral("1.5")});
            QCOMPARE(o.exitCode, 2);
            QVERIFY2(o.err.contains(QStringLiteral("no connection to 127.0.0.1:%1").arg(port)), qPrintable(o.err));
            QVERIFY(QDir(dir.path()).entryList(QDir::Files).isEmpty());
        }
    }

    void keepsTryingUntilTheInstrumentListens()
    {
        // The port refuses for 2.5 s, as an instrument that is still starting up does.
        auto sim = simulator();
        sim->refuseConnections(2500, InstrumentSimulator::RefuseMode::StopListening);
        QVERIFY(!sim->isListening());
        QTemporaryDir dir;
        const Outcome o = record({QStringLiteral("--address"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
                                  QString::number(sim->port()), QStringLiteral("--folder"), dir.path(), QStringLiteral("--records"),
                                  QStringLiteral("100"), QStringLiteral("--connect-timeout"), QStringLiteral("8")});
        QVERIFY2(o.exitCode == 0, qPrintable(o.err));
        checkCompleteRun(dir, 100, false);
        // Said once, not once a second.
        QCOMPARE(o.err.count(QStringLiteral("Connection refused")), 1);
    }

    void badArgumentsAreRefusedBeforeAnyConnection_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        const QString here = QDir::tempPath();
        QTest::newRow("no address") << QStringList{QStringLiteral("--folder"), here} << QStringLiteral("--address HOST is required");
        QTest::newRow("port 0") << QStringList{QStringLiteral("--address"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"), QStringLiteral("0")}
                                << QStringLiteral("--port");
        QTest::newRow("records 0") << QStringList{QStringLiteral("--address"), QStringLiteral("127.0.0.1"), QStringLiteral("--records"), QStringLiteral("0")}
                                   << QStringLiteral("--records");
        QTest::newRow("negative duration")
            << QStringList{QStringLiteral("--address"), QStringLiteral("127.0.0.1"), QStringLiteral("--duration"), QStringLiteral("-1")}
            << QStringLiteral("--duration");
        QTest::newRow("missing folder")
            << QStringList{QStringLiteral("--address"), QStringLiteral("127.0.0.1"), QStringLiteral("--folder"), here + QStringLiteral("/no/such")}
            << QStringLiteral("does not exist");
    }
    void badArgumentsAreRefusedBeforeAnyConnection()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        const Outcome o = record(arguments, {}, 10000);
        QCOMPARE(o.exitCode, 64);
        QVERIFY2(o.err.contains(message), qPrintable(o.err));
        QVERIFY(!o.err.contains(QStringLiteral("Connected")));
    }
};

QTEST_GUILESS_MAIN(TestRecordTool)
#include "tst_recordtool.moc"
