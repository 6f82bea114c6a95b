/// @brief The whole panel against the simulator: connect, calibrate, run, record, the files checked against the ground
/// truth; in process on a fake clock, and once over loopback against tallyscope-sim.
#include "app/application.h"
#include "app/formmain.h"
#include "app/vbcheckbox.h"
#include "common/panelbench.h"
#include "link/replydecoder.h"
#include "measure/datafile.h"
#include "measure/gui/histogramwindow.h"
#include "measure/histogram.h"
#include "measure/histogramfeed.h"
#include "measure/runstatistics.h"
#include "session/instrumentsession.h"
#include "session/messagelog.h"

#include <QProcess>
#include <QTest>

using namespace panelbench;

class TestEndToEnd : public QObject {
    Q_OBJECT
private slots:
    // A plain run, then one with split replies and register polling between the records.
    void filesMatchTheGroundTruth()
    {
        Bench b(200000);
        QVERIFY(b.startCalibrated());
        b.ui().chkFile->setValue(1);
        for (const bool faults : {false, true}) {
            b.ui().chkAuto->setValue(faults);
            if (faults)
                b.sim->splitReplies(60000);
            const qsizetype filesBefore = b.dataFiles().size();
            const quint64 decodedBefore = b.app->session().decoderCounters().recordsDecoded;
            const QList<TruthRecord> truth = b.run(100000);
            b.sim->clearFaults();

            const QStringList files = b.dataFiles();
            QCOMPARE(files.size(), filesBefore + 1);
            const QStringList lines = b.plainLines(files.last());
            QCOMPARE(prefixMismatches(lines, truth), 0);
            QVERIFY(lines.size() >= 100000 && lines.size() <= truth.size());
            // Every record sent was decoded, those still on their way at the stop too: nothing rejected, nothing
            // dropped.
            const ReplyDecoder::Counters& counters = b.app->session().decoderCounters();
            QCOMPARE(counters.recordsDecoded - decodedBefore, quint64(truth.size()));
            QCOMPARE(counters.rejectedByGate + counters.rejectedByPlausibility + counters.bytesDroppedByResync, 0ull);
        }
        QVERIFY(!b.app->log().text().contains(QStringLiteral("Doh!")));

        // The histogram saw exactly the last run's records, cleared at its start like the statistics.
        emit b.app->window().histogramRequested();
        QVERIFY(b.app->histogramWindow() && b.app->histogramWindow()->isVisible());
        const Histogram::Summary h = b.app->histogramFeed().histogram().summary();
        QCOMPARE(qint64(h.count), b.app->session().runFigures().count.value_or(-1));
        QCOMPARE(qint64(h.minimum.value_or(0)), b.app->session().runFigures().minimum.value_or(1));
        QCOMPARE(qint64(h.maximum.value_or(0)), b.app->session().runFigures().maximum.value_or(1));
    }

    // The real path once: tallyscope-sim as a process of its own, the panel on its own TCP socket.
    void loopbackAgainstTheSimulatorProcess()
    {
        QProcess sim;
        sim.start(QStringLiteral(TALLYSCOPE_SIM_EXE),
                  {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--rate"), QStringLiteral("20000"),
                   QStringLiteral("--duration"), QStringLiteral("60")});
        QVERIFY(sim.waitForReadyRead(10000));
        const QByteArray greeting = sim.readLine().trimmed();
        QVERIFY2(greeting.startsWith("listening on 127.0.0.1:"), greeting.constData());
        QTemporaryDir dir;
        MemorySettingsBackend settings;
        FakeMessageBoxes boxes;
        Application::Options o;
        o.address = QStringLiteral("127.0.0.1");
        o.port = greeting.mid(greeting.lastIndexOf(':') + 1).toUShort();
        Application app(o, settings, boxes);
        app.panelOptions().setDataFolder(dir.path() + u'/');
        const PanelView ui(app.window());
        app.start();
        QTRY_VERIFY_WITH_TIMEOUT(ui.chkRun->isEnabled(), 15000);
        ui.chkFile->setValue(1);
        ui.chkDisplay->setValue(0);
        ui.chkRun->setValue(1);
        QTRY_VERIFY_WITH_TIMEOUT(app.session().runFigures().count.value_or(0) >= 5000, 20000);
        ui.chkRun->setValue(0);
        const QStringList files = dataFilesIn(dir.path());
        QCOMPARE(files.size(), 1);
        const qsizetype lines = readFile(dir.filePath(files.first())).count("\r\n");
        QVERIFY(lines >= 5000);
        QCOMPARE(quint64(lines), app.session().entriesWritten());
        QVERIFY(!app.log().text().contains(QStringLiteral("Doh!")));
        app.window().close();
        sim.kill();
        sim.waitForFinished(5000);
    }
};

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
