/// @brief The composition root: command line, single instance, and the panel against the simulator on loopback.
#include "app/application.h"
#include "app/formmain.h"
#include "common/fakes.h"
#include "common/panelview.h"
#include "common/sessiontestaccess.h"
#include "control/calibrationmodel.h"
#include "measure/datafile.h"
#include "platform/settingsbackend.h"
#include "remote/controlserver.h"
#include "session/messagelog.h"
#include "session/paneloptions.h"
#include "sim/instrumentsimulator.h"
#include "sim/simulatorsocket.h"
#include "tests/update/fakeupdateplatform.h"
#include "tests/update/testsigner.h"
#include "tests/update/updatefixtures.h"

#include <QTcpSocket>

#include <QDir>
#include <QLockFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

class TestApplication : public QObject {
    Q_OBJECT
private slots:
    void commandLine()
    {
        // Qt's own options are left to QApplication, not refused.
        Application::Options o;
        QVERIFY(!Application::parseArguments(
            QStringLiteral("tallyscope -platform offscreen --address 127.0.0.1 --port 4000 --simulate").split(u' '),
            o));
        QVERIFY(o.address == QStringLiteral("127.0.0.1") && o.port == 4000 && o.simulate);
    }

    void singleInstance()
    {
        QTemporaryDir dir;
        FakeMessageBoxes boxes;
        QString warning;
        QLockFile first(dir.filePath(QStringLiteral("tallyscope.lock")));
        QVERIFY(Application::acquireSingleInstance(first, boxes, warning) && boxes.shown.isEmpty()
                && warning.isEmpty());
        QLockFile second(first.fileName());
        boxes.answer = MessageBoxes::Answer::Cancel;
        QVERIFY(!Application::acquireSingleInstance(second, boxes, warning));
        QCOMPARE(boxes.shown.size(), 1);
        const auto& box = boxes.shown.first();
        QCOMPARE(box.title + u'|' + box.text, QStringLiteral("Oops!|Another Tallyscope test GUI is already running!"));
        QVERIFY(box.buttons == MessageBoxes::Buttons::OkCancel && box.icon == MessageBoxes::Icon::Critical);

        // A lock that cannot be made is no refusal. Below a regular file no folder can be made,
        // not even by root.
        boxes.shown.clear();
        const QString file = dir.filePath(QStringLiteral("file"));
        QVERIFY(QFile(file).open(QIODevice::WriteOnly));
        QLockFile uncreatable(file + QStringLiteral("/tallyscope.lock"));
        QVERIFY(Application::acquireSingleInstance(uncreatable, boxes, warning));
        QVERIFY(boxes.shown.isEmpty() && !warning.isEmpty());

#ifdef Q_OS_WIN
        // The user's local application data: per user, never the shared temporary folder.
        const QString local = QDir::fromNativeSeparators(qEnvironmentVariable("LOCALAPPDATA"));
        const QString lockPath = Application::lockFilePath();
        QVERIFY2(!local.isEmpty() && lockPath.startsWith(local + u'/', Qt::CaseInsensitive), qPrintable(lockPath));
        QVERIFY(QFileInfo(lockPath).absoluteDir().exists());
        QVERIFY(!lockPath.startsWith(QDir::tempPath(), Qt::CaseInsensitive));
#else
        // No usable runtime folder, not even Qt's private fallback in the temporary folder: no
        // lock at all, rather than one in the temporary folder that every user shares.
        const QByteArray savedRuntime = qgetenv("XDG_RUNTIME_DIR"), savedTmp = qgetenv("TMPDIR");
        const auto restore = [](const char* name, const QByteArray& value) {
            value.isNull() ? qunsetenv(name) : qputenv(name, value);
        };
        qputenv("TMPDIR", dir.path().toLocal8Bit());
        qputenv("XDG_RUNTIME_DIR", (file + QStringLiteral("/run")).toLocal8Bit());
        const QString qtFallback = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
        const bool fallbackBlocked = qtFallback.startsWith(dir.path()) && QDir(qtFallback).removeRecursively()
                                     && QFile(qtFallback).open(QIODevice::WriteOnly);
        const QString path = Application::lockFilePath();
        restore("XDG_RUNTIME_DIR", savedRuntime);
        restore("TMPDIR", savedTmp);
        QVERIFY2(fallbackBlocked, qPrintable(qtFallback));
        QCOMPARE(path, QString());
        QLockFile none(path);
        QVERIFY(Application::acquireSingleInstance(none, boxes, warning));
        QVERIFY(boxes.shown.isEmpty() && !warning.isEmpty());
#endif
    }

    void startsAgainstTheSimulator()
    {
        MemorySettingsBackend settings;
        settings.failWrites = true;
        FakeMessageBoxes boxes;
        Application::Options o;
        o.simulate = true;
        Application app(o, settings, boxes);
        QVERIFY(app.simulator());
        const PanelView ui(app.window());
        QCOMPARE(ui.txtIP->text(), QStringLiteral("127.0.0.1"));
        app.logNote(QStringLiteral("a note from before start-up"));
        // The copy an update's changeover program keeps until the new panel shows its window.
        QFile backup(QCoreApplication::applicationFilePath() + QStringLiteral(".old"));
        QVERIFY(backup.open(QIODevice::WriteOnly));
        backup.close();
        app.start();
        QTRY_VERIFY_WITH_TIMEOUT(app.log().text().contains(QStringLiteral("Connected.")), 10000);
        QVERIFY(app.window().isVisible() && !backup.exists());
        QCOMPARE(app.log().line(app.log().lineCount() - 1), QStringLiteral("Opening connection."));
        // Start-up's own texts replace the log; what came before them is still shown, and the
        // store that cannot be saved to is said once, however many values fail.
        QVERIFY(app.log().text().contains(QStringLiteral("a note from before start-up")));
        const auto settingsLines = [&app] {
            return app.log().text().count(QStringLiteral("Doh! (settings) cannot be saved in "));
        };
        QCOMPARE(settingsLines(), 1);
        ui.chkVerbose->setValue(1);
        QCOMPARE(settingsLines(), 1);

        QTRY_VERIFY_WITH_TIMEOUT(ui.chkRun->isEnabled(), 10000);
        QVERIFY(app.log().text().contains(QStringLiteral("Calibrating...Done.\r\nConnected.\r\n")));

        // A check asked for on the version label, with no update address built in or given.
        QTest::mouseClick(ui.lblGui, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(boxes.shown.size(), 1, 5000);
        QCOMPARE(boxes.shown.first().text, QStringLiteral("No update address is configured."));

        // A data file that fails during a run marks File past the run's end, until the next start.
        const QColor normal = ui.chkFile->palette().color(QPalette::WindowText);
        const auto marked = [&] {
            return ui.chkFile->toolTip() + (ui.chkFile->palette().color(QPalette::WindowText) != normal ? "|red" : "");
        };
        ui.chkRun->setValue(1);
        emit SessionTestAccess(app.session())
            .dataFile()
            .writeFailed(QStringLiteral("Write failed: No space left on device"));
        ui.chkRun->setValue(0);
        QCOMPARE(marked(), QStringLiteral("Write failed: No space left on device|red"));
        ui.chkRun->setValue(1);
        QCOMPARE(marked(), QString());
        ui.chkRun->setValue(0);
        app.window().close();
    }

    // An update prompt left up for a minute holds start-up back: the instrument sees nothing,
    // and no script command runs, until the operator has answered; then one connection that
    // stays, with its heartbeats and no lost-link line.
    void updatePromptHoldsTheInstrumentBack()
    {
        const TestSigner signer;
        QVERIFY2(signer.isValid(), "the minisign tool is needed to sign the test's version file");
        FakeClock clock;
        InstrumentSimulator sim(SimulatorConfig{}, clock);
        QVERIFY(sim.startInProcess());
        int connections = 0, heartbeats = 0;
        connect(&sim, &InstrumentSimulator::clientConnected, this, [&connections] { ++connections; });
        connect(&sim, &InstrumentSimulator::commandReceived, this,
                [&heartbeats](const QByteArray& c) { heartbeats += c == "H"; });
        SimulatorSocket socket(sim, clock);

        const QString base = QStringLiteral("http://127.0.0.1:1/updates/");
        FakeUpdatePlatform web;
        web.block = updatefixtures::versionBlock(QStringLiteral("1.00.0008"));
        const QByteArray exe = updatefixtures::program(3000, 'A'), changeover = updatefixtures::program(2500, 'U');
        const QByteArray version = updatefixtures::versionFile(
            QStringLiteral("99.00.0000"), QStringLiteral("A newer panel."),
            updatefixtures::digestLine(exe, QStringLiteral("tallyscope"))
                + updatefixtures::digestLine(changeover, QStringLiteral("tallyscope-updater")));
        web.serve(base + QStringLiteral("tallyscope.ver"), {version});
        web.serve(base + QStringLiteral("tallyscope.ver.minisig"),
                  {signer.sign(version, false, updatefixtures::trustedComment(version))});

        MemorySettingsBackend settings;
        FakeMessageBoxes boxes;
        boxes.holdAnswers = true;
        Application::Options o;
        o.address = QStringLiteral("127.0.0.1");
        o.updateUrl = base;
        o.control = ControlPortSettings{};
        Application app(o, settings, boxes, Application::Seams{&socket, &clock, &web, signer.publicKey()});
        QString error;
        QVERIFY2(app.openControlPort(&error), qPrintable(error));
        QTcpSocket script;
        script.connectToHost(QHostAddress::LocalHost, app.controlPort()->server().port());
        QVERIFY(script.waitForConnected(5000));
        app.start();
        QTRY_COMPARE_WITH_TIMEOUT(boxes.openCount(), 1, 5000);
        QCOMPARE(boxes.shown.first().title, QStringLiteral("tallyscope - Update Available"));
        script.write("FILE ON;:FILE?\n");
        QVERIFY(script.waitForBytesWritten(5000));
        QTRY_COMPARE(app.controlPort()->clientCount(), 1);

        for (int i = 0; i < 600; ++i) { // a minute, with the event loop turning
            clock.elapse(0.1);
            QCoreApplication::processEvents();
        }
        QCOMPARE(connections, 0);
        QVERIFY(sim.receivedBytes().isEmpty());
        QCOMPARE(socket.state(), int(Socket::Closed));
        QVERIFY(!app.window().isVisible());
        QCOMPARE(script.bytesAvailable(), 0);
        QCOMPARE(app.panelOptions().value(PanelOptions::File), 0);

        boxes.answerNext(MessageBoxes::Answer::No);
        QTRY_VERIFY(app.window().isVisible());
        // The command waited, and runs now, in its turn on the clock.
        QTRY_VERIFY((clock.elapse(0), script.bytesAvailable() > 0));
        QCOMPARE(script.readAll(), QByteArray("1\n"));
        for (int i = 0; i < 300; ++i) {
            clock.elapse(0.1);
            QCoreApplication::processEvents();
        }
        QCOMPARE(connections, 1);
        QVERIFY(heartbeats >= 5);
        QVERIFY2(!app.log().text().contains(QStringLiteral("Lost connection")), qPrintable(app.log().text()));
        QVERIFY(app.session().calibrationShown().runGate);
        QCOMPARE(app.log().line(app.log().lineCount() - 1), QStringLiteral("Opening connection."));
        app.window().close();
    }
};

QTEST_MAIN(TestApplication)
#include "tst_application.moc"
