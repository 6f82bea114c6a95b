/// @brief The message log: newest first, whole-text replacement, the calibration aside, the bound, the batched view.
#include "app/logview.h"
#include "session/messagelog.h"

#include <QApplication>
#include <QClipboard>
#include <QMenu>
#include <QMouseEvent>
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
        QCOMPARE(log.text(),
                 QStringLiteral("     -457\r\nCalibrating...Done.\r\nConnected.\r\nOpening connection.\r\n"));
        QCOMPARE(log.lineCount(), 4);
        QCOMPARE(log.line(3), QStringLiteral("Opening connection."));
        // Cleared during a calibration, the earlier log still comes back.
        log.beginAside(QStringLiteral("Calibrating..."));
        log.clear();
        log.endAside(QStringLiteral("Done."));
        QVERIFY(log.text().startsWith(QStringLiteral("Done.\r\n     -457\r\n")));
        log.LogMessage(QStringLiteral(" Doh! (sock) abgelehnt \u00e4\u20ac"), false); // not Latin-1
        QCOMPARE(log.line(0), QStringLiteral(" Doh! (sock) abgelehnt \u00e4\u20ac"));
        log.setText(QString());
        log.LogMessage(QStringLiteral("first\r\nsecond"), false);
        QCOMPARE(log.text() + u'|' + log.line(0), QStringLiteral("first\r\nsecond\r\n|first"));
    }

    void viewLearnsOfNewLinesInBatches()
    {
        MessageLog log(nullptr, 1000);
        LogView view(log);
        view.resize(300, 200);
        QSignalSpy changed(&log, &MessageLog::changed);
        const auto add = [&log](int from, int to) {
            for (int i = from; i < to; ++i)
                log.LogMessage(QStringLiteral("line %1").arg(i), false);
        };
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

    void wrapStarts_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("columns");
        QTest::addColumn<QList<int>>("starts");
        QTest::newRow("fits") << "Connected." << 10 << QList<int>{0};
        QTest::newRow("at the last blank that fits") << "aaaa bbbb cccc" << 10 << QList<int>{0, 10};
        QTest::newRow("blanks hang past the edge") << "aaaa      bbbb" << 4 << QList<int>{0, 10};
        QTest::newRow("a word alone too wide") << "abcdefghijkl" << 5 << QList<int>{0, 5, 10};
        QTest::newRow("overrange notes") << "  -12345, 0x1A2B3C4D5E6F70, Overrange A!, Overrange B!" << 20
                                         << QList<int>{0, 10, 28, 42};
    }
    void wrapStarts()
    {
        QFETCH(QString, text);
        QFETCH(int, columns);
        QFETCH(QList<int>, starts);
        const QFontMetrics fm(QFont(QStringLiteral("DejaVu Sans Mono"), 9));
        QCOMPARE(LogView::wrapStarts(text, fm, columns * fm.horizontalAdvance(u'x')), starts);
    }

    void viewWrapsSelectsAndCopies()
    {
        MessageLog log;
        LogView view(log);
        view.setFont(QFont(QStringLiteral("DejaVu Sans Mono"), 9));
        const QFontMetrics fm(view.font());
        view.resize(20 * fm.horizontalAdvance(u'x') + view.verticalScrollBar()->sizeHint().width() + 8,
                    10 * fm.height() + 4);
        view.show();
        const QString verbose = QStringLiteral("  -12345, Overrange A!, Overrange B!");
        log.LogMessage(QStringLiteral("alpha beta"), false);
        log.LogMessage(verbose, false);
        view.flush();
        // The whole line is drawn, wrapped, the newest on top.
        const QStringList drawn = view.drawnLines();
        QVERIFY2(drawn.size() == 3 && drawn.mid(0, 2).join(QString()) == verbose
                     && drawn[2] == QStringLiteral("alpha beta"),
                 qPrintable(drawn.join(u'|')));
        // A drag from "B!" on the second drawn line to after "alpha" selects across the two log lines.
        const auto at = [&](int column, int drawnLine) {
            return QPointF(2 + column * fm.horizontalAdvance(u'x') + 1, drawnLine * fm.height() + fm.height() / 2);
        };
        const int b = int(drawn[1].indexOf(u'B'));
        QMouseEvent press(QEvent::MouseButtonPress, at(b, 1), view.viewport()->mapToGlobal(at(b, 1)), Qt::LeftButton,
                          Qt::LeftButton, {});
        QApplication::sendEvent(view.viewport(), &press);
        QMouseEvent move(QEvent::MouseMove, at(5, 2), view.viewport()->mapToGlobal(at(5, 2)), Qt::NoButton,
                         Qt::LeftButton, {});
        QApplication::sendEvent(view.viewport(), &move);
        QCOMPARE(view.selectedText(), QStringLiteral("B!\r\nalpha"));
        // The selection stays with its lines as new ones arrive on top.
        log.LogMessage(QStringLiteral("later"), false);
        view.flush();
        std::unique_ptr<QMenu> menu(view.createContextMenu(nullptr));
        const QList<QAction*> actions = menu->actions();
        QCOMPARE(actions.size(), 2);
        actions[0]->trigger();
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("B!\r\nalpha"));
        actions[1]->trigger();
        QCOMPARE(QApplication::clipboard()->text(), log.text());
        QCOMPARE(actions[0]->text() + u'|' + actions[1]->text(), QStringLiteral("Copy selection|Copy all"));
    }

    // Record lines share entries (runs); the log must read exactly as if each had been logged
    // as a message of its own, through trimming, the calibration aside and replacement.
    void recordRunsReadAsSingleLines_data()
    {
        QTest::addColumn<int>("capacity");
        // r<n>: n record lines one by one, b<n>: n record lines in one batch, m: a message,
        // a/e: aside begin/end, t: setText
        QTest::addColumn<QString>("script");
        QTest::newRow("runs within the bound") << 1000 << "r5 m r7 m m r3";
        QTest::newRow("the oldest run cut part way") << 10 << "r6 m r9";
        QTest::newRow("whole runs and part of one fall off") << 7 << "r3 m r4 m r20 r2";
        QTest::newRow("aside over runs") << 12 << "r5 a r4 m r3 e r2";
        QTest::newRow("aside trimmed away") << 6 << "r5 a r9 e m";
        QTest::newRow("replaced under an aside") << 50 << "r5 a r3 t r4 e";
        QTest::newRow("runs across chunks") << 100000 << "r40000 m r30000";
        QTest::newRow("batches join runs and each other") << 1000 << "r5 b7 b0 b3 m b9 r2";
        QTest::newRow("a batch split over chunks") << 100000 << "r30000 b40000 m b50000 r3";
        QTest::newRow("a batch larger than the log") << 10 << "r3 m b25 b4";
        QTest::newRow("batches under an aside") << 12 << "b5 a b4 m b3 e b2";
    }
    void recordRunsReadAsSingleLines()
    {
        QFETCH(int, capacity);
        QFETCH(QString, script);
        MessageLog runs(nullptr, capacity);
        MessageLog single(nullptr, capacity);
        int n = 0;
        for (const QString& step : script.split(u' ')) {
            const QChar op = step.at(0);
            if (op == u'r') {
                for (int i = step.mid(1).toInt(); i > 0; --i, ++n) {
                    const QByteArray line = "  " + QByteArray::number(n);
                    runs.appendAsciiLine(line);
                    single.LogMessage(QString::fromLatin1(line), false);
                }
            } else if (op == u'b') {
                QByteArray batch;
                const int count = step.mid(1).toInt();
                for (int i = 0; i < count; ++i, ++n) {
                    const QByteArray line = "  " + QByteArray::number(n);
                    batch += line + "\r\n";
                    single.LogMessage(QString::fromLatin1(line), false);
                }
                runs.appendAsciiLines(batch, count);
            } else if (op == u'm') {
                runs.LogMessage(QStringLiteral("note %1").arg(n), false);
                single.LogMessage(QStringLiteral("note %1").arg(n), false);
            } else if (op == u'a') {
                runs.beginAside(QStringLiteral("Calibrating..."));
                single.beginAside(QStringLiteral("Calibrating..."));
            } else if (op == u'e') {
                runs.endAside(QStringLiteral("Done."));
                single.endAside(QStringLiteral("Done."));
            } else {
                runs.setText(QStringLiteral("Opening connection.\r\n"));
                single.setText(QStringLiteral("Opening connection.\r\n"));
            }
            QCOMPARE(runs.lineCount(), single.lineCount());
        }
        QCOMPARE(runs.text(), single.text());
        QCOMPARE(runs.appendedTotal(), single.appendedTotal());
        for (qsizetype row = 0; row < single.lineCount(); row += std::max<qsizetype>(1, single.lineCount() / 500))
            QCOMPARE(runs.line(row), single.line(row));
        QCOMPARE(runs.line(single.lineCount() - 1), single.line(single.lineCount() - 1));
    }
};

QTEST_MAIN(TestMessageLog)
#include "tst_messagelog.moc"
