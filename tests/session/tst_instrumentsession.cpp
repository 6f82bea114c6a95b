/// @brief The session without a window: link loss and shutdown as every front end sees them.
#include "common/fakes.h"
#include "control/calibrationmodel.h"
#include "control/calibrationsequence.h"
#include "control/registerpanel.h"
#include "link/commands.h"
#include "link/connectionmanager.h"
#include "measure/datafile.h"
#include "platform/settingsbackend.h"
#include "platform/settingsstore.h"
#include "session/instrumentsession.h"
#include "session/messagelog.h"
#include "session/paneloptions.h"

#include <QTemporaryDir>
#include <QTest>

namespace {

struct Rig {
    MemorySettingsBackend backend;
    SettingsStore store{backend};
    FakeSocket socket;
    FakeClock clock;
    FakeMessageBoxes boxes;
    MessageLog log;
    InstrumentSession session{socket, clock, boxes, log};
    PanelOptions options{store};
    QTemporaryDir dir;

    Rig()
    {
        options.setAddress(QStringLiteral("127.0.0.1"));
        options.setDataFolder(dir.path() + u'/');
        session.bindOptions(options);
    }
    /// Connected with a calibration in its windows, so that Run may start; nothing sent yet.
    void connectCalibrated()
    {
        session.openConnection();
        socket.completeConnect();
        session.calibrationSequence().abort();
        session.link().keepAliveTimer().stop();
        const char* cells[] = {"500", "3600", "510", "3590"};
        for (int i = 0; i < 4; ++i)
            session.calibration().setCell(CalibrationModel::Cell(i), QString::fromLatin1(cells[i]));
        socket.sent.clear();
    }
};

} // namespace

class TestInstrumentSession : public QObject {
    Q_OBJECT
private slots:
    void linkLossAndShutdownEndTheRunInOrder_data()
    {
        QTest::addColumn<bool>("shutdown");
        QTest::addColumn<bool>("ticked");
        QTest::addColumn<QString>("events");
        const QString lost = QStringLiteral("log  Lost connection, closed.  |cell 0 ???|cell 1 ???|cell 2 ???|cell 3 ???|");
        // Run stops while the link still stands: its stop command goes out first.
        QTest::newRow("loss, Run and Auto ticked") << false << true << lost + "run 0, up 5200|auto 0|log  Reopening...";
        QTest::newRow("loss, nothing ticked") << false << false << lost + "log  Reopening...";
        QTest::newRow("shutdown, Run ticked") << true << true << QStringLiteral("run 0, up 5200");
    }
    void linkLossAndShutdownEndTheRunInOrder()
    {
        QFETCH(bool, shutdown);
        QFETCH(bool, ticked);
        QFETCH(QString, events);
        Rig r;
        r.options.setValue(PanelOptions::File, 1);
        r.connectCalibrated();
        if (ticked) {
            r.session.setRun(true);
            r.session.setAuto(true);
            QVERIFY(r.session.dataFile().isOpen() && r.session.registerPanel().autoActive());
        }
        if (shutdown)
            r.session.calibrate(); // under way when the panel closes
        QStringList seen;
        connect(&r.session.link(), &ConnectionManager::logMessage, this, [&](const QString& line) { seen << "log " + line; });
        connect(&r.session.calibration(), &CalibrationModel::cellChanged, this,
                [&](CalibrationModel::Cell c, const QString& text) { seen << QStringLiteral("cell %1 %2").arg(c).arg(text); });
        connect(&r.session, &InstrumentSession::runChanged, this, [&](bool on) {
            const bool up = r.socket.state() == Socket::Connected;
            seen << QStringLiteral("run %1, %2 %3").arg(int(on)).arg(up ? "up" : "down").arg(QString::fromLatin1(r.socket.sent.value(r.socket.sent.size() - 1).toHex()));
        });
        connect(&r.session, &InstrumentSession::autoChanged, this, [&](bool on) { seen << QStringLiteral("auto %1").arg(int(on)); });
        const int closes = r.socket.closes;
        if (shutdown) {
            r.session.shutdown();
        } else {
            r.clock.advance(9);
            r.session.link().tmrKeepAlive_Timer();
        }
        QCOMPARE(seen.join(u'|'), events);
        QVERIFY(r.socket.closes > closes && !r.session.isRunTicked() && !r.session.dataFile().isOpen());
        QVERIFY(!r.session.registerPanel().autoActive() && !r.session.calibrationSequence().isRunning());
        if (!shutdown) // the front ends' log shows what the link said
            QCOMPARE(r.log.line(1), QStringLiteral(" Lost connection, closed.  "));
    }

    void linkLostWhileTheBadFolderBoxIsOpen()
    {
        Rig r;
        r.boxes.holdAnswers = true;
        r.options.setDataFolder(r.dir.filePath(QStringLiteral("no such folder")));
        r.options.setValue(PanelOptions::File, 1);
        r.connectCalibrated();
        r.session.setRun(true);
        // The box does not hold the event loop: the call returned with the run on, without a file.
        QCOMPARE(r.boxes.openCount(), 1);
        QVERIFY(r.session.isRunTicked() && !r.session.dataFile().isOpen());
        QCOMPARE(r.socket.sent, QList<QByteArray>{commands::runOn()});

        r.clock.advance(9);
        r.session.link().tmrKeepAlive_Timer();
        QVERIFY(!r.session.isRunTicked());
        QCOMPARE(r.session.calibration().cell(CalibrationModel::ALow), CalibrationModel::Unknown);
        const QList<QByteArray> sent{commands::runOn(), commands::heartbeat(), commands::runOff()};
        QCOMPARE(r.socket.sent, sent);
        QCOMPARE(r.boxes.openCount(), 1);

        // Answered after the loss: nothing restarts, nothing more goes out, no second box.
        r.boxes.answerNext(MessageBoxes::Answer::Ok);
        QVERIFY(!r.session.isRunTicked() && !r.session.dataFile().isOpen());
        QCOMPARE(r.socket.sent, sent);
        QCOMPARE(r.boxes.shown.size(), 1);
    }
};

QTEST_MAIN(TestInstrumentSession)
#include "tst_instrumentsession.moc"
