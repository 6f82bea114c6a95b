/// @brief Count, minimum, maximum and range: the run sequence, the min/max restart, grouping, records before a run.
#include "measure/runstatistics.h"

#include <QLocale>
#include <QSignalSpy>
#include <QTest>

class TestRunStatistics : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }

    void runSequence_data()
    {
        QTest::addColumn<QList<int>>("differences");
        QTest::addColumn<QStringList>("counts");
        QTest::addColumn<QStringList>("minima");
        QTest::addColumn<QStringList>("maxima");
        QTest::addColumn<QStringList>("ranges");
        QTest::newRow("falling then rising, equal to max")
            << QList<int>{100, -50, 300, 300} << QStringList{"1", "2", "3", "4"}
            << QStringList{"100", "-50", "-50", "-50"} << QStringList{"100", "100", "300", "300"}
            << QStringList{"0", "150", "350", "350"};
        QTest::newRow("equal to min keeps it")
            << QList<int>{-7, -7, 5} << QStringList{"1", "2", "3"} << QStringList{"-7", "-7", "-7"}
            << QStringList{"-7", "-7", "5"} << QStringList{"0", "0", "12"};
        QTest::newRow("all negative")
            << QList<int>{-30457, -457, -40000} << QStringList{"1", "2", "3"}
            << QStringList{"-30457", "-30457", "-40000"} << QStringList{"-30457", "-457", "-457"}
            << QStringList{"0", "30000", "39543"};
        QTest::newRow("32-bit extremes")
            << QList<int>{2147483647, -2147483647 - 1} << QStringList{"1", "2"}
            << QStringList{"2147483647", "-2147483648"} << QStringList{"2147483647", "2147483647"}
            << QStringList{"0", "4294967295"};
    }
    void runSequence()
    {
        QFETCH(QList<int>, differences);
        QFETCH(QStringList, counts);
        QFETCH(QStringList, minima);
        QFETCH(QStringList, maxima);
        QFETCH(QStringList, ranges);

        RunStatistics s;
        s.clearForRunStart();
        for (qsizetype i = 0; i < differences.size(); ++i) {
            s.recordUpdate(differences[i], true);
            QCOMPARE(s.countCaption(), counts[i]);
            QCOMPARE(s.minCaption(), minima[i]);
            QCOMPARE(s.maxCaption(), maxima[i]);
            QCOMPARE(s.rangeCaption(), ranges[i]);
            QCOMPARE(s.lastDifference(), QString::number(differences[i]));
        }
    }

    void runStartClears()
    {
        RunStatistics s;
        s.clearForRunStart();
        s.recordUpdate(100, true);
        s.recordUpdate(-50, true);
        QSignalSpy changed(&s, &RunStatistics::changed);
        s.clearForRunStart();
        QCOMPARE(changed.count(), 1);
        QCOMPARE(s.count(), std::optional<qint64>(0));
        QCOMPARE(s.countCaption(), QStringLiteral("0"));
        QCOMPARE(s.minCaption(), QString());
        QCOMPARE(s.maxCaption(), QString());
        QCOMPARE(s.rangeCaption(), QString());
        // The next run's first record is its own minimum and maximum, not compared with the last run's.
        s.recordUpdate(500, true);
        QCOMPARE(s.minCaption(), QStringLiteral("500"));
        QCOMPARE(s.maxCaption(), QStringLiteral("500"));
        QCOMPARE(s.rangeCaption(), QStringLiteral("0"));
    }

    void minMaxRestart_data()
    {
        QTest::addColumn<bool>("runTicked");
        QTest::addColumn<QString>("min");
        QTest::addColumn<QString>("max");
        QTest::addColumn<QString>("range");
        QTest::newRow("run ticked restarts from the latest") << true << "300" << "300" << "0";
        QTest::newRow("run unticked changes nothing") << false << "-50" << "300" << "350";
    }
    void minMaxRestart()
    {
        QFETCH(bool, runTicked);
        QFETCH(QString, min);
        QFETCH(QString, max);
        QFETCH(QString, range);

        RunStatistics s;
        s.clearForRunStart();
        for (int dt : {100, -50, 300})
            s.recordUpdate(dt, true);
        s.minMaxReset(runTicked);
        QCOMPARE(s.countCaption(), QStringLiteral("3"));
        QCOMPARE(s.minCaption(), min);
        QCOMPARE(s.maxCaption(), max);
        QCOMPARE(s.rangeCaption(), range);
        // Later records compare against what the restart left.
        s.recordUpdate(200, true);
        QCOMPARE(s.minCaption(), runTicked ? QStringLiteral("200") : QStringLiteral("-50"));
        QCOMPARE(s.maxCaption(), QStringLiteral("300"));
    }

    void recordsWithoutARun_data()
    {
        QTest::addColumn<bool>("runStartedBefore");
        QTest::newRow("before the first run since start") << false;
        QTest::newRow("run stopped before its first record") << true;
    }
    void recordsWithoutARun()
    {
        // Such records meet an empty count or empty min and max: they are counted from 0 and
        // start the minimum and maximum instead of failing.
        QFETCH(bool, runStartedBefore);
        RunStatistics s;
        if (runStartedBefore)
            s.clearForRunStart();
        QCOMPARE(s.countCaption(), runStartedBefore ? QStringLiteral("0") : QString());
        s.recordUpdate(40, false);
        QCOMPARE(s.countCaption(), QStringLiteral("1"));
        QCOMPARE(s.minCaption(), QStringLiteral("40"));
        QCOMPARE(s.maxCaption(), QStringLiteral("40"));
        QCOMPARE(s.rangeCaption(), QStringLiteral("0"));
        s.recordUpdate(-10, false);
        s.recordUpdate(90, false);
        QCOMPARE(s.countCaption(), QStringLiteral("3"));
        QCOMPARE(s.minCaption(), QStringLiteral("-10"));
        QCOMPARE(s.maxCaption(), QStringLiteral("90"));
        QCOMPARE(s.rangeCaption(), QStringLiteral("100"));
    }

    void batchAnnouncesOnceAtItsEnd()
    {
        RunStatistics s;
        s.clearForRunStart();
        QList<QString> announced;
        QObject::connect(&s, &RunStatistics::changed, [&] { announced.append(s.countCaption() + u'/' + s.rangeCaption()); });
        {
            const RunStatistics::Batch outer(s);
            s.recordUpdate(100, true);
            {
                const RunStatistics::Batch inner(s);
                s.recordUpdate(-50, true);
            }
            // The values change at once; only the announcement waits for the outermost batch.
            QCOMPARE(s.countCaption(), QStringLiteral("2"));
            s.minMaxReset(true);
            QCOMPARE(announced, QList<QString>());
        }
        QCOMPARE(announced, QList<QString>{"2/0"});

        {
            const RunStatistics::Batch unchanged(s);
            s.minMaxReset(false);
        }
        QCOMPARE(announced.size(), 1);

        // Outside a batch every change is announced again.
        s.recordUpdate(7, true);
        QCOMPARE(announced, (QList<QString>{"2/0", "3/57"}));
    }

    void runStateAskedOnlyByTheFirstRecord()
    {
        RunStatistics s;
        s.clearForRunStart();
        int asked = 0;
        const auto run = [&asked] {
            ++asked;
            return true;
        };
        s.recordUpdate(10, run);
        s.recordUpdate(20, run);
        s.recordUpdate(-5, run);
        QCOMPARE(asked, 1);
        QCOMPARE(s.minCaption(), QStringLiteral("-5"));
        QCOMPARE(s.maxCaption(), QStringLiteral("20"));
    }

    void countGrouping_data()
    {
        QTest::addColumn<QLocale>("locale");
        QTest::addColumn<int>("records");
        QTest::addColumn<QString>("caption");
        const QLocale english(QLocale::English, QLocale::UnitedStates);
        QTest::newRow("999") << english << 999 << "999";
        QTest::newRow("1,000") << english << 1000 << "1,000";
        QTest::newRow("1,234,567") << english << 1234567 << "1,234,567";
        QTest::newRow("German 1.000") << QLocale(QLocale::German, QLocale::Germany) << 1000 << "1.000";
        // The C locale omits grouping in QLocale::toString; the caption's pattern never does.
        QTest::newRow("C locale still grouped") << QLocale::c() << 1000 << "1,000";
        // Grouped by three everywhere, not by the locale's own 2-digit rule.
        QTest::newRow("Hindi grouped by three") << QLocale(QLocale::Hindi, QLocale::India) << 1234567 << "1,234,567";
    }
    void countGrouping()
    {
        QFETCH(QLocale, locale);
        QFETCH(int, records);
        QFETCH(QString, caption);
        const QLocale previous;
        QLocale::setDefault(locale);
        RunStatistics s;
        s.clearForRunStart();
        for (int i = 0; i < records; ++i)
            s.recordUpdate(i % 7, true);
        const QString shown = s.countCaption();
        QLocale::setDefault(previous);
        QCOMPARE(shown, caption);
        QCOMPARE(s.count(), std::optional<qint64>(records));
    }
};

QTEST_GUILESS_MAIN(TestRunStatistics)
#include "tst_runstatistics.moc"
