/// @brief HeadlessRecorder, its session and the simulator in one process on one fake clock: how each ending is told,
/// its exit code, and the files left behind.
#include "common/fakes.h"
#include "common/fulldisk.h"
#include "measure/datafile.h"
#include "measure/runsidecar.h"
#include "session/instrumentsession.h"
#include "session/messagelog.h"
#include "sim/instrumentsimulator.h"
#include "sim/simulatorsocket.h"
#include "tools/record/headlessrecorder.h"

#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <functional>

class TestHeadlessRecorder : public QObject {
    Q_OBJECT
private slots:
    // Whatever Qt complains of would reach the recorder's stderr too.
    void init() { QTest::failOnWarning(QRegularExpression(QStringLiteral(".*"))); }

    void endsWithItsExitCodeAndCompleteFiles_data()
    {
        QTest::addColumn<QString>("instrument");
        QTest::addColumn<QString>("ending");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("lastLine");
        QTest::newRow("record limit, raw") << ""
                                           << "" << 0 << "recording to";
        QTest::newRow("refused at first") << "starting"
                                          << "" << 0 << "recording to";
        QTest::newRow("SIGTERM") << ""
                                 << "SIGTERM" << 143 << "SIGTERM: run stopped";
        QTest::newRow("link lost") << ""
                                   << "silence" << 4 << "connection lost; run stopped";
#ifdef Q_OS_UNIX // a full disk needs a per-process file size limit
        QTest::newRow("disk full, raw") << ""
                                        << "disk full" << 1 << "data file: Write failed: File too large";
#endif
        QTest::newRow("calibration") << "A low 600"
                                     << "" << 3 << "calibration failed: A low 600 (needs 450 < x < 550)";
        QTest::newRow("nobody listening") << "absent"
                                          << "" << 2 << "no connection to 127.0.0.1:5025 within 3 s";
    }
    void endsWithItsExitCodeAndCompleteFiles()
    {
        QFETCH(QString, instrument);
        QFETCH(QString, ending);
        QFETCH(int, exitCode);
        QFETCH(QString, lastLine);
        FakeClock clock;
        SimulatorConfig cfg;
        cfg.recordsPerSecond = 20000;
        cfg.calLowA = instrument == QStringLiteral("A low 600") ? 600 : 500;
        cfg.calNoise = 0;
        auto sim = std::make_unique<InstrumentSimulator>(cfg, clock);
        QVERIFY(sim->startInProcess());
        if (instrument == QStringLiteral("starting"))
            sim->refuseConnections(1200, InstrumentSimulator::RefuseMode::StopListening);
        SimulatorSocket socket(*sim, clock);
        if (instrument == QStringLiteral("absent"))
            sim.reset();
        QTemporaryDir dir;
        const HeadlessRecorder::Settings s{.address = QStringLiteral("127.0.0.1"),
                                           .port = 5025,
                                           .folder = dir.path(),
                                           .duration = {},
                                           .recordLimit = ending.isEmpty() ? std::optional<quint64>(2000)
                                                                           : std::nullopt,
                                           .raw = QByteArray(QTest::currentDataTag()).contains("raw"),
                                           .connectTimeout = 3};
        FakeMessageBoxes boxes;
        MessageLog log;
        InstrumentSession session(socket, clock, boxes, log);
        QString out;
        QStringList err;
        std::optional<int> code;
        HeadlessRecorder recorder(
            session, socket, clock, s, [&](const QString& t) { out += t; }, [&](const QString& l) { err.append(l); });
        connect(&recorder, &HeadlessRecorder::finished, this, [&](int c) { code = c; });
        recorder.start();
        const auto runUntil = [&clock](const std::function<bool()>& done) {
            for (int step = 0; step < 3000 && !done(); ++step) {
                clock.elapse(0.01);
                QCoreApplication::sendPostedEvents(); // a failed data file ends the run from the event loop
            }
            return done();
        };
#ifdef Q_OS_UNIX
        std::optional<FileSizeLimit> limit;
#else
        std::optional<int> limit; // never set: no full-disk row here
#endif
        QVERIFY(runUntil([&] { return session.entriesWritten() >= 500 || code; }));
        if (ending == QStringLiteral("SIGTERM"))
            recorder.interrupt(SIGTERM);
        else if (ending == QStringLiteral("silence"))
            sim->silence(60000);
#ifdef Q_OS_UNIX
        else if (ending == QStringLiteral("disk full"))
            limit.emplace(QFileInfo(session.dataFileState().path).size() + 5000);
#endif
        QVERIFY(runUntil([&] { return code.has_value(); }));
        limit.reset();
        // As the recorder's main() does before it exits: the last sync closes the file on a worker
        // thread, and Windows removes no folder with a file still open in it.
        DataFile::waitForPendingSyncs(10000);
        QCOMPARE(*code, exitCode);
        QVERIFY2(err.last().startsWith(lastLine), qPrintable(err.join(u'\n')));
        // A refusal is said once, not once a second.
        QCOMPARE(err.filter(QStringLiteral("Connection refused")).size(),
                 QStringList({"starting", "absent"}).contains(instrument) ? 1 : 0);
        if (exitCode == HeadlessRecorder::ExitNoConnection || exitCode == HeadlessRecorder::ExitCalibration) {
            QVERIFY(out.isEmpty() && QDir(dir.path()).entryList(QDir::Files).isEmpty());
            return;
        }

        const auto contents = [](const QString& path) {
            QFile f(path);
            return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        };
        const QString data = session.dataFileState().path;
        const auto d = RunSidecar::fromJson(contents(RunSidecar::pathFor(data)));
        QVERIFY(d && d->complete && d->entriesWritten >= (ending.isEmpty() ? 2000 : 500));
        QVERIFY(out.endsWith(QStringLiteral("\n%1 records written to %2\nsidecar %3\n")
                                 .arg(d->entriesWritten)
                                 .arg(data, RunSidecar::pathFor(data))));
        const QByteArray content = contents(data);
        QCOMPARE(s.raw ? quint64(content.size()) : quint64(content.count("\r\n")), d->entriesWritten * (s.raw ? 7 : 1));
        // Registers are read before the run, so the sidecar knows them all.
        QCOMPARE(d->registers.size(), 8);
        QVERIFY(std::all_of(d->registers.begin(), d->registers.end(),
                            [](const RunSidecar::Register& r) { return r.value.has_value(); }));
        const bool full = ending == QStringLiteral("disk full");
        QCOMPARE(d->dataFileError, full ? QStringLiteral("Write failed: File too large") : QString());
        QCOMPARE(err.filter(QStringLiteral("Doh! (data) Write failed: File too large")).size(), full ? 1 : 0);
    }
};

QTEST_GUILESS_MAIN(TestHeadlessRecorder)
#include "tst_headlessrecorder.moc"
