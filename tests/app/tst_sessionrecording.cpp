/// @brief The run records of the panel's session against the in-process simulator on a fake clock: the sidecar from
/// start to stop, link-health wiring, replay reproducing the panel's files, and runs on a disk that fills up.
#include "common/fakes.h"
#include "common/fulldisk.h"
#include "common/panelbench.h"
#include "common/sessiontestaccess.h"
#include "measure/runsidecar.h"
#include "platform/settingsbackend.h"
#include "platform/settingsstore.h"
#include "session/instrumentsession.h"
#include "session/messagelog.h"
#include "session/paneloptions.h"

#include <QProcess>
#include <QTest>

using namespace panelbench;

namespace {

std::optional<RunSidecar::Description> sidecarOf(const QString& dataPath)
{
    return RunSidecar::fromJson(readFile(RunSidecar::pathFor(dataPath)));
}

QStringList cellsOf(const InstrumentSession::CalibrationShown& cal) { return {cal.cells.begin(), cal.cells.end()}; }

/// As the panel shows them: a sidecar's readings are the cells captured.
QStringList cellsOf(const Calibration& c)
{
    const QLocale locale;
    return {c.cellText(Calibration::ALow, locale), c.cellText(Calibration::AHigh, locale),
            c.cellText(Calibration::BLow, locale), c.cellText(Calibration::BHigh, locale)};
}

struct Replay {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

/// tallyscope-replay's ending; exit code -1 when it crashed or hung.
Replay replay(const QStringList& arguments)
{
    QProcess p;
    p.start(QStringLiteral(TALLYSCOPE_REPLAY_EXE), arguments);
    const bool ended = p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit;
    p.kill();
    return {ended ? p.exitCode() : -1, p.readAllStandardOutput(), p.readAllStandardError()};
}

/// A session whose link the test scripts byte by byte.
struct Scripted {
    FakeSocket socket;
    FakeClock clock;
    FakeMessageBoxes boxes;
    MessageLog log;
    QTemporaryDir dir;
    MemorySettingsBackend backend;
    SettingsStore store{backend};
    PanelOptions options{store};
    InstrumentSession session{socket, clock, boxes, log};
    Scripted()
    {
        options.setAddress(QStringLiteral("127.0.0.1"));
        session.bindOptions(options);
    }
    ~Scripted() { session.stopActivities(); }
};

} // namespace

class TestSessionRecording : public QObject {
    Q_OBJECT
private slots:
    // From the start, everything known then, marked incomplete; a recalibration and a Tau typed
    // digit by digit are recorded with the entry count they came at; at the stop, complete.
    void sidecarDescribesTheRunFromStartToStop()
    {
        Bench rig(100000);
        InstrumentSession& s = rig.app->session();
        SessionTestAccess parts(s);
        QVERIFY(rig.startCalibrated());
        rig.ui().chkFile->setValue(1);
        rig.ui().chkDisplay->setValue(0);
        s.sendDacA(QStringLiteral("2000.4"));
        rig.clock.elapse(0.1);

        rig.ui().chkRun->setValue(1);
        const QString dataPath = s.dataFileState().path;
        const auto atStart = sidecarOf(dataPath);
        QVERIFY(atStart && !atStart->complete && atStart->start.isValid() && !atStart->stop.isValid());
        QCOMPARE((QStringList{atStart->dataFileName, atStart->address, QString::number(atStart->port),
                              atStart->fpgaVersion, atStart->calibration.tauText(Calibration::A, QLocale()),
                              atStart->dacAEntry.value_or(QString()), QString::number(atStart->dacACode.value_or(-1))}),
                 (QStringList{QFileInfo(dataPath).fileName(), QStringLiteral("127.0.0.1"),
                              QString::number(s.linkState().port), QStringLiteral("FPGA: 1.2.3"),
                              QStringLiteral("9.47"), QStringLiteral("2000.4"), QStringLiteral("2000")}));
        QCOMPARE(cellsOf(atStart->calibration), cellsOf(s.calibrationShown()));
        // The simulator's reported readings are what the panel must have captured.
        QCOMPARE(atStart->calibration.reading(Calibration::ALow), double(rig.sim->reportedCalibration().lowA));
        QCOMPARE(rig.sim->dacACode(), 2000);
        QVERIFY(atStart->options.file && !atStart->options.raw && !atStart->options.display
                && !atStart->options.verbose);

        QVERIFY(rig.runUntil([&] { return s.entriesWritten() >= 20000; }, 30));
        // A recalibration stops the instrument's stream; the run stays ticked.
        QVERIFY(parts.calibrationSequence().start());
        QVERIFY(rig.runUntil([&] { return !s.isCalibrating(); }, 10));
        const quint64 afterCalibration = s.entriesWritten();
        parts.calibration().setTauB(QStringLiteral("9."));
        parts.calibration().setTauB(QStringLiteral("9.5"));
        QCOMPARE(sidecarOf(dataPath).value().calibrationChanges.size(), 2);
        rig.ui().chkRun->setValue(0);

        const auto d = sidecarOf(dataPath);
        QVERIFY(d && d->complete && d->stop >= d->start && !s.sidecarState().active);
        QCOMPARE(d->start, atStart->start);
        QCOMPARE(d->entriesWritten, quint64(readFile(dataPath).count("\r\n")));
        QCOMPARE(d->entriesWritten, afterCalibration);
        QCOMPARE(d->recordsDecoded, d->entriesWritten);
        QCOMPARE(d->linkHealth.recordsDecoded, d->recordsDecoded);
        QVERIFY(d->linkHealth.bytes >= 7 * d->recordsDecoded);
        QCOMPARE(d->linkHealth.rejectedByGate + d->linkHealth.bytesDroppedByResync + d->linkHealth.errors, 0ull);
        QCOMPARE(d->calibrationChanges.size(), 2);
        const RunSidecar::CalibrationChange& recal = d->calibrationChanges[0];
        QCOMPARE(recal.reason, QStringLiteral("calibration"));
        QCOMPARE(recal.entriesBefore, afterCalibration);
        QVERIFY(recal.time >= d->start && recal.time <= d->stop);
        QCOMPARE(cellsOf(recal.calibration), cellsOf(s.calibrationShown()));
        const RunSidecar::CalibrationChange& tau = d->calibrationChanges[1];
        QCOMPARE(tau.reason + u' ' + tau.calibration.tauText(Calibration::A, QLocale()) + u' '
                     + tau.calibration.tauText(Calibration::B, QLocale()),
                 QStringLiteral("tau 9.47 9.5"));
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
        Bench rig(100000);
        InstrumentSession& s = rig.app->session();
        QVERIFY(rig.startCalibrated());
        rig.ui().chkFile->setValue(1);
        rig.ui().chkDisplay->setValue(0);
        rig.ui().chkVerbose->setValue(mode == QStringLiteral("--verbose"));
        rig.ui().chkRaw->setValue(mode == QStringLiteral("--raw"));
        const QList<TruthRecord> truth = rig.run(20000);
        QCOMPARE(quint64(s.decoderCounters().recordsDecoded), rig.sim->recordsSent());
        const QString dataPath = s.dataFileState().path;
        const auto written = qsizetype(s.entriesWritten());
        QVERIFY(written >= 20000 && written <= truth.size());

        if (s.options().raw) {
            const QString outPath = rig.dir.filePath(QStringLiteral("replayed.txt"));
            const Replay r = replay({dataPath, QStringLiteral("-o"), outPath});
            QVERIFY2(r.exitCode == 0, r.err.constData());
            QStringList lines = QString::fromLatin1(readFile(outPath)).split(QStringLiteral("\r\n"));
            QCOMPARE(lines.takeLast(), QString());
            QCOMPARE(lines.size(), written);
            QCOMPARE(prefixMismatches(lines, truth), 0);
            // A calibration other than the run's gives other lines: the sidecar's are the default.
            const QStringList c = cellsOf(sidecarOf(dataPath).value().calibration);
            const Replay shifted = replay({dataPath, QStringLiteral("--cal-a"),
                                           c[0] + u',' + QString::number(c[1].toInt() + 40), QStringLiteral("--cal-b"),
                                           c[2] + u',' + c[3]});
            QCOMPARE(shifted.exitCode, 0);
            QVERIFY(shifted.out != readFile(outPath));
            QCOMPARE(shifted.out.count("\r\n"), written);
            return;
        }
        const QByteArray lines = readFile(dataPath);
        QCOMPARE(lines.count("\r\n"), written);
        QFile f(rig.dir.filePath(QStringLiteral("sent.raw")));
        QVERIFY(f.open(QIODevice::WriteOnly));
        for (qsizetype i = 0; i < written; ++i)
            QVERIFY(f.write(truth.at(i).bytes) == 7);
        f.close();
        QStringList args{f.fileName(), QStringLiteral("--sidecar"), RunSidecar::pathFor(dataPath)};
        if (!mode.isEmpty())
            args << mode;
        const Replay r = replay(args);
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QVERIFY(r.out == lines);
        QVERIFY(r.err.contains(QByteArray("count     ") + QByteArray::number(written)));
    }

    void linkHealthFollowsTheLinkAndTheRun()
    {
        Scripted t;
        t.session.setAddress(QStringLiteral("127.0.0.1"));
        t.session.openConnection();
        t.socket.completeConnect();
        t.socket.deliver(QByteArray("H"));
        t.socket.deliver(QByteArray("HH"));
        const auto figures = [&t] {
            const LinkHealthFigures f = t.session.linkHealthFigures();
            return QStringLiteral("%1 %2").arg(f.bytes).arg(f.reconnects);
        };
        QCOMPARE(figures(), QStringLiteral("3 0"));
        QCOMPARE(t.session.linkHealthFigures().bytesPerSecond, 3.0);
        t.socket.completeConnect();
        QCOMPARE(figures(), QStringLiteral("3 1"));

        // A run start resets the counts; without a data file there is no sidecar.
        t.options.setValue(PanelOptions::File, 0);
        t.session.setRun(true);
        QCOMPARE(figures(), QStringLiteral("0 0"));
        QVERIFY(!t.session.sidecarState().active);
        t.session.setRun(false);

        // Nor when the data file cannot be opened: the operator's box, then no sidecar.
        t.options.setValue(PanelOptions::File, 1);
        t.options.setDataFolder(t.dir.filePath(QStringLiteral("missing")));
        t.session.setRun(true);
        QCOMPARE(t.boxes.shown.size(), 1);
        QVERIFY(!t.session.sidecarState().active);
        t.session.setRun(false);
        QVERIFY(QDir(t.dir.path()).entryList(QDir::Files).isEmpty());
    }
#ifdef Q_OS_UNIX
    // The panel's run on a disk that fills up: one error line, the file cut back to whole
    // entries and counted as such in a complete sidecar, records still counted and shown, and
    // the next run has a file again.
    void aRunOutlivesItsFullDisk()
    {
        Scripted t;
        InstrumentSession& session = t.session;
        const char* cells[] = {"500", "3600", "510", "3590"};
        SessionTestAccess(session).setCells(cells);
        t.options.setValue(PanelOptions::Display, 1);
        t.options.setValue(PanelOptions::File, 1);
        t.options.setDataFolder(t.dir.path());
        const QByteArray arrival = recordBytes(1500, 1600).repeated(100);
        const QByteArray line("   -30457\r\n");

        session.setRun(true);
        const QString first = session.dataFileState().path;
        int arrivals = 0;
        {
            // 4000 bytes: room for the sidecar, and a limit that tears an 11-byte line.
            const FileSizeLimit limit(4000);
            QVERIFY(limit.active());
            for (; arrivals < 300 && session.dataFileState().open; ++arrivals)
                t.socket.deliver(arrival);
            for (int i = 0; i < 5; ++i, ++arrivals)
                t.socket.deliver(arrival);
            session.setRun(false);
        }
        QVERIFY(arrivals < 305);
        QCOMPARE(session.runFigures().count, std::optional<qint64>(100 * arrivals));
        QCOMPARE(t.log.text().count(QStringLiteral("Doh! (data) ")), 1);
        QCOMPARE(t.log.lineCount(), 100 * arrivals + 1);
        const auto d = sidecarOf(first);
        QVERIFY(d && d->complete);
        QCOMPARE(d->recordsDecoded, quint64(100 * arrivals));
        QVERIFY2(d->dataFileError.startsWith(QStringLiteral("Write failed: ")), qPrintable(d->dataFileError));
        QVERIFY(d->entriesWritten > 0);
        QCOMPARE(d->entriesWritten, session.entriesWritten());
        QCOMPARE(readFile(first), line.repeated(qsizetype(d->entriesWritten)));

        // Room again, and the next run records as usual.
        QVERIFY(QFile::remove(first));
        session.setRun(true);
        QVERIFY(session.dataFileState().open);
        t.socket.deliver(arrival);
        session.setRun(false);
        QCOMPARE(readFile(session.dataFileState().path), line.repeated(100));
    }
#endif
};

QTEST_MAIN(TestSessionRecording)
#include "tst_sessionrecording.moc"
