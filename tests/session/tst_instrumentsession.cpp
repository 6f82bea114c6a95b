/// @brief The session without a window: link loss and shutdown as every front end sees them, and the data file's health
/// run by run.
#include "common/fakes.h"
#include "common/fulldisk.h"
#include "common/optionedsession.h"
#include "common/sessiontestaccess.h"
#include "measure/runsidecar.h"
#include "platform/settingsbackend.h"
#include "platform/settingsstore.h"
#include "session/instrumentsession.h"
#include "session/messagelog.h"
#include "session/paneloptions.h"

#include <QSemaphore>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>

class TestInstrumentSession : public QObject {
    Q_OBJECT
private slots:
    // The bad-folder box does not hold the event loop: the run starts without a file, and an
    // answer after the loss restarts nothing, sends nothing and opens no second box.
    void linkLossAndShutdownEndTheRunInOrder_data()
    {
        QTest::addColumn<QString>("ending");
        QTest::addColumn<QString>("ticked");
        QTest::addColumn<QString>("events");
        const QString lost = QStringLiteral(
            "log  Lost connection, closed.  |cell 0 ???|cell 1 ???|cell 2 ???|cell 3 ???|");
        // Run stops while the link still stands: its stop command goes out first.
        QTest::newRow("loss, Run and Auto ticked") << "loss"
                                                   << "run auto" << lost + "run 0, up 5200|auto 0|log  Reopening...";
        QTest::newRow("loss, nothing ticked") << "loss"
                                              << "" << lost + "log  Reopening...";
        QTest::newRow("loss behind the bad-folder box")
            << "loss"
            << "run, bad folder" << lost + "run 0, up 5200|log  Reopening...";
        QTest::newRow("shutdown, Run ticked") << "shutdown"
                                              << "run auto" << QStringLiteral("run 0, up 5200");
    }
    void linkLossAndShutdownEndTheRunInOrder()
    {
        QFETCH(QString, ending);
        QFETCH(QString, ticked);
        QFETCH(QString, events);
        MemorySettingsBackend backend;
        SettingsStore store(backend);
        FakeSocket socket;
        FakeClock clock;
        FakeMessageBoxes boxes;
        boxes.holdAnswers = true;
        MessageLog log;
        InstrumentSession session(socket, clock, boxes, log);
        SessionTestAccess parts(session);
        PanelOptions options(store);
        QTemporaryDir dir;
        options.setAddress(QStringLiteral("127.0.0.1"));
        options.setDataFolder(ticked.contains(QStringLiteral("bad folder"))
                                  ? dir.filePath(QStringLiteral("no such folder"))
                                  : dir.path() + u'/');
        session.bindOptions(options);
        options.setValue(PanelOptions::File, 1);
        // Connected with a calibration in its windows, so that Run may start; nothing sent yet.
        session.openConnection();
        socket.completeConnect();
        parts.calibrationSequence().abort();
        parts.link().keepAliveTimer().stop();
        const char* cells[] = {"500", "3600", "510", "3590"};
        for (int i = 0; i < 4; ++i)
            parts.calibration().setCell(CalibrationModel::Cell(i), QString::fromLatin1(cells[i]));
        socket.sent.clear();
        session.setRun(ticked.contains(QStringLiteral("run")));
        session.setAuto(ticked.contains(QStringLiteral("auto")));
        QCOMPARE(boxes.openCount(), ticked.contains(QStringLiteral("bad folder")) ? 1 : 0);
        QCOMPARE(session.dataFileState().open && parts.registerPanel().autoActive(),
                 ticked.contains(QStringLiteral("run auto")));
        if (ending == QStringLiteral("shutdown"))
            session.calibrate(); // under way when the panel closes
        QStringList seen;
        connect(&session, &InstrumentSession::linkLogLine, this,
                [&](LogKind, const QString& line) { seen << "log " + line; });
        connect(&parts.calibration(), &CalibrationModel::cellChanged, this,
                [&](CalibrationModel::Cell c, const QString& text) {
            seen << QStringLiteral("cell %1 %2").arg(c).arg(text);
        });
        connect(&session, &InstrumentSession::runChanged, this, [&](bool on) {
            const bool up = socket.state() == Socket::Connected;
            seen << QStringLiteral("run %1, %2 %3")
                        .arg(int(on))
                        .arg(up ? "up" : "down")
                        .arg(QString::fromLatin1(socket.sent.value(socket.sent.size() - 1).toHex()));
        });
        connect(&session, &InstrumentSession::autoChanged, this,
                [&](bool on) { seen << QStringLiteral("auto %1").arg(int(on)); });
        const int closes = socket.closes;
        if (ending == QStringLiteral("shutdown")) {
            session.shutdown();
        } else {
            clock.advance(9);
            parts.link().keepAliveTick();
        }
        const QList<QByteArray> sent = socket.sent;
        if (boxes.openCount() > 0)
            boxes.answerNext(MessageBoxes::Answer::Ok);
        QCOMPARE(seen.join(u'|'), events);
        QCOMPARE(socket.sent, sent);
        QVERIFY(socket.closes > closes && !session.isRunTicked() && !session.dataFileState().open
                && boxes.shown.size() <= 1);
        QVERIFY(!parts.registerPanel().autoActive() && !parts.calibrationSequence().isRunning());
        if (ending == QStringLiteral("loss")) // the front ends' log shows what the link said
            QCOMPARE(log.line(1), QStringLiteral(" Lost connection, closed.  "));
    }

    // What a front end hears of the link, in order: each line once it is in the log, with its
    // kind; the link up after "Connected."; a heartbeat per heartbeat reply, before the arrival
    // is done; the loss after its line and before the reopening's.
    void linkEventsReachFrontEndsInOrder()
    {
        FakeSocket socket;
        FakeClock clock;
        FakeMessageBoxes boxes;
        MessageLog log;
        InstrumentSession session(socket, clock, boxes, log);
        SessionTestAccess parts(session);
        QStringList seen;
        connect(&session, &InstrumentSession::linkLogLine, this, [&](LogKind kind, const QString& text) {
            const bool logged = log.text().startsWith(text + QStringLiteral("\r\n"));
            seen << (kind == LogKind::Error ? QStringLiteral("error ") : QStringLiteral("info ")) + text
                        + (logged ? QString() : QStringLiteral(" (not in the log yet)"));
        });
        connect(&session, &InstrumentSession::linkUp, this, [&] { seen << QStringLiteral("up"); });
        connect(&session, &InstrumentSession::linkLost, this, [&] { seen << QStringLiteral("lost"); });
        connect(&session, &InstrumentSession::heartbeatSeen, this, [&] { seen << QStringLiteral("heartbeat"); });
        connect(&session, &InstrumentSession::arrivalHandled, this, [&] { seen << QStringLiteral("arrival"); });
        session.setAddress(QStringLiteral("127.0.0.1"));
        session.openConnection();
        QCOMPARE(socket.connects, QStringList{QStringLiteral("127.0.0.1:37829")});
        socket.completeConnect();
        QVERIFY(session.linkState().connected && session.isCalibrating());
        parts.calibrationSequence().abort();
        socket.deliver(QByteArrayLiteral("HH"));
        clock.advance(9);
        parts.link().keepAliveTick();
        socket.fail(QStringLiteral("Connection refused"));
        QCOMPARE(seen, (QStringList{QStringLiteral("info Connected."), QStringLiteral("up"),
                                    QStringLiteral("heartbeat"), QStringLiteral("heartbeat"), QStringLiteral("arrival"),
                                    QStringLiteral("error  Lost connection, closed.  "), QStringLiteral("lost"),
                                    QStringLiteral("info  Reopening..."),
                                    QStringLiteral("error  Doh! (sock) Connection refused")}));
        QVERIFY(!session.linkState().connected);
    }

    // Records the link left waiting for a display frame came before whatever the operator does
    // next: a stop counts and writes them in the run they came in, an option change decodes them
    // the way they would have been.
    void waitingRecordsBelongToTheRunTheyCameIn()
    {
        OptionedSession o;
        auto& [socket, clock, boxes, log, backend, store, options, session, parts] = o;
        parts.setCells({"500", "3600", "510", "3590"});
        const QByteArray record = recordBytes(1500, 1600);
        const auto waiting = [&socket, &record](int records) {
            socket.onCatchUp = [&socket, &record, records] {
                socket.onCatchUp = {};
                socket.deliver(record.repeated(records));
            };
        };
        options.setValue(PanelOptions::Display, 1);
        session.setRun(true);
        socket.deliver(record.repeated(10));
        waiting(5);
        session.setRun(false);
        QCOMPARE(parts.statistics().count(), std::optional<qint64>(15));
        // Display off: the waiting lines are shown first, then no more.
        session.setRun(true);
        waiting(3);
        const qsizetype shownBefore = log.text().count(QStringLiteral("-30457"));
        options.setValue(PanelOptions::Display, 0);
        QCOMPARE(log.text().count(QStringLiteral("-30457")) - shownBefore, 3);
        socket.deliver(record.repeated(4));
        QCOMPARE(log.text().count(QStringLiteral("-30457")) - shownBefore, 3);
        QCOMPARE(parts.statistics().count(), std::optional<qint64>(7));
    }

    // A run timed to the millisecond ends by each arrival's own time: while it lasts the link may
    // not leave a stream's bytes waiting for a display frame, and may again once it has ended,
    // whichever way it ends.
    void aTimedAcquisitionHasEveryArrivalReadAtOnce()
    {
        FakeSocket socket;
        FakeClock clock;
        FakeMessageBoxes boxes;
        MessageLog log;
        InstrumentSession session(socket, clock, boxes, log);
        session.startAcquisition({0, 200});
        QVERIFY(!socket.holdAllowed);
        session.abortAcquisition();
        QVERIFY(socket.holdAllowed);
        session.startAcquisition({1000, 0});
        QVERIFY(socket.holdAllowed);
        session.startAcquisition({0, 200});
        QVERIFY(!socket.holdAllowed);
        session.startAcquisition({1000, 0}); // a new start ends the timed one
        QVERIFY(socket.holdAllowed);
        session.startAcquisition({0, 200});
        clock.advance(0.3);
        session.setRun(false);
        QVERIFY(socket.holdAllowed);
    }

#ifdef Q_OS_UNIX
    // What a script is told: each run starts healthy, a failure of its data file makes it
    // unhealthy with a kind to act on, and every failure is told once; a sidecar's failure is
    // told too but leaves the data file's health alone.
    void dataFileHealthFollowsEachRun()
    {
        OptionedSession o;
        auto& [socket, clock, boxes, log, backend, store, options, session, parts] = o;
        QTemporaryDir dir;
        parts.setCells({"500", "3600", "510", "3590"});
        const QByteArray arrival = recordBytes(1500, 1600).repeated(100);
        QList<std::pair<FileFailure, QString>> told;
        connect(&session, &InstrumentSession::fileFailure, this, [&told](FileFailure failure, const QString& reason) {
            told.append({failure, reason});
        });
        const auto health = [&session] { return session.dataFileHealth().failure; };
        options.setValue(PanelOptions::File, 1);
        QCOMPARE(health(), FileFailure::None);

        // A folder that is not there: the operator's box, and the kind for everyone else, with
        // no log line of its own.
        options.setDataFolder(dir.filePath(QStringLiteral("missing")));
        session.setRun(true);
        QCOMPARE(boxes.shown.size(), 1);
        QCOMPARE(told.size(), 1);
        QCOMPARE(told.at(0).first, FileFailure::NotFound);
        QVERIFY2(told.at(0).second.contains(dir.filePath(QStringLiteral("missing"))), qPrintable(told.at(0).second));
        QCOMPARE(session.dataFileHealth().reason, told.at(0).second);
        QVERIFY(!log.text().contains(QStringLiteral("Doh!")));
        session.setRun(false);
        QCOMPARE(health(), FileFailure::NotFound);

        // The next run starts whole; then its disk fills up.
        options.setDataFolder(dir.path());
        session.setRun(true);
        QCOMPARE(health(), FileFailure::None);
        QCOMPARE(session.dataFileHealth().reason, QString());
        {
            const FileSizeLimit limit(4000);
            QVERIFY(limit.active());
            for (int i = 0; i < 100 && session.dataFileState().open; ++i)
                socket.deliver(arrival);
        }
        QCOMPARE(told.size(), 2);
        QCOMPARE(told.at(1).first, FileFailure::MediaFull);
        QCOMPARE(session.dataFileHealth().failure, FileFailure::MediaFull);
        QCOMPARE(session.dataFileHealth().reason, told.at(1).second);
        QCOMPARE(log.text().count(QStringLiteral("Doh! (data) ") + told.at(1).second), 1);
        session.setRun(false);

        // The closing sync fails after the stop: it is this run's file.
        parts.dataFile().setSyncFunction([](NoFollowFile&) { return EIO; });
        session.setRun(true);
        socket.deliver(arrival);
        const QString third = session.dataFileState().path;
        session.setRun(false);
        parts.dataFile().setSyncFunction({});
        QTRY_COMPARE(told.size(), 3);
        QCOMPARE(told.at(2).first, FileFailure::MassStorage);
        QVERIFY2(told.at(2).second.startsWith(QStringLiteral("Write failed: "))
                     && told.at(2).second.contains(QFileInfo(third).fileName()),
                 qPrintable(told.at(2).second));
        QCOMPARE(health(), FileFailure::MassStorage);
        QCOMPARE(log.text().count(QStringLiteral("Doh! (data) ") + told.at(2).second), 1);
        // The sidecar was complete before the sync failed; it says so now.
        QFile sidecar(RunSidecar::pathFor(third));
        QVERIFY(sidecar.open(QIODevice::ReadOnly));
        const auto described = RunSidecar::fromJson(sidecar.readAll());
        QVERIFY(described && described->complete);
        QCOMPARE(described->dataFileError, told.at(2).second);

        // An earlier run's file that fails late is told, but the run now going stays healthy.
        QSemaphore gate;
        parts.dataFile().setSyncFunction([&gate](NoFollowFile&) {
            gate.tryAcquire(1, 5000);
            return EIO;
        });
        session.setRun(true);
        socket.deliver(arrival);
        session.setRun(true); // started anew: the first file closes, its sync held
        parts.dataFile().setSyncFunction({});
        gate.release();
        QTRY_COMPARE(told.size(), 4);
        QCOMPARE(told.at(3).first, FileFailure::MassStorage);
        QCOMPARE(health(), FileFailure::None);
        session.setRun(false);

        // A folder at the sidecar's name: told once for the run, the data file whole.
        clock.advance(1);
        const QString next = DataFile::joinFolder(dir.path(), DataFile::fileName(clock.localNow(), QLocale()));
        QVERIFY(QDir().mkdir(RunSidecar::pathFor(next)));
        session.setRun(true);
        QCOMPARE(session.dataFileState().path, next);
        socket.deliver(arrival);
        session.setRun(false);
        QVERIFY(DataFile::waitForPendingSyncs(10000).isEmpty());
        QCOMPARE(told.size(), 5);
        QCOMPARE(told.at(4).first, FileFailure::MassStorage);
        QVERIFY2(told.at(4).second.startsWith(QStringLiteral("Sidecar write failed: ")), qPrintable(told.at(4).second));
        QCOMPARE(health(), FileFailure::None);
    }
#endif
};

QTEST_MAIN(TestInstrumentSession)
#include "tst_instrumentsession.moc"
