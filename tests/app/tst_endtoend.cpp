/// @brief The whole panel against the simulator: connect, calibrate, run, record, the files checked against the ground truth; in process on a fake clock, and once over loopback against tallyscope-sim.
#include "app/application.h"
#include "app/formmain.h"
#include "session/instrumentsession.h"
#include "session/messagelog.h"
#include "app/vbcheckbox.h"
#include "common/panelbench.h"
#include "link/replydecoder.h"
#include "measure/gui/histogramwindow.h"
#include "measure/histogram.h"
#include "measure/histogramfeed.h"
#include "measure/datafile.h"
#include "measure/runstatistics.h"

#include <QLabel>
#include <QProcess>
#include <QLineEdit>
#include <QTest>

using namespace panelbench;

class TestEndToEnd : public QObject {
    Q_OBJECT
private:
    /// One run of at least `records` records; returns the ground truth of the records the
    /// simulator sent during it.
    void runFor(Bench& b, quint64 records, QList<TruthRecord>& truth)
    {
        const qsizetype before = b.truth().size();
        b.ui().chkRun->setValue(1);
        QVERIFY(b.runUntil([&] { return b.app->statistics().count().value_or(0) >= qint64(records); }, 60));
        // Polling ends with the run, so that no register reply is still on its way when the next
        // run starts: a run start drops a reply held in part, by design.
        b.ui().chkAuto->setValue(0);
        b.ui().chkRun->setValue(0);
        // Records already on their way when the stop went out are still decoded (not written).
        b.clock.elapse(0.1);
        QCOMPARE(quint64(b.app->decoder().counters().recordsDecoded), b.sim->recordsSent());
        truth = b.truth().mid(before);
    }

private slots:
    void plainAndRawFilesMatchTheGroundTruth()
    {
        Bench b(200000);
        b.app->start();
        QVERIFY(b.runUntil([&] { return b.ui().chkRun->isEnabled() && b.ui().lblFpga->text().startsWith(QStringLiteral("FPGA: ")); }, 15));
        b.ui().chkFile->setValue(1);

        struct Case {
            const char* name;
            bool raw;
            bool faults;
        };
        const Case cases[] = {{"plain", false, false}, {"plain, split replies, auto polling", false, true}, {"raw", true, false}};
        for (const Case& c : cases) {
            b.ui().chkRaw->setValue(c.raw ? 1 : 0);
            b.ui().chkAuto->setValue(c.faults ? 1 : 0);
            if (c.faults)
                b.sim->splitReplies(60000);
            const QStringList filesBefore = b.dataFiles();
            const quint64 decodedBefore = b.app->decoder().counters().recordsDecoded;
            QList<TruthRecord> truth;
            runFor(b, 100000, truth);
            if (QTest::currentTestFailed())
                return;
            b.sim->clearFaults();

            const QStringList files = b.dataFiles();
            QCOMPARE(files.size(), filesBefore.size() + 1);
            qsizetype written = 0;
            if (c.raw) {
                QFile f(b.dir.filePath(files.last()));
                QVERIFY(f.open(QIODevice::ReadOnly));
                const QByteArray content = f.readAll();
                QVERIFY(content.size() % 7 == 0);
                written = content.size() / 7;
                QByteArray expected;
                for (qsizetype i = 0; i < written && i < truth.size(); ++i)
                    expected += truth.at(i).bytes;
                QCOMPARE(content, expected);
            } else {
                const QStringList lines = b.plainLines(files.last());
                written = lines.size();
                QCOMPARE(prefixMismatches(lines, truth), 0);
            }
            QVERIFY2(written >= 100000 && written <= truth.size(), c.name);
            // Every record sent was decoded: nothing rejected, nothing dropped.
            const ReplyDecoder::Counters& counters = b.app->decoder().counters();
            QCOMPARE(counters.recordsDecoded - decodedBefore, quint64(truth.size()));
            QCOMPARE(counters.rejectedByGate + counters.rejectedByPlausibility + counters.bytesDroppedByResync, 0ull);
        }
        QVERIFY(!b.app->log().text().contains(QStringLiteral("Doh!")));

        // The histogram saw exactly the last run's records, cleared at its start like the statistics.
        emit b.app->window().histogramRequested();
        QVERIFY(b.app->histogramWindow() && b.app->histogramWindow()->isVisible());
        const Histogram::Summary h = b.app->histogramFeed().histogram().summary();
        QCOMPARE(qint64(h.count), b.app->statistics().count().value_or(-1));
        QCOMPARE(qint64(h.minimum.value_or(0)), b.app->statistics().minimum().value_or(1));
        QCOMPARE(qint64(h.maximum.value_or(0)), b.app->statistics().maximum().value_or(1));
    }

    // The real path once: tallyscope-sim as a process of its own, the panel on its own TCP socket.
    void loopbackAgainstTheSimulatorProcess()
    {
        QProcess sim;
        sim.start(QStringLiteral(TALLYSCOPE_SIM_EXE), {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--rate"),
                                                       QStringLiteral("20000"), QStringLiteral("--duration"), QStringLiteral("60")});
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
        QTRY_VERIFY_WITH_TIMEOUT(app.statistics().count().value_or(0) >= 5000, 20000);
        ui.chkRun->setValue(0);
        const QStringList files = QDir(dir.path()).entryList({QStringLiteral("Coincidences *.txt")}, QDir::Files);
        QCOMPARE(files.size(), 1);
        QFile f(dir.filePath(files.first()));
        QVERIFY(f.open(QIODevice::ReadOnly));
        const qsizetype lines = f.readAll().count("\r\n");
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
