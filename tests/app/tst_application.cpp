/// @brief The composition root: command line, single instance, and the panel against the simulator on loopback.
#include "app/application.h"
#include "app/formmain.h"
#include "common/fakes.h"
#include "common/panelview.h"
#include "session/messagelog.h"
#include "measure/datafile.h"
#include "platform/settingsbackend.h"
#include "sim/instrumentsimulator.h"

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
        QVERIFY(!Application::parseArguments(QStringLiteral("tallyscope -platform offscreen --address 127.0.0.1 --port 4000 --simulate").split(u' '), o));
        QVERIFY(o.address == QStringLiteral("127.0.0.1") && o.port == 4000 && o.simulate);
    }

    void singleInstance()
    {
        QTemporaryDir dir;
        FakeMessageBoxes boxes;
        QString warning;
        QLockFile first(dir.filePath(QStringLiteral("tallyscope.lock")));
        QVERIFY(Application::acquireSingleInstance(first, boxes, warning) && boxes.shown.isEmpty() && warning.isEmpty());
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

        // No usable runtime folder, not even Qt's private fallback in the temporary folder: no
        // lock at all, rather than one in the temporary folder that every user shares.
        const QByteArray savedRuntime = qgetenv("XDG_RUNTIME_DIR"), savedTmp = qgetenv("TMPDIR");
        const auto restore = [](const char* name, const QByteArray& value) { value.isNull() ? qunsetenv(name) : qputenv(name, value); };
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
        const auto settingsLines = [&app] { return app.log().text().count(QStringLiteral("Doh! (settings) cannot be saved in ")); };
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
        const auto marked = [&] { return ui.chkFile->toolTip() + (ui.chkFile->palette().color(QPalette::WindowText) != normal ? "|red" : ""); };
        ui.chkRun->setValue(1);
        emit app.dataFile().writeFailed(QStringLiteral("Write failed: No space left on device"));
        ui.chkRun->setValue(0);
        QCOMPARE(marked(), QStringLiteral("Write failed: No space left on device|red"));
        ui.chkRun->setValue(1);
        QCOMPARE(marked(), QString());
        ui.chkRun->setValue(0);
        app.window().close();
    }
};

QTEST_MAIN(TestApplication)
#include "tst_application.moc"
