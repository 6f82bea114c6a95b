/// @brief The session without a window: link loss and shutdown as every front end sees them.
#include "common/fakes.h"
#include "control/calibrationmodel.h"
#include "control/calibrationsequence.h"
#include "control/registerpanel.h"
#include "link/connectionmanager.h"
#include "measure/datafile.h"
#include "platform/settingsbackend.h"
#include "platform/settingsstore.h"
#include "session/instrumentsession.h"
#include "session/messagelog.h"
#include "session/paneloptions.h"

#include <QTemporaryDir>
#include <QTest>

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
        const QString lost = QStringLiteral("log  Lost connection, closed.  |cell 0 ???|cell 1 ???|cell 2 ???|cell 3 ???|");
        // Run stops while the link still stands: its stop command goes out first.
        QTest::newRow("loss, Run and Auto ticked") << "loss" << "run auto" << lost + "run 0, up 5200|auto 0|log  Reopening...";
        QTest::newRow("loss, nothing ticked") << "loss" << "" << lost + "log  Reopening...";
        QTest::newRow("loss behind the bad-folder box") << "loss" << "run, bad folder" << lost + "run 0, up 5200|log  Reopening...";
        QTest::newRow("shutdown, Run ticked") << "shutdown" << "run auto" << QStringLiteral("run 0, up 5200");
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
        PanelOptions options(store);
        QTemporaryDir dir;
        options.setAddress(QStringLiteral("127.0.0.1"));
        options.setDataFolder(ticked.contains(QStringLiteral("bad folder")) ? dir.filePath(QStringLiteral("no such folder")) : dir.path() + u'/');
        session.bindOptions(options);
        options.setValue(PanelOptions::File, 1);
        // Connected with a calibration in its windows, so that Run may start; nothing sent yet.
        session.openConnection();
        socket.completeConnect();
        session.calibrationSequence().abort();
        session.link().keepAliveTimer().stop();
        const char* cells[] = {"500", "3600", "510", "3590"};
        for (int i = 0; i < 4; ++i)
            session.calibration().setCell(CalibrationModel::Cell(i), QString::fromLatin1(cells[i]));
        socket.sent.clear();
        session.setRun(ticked.contains(QStringLiteral("run")));
        session.setAuto(ticked.contains(QStringLiteral("auto")));
        QCOMPARE(boxes.openCount(), ticked.contains(QStringLiteral("bad folder")) ? 1 : 0);
        QCOMPARE(session.dataFile().isOpen() && session.registerPanel().autoActive(), ticked.contains(QStringLiteral("run auto")));
        if (ending == QStringLiteral("shutdown"))
            session.calibrate(); // under way when the panel closes
        QStringList seen;
        connect(&session.link(), &ConnectionManager::logMessage, this, [&](const QString& line) { seen << "log " + line; });
        connect(&session.calibration(), &CalibrationModel::cellChanged, this,
                [&](CalibrationModel::Cell c, const QString& text) { seen << QStringLiteral("cell %1 %2").arg(c).arg(text); });
        connect(&session, &InstrumentSession::runChanged, this, [&](bool on) {
            const bool up = socket.state() == Socket::Connected;
            seen << QStringLiteral("run %1, %2 %3").arg(int(on)).arg(up ? "up" : "down").arg(QString::fromLatin1(socket.sent.value(socket.sent.size() - 1).toHex()));
        });
        connect(&session, &InstrumentSession::autoChanged, this, [&](bool on) { seen << QStringLiteral("auto %1").arg(int(on)); });
        const int closes = socket.closes;
        if (ending == QStringLiteral("shutdown")) {
            session.shutdown();
        } else {
            clock.advance(9);
            session.link().tmrKeepAlive_Timer();
        }
        const QList<QByteArray> sent = socket.sent;
        if (boxes.openCount() > 0)
            boxes.answerNext(MessageBoxes::Answer::Ok);
        QCOMPARE(seen.join(u'|'), events);
        QCOMPARE(socket.sent, sent);
        QVERIFY(socket.closes > closes && !session.isRunTicked() && !session.dataFile().isOpen() && boxes.shown.size() <= 1);
        QVERIFY(!session.registerPanel().autoActive() && !session.calibrationSequence().isRunning());
        if (ending == QStringLiteral("loss")) // the front ends' log shows what the link said
            QCOMPARE(log.line(1), QStringLiteral(" Lost connection, closed.  "));
    }
};

QTEST_MAIN(TestInstrumentSession)
#include "tst_instrumentsession.moc"
