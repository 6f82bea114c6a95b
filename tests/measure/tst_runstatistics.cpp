/// @brief Count, minimum, maximum and range: the run sequence, the min/max restart, grouping, records before a run.
#include "measure/runstatistics.h"

#include <QLocale>
#include <QSignalSpy>
#include <QTest>
#include <span>
#include <vector>

namespace {

/// Count, minimum, maximum and range as the panel shows them.
QString shown(const RunStatistics& s)
{
    return QStringList{s.countCaption(), s.minCaption(), s.maxCaption(), s.rangeCaption()}.join(u' ');
}

} // namespace

class TestRunStatistics : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }

    void runSequence_data()
    {
        QTest::addColumn<QList<int>>("differences");
        QTest::addColumn<QStringList>("captions"); // count min max range after each record
        QTest::newRow("falling then rising, equal to max")
            << QList<int>{100, -50, 300, 300}
            << QStringList{"1 100 100 0", "2 -50 100 150", "3 -50 300 350", "4 -50 300 350"};
        QTest::newRow("equal to min keeps it")
            << QList<int>{-7, -7, 5} << QStringList{"1 -7 -7 0", "2 -7 -7 0", "3 -7 5 12"};
        QTest::newRow("32-bit extremes") << QList<int>{2147483647, -2147483647 - 1}
                                         << QStringList{"1 2147483647 2147483647 0",
                                                        "2 -2147483648 2147483647 4294967295"};
    }
    void runSequence()
    {
        QFETCH(QList<int>, differences);
        QFETCH(QStringList, captions);
        RunStatistics s;
        s.clearForRunStart();
        for (qsizetype i = 0; i < differences.size(); ++i) {
            s.recordUpdate(differences[i], true);
            QCOMPARE(shown(s), captions[i]);
            QCOMPARE(s.lastDifference(), QString::number(differences[i]));
        }

        // The decoder's blocks end where one by one ends: whole, and cut after the first record
        // (a block that starts with the run's first record restarts minimum and maximum).
        std::vector<DecodedRecord> records;
        for (int d : differences)
            records.push_back(DecodedRecord{d, 0, 0, 0, 0});
        for (const qsizetype cut : {qsizetype(0), qsizetype(1)}) {
            RunStatistics blocks;
            blocks.setRunTickedSource([] { return true; });
            blocks.clearForRunStart();
            blocks.recordsDecoded(std::span(records).first(size_t(cut)));
            blocks.recordsDecoded(std::span(records).subspan(size_t(cut)));
            QCOMPARE(shown(blocks), captions.last());
            QCOMPARE(blocks.lastDifference(), QString::number(differences.last()));
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
        QCOMPARE(shown(s), QStringLiteral("0   "));
        // The next run's first record is its own minimum and maximum, not compared with the last run's.
        s.recordUpdate(500, true);
        QCOMPARE(shown(s), QStringLiteral("1 500 500 0"));
    }

    void minMaxRestart_data()
    {
        QTest::addColumn<bool>("runTicked");
        QTest::addColumn<QString>("restarted");
        QTest::addColumn<QString>("after200");
        QTest::newRow("run ticked restarts from the latest") << true << "3 300 300 0"
                                                             << "4 200 300 100";
        QTest::newRow("run unticked changes nothing") << false << "3 -50 300 350"
                                                      << "4 -50 300 350";
    }
    void minMaxRestart()
    {
        QFETCH(bool, runTicked);
        QFETCH(QString, restarted);
        QFETCH(QString, after200);
        RunStatistics s;
        s.clearForRunStart();
        for (int dt : {100, -50, 300})
            s.recordUpdate(dt, true);
        s.minMaxReset(runTicked);
        QCOMPARE(shown(s), restarted);
        // Later records compare against what the restart left.
        s.recordUpdate(200, true);
        QCOMPARE(shown(s), after200);
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
        QCOMPARE(shown(s), QStringLiteral("1 40 40 0"));
        s.recordUpdate(-10, false);
        s.recordUpdate(90, false);
        QCOMPARE(shown(s), QStringLiteral("3 -10 90 100"));
    }

    void batchAnnouncesOnceAtItsEnd()
    {
        RunStatistics s;
        s.clearForRunStart();
        QList<QString> announced;
        QObject::connect(&s, &RunStatistics::changed,
                         [&] { announced.append(s.countCaption() + u'/' + s.rangeCaption()); });
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

    void countGrouping_data()
    {
        QTest::addColumn<QLocale>("locale");
        QTest::addColumn<int>("records");
        QTest::addColumn<QString>("caption");
        const QLocale english(QLocale::English, QLocale::UnitedStates);
        QTest::newRow("999") << english << 999 << "999";
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
        const QString shownCount = s.countCaption();
        QLocale::setDefault(previous);
        QCOMPARE(shownCount, caption);
    }
};

QTEST_GUILESS_MAIN(TestRunStatistics)
#include "tst_runstatistics.moc"
