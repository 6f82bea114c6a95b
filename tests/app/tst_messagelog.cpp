/// @brief The message log: newest first, whole-text replacement, the calibration aside, the bound, the batched view, copy and clear.
#include "app/logview.h"
#include "session/messagelog.h"

#include <QApplication>
#include <QClipboard>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

class TestMessageLog : public QObject {
    Q_OBJECT
private slots:
    void newestLineOnTop()
    {
        MessageLog log;
        log.setText(QStringLiteral("Checking for updates"));
        log.setText(QStringLiteral("Opening connection.\r\n"));
        log.LogMessage(QStringLiteral("Connected."), true);
        log.LogMessage(QStringLiteral(" Lost connection, closed.  "), true);
        log.LogMessage(QStringLiteral(" Reopening..."), true);
        QCOMPARE(log.text(),
                 QStringLiteral(" Reopening...\r\n Lost connection, closed.  \r\nConnected.\r\nOpening connection.\r\n"));
        QCOMPARE(log.lineCount(), 4);
        QCOMPARE(log.line(0), QStringLiteral(" Reopening..."));
        QCOMPARE(log.line(3), QStringLiteral("Opening connection."));
    }

    void aLineInFrontOfAnOpenText()
    {
        MessageLog log;
        log.setText(QStringLiteral("Checking for updates"));
        log.LogMessage(QStringLiteral("x"), false);
        QCOMPARE(log.text(), QStringLiteral("x\r\nChecking for updates"));
        log.clear();
        QCOMPARE(log.text(), QString());
        QCOMPARE(log.lineCount(), 0);
    }

    void calibrationKeepsTheEarlierLogAside()
    {
        MessageLog log;
        log.setText(QStringLiteral("Connected.\r\n"));
        log.beginAside(QStringLiteral("Calibrating..."));
        QCOMPARE(log.text(), QStringLiteral("Calibrating..."));
        log.LogMessage(QStringLiteral("     -457"), false);
        QCOMPARE(log.text(), QStringLiteral("     -457\r\nCalibrating..."));
        log.endAside(QStringLiteral("Done."));
        QCOMPARE(log.text(), QStringLiteral("     -457\r\nCalibrating...Done.\r\nConnected.\r\n"));
        QVERIFY(!log.inAside());
    }

    void clearedDuringCalibrationStillGetsTheEarlierLogBack()
    {
        MessageLog log;
        log.setText(QStringLiteral("Connected.\r\n"));
        log.beginAside(QStringLiteral("Calibrating..."));
        log.clear();
        log.endAside(QStringLiteral("Done."));
        QCOMPARE(log.text(), QStringLiteral("Done.\r\nConnected.\r\n"));
    }

    void oldestLinesFallOffPastTheCapacity()
    {
        MessageLog log(nullptr, 5);
        QSignalSpy changed(&log, &MessageLog::changed);
        for (int i = 0; i < 8; ++i)
            log.LogMessage(QString::number(i), false);
        QCOMPARE(log.lineCount(), 5);
        QCOMPARE(log.line(0), QStringLiteral("7"));
        QCOMPARE(log.line(4), QStringLiteral("3"));
        QCOMPARE(log.appendedTotal(), 8u);
        // One signal per batch of lines, not one per line.
        QCOMPARE(changed.size(), 1);
        log.acknowledgeChanges();
        log.LogMessage(QStringLiteral("8"), false);
        QCOMPARE(changed.size(), 2);
    }

    void storageStaysBoundedAcrossManyChunks()
    {
        MessageLog log(nullptr, 10000);
        for (int i = 0; i < 300000; ++i)
            log.LogMessage(QStringLiteral("%1").arg(i, 9), false);
        QCOMPARE(log.lineCount(), 10000);
        QCOMPARE(log.line(0), QStringLiteral("   299999"));
        QCOMPARE(log.line(9999), QStringLiteral("   290000"));
        // 10,000 short lines: their text and index, plus at most a couple of partly used chunks.
        QVERIFY2(log.storedBytes() < 1'500'000, qPrintable(QString::number(log.storedBytes())));
        // Text that is not Latin-1 comes back as it went in.
        log.LogMessage(QStringLiteral(" Doh! (sock) Verbindung abgelehnt \u00e4\u20ac"), true);
        QCOMPARE(log.line(0), QStringLiteral(" Doh! (sock) Verbindung abgelehnt \u00e4\u20ac"));
    }

    void viewLearnsOfNewLinesInBatches()
    {
        MessageLog log(nullptr, 1000);
        LogView view(log);
        view.resize(300, 200);
        for (int i = 0; i < 300; ++i)
            log.LogMessage(QStringLiteral("line %1").arg(i), false);
        // Until the batch is taken in, the view still draws the rows it had.
        QCOMPARE(view.knownRows(), 0);
        QCOMPARE(view.visibleText(0), QString());
        QTRY_COMPARE_WITH_TIMEOUT(view.knownRows(), 300, 2000);
        QCOMPARE(view.visibleText(0), QStringLiteral("line 299"));
        QCOMPARE(view.visibleText(1), QStringLiteral("line 298"));

        // Past the capacity the oldest rows go, and what is drawn always matches the log.
        for (int i = 300; i < 1500; ++i)
            log.LogMessage(QStringLiteral("line %1").arg(i), false);
        // Not taken in yet: the rows the view knows have meanwhile left the log, and a row that
        // has left is never drawn as some other line.
        QCOMPARE(view.visibleText(0), QString());
        view.flush();
        QCOMPARE(view.knownRows(), 1000);
        QCOMPARE(view.visibleText(0), QStringLiteral("line 1499"));

        // Someone reading older lines keeps them in sight while new ones arrive on top.
        view.verticalScrollBar()->setValue(100);
        const QString reading = view.visibleText(0);
        QCOMPARE(reading, QStringLiteral("line 1399"));
        for (int i = 1500; i < 1510; ++i)
            log.LogMessage(QStringLiteral("line %1").arg(i), false);
        view.flush();
        QCOMPARE(view.visibleText(0), reading);
        QCOMPARE(view.topRow(), 110);

        // The caret request shows the end of the text: the oldest lines.
        log.LogMessage(QStringLiteral("Connected."), true);
        QCOMPARE(view.topRow(), view.knownRows() - view.visibleRows());
        QCOMPARE(view.visibleText(view.visibleRows() - 1), QStringLiteral("line 511"));
    }

    void escapeInTheLogClearsIt()
    {
        MessageLog log;
        LogView view(log);
        connect(&view, &LogView::escapePressed, &log, &MessageLog::clear);
        log.LogMessage(QStringLiteral("a"), false);
        QTest::keyClick(&view, Qt::Key_A);
        QCOMPARE(log.lineCount(), 1);
        QTest::keyClick(&view, Qt::Key_Escape);
        QCOMPARE(log.lineCount(), 0);
    }
};

QTEST_MAIN(TestMessageLog)
#include "tst_messagelog.moc"
