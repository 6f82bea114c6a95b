/// @brief The message log: newest first, whole-text replacement, the calibration aside, the bound, the batched view.
#include "app/logview.h"
#include "session/messagelog.h"

#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

class TestMessageLog : public QObject {
    Q_OBJECT
private slots:
    void newestLineOnTopAndTheCalibrationAside()
    {
        MessageLog log;
        log.setText(QStringLiteral("Checking for updates"));
        log.LogMessage(QStringLiteral("x"), false); // in front of a text without a line end
        QCOMPARE(log.text(), QStringLiteral("x\r\nChecking for updates"));
        log.setText(QStringLiteral("Opening connection.\r\n"));
        log.LogMessage(QStringLiteral("Connected."), true);
        log.beginAside(QStringLiteral("Calibrating..."));
        QCOMPARE(log.text(), QStringLiteral("Calibrating..."));
        log.LogMessage(QStringLiteral("     -457"), false);
        log.endAside(QStringLiteral("Done."));
        QCOMPARE(log.text(), QStringLiteral("     -457\r\nCalibrating...Done.\r\nConnected.\r\nOpening connection.\r\n"));
        QCOMPARE(log.lineCount(), 4);
        QCOMPARE(log.line(3), QStringLiteral("Opening connection."));
        // Cleared during a calibration, the earlier log still comes back.
        log.beginAside(QStringLiteral("Calibrating..."));
        log.clear();
        log.endAside(QStringLiteral("Done."));
        QVERIFY(log.text().startsWith(QStringLiteral("Done.\r\n     -457\r\n")));
        log.LogMessage(QStringLiteral(" Doh! (sock) abgelehnt \u00e4\u20ac"), false); // not Latin-1
        QCOMPARE(log.line(0), QStringLiteral(" Doh! (sock) abgelehnt \u00e4\u20ac"));
    }

    void viewLearnsOfNewLinesInBatches()
    {
        MessageLog log(nullptr, 1000);
        LogView view(log);
        view.resize(300, 200);
        QSignalSpy changed(&log, &MessageLog::changed);
        const auto add = [&log](int from, int to) { for (int i = from; i < to; ++i) log.LogMessage(QStringLiteral("line %1").arg(i), false); };
        add(0, 300);
        // One signal per batch, not per line; until the batch is taken in, the view draws the rows it had.
        QCOMPARE(changed.size(), 1);
        QCOMPARE(view.visibleText(0), QString());
        QTRY_COMPARE_WITH_TIMEOUT(view.knownRows(), 300, 2000);
        QCOMPARE(view.visibleText(0) + u'|' + view.visibleText(1), QStringLiteral("line 299|line 298"));

        // Past the capacity the oldest rows go, and what is drawn always matches the log.
        add(300, 1500);
        // Not taken in yet: the rows the view knows have meanwhile left the log, and a row that
        // has left is never drawn as some other line.
        QCOMPARE(view.visibleText(0), QString());
        view.flush();
        QCOMPARE(view.knownRows(), 1000);
        QCOMPARE(log.lineCount(), 1000);
        QCOMPARE(log.line(999), QStringLiteral("line 500"));
        QCOMPARE(view.visibleText(0), QStringLiteral("line 1499"));

        // Someone reading older lines keeps them in sight while new ones arrive on top.
        view.verticalScrollBar()->setValue(100);
        QCOMPARE(view.visibleText(0), QStringLiteral("line 1399"));
        add(1500, 1510);
        view.flush();
        QCOMPARE(view.visibleText(0), QStringLiteral("line 1399"));
        QCOMPARE(view.topRow(), 110);

        // The caret request shows the end of the text: the oldest lines.
        log.LogMessage(QStringLiteral("Connected."), true);
        QCOMPARE(view.topRow(), view.knownRows() - view.visibleRows());
        QCOMPARE(view.visibleText(view.visibleRows() - 1), QStringLiteral("line 511"));
    }
};

QTEST_MAIN(TestMessageLog)
#include "tst_messagelog.moc"
