/// @brief The panel with its control port open: a script's changes show in the window, the operator's in the script's
/// answers.
#include "common/panelbench.h"
#include "measure/datafile.h"
#include "remote/controlserver.h"

#include <QTcpSocket>
#include <QtTest>

using panelbench::Bench;

class TestRemotePanel : public QObject {
    Q_OBJECT
private slots:
    void scriptAndOperatorShareThePanel()
    {
        Bench b(20000, [](Application::Options& o) { o.control = ControlPortSettings{}; });
        QVERIFY(b.startCalibrated());
        QString error;
        QVERIFY2(b.app->openControlPort(&error), qPrintable(error));
        const PanelView ui = b.ui();
        QLabel* remoteMark = ui.lblRemote;
        QVERIFY(remoteMark->isHidden());

        QTcpSocket script;
        script.connectToHost(QHostAddress::LocalHost, b.app->controlPort()->server().port());
        QTRY_VERIFY(!remoteMark->isHidden());
        QCOMPARE(remoteMark->text(), QStringLiteral("Remote"));
        const auto ask = [&script](const QByteArray& line) {
            script.write(line + '\n');
            return QTest::qWaitFor([&script] { return script.canReadLine(); }, 5000) ? script.readLine()
                                                                                     : QByteArray("(no answer)");
        };

        QCOMPARE(ask("FILE ON;SOUR:DAC:A 1234;RUN ON;RUN?"), QByteArray("1\n"));
        QCOMPARE(ui.chkFile->value(), 1);
        QCOMPARE(ui.txtDacA->text(), QStringLiteral("1234"));
        QCOMPARE(ui.chkRun->value(), 1);
        QVERIFY(b.app->session().dataFileState().open);

        // A script's lock shows beside Run, and the operator's controls still work under it:
        // unticking Run ends the script's run (and its acquisition) as always.
        QCOMPARE(ask("SYST:LOCK:REQ?;:SYST:LOCK:OWN?"),
                 "1;\"127.0.0.1:" + QByteArray::number(script.localPort()) + "\"\n");
        QCOMPARE(remoteMark->text(), QStringLiteral("Remote (locked)"));
        QCOMPARE(ask("RUN OFF;:ACQ:COUN 1000000000;:INIT;RUN?"), QByteArray("1\n"));

        // The operator's action after the script's wins, and the script sees it.
        ui.chkRun->setValue(0);
        QCOMPARE(ask("*OPC?;:SYST:ERR?"), QByteArray("1;-231,\"Data questionable;acquisition ended early\"\n"));
        QCOMPARE(ask("SYST:LOCK:REL;:SYST:LOCK:OWN?"), QByteArray("\"\"\n"));
        QCOMPARE(remoteMark->text(), QStringLiteral("Remote"));
        QCOMPARE(ask("RUN?;:FILE:NAME?"), "0;\"" + b.app->session().dataFileState().path.toUtf8() + "\"\n");
        QCOMPARE(ask("CONN:ADDR \"localhost\";ADDR?"), QByteArray("\"localhost\"\n"));
        QCOMPARE(ui.txtIP->text(), QStringLiteral("localhost"));

        script.disconnectFromHost();
        QTRY_VERIFY(remoteMark->isHidden());
    }
};

QTEST_MAIN(TestRemotePanel)
#include "tst_remotepanel.moc"
