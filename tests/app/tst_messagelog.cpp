/// @brief The message log: newest first, whole-text replacement, the calibration aside, the bound, the batched view, copy and clear.
#include "app/logview.h"
#include "app/model/messagelog.h"

#include <QApplication>
#include <QClipboard>
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
        QSignalSpy dropped(&log, &MessageLog::oldestDropped);
        for (int i = 0; i < 8; ++i)
            log.LogMessage(QString::number(i), false);
        QCOMPARE(log.lineCount(), 5);
        QCOMPARE(log.line(0), QStringLiteral("7"));
        QCOMPARE(log.line(4), QStringLiteral("3"));
        qsizetype total = 0;
        for (const auto& args : dropped)
            total += args.first().value<qsizetype>();
        QCOMPARE(total, 3);
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
        LogListModel model(log);
        for (int i = 0; i < 300; ++i)
            log.LogMessage(QStringLiteral("line %1").arg(i), false);
        // Until the batch is announced the view still sees the rows it had.
        QCOMPARE(model.rowCount(), 0);
        QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
        QTRY_COMPARE_WITH_TIMEOUT(model.rowCount(), 300, 2000);
        QCOMPARE(inserted.size(), 1);
        QCOMPARE(model.data(model.index(0), Qt::DisplayRole).toString(), QStringLiteral("line 299"));
        QCOMPARE(model.data(model.index(299), Qt::DisplayRole).toString(), QStringLiteral("line 0"));

        // Past the capacity, the oldest rows leave the view too, and rows never mismatch.
        for (int i = 300; i < 1500; ++i)
            log.LogMessage(QStringLiteral("line %1").arg(i), false);
        model.flush();
        QCOMPARE(model.rowCount(), 1000);
        QCOMPARE(model.data(model.index(0), Qt::DisplayRole).toString(), QStringLiteral("line 1499"));
        QCOMPARE(model.data(model.index(999), Qt::DisplayRole).toString(), QStringLiteral("line 500"));
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
