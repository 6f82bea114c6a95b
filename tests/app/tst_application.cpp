/// @brief The composition root: command line, single instance, and the panel against the simulator on loopback.
#include "app/application.h"
#include "app/formmain.h"
#include "app/model/messagelog.h"
#include "app/vbcheckbox.h"
#include "common/fakes.h"
#include "link/connectionmanager.h"
#include "platform/settingsbackend.h"
#include "sim/instrumentsimulator.h"

#include <QLabel>
#include <QLineEdit>
#include <QLockFile>
#include <QTemporaryDir>
#include <QTest>

class TestApplication : public QObject {
    Q_OBJECT
private slots:
    void commandLine()
    {
        QString message;
        bool isError = false;
        auto o = Application::parseArguments({QStringLiteral("tallyscope")}, message, isError);
        QVERIFY(o);
        QVERIFY(!o->address && !o->port && !o->simulate);

        o = Application::parseArguments({QStringLiteral("tallyscope"), QStringLiteral("--address"), QStringLiteral("127.0.0.1"),
                                         QStringLiteral("--port"), QStringLiteral("4000"), QStringLiteral("--simulate")},
                                        message, isError);
        QVERIFY(o);
        QCOMPARE(o->address.value_or(QString()), QStringLiteral("127.0.0.1"));
        QCOMPARE(o->port.value_or(0), quint16(4000));
        QVERIFY(o->simulate);

        QVERIFY(!Application::parseArguments({QStringLiteral("tallyscope"), QStringLiteral("--port"), QStringLiteral("70000")},
                                             message, isError));
        QVERIFY(isError);
        QVERIFY(!Application::parseArguments({QStringLiteral("tallyscope"), QStringLiteral("--help")}, message, isError));
        QVERIFY(!isError);
        QVERIFY(message.contains(QStringLiteral("--simulate")));
    }

    void secondInstanceIsRefused()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("tallyscope.lock"));
        FakeMessageBoxes boxes;
        QLockFile first(path);
        QVERIFY(Application::acquireSingleInstance(first, boxes));
        QVERIFY(boxes.shown.isEmpty());

        QLockFile second(path);
        boxes.answer = MessageBoxes::Answer::Cancel;
        QVERIFY(!Application::acquireSingleInstance(second, boxes));
        QCOMPARE(boxes.shown.size(), 1);
        QCOMPARE(boxes.shown.first().text, QStringLiteral("Another Tallyscope test GUI is already running!"));
        QCOMPARE(boxes.shown.first().title, QStringLiteral("Oops!"));
        QVERIFY(boxes.shown.first().buttons == MessageBoxes::Buttons::OkCancel);
        QVERIFY(boxes.shown.first().icon == MessageBoxes::Icon::Critical);

        first.unlock();
        QLockFile third(path);
        QVERIFY(Application::acquireSingleInstance(third, boxes));
    }

    void connectsToTheSimulatorAndKeepsTheHeartbeat()
    {
        MemorySettingsBackend settings;
        FakeMessageBoxes boxes;
        Application::Options o;
        o.simulate = true;
        Application app(o, settings, boxes);
        QVERIFY(app.simulator());
        QCOMPARE(app.window().ui.txtIP->text(), QStringLiteral("127.0.0.1"));
        // The copy an update's changeover program keeps until the new panel shows its window.
        QFile backup(QCoreApplication::applicationFilePath() + QStringLiteral(".old"));
        QVERIFY(backup.open(QIODevice::WriteOnly));
        backup.close();
        app.start();
        QTRY_VERIFY_WITH_TIMEOUT(app.log().text().contains(QStringLiteral("Connected.")), 10000);
        QVERIFY(app.window().isVisible());
        QVERIFY(!backup.exists());
        QCOMPARE(app.log().line(app.log().lineCount() - 1), QStringLiteral("Opening connection."));

        // Calibrated, then asked for its version: both arrive from the simulator.
        QTRY_VERIFY_WITH_TIMEOUT(app.window().ui.lblFpga->text().startsWith(QStringLiteral("FPGA: ")), 10000);
        QVERIFY(app.window().ui.chkRun->isEnabled());
        QVERIFY(app.log().text().contains(QStringLiteral("Calibrating...Done.\r\nConnected.\r\n")));
        app.link().tmrHb_Timer(); // grey, so that the flash below is the reply's doing
        app.link().tmrKeepAlive_Timer();
        QTRY_COMPARE_WITH_TIMEOUT(app.window().ui.lblHB->palette().color(QPalette::WindowText), QColor(Qt::black), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(app.window().ui.lblHB->palette().color(QPalette::WindowText), QColor(0xA0, 0xA0, 0xA0), 5000);
        QVERIFY(!app.log().text().contains(QStringLiteral("Lost")));

        // A check asked for on the version label, with no update address built in or given.
        QVERIFY(boxes.shown.isEmpty());
        QTest::mouseClick(app.window().ui.lblGui, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(boxes.shown.size(), 1, 5000);
        QCOMPARE(boxes.shown.first().text, QStringLiteral("No update address is configured."));
        app.window().close();
    }
};

QTEST_MAIN(TestApplication)
#include "tst_application.moc"
