/// @brief Scripts driving a session through RemoteControl against the in-process simulator: results, bad input, waits,
/// many clients.
#include "common/fakes.h"
#include "common/fulldisk.h"
#include "common/optionedsession.h"
#include "common/remoterig.h"
#include "common/sessiontestaccess.h"
#include "control/calibrationmodel.h"
#include "control/registermodel.h"
#include "link/connectionmanager.h"
#include "measure/histogramfeed.h"
#include "platform/settingsbackend.h"
#include "platform/settingsstore.h"
#include "remote/remotecontrol.h"
#include "session/histogrambinding.h"
#include "session/instrumentsession.h"
#include "session/messagelog.h"
#include "session/paneloptions.h"
#include "sim/instrumentsimulator.h"
#include "sim/simulatorsocket.h"

#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

using namespace remoterig;

class TestRemoteControl : public QObject {
    Q_OBJECT
private slots:
    // A script's question is answered with every record that has come, also those the link left
    // waiting in the kernel for the next display frame.
    void answersIncludeWhatTheLinkLeftWaiting()
    {
        OptionedSession o;
        auto& [socket, clock, boxes, log, backend, store, options, session, parts] = o;
        HistogramFeed feed;
        bindHistogramFeed(session, feed);
        RecordingTransport transport;
        RemoteControl remote(session, options, feed, clock, QStringLiteral("9.8.7"), transport);
        remote.setTurnBudget({1 << 30, 1 << 30});
        remote.clientConnected(1);
        parts.setCells({"500", "3600", "510", "3590"});
        session.setRun(true);
        const QByteArray record = recordBytes(1500, 1600);
        socket.deliver(record.repeated(2));
        socket.onCatchUp = [&] {
            socket.onCatchUp = {};
            socket.deliver(record.repeated(6));
        };
        remote.lineReceived(1, "FETC:COUN?");
        QCOMPARE(transport.answers[1], QByteArray("8\n"));
    }

    // A script's whole run: calibrate with *OPC?, record with File on, fetch every difference
    // and check it against what the simulator sent, the histogram and the data file.
    void scriptRunsAndFetchesEveryDifference()
    {
        SimulatorConfig cfg;
        cfg.recordsPerSecond = 5000;
        Rig rig(cfg);
        rig.remote->clientConnected(1);
        QCOMPARE(rig.ask(1, "*IDN?;CONN:STAT?"), QByteArray("Quorvel,Tallyscope,0,9.8.7;0\n"));
        rig.elapse(0.2);
        // The connect's own calibration is under way; a script's joins it and waits for its end.
        QCOMPARE(rig.ask(1, "CAL;*OPC?"), QByteArray());
        rig.elapse(10);
        QCOMPARE(rig.take(1), QByteArray("1\n"));
        QCOMPARE(rig.ask(1, "CAL:VAL?;DATA?;*IDN?"),
                 QByteArray("1;500,3600,510,3590;Quorvel,Tallyscope,1.2.3,9.8.7\n"));
        QCOMPARE(rig.ask(1, "FILE ON;RUN ON;RUN?;:FILE?"), QByteArray("1;1\n"));
        rig.elapse(2);
        QCOMPARE(rig.ask(1, "RUN OFF;RUN?"), QByteArray("0\n"));
        rig.elapse(0.5);

        const QList<qint32> expected = groundTruth(rig.sim->config().groundTruthPath);
        QVERIFY(expected.size() > 8000);
        // Two fetches in a row: the second starts where the first ended.
        QList<qint32> fetched = blockValues(rig.ask(1, "FORM INT;FETC:DT? 1000").chopped(1));
        fetched += blockValues(rig.ask(1, "FETC:DT?").chopped(1));
        QCOMPARE(fetched, expected);
        QCOMPARE(rig.ask(1, "FETC:DT?;DT:LOST?;:FETC:COUN?"), "#10;0;" + QByteArray::number(expected.size()) + '\n');

        const QList<QByteArray> stats = rig.ask(1, "FETC:STAT?").trimmed().split(',');
        QCOMPARE(stats.at(1).toInt(), *std::min_element(expected.begin(), expected.end()));
        QCOMPARE(stats.at(2).toInt(), *std::max_element(expected.begin(), expected.end()));
        // The automatic range centres on the peak and leaves the background out; with the
        // whole range shown, the bins hold every record.
        const auto histogramSum = [&rig] {
            qint64 sum = 0;
            for (const QByteArray& n : rig.ask(1, "FORM ASC;HIST:DATA?").trimmed().split(','))
                sum += n.toLongLong();
            return sum;
        };
        QVERIFY(histogramSum() < qint64(expected.size()));
        QCOMPARE(rig.ask(1, "HIST:RANG:ALL ON;ALL?"), QByteArray("1\n"));
        QCOMPARE(histogramSum(), qint64(expected.size()));

        const QByteArray name = rig.ask(1, "FILE:NAME?").trimmed();
        QVERIFY(name.startsWith('"') && name.endsWith('"'));
        QFile data(QString::fromUtf8(name.mid(1, name.size() - 2)));
        QVERIFY(data.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = data.readAll().split('\n');
        QCOMPARE(lines.size() - 1, expected.size());
        QCOMPARE(lines.first().trimmed().toInt(), expected.first());
        QCOMPARE(lines.at(lines.size() - 2).trimmed().toInt(), expected.last());
    }

    void badInputQueuesItsErrorAndChangesNothing_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QByteArray>("error");
        QTest::newRow("unknown header") << QByteArray("FILE:SIZE 3") << QByteArray(R"(-113,"Undefined header")");
        QTest::newRow("not a boolean") << QByteArray("FILE:VERB 2") << QByteArray(R"(-224,"Illegal parameter value")");
        QTest::newRow("DAC out of range") << QByteArray("SOUR:DAC:A 4096") << QByteArray(R"(-222,"Data out of range")");
        QTest::newRow("Tau out of range") << QByteArray("CAL:TAU:A -1") << QByteArray(R"(-222,"Data out of range")");
        QTest::newRow("missing folder") << QByteArray(R"(FILE:PATH "/no/such/folder")")
                                        << QByteArray(R"(-224,"Illegal parameter value")");
        QTest::newRow("address with a blank")
            << QByteArray(R"(CONN:ADDR "127.0.0.2 x")") << QByteArray(R"(-224,"Illegal parameter value")");
        QTest::newRow("missing parameter") << QByteArray("DISP") << QByteArray(R"(-109,"Missing parameter")");
        QTest::newRow("window upside down")
            << QByteArray("HIST:WIND 5,-5") << QByteArray(R"(-224,"Illegal parameter value")");
        QTest::newRow("Run without a calibration") << QByteArray("RUN ON") << QByteArray(R"(-221,"Settings conflict")");
    }
    void badInputQueuesItsErrorAndChangesNothing()
    {
        QFETCH(QByteArray, line);
        QFETCH(QByteArray, error);
        SimulatorConfig cfg;
        if (QByteArray(QTest::currentDataTag()) == "Run without a calibration")
            cfg.calLowA = 600; // outside its window: the Run box stays disabled
        Rig rig(cfg);
        rig.remote->clientConnected(1);
        rig.elapse(8);
        const QString before = rig.state();
        const QByteArray window = rig.ask(1, "HIST:WIND?");
        QCOMPARE(rig.ask(1, line), QByteArray());
        QCOMPARE(rig.state(), before);
        QCOMPARE(rig.ask(1, "HIST:WIND?"), window);
        QCOMPARE(rig.ask(1, "SYST:ERR:COUN?;:SYST:ERR?;ERR?"), "1;" + error + R"(;0,"No error")" + '\n');
    }

    // A query that waits holds back only its own client's later commands; a register that never
    // answers gives "Hardware error" after a second; a client that floods a waiting query
    // interrupts it rather than growing a backlog.
    void waitsHoldOnlyTheirOwnClient()
    {
        Rig rig;
        rig.remote->clientConnected(1);
        rig.remote->clientConnected(2);
        rig.elapse(8);
        QCOMPARE(rig.ask(1, "REG? 7;*IDN?").left(3), QByteArray());
        rig.elapse(0.05);
        QCOMPARE(rig.take(1), QByteArray("18;Quorvel,Tallyscope,1.2.3,9.8.7\n"));

        rig.sim->silence(60000);
        QCOMPARE(rig.ask(1, "REG? 3;SYST:ERR?"), QByteArray());
        QCOMPARE(rig.ask(1, "*OPC?"), QByteArray());
        QCOMPARE(rig.ask(2, "*OPC?"), QByteArray("1\n"));
        rig.elapse(0.9);
        QCOMPARE(rig.take(1), QByteArray());
        rig.elapse(0.15);
        QCOMPARE(rig.take(1), QByteArray("-240,\"Hardware error\"\n1\n"));

        QCOMPARE(rig.ask(1, "CAL;*OPC?"), QByteArray());
        for (size_t i = 0; i < RemoteControl::MaxWaitingCommands; ++i)
            rig.remote->lineReceived(1, "*ESE 0");
        QCOMPARE(rig.ask(1, "SYST:ERR?"), QByteArray("-410,\"Query INTERRUPTED\"\n"));
    }

    // The transport may drop a client from inside an answer (it stopped reading): its queued
    // commands are abandoned and the others go on.
    void clientDroppedWhileItsCommandsRun()
    {
        Rig rig;
        rig.remote->clientConnected(1);
        rig.remote->clientConnected(2);
        rig.transport.onSend = [&rig](quint64 c) {
            if (c == 1)
                rig.remote->clientDisconnected(1);
        };
        rig.remote->lineReceived(1, "*IDN?\n");
        rig.remote->lineReceived(1, "FILE ON");
        QCOMPARE(rig.options.value(PanelOptions::File), 0);
        QCOMPARE(rig.remote->clientCount(), 1);
        QCOMPARE(rig.ask(2, "FILE ON;FILE?"), QByteArray("1\n"));
    }

    // One client's long line runs in turns, each from its own pass of the event loop; another
    // client's line is answered in between, and the long line still runs whole and in order.
    void longLinesRunInTurnsAndOthersGoBetween()
    {
        Rig rig;
        rig.remote->setTurnBudget({1 << 30, 100});
        rig.remote->clientConnected(1);
        rig.remote->clientConnected(2);
        QByteArray storm;
        for (int i = 0; i < 1000; ++i)
            storm += "*ESE " + QByteArray::number(i % 256) + ';';
        QCOMPARE(rig.ask(1, storm + "*ESE?"), QByteArray());
        rig.remote->lineReceived(2, "*IDN?");
        for (int pass = 0; pass < 5 && rig.transport.answers[2].isEmpty(); ++pass)
            QCoreApplication::processEvents();
        QCOMPARE(rig.take(2), QByteArray("Quorvel,Tallyscope,0,9.8.7\n"));
        QCOMPARE(rig.transport.answers[1], QByteArray()); // still under way
        int passes = 0;
        for (; passes < 100 && rig.transport.answers[1].isEmpty(); ++passes)
            QCoreApplication::processEvents();
        QCOMPARE(rig.take(1), QByteArray("231\n")); // the last of them: 999 % 256
        QVERIFY2(passes >= 9, qPrintable(QString::number(passes)));
    }

    // Many lines that come in one read share the pass of the event loop that brought them;
    // the rest run turn by turn, in order.
    void linesOfOneReadShareThePass()
    {
        Rig rig;
        rig.remote->setTurnBudget({1 << 30, 10});
        rig.remote->clientConnected(1);
        QByteArray expected;
        for (int i = 0; i < 200; ++i) {
            rig.remote->lineReceived(1, "*ESE " + QByteArray::number(i) + ";*ESE?");
            expected += QByteArray::number(i) + '\n';
        }
        QVERIFY(rig.transport.answers[1].count('\n') <= 4);
        for (int pass = 0; pass < 200 && rig.transport.answers[1] != expected; ++pass)
            QCoreApplication::processEvents();
        QCOMPARE(rig.take(1), expected);
    }

    // Nothing runs while the front end is still starting; then everything, in order.
    void commandsWaitWhileHeld()
    {
        Rig rig;
        rig.remote->holdCommands();
        rig.remote->clientConnected(1);
        QCOMPARE(rig.ask(1, "FILE ON;FILE?"), QByteArray());
        QCOMPARE(rig.ask(1, "FILE OFF;FILE?"), QByteArray());
        QCOMPARE(rig.options.value(PanelOptions::File), 0);
        rig.remote->releaseCommands();
        QTRY_COMPARE(rig.transport.answers[1], QByteArray("1\n0\n"));
    }

    // A line's answers are bounded while they are built: a whole ring fits as one block, but
    // not as a list, which is given up (nothing fetched, the rest of the line not run).
    void answersOfALineAreBounded()
    {
        Rig rig;
        rig.remote->clientConnected(1);
        DifferenceRing& ring = rig.remote->ring();
        for (qsizetype i = 0; i < ring.capacity(); ++i)
            ring.append(qint32(-1000000 - i % 1000)); // eight characters and a comma each
        QCOMPARE(rig.ask(1, "FETC:DT?;:FILE ON"), QByteArray());
        QCOMPARE(rig.options.value(PanelOptions::File), 0);
        QCOMPARE(rig.ask(1, "SYST:ERR?;ERR?"), QByteArray("-223,\"Too much data\";0,\"No error\"\n"));

        rig.transport.sends[1] = 0;
        const QByteArray answer = rig.ask(1, "FORM INT;:FETC:DT?;:FETC:DT:LOST?");
        QVERIFY(answer.startsWith("#867108864") && answer.endsWith(";0\n"));
        const QList<qint32> values = blockValues(answer);
        QCOMPARE(values.size(), ring.capacity());
        QCOMPARE(values.first(), -1000000);
        QCOMPARE(values.last(), qint32(-1000000 - (ring.capacity() - 1) % 1000));
        QVERIFY(rig.transport.sends[1] >= 2); // the block went out by itself, not behind a copy
    }

    // A fetch answered in pieces is one fetch: the values the ring overwrote before its first
    // piece are reported lost, in either form, and it starts with the oldest value still held.
    void aFetchInPiecesReportsTheGapBeforeIt()
    {
        Rig rig;
        rig.remote->clientConnected(1);
        rig.remote->clientConnected(2);
        DifferenceRing& ring = rig.remote->ring();
        constexpr qsizetype Gap = 1000;
        for (qsizetype i = 0; i < ring.capacity() + Gap; ++i)
            ring.append(qint32(i % 1000000));

        const QByteArray block = rig.ask(1, "FORM INT;:FETC:DT?;:FETC:DT:LOST?");
        QVERIFY(block.endsWith(";1000\n"));
        const QList<qint32> values = blockValues(block);
        QCOMPARE(values.size(), ring.capacity());
        QCOMPARE(values.first(), qint32(Gap));

        const QList<QByteArray> list = rig.ask(2, "FETC:DT? 200000;:FETC:DT:LOST?").trimmed().split(';');
        QCOMPARE(list.size(), 2);
        const QList<QByteArray> texts = list.first().split(',');
        QCOMPARE(texts.size(), 200000);
        QCOMPARE(texts.first(), QByteArray::number(Gap));
        QCOMPARE(list.last(), QByteArray("1000"));
    }

    // A client that does not take its answers has its commands wait, and a queue that keeps
    // growing stops its input; both pick up again once the network has taken the answers.
    void aClientThatDoesNotReadWaits()
    {
        Rig rig;
        rig.remote->clientConnected(1);
        rig.remote->clientConnected(2);
        rig.transport.unsent[1] = RemoteControl::PauseBacklogBytes + 1;
        QCOMPARE(rig.ask(1, "*IDN?"), QByteArray());
        for (size_t i = 0; i < RemoteControl::MaxQueuedCommands; ++i)
            rig.remote->lineReceived(1, "*ESE 4");
        QCOMPARE(rig.transport.reading[1], false);
        QCOMPARE(rig.ask(2, "*ESE?"), QByteArray("0\n"));
        rig.remote->clientDrained(1); // still too much unsent: nothing moves
        QCOMPARE(rig.take(1), QByteArray());
        rig.transport.unsent[1] = 0;
        rig.remote->clientDrained(1);
        QCOMPARE(rig.ask(1, "*ESE?"), "Quorvel,Tallyscope,0,9.8.7\n4\n");
        QCOMPARE(rig.transport.reading[1], true);
    }

    // Closing: no more changes, but what is left can still be fetched.
    void closingRefusesChangesAndLetsClientsFetch()
    {
        Rig rig;
        rig.remote->clientConnected(1);
        rig.elapse(8);
        QVERIFY(rig.session->calibrationShown().runGate);
        rig.remote->ring().append(-42);
        rig.remote->beginClosing();
        QCOMPARE(rig.ask(1, "RUN ON;RUN?;:FILE ON;:FILE?"), QByteArray("0;0\n"));
        QCOMPARE(rig.ask(1, "SYST:ERR?"), QByteArray("-200,\"Execution error\"\n"));
        QVERIFY(!rig.remote->allFetched());
        QCOMPARE(rig.ask(1, "FETC:DT?"), QByteArray("-42\n"));
        QVERIFY(rig.remote->allFetched());
    }

    // A data file that cannot be made, or fails, is an error on every script's queue, once, of
    // the kind SCPI has for it; FILE:ERR? tells whether the last run's file is whole.
    void fileFailuresReachEveryClient()
    {
        SimulatorConfig cfg;
        cfg.recordsPerSecond = 20000;
        Rig rig(cfg, false);
        rig.remote->clientConnected(1);
        rig.remote->clientConnected(2);
        rig.elapse(8);
        const QString gone = rig.dir.filePath(QStringLiteral("gone"));
        QVERIFY(QDir().mkdir(gone));
        QCOMPARE(rig.ask(1, "FILE:ERR?;:FILE:PATH \"" + gone.toUtf8() + "\";:FILE ON"), QByteArray("0,\"\"\n"));
        QVERIFY(QDir().rmdir(gone));
        // The run starts without a file, as behind the panel's bad-path box.
        QCOMPARE(rig.ask(1, "RUN ON;RUN?;:FILE:NAME?"), QByteArray("1;\"\"\n"));
        const QByteArray notFound = "-256,\"File name not found\";0,\"No error\"\n";
        QCOMPARE(rig.ask(1, "SYST:ERR?;ERR?"), notFound);
        QCOMPARE(rig.ask(2, "SYST:ERR?;ERR?"), notFound);
        QVERIFY(rig.ask(2, "FILE:ERR?").startsWith("-256,\"Cannot create a data file in"));
        QCOMPARE(rig.ask(1, "RUN OFF;*ESR?"), QByteArray("16\n")); // an execution error

        QCOMPARE(rig.ask(1, "FILE:PATH \"" + rig.dir.path().toUtf8() + "\""), QByteArray());
#ifdef Q_OS_UNIX // a full disk needs a per-process file size limit
        // A disk that fills up during the run.
        {
            FileSizeLimit full(64 * 1024);
            QVERIFY(full.active());
            QCOMPARE(rig.ask(1, "RUN ON;*ESR?"), QByteArray("0\n"));
            rig.elapse(2);
            QCOMPARE(rig.ask(1, "RUN OFF;RUN?"), QByteArray("0\n"));
        }
        const QByteArray mediaFull = "-254,\"Media full\";0,\"No error\"\n";
        QCOMPARE(rig.ask(1, "SYST:ERR?;ERR?"), mediaFull);
        QCOMPARE(rig.ask(2, "SYST:ERR?;ERR?"), mediaFull);
        QVERIFY(rig.ask(2, "FILE:ERR?").startsWith("-254,\"Write failed: "));
        QVERIFY(QFileInfo(QString::fromUtf8(rig.ask(1, "FILE:NAME?").trimmed().chopped(1).mid(1))).size() <= 64 * 1024);

#endif

        // The next run starts whole.
        QCOMPARE(rig.ask(2, "RUN ON;:FILE:ERR?;:RUN OFF"), QByteArray("0,\"\"\n"));
        QCOMPARE(rig.ask(1, "SYST:ERR:COUN?"), QByteArray("0\n"));
    }

    void commonCommandsKeepTheirOwnStatus()
    {
        Rig rig;
        rig.remote->clientConnected(1);
        rig.remote->clientConnected(2);
        QCOMPARE(rig.ask(1, "*ESE 36;*SRE 32;*ESE?;*SRE?;FOO"), QByteArray("36;32\n"));
        QCOMPARE(rig.ask(1, "*STB?;*ESR?;*ESR?"), QByteArray("100;32;0\n"));
        QCOMPARE(rig.ask(2, "*STB?;SYST:ERR?"), QByteArray("0;0,\"No error\"\n"));
        QCOMPARE(rig.ask(1, "*OPC;*ESR?;*CLS;*STB?;SYST:VERS?;FORM?"), QByteArray("1;16;1999.0;ASC\n"));
    }
};

QTEST_GUILESS_MAIN(TestRemoteControl)
#include "tst_remotecontrol.moc"
