/// @brief InstrumentSession's run records against the in-process simulator on a fake clock: the sidecar from start to stop, link-health wiring, replay reproducing the panel's files, and runs on a disk that fills up.
#include "session/instrumentsession.h"
#include "session/messagelog.h"
#include "common/fakes.h"
#include "common/fulldisk.h"
#include "common/panelbench.h"
#include "control/calibrationmodel.h"
#include "control/calibrationsequence.h"
#include "control/registermodel.h"
#include "control/registerpanel.h"
#include "link/connectionmanager.h"
#include "link/replydecoder.h"
#include "link/versionmodel.h"
#include "measure/datafile.h"
#include "measure/linkhealth.h"
#include "measure/runsidecar.h"
#include "measure/runstatistics.h"
#include "sim/instrumentsimulator.h"
#include "sim/simulatorsocket.h"

#include <QProcess>
#include <QTest>

using namespace panelbench;

namespace {

std::optional<RunSidecar::Description> readSidecar(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return std::nullopt;
    return RunSidecar::fromJson(f.readAll());
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

struct Replay {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Replay replay(const QStringList& arguments)
{
    QProcess p;
    p.start(QStringLiteral(TALLYSCOPE_REPLAY_EXE), arguments);
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished();
        return {};
    }
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(), p.readAllStandardError()};
}

/// A session on the in-process simulator, both on one fake clock.
struct Rig {
    QTemporaryDir dir;
    FakeClock clock;
    std::unique_ptr<InstrumentSimulator> sim;
    std::unique_ptr<SimulatorSocket> socket;
    FakeMessageBoxes boxes;
    MessageLog log;
    std::unique_ptr<InstrumentSession> session;

    explicit Rig(double rate)
    {
        SimulatorConfig cfg;
        cfg.recordsPerSecond = rate;
        cfg.groundTruthPath = dir.filePath(QStringLiteral("truth.txt"));
        cfg.seed = 11;
        sim = std::make_unique<InstrumentSimulator>(cfg, clock);
        sim->startInProcess();
        socket = std::make_unique<SimulatorSocket>(*sim, clock);
        session = std::make_unique<InstrumentSession>(*socket, clock, boxes, log);
        session->options().display = false;
        session->setFileTicked(true);
        session->setDataFolder(dir.path() + u'/');
        session->link().setHostText(QStringLiteral("127.0.0.1"));
        session->link().open();
    }
    ~Rig()
    {
        session->stopActivities();
        session->link().shutdown();
    }
    bool runUntil(const std::function<bool()>& done, double limitSeconds) { return panelbench::runUntil(clock, done, limitSeconds); }
    bool calibrated() const
    {
        return session->calibration().runGate() && !session->calibrationSequence().isRunning()
            && session->versions().fpgaCaption().startsWith(QStringLiteral("FPGA: "));
    }
    QList<TruthRecord> truth() const { return readGroundTruth(dir.filePath(QStringLiteral("truth.txt"))); }
};

} // namespace

class TestSessionRecording : public QObject {
    Q_OBJECT
private:
    /// One run of at least `records` decoded records, stopped, and waited for until every record
    /// sent has been decoded; `truth` gets the records the simulator sent during it.
    void run(Rig& rig, qint64 records, QList<TruthRecord>& truth)
    {
        const qsizetype before = rig.truth().size();
        rig.session->setRun(true);
        QVERIFY(rig.runUntil([&] { return rig.session->statistics().count().value_or(0) >= records; }, 30));
        rig.session->setRun(false);
        rig.clock.elapse(0.1);
        QCOMPARE(quint64(rig.session->decoder().counters().recordsDecoded), rig.sim->recordsSent());
        truth = rig.truth().mid(before);
    }

private slots:
    // From the start, everything known then, marked incomplete; a recalibration and a Tau typed
    // digit by digit are recorded with the entry count they came at; at the stop, complete.
    void sidecarDescribesTheRunFromStartToStop()
    {
        Rig rig(100000);
        QVERIFY(rig.runUntil([&] { return rig.calibrated(); }, 15));
        rig.session->sendDacA(QStringLiteral("2000.4"));
        rig.session->registerPanel().cmdReg_Click();
        QVERIFY(rig.runUntil([&] { return rig.session->registers().value(6).has_value(); }, 5));

        rig.session->setRun(true);
        const QString dataPath = rig.session->dataFile().path();
        const QString sidecarPath = RunSidecar::pathFor(dataPath);
        QCOMPARE(rig.session->runSidecar().path(), sidecarPath);
        const auto atStart = readSidecar(sidecarPath);
        QVERIFY(atStart && !atStart->complete && atStart->start.isValid() && !atStart->stop.isValid());
        QCOMPARE(atStart->dataFileName, QFileInfo(dataPath).fileName());
        QCOMPARE(atStart->address, QStringLiteral("127.0.0.1"));
        QCOMPARE(atStart->port, rig.session->link().port());
        QCOMPARE(atStart->fpgaVersion, QStringLiteral("FPGA: 1.2.3"));
        const CalibrationModel& cal = rig.session->calibration();
        for (int i = 0; i < 4; ++i)
            QCOMPARE(atStart->calibration.cells[size_t(i)], cal.cell(CalibrationModel::Cell(i)));
        QCOMPARE(atStart->calibration.tauA, QStringLiteral("9.47"));
        // The simulator's reported readings are what the panel must have captured.
        QCOMPARE(atStart->calibration.cells[CalibrationModel::ALow].toInt(), rig.sim->reportedCalibration().lowA);
        QCOMPARE(rig.sim->dacACode(), 2000);
        QCOMPARE(atStart->dacACode, std::optional<int>(2000));
        QCOMPARE(atStart->dacAEntry, std::optional<QString>(QStringLiteral("2000.4")));
        QVERIFY(atStart->options.file && !atStart->options.raw && !atStart->options.display && !atStart->options.verbose);
        QCOMPARE(atStart->registers.size(), RegisterModel::Count);
        QCOMPARE(atStart->registers[6].value, rig.session->registers().value(6));

        QVERIFY(rig.runUntil([&] { return rig.session->entriesWritten() >= 20000; }, 30));
        // A recalibration stops the instrument's stream; the run stays ticked.
        QVERIFY(rig.session->calibrationSequence().start());
        QVERIFY(rig.runUntil([&] { return !rig.session->calibrationSequence().isRunning(); }, 10));
        const quint64 afterCalibration = rig.session->entriesWritten();
        rig.session->calibration().setTauB(QStringLiteral("9."));
        rig.session->calibration().setTauB(QStringLiteral("9.5"));
        QCOMPARE(readSidecar(sidecarPath).value().calibrationChanges.size(), 2);
        rig.session->setRun(false);

        const auto d = readSidecar(sidecarPath);
        QVERIFY(d && d->complete && d->stop >= d->start);
        QCOMPARE(d->start, atStart->start);
        QCOMPARE(d->entriesWritten, quint64(readAll(dataPath).count("\r\n")));
        QCOMPARE(d->entriesWritten, afterCalibration);
        QCOMPARE(d->recordsDecoded, d->entriesWritten);
        QCOMPARE(d->linkHealth.recordsDecoded, d->recordsDecoded);
        QVERIFY(d->linkHealth.bytes >= 7 * d->recordsDecoded);
        QCOMPARE(d->linkHealth.rejectedByGate + d->linkHealth.bytesDroppedByResync + d->linkHealth.errors, 0ull);
        QVERIFY(!rig.session->runSidecar().isActive());
        QCOMPARE(d->calibrationChanges.size(), 2);
        const RunSidecar::CalibrationChange& recal = d->calibrationChanges[0];
        QCOMPARE(recal.reason, QStringLiteral("calibration"));
        QCOMPARE(recal.entriesBefore, afterCalibration);
        QVERIFY(recal.time >= d->start && recal.time <= d->stop);
        for (int i = 0; i < 4; ++i)
            QCOMPARE(recal.calibration.cells[size_t(i)], cal.cell(CalibrationModel::Cell(i)));
        const RunSidecar::CalibrationChange& tau = d->calibrationChanges[1];
        QCOMPARE(tau.reason, QStringLiteral("tau"));
        QCOMPARE(tau.calibration.tauB, QStringLiteral("9.5"));
        QCOMPARE(tau.calibration.tauA, QStringLiteral("9.47"));
    }

    // Plain and verbose: the panel's file against a replay of exactly the records it was written
    // from (the ground truth holds each record's bytes as sent). Raw: the panel's raw file
    // replayed with its own sidecar gives the values the simulator meant, record for record.
    void replayReproducesThePanelsFiles_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::newRow("plain") << QString();
        QTest::newRow("verbose") << QStringLiteral("--verbose");
        QTest::newRow("raw") << QStringLiteral("--raw");
    }
    void replayReproducesThePanelsFiles()
    {
        QFETCH(QString, mode);
        Rig rig(100000);
        QVERIFY(rig.runUntil([&] { return rig.calibrated(); }, 15));
        rig.session->options().verbose = mode == QStringLiteral("--verbose");
        rig.session->options().raw = mode == QStringLiteral("--raw");
        QList<TruthRecord> truth;
        run(rig, 20000, truth);
        if (QTest::currentTestFailed())
            return;
        const QString dataPath = rig.session->dataFile().path();
        const auto written = qsizetype(rig.session->entriesWritten());
        QVERIFY(written >= 20000 && written <= truth.size());

        if (rig.session->options().raw) {
            const QString outPath = rig.dir.filePath(QStringLiteral("replayed.txt"));
            const Replay r = replay({dataPath, QStringLiteral("-o"), outPath});
            QVERIFY2(r.exitCode == 0, r.err.constData());
            QStringList lines = QString::fromLatin1(readAll(outPath)).split(QStringLiteral("\r\n"));
            QCOMPARE(lines.takeLast(), QString());
            QCOMPARE(lines.size(), written);
            QCOMPARE(prefixMismatches(lines, truth), 0);
            // A calibration other than the run's gives other lines: the sidecar's are the default.
            const RunSidecar::Calibration c = readSidecar(RunSidecar::pathFor(dataPath)).value().calibration;
            const Replay shifted = replay({dataPath, QStringLiteral("--cal-a"), c.cells[0] + u',' + QString::number(c.cells[1].toInt() + 40),
                                           QStringLiteral("--cal-b"), c.cells[2] + u',' + c.cells[3]});
            QCOMPARE(shifted.exitCode, 0);
            QVERIFY(shifted.out != readAll(outPath));
            QCOMPARE(shifted.out.count("\r\n"), written);
            return;
        }
        const QByteArray lines = readAll(dataPath);
        QCOMPARE(lines.count("\r\n"), written);
        QByteArray raw;
        for (qsizetype i = 0; i < written; ++i)
            raw += truth.at(i).bytes;
        const QString rawPath = rig.dir.filePath(QStringLiteral("sent.raw"));
        QFile f(rawPath);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(raw) == raw.size());
        f.close();
        QStringList args{rawPath, QStringLiteral("--sidecar"), RunSidecar::pathFor(dataPath)};
        if (!mode.isEmpty())
            args << mode;
        const Replay r = replay(args);
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QVERIFY(r.out == lines);
        QVERIFY(r.err.contains(QByteArray("count     ") + QByteArray::number(written)));
    }

    void linkHealthFollowsTheLinkAndTheRun()
    {
        FakeSocket socket;
        FakeClock clock;
        FakeMessageBoxes boxes;
        MessageLog log;
        QTemporaryDir dir;
        InstrumentSession session(socket, clock, boxes, log);
        session.link().setHostText(QStringLiteral("127.0.0.1"));
        session.link().open();
        socket.completeConnect();
        socket.deliver(QByteArray("H"));
        socket.deliver(QByteArray("HH"));
        LinkHealthFigures f = session.linkHealth().figures();
        QCOMPARE(f.bytes, 3ull);
        QCOMPARE(f.bytesPerSecond, 3.0);
        QCOMPARE(f.reconnects, 0ull);
        socket.completeConnect();
        QCOMPARE(session.linkHealth().figures().reconnects, 1ull);

        // A run start resets the counts; without a data file there is no sidecar.
        session.setFileTicked(false);
        session.setRun(true);
        f = session.linkHealth().figures();
        QCOMPARE(f.bytes + f.reconnects, 0ull);
        QVERIFY(!session.runSidecar().isActive());
        session.setRun(false);

        // Nor when the data file cannot be opened: the operator's box, then no sidecar.
        session.setFileTicked(true);
        session.setDataFolder(dir.filePath(QStringLiteral("missing")));
        session.setRun(true);
        QCOMPARE(boxes.shown.size(), 1);
        QVERIFY(!session.runSidecar().isActive());
        session.setRun(false);
        QVERIFY(QDir(dir.path()).entryList(QDir::Files).isEmpty());
        session.stopActivities();
    }
#ifdef Q_OS_UNIX
    // The panel's run on a disk that fills up: one error line, the file cut back to whole
    // entries and counted as such in a complete sidecar, records still counted and shown, and
    // the next run has a file again.
    void aRunOutlivesItsFullDisk_data()
    {
        QTest::addColumn<bool>("tmpfs"); // else a file size limit: no privileges needed
        QTest::newRow("file size limit") << false;
        QTest::newRow("full tmpfs") << true;
    }
    void aRunOutlivesItsFullDisk()
    {
        QFETCH(bool, tmpfs);
        FakeSocket socket;
        FakeClock clock;
        FakeMessageBoxes boxes;
        MessageLog log;
        QTemporaryDir dir;
        const QString folder = dir.filePath(QStringLiteral("disk"));
        QVERIFY(QDir().mkdir(folder));
#ifdef Q_OS_LINUX
        std::optional<SmallDisk> disk;
        if (tmpfs && !disk.emplace(folder, 64 * 1024).active())
            QSKIP("mounting a tmpfs needs root");
#else
        if (tmpfs)
            QSKIP("needs a tmpfs");
#endif
        InstrumentSession session(socket, clock, boxes, log);
        CalibrationModel& cal = session.calibration();
        for (const auto& [cell, text] : {std::pair{CalibrationModel::ALow, "500"}, {CalibrationModel::AHigh, "3600"},
                                         {CalibrationModel::BLow, "510"}, {CalibrationModel::BHigh, "3590"}})
            cal.setCell(cell, QString::fromLatin1(text));
        session.options().display = true;
        session.setFileTicked(true);
        session.setDataFolder(folder);
        const char record[] = {'R', char(1500 >> 8), char(1500 & 0xFF), char(1600 >> 8), char(1600 & 0xFF), 3, 0};
        const QByteArray arrival = QByteArray(record, 7).repeated(100);
        const QByteArray line("   -30457\r\n");

        session.setRun(true);
        const QString first = session.dataFile().path();
        int arrivals = 0;
        {
            // 4000 bytes: room for the sidecar, and a limit that tears an 11-byte line.
            std::optional<FileSizeLimit> limit;
            if (!tmpfs)
                QVERIFY(limit.emplace(4000).active());
            for (; arrivals < 300 && session.dataFile().isOpen(); ++arrivals)
                socket.deliver(arrival);
            for (int i = 0; i < 5; ++i, ++arrivals)
                socket.deliver(arrival);
            session.setRun(false);
        }
        QVERIFY(arrivals < 305);
        QCOMPARE(session.statistics().count(), std::optional<qint64>(100 * arrivals));
        QCOMPARE(log.text().count(QStringLiteral("Doh! (data) ")), 1);
        QCOMPARE(log.lineCount(), 100 * arrivals + 1);
        const auto d = readSidecar(RunSidecar::pathFor(first));
        QVERIFY(d && d->complete);
        QCOMPARE(d->recordsDecoded, quint64(100 * arrivals));
        QVERIFY2(d->dataFileError.startsWith(QStringLiteral("Write failed: ")), qPrintable(d->dataFileError));
        QVERIFY(d->entriesWritten > 0);
        QCOMPARE(d->entriesWritten, session.entriesWritten());
        QCOMPARE(readAll(first), line.repeated(qsizetype(d->entriesWritten)));

        // Room again, and the next run records as usual.
        QVERIFY(QFile::remove(first));
        session.setRun(true);
        QVERIFY(session.dataFile().isOpen());
        socket.deliver(arrival);
        session.setRun(false);
        QCOMPARE(readAll(session.dataFile().path()), line.repeated(100));
        session.stopActivities();
    }

    // The recorder on a disk that fills up, in each data mode: exit 1 with the reason, the
    // file ending on its last whole entry, and the sidecar counting exactly those.
    void recorderStopsOnAFullDisk_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::newRow("plain") << QString();
        QTest::newRow("verbose") << QStringLiteral("--verbose");
        QTest::newRow("raw") << QStringLiteral("--raw");
    }
    void recorderStopsOnAFullDisk()
    {
        QFETCH(QString, mode);
        SimulatorConfig cfg;
        cfg.recordsPerSecond = 20000;
        InstrumentSimulator sim(cfg);
        QVERIFY(sim.start(0));
        QTemporaryDir dir;
        QStringList args{QStringLiteral("--address"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
                         QString::number(sim.port()), QStringLiteral("--folder"), dir.path(),
                         QStringLiteral("--duration"), QStringLiteral("30")};
        if (!mode.isEmpty())
            args << mode;
        QProcess p;
        p.setChildProcessModifier([] { FileSizeLimit::applyInChild(4001); });
        p.start(QStringLiteral(TALLYSCOPE_RECORD_EXE), args);
        QTRY_VERIFY_WITH_TIMEOUT(p.state() == QProcess::NotRunning, 60000);
        const QByteArray err = p.readAllStandardError();
        QCOMPARE(p.exitCode(), 1);
        QVERIFY2(err.contains("Doh! (data) Write failed: ") && err.contains("data file: Write failed: "), err.constData());

        const QStringList data = QDir(dir.path()).entryList({QStringLiteral("*.txt")}, QDir::Files);
        QCOMPARE(data.size(), 1);
        const auto d = readSidecar(RunSidecar::pathFor(dir.filePath(data.first())));
        QVERIFY(d && d->complete && !d->dataFileError.isEmpty());
        const QByteArray content = readAll(dir.filePath(data.first()));
        QVERIFY(d->entriesWritten > 0);
        if (mode == QStringLiteral("--raw")) {
            QCOMPARE(quint64(content.size()), 7 * d->entriesWritten);
            for (qsizetype i = 0; i < content.size(); i += 7)
                QCOMPARE(content.at(i), 'R');
        } else {
            QVERIFY(content.endsWith("\r\n"));
            QCOMPARE(quint64(content.count("\r\n")), d->entriesWritten);
        }
    }
#endif
};

QTEST_GUILESS_MAIN(TestSessionRecording)
#include "tst_sessionrecording.moc"
