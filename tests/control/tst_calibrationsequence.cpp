/// @brief Calibration sequence: wire order with phases, waits ended by replies or by the 2-second limit, second press,
/// no link, abort.
#include "control/calibrationmodel.h"
#include "control/calibrationsequence.h"
#include "platform/fakeclock.h"

#include <QSignalSpy>
#include <QTest>

namespace {

const QString Unknown = CalibrationModel::Unknown;

} // namespace

class TestCalibrationSequence : public QObject {
    Q_OBJECT

private:
    // Everything the sequence does to the outside, in order, as one list of lines.
    struct Rig {
        CalibrationModel model;
        FakeClock clock;
        bool sendOk = true;
        QStringList journal;
        QList<QByteArray> sent;
        CalibrationSequence sequence{model, clock,
                                     [this](const QByteArray& b) {
            sent << b;
            journal << QStringLiteral("send %1 phase %2").arg(QString::fromLatin1(b.toHex()), model.phaseText());
            return sendOk;
                                     },
                                     [this](bool on) { journal << QStringLiteral("keepalive %1").arg(on); }};
        Rig()
        {
            QObject::connect(&sequence, &CalibrationSequence::busyChanged,
                             [this](bool b) { journal << QStringLiteral("busy %1").arg(b); });
            QObject::connect(&sequence, &CalibrationSequence::logAsideBegin,
                             [this](const QString& t) { journal << "aside " + t; });
            QObject::connect(&sequence, &CalibrationSequence::logAsideEnd,
                             [this](const QString& t) { journal << "aside end " + t; });
            QObject::connect(&sequence, &CalibrationSequence::finished,
                             [this] { journal << QStringLiteral("finished"); });
            QObject::connect(&sequence, &CalibrationSequence::aborted,
                             [this] { journal << QStringLiteral("aborted"); });
            QObject::connect(&model, &CalibrationModel::cellChanged,
                             [this](CalibrationModel::Cell c, const QString& t) {
                journal << QStringLiteral("cell %1 %2").arg(int(c)).arg(t);
            });
        }
        void fill(CalibrationModel::Cell c, const QString& v)
        {
            if (!v.isEmpty())
                model.setCell(c, v);
        }
        // Steps the current level: first without time passing, then just short of the
        // limit, then on it. Returns the seconds the level took on the clock.
        double finishLevel()
        {
            const auto level = sequence.step();
            const double begin = clock.seconds;
            sequence.waitElapsed();
            if (sequence.step() != level)
                return 0;
            clock.seconds += 1.5;
            sequence.waitElapsed();
            if (sequence.step() != level)
                return clock.seconds - begin;
            clock.seconds += 0.5;
            sequence.waitElapsed();
            return clock.seconds - begin;
        }
    };

private slots:
    void wireOrderWithPhases()
    {
        Rig rig;
        // Values of an earlier calibration, so that the voiding shows up in the journal.
        for (auto c :
             {CalibrationModel::ALow, CalibrationModel::AHigh, CalibrationModel::BLow, CalibrationModel::BHigh})
            rig.model.setCell(c, QStringLiteral("1"));
        rig.journal.clear();

        QVERIFY(rig.sequence.start());
        rig.sequence.waitElapsed();
        rig.model.setCell(CalibrationModel::ALow, QStringLiteral("500"));
        rig.model.setCell(CalibrationModel::BLow, QStringLiteral("510"));
        QCOMPARE(rig.finishLevel(), 0.0);
        rig.model.setCell(CalibrationModel::AHigh, QStringLiteral("3600"));
        rig.model.setCell(CalibrationModel::BHigh, QStringLiteral("3590"));
        QCOMPARE(rig.finishLevel(), 0.0);

        const QStringList expected{
            "busy 1",
            "keepalive 0",
            "aside Calibrating...",
            "cell 0 ???",
            "cell 1 ???",
            "cell 2 ???",
            "cell 3 ???",
            "send 5200 phase 0",
            "send 43013334 phase 1",
            "cell 0 500",
            "cell 2 510",
            "send 43033334 phase 2",
            "cell 1 3600",
            "cell 3 3590",
            "send 4300 phase 0",
            "aside end Done.",
            "busy 0",
            "keepalive 1",
            "finished",
        };
        QCOMPARE(rig.journal, expected);
        QCOMPARE(rig.model.phaseText(), QStringLiteral("0"));
        QVERIFY(rig.model.runGate());
        QVERIFY(!rig.sequence.isRunning());
    }

    void levelWaits_data()
    {
        QTest::addColumn<QString>("al");
        QTest::addColumn<QString>("bl");
        QTest::addColumn<QString>("ah");
        QTest::addColumn<QString>("bh");
        QTest::addColumn<double>("lowSeconds");
        QTest::addColumn<double>("highSeconds");
        // None of these leaves a calibration that opens the gate.
        QTest::newRow("silent instrument") << ""
                                           << ""
                                           << ""
                                           << "" << 2.0 << 2.0;
        QTest::newRow("only channel A answers") << "500"
                                                << ""
                                                << "3600"
                                                << "" << 2.0 << 2.0;
        QTest::newRow("high level silent") << "500"
                                           << "510"
                                           << ""
                                           << "" << 0.0 << 2.0;
        QTest::newRow("low level silent") << ""
                                          << ""
                                          << "3600"
                                          << "3590" << 2.0 << 0.0;
        QTest::newRow("answered outside windows") << "600"
                                                  << "510"
                                                  << "3600"
                                                  << "3590" << 0.0 << 0.0;
    }

    void levelWaits()
    {
        QFETCH(QString, al);
        QFETCH(QString, bl);
        QFETCH(QString, ah);
        QFETCH(QString, bh);
        QFETCH(double, lowSeconds);
        QFETCH(double, highSeconds);

        Rig rig;
        // A good earlier calibration, so that Run must be seen to switch off and on again.
        for (auto [cell, value] : {std::pair{CalibrationModel::ALow, "500"},
                                   {CalibrationModel::AHigh, "3600"},
                                   {CalibrationModel::BLow, "510"},
                                   {CalibrationModel::BHigh, "3590"}})
            rig.model.setCell(cell, QString::fromLatin1(value));
        QVERIFY(rig.model.runGate());
        QSignalSpy gateSpy(&rig.model, &CalibrationModel::runGateEvaluated);
        rig.sequence.start();
        QCOMPARE(gateSpy.last().at(0).toBool(), false);
        rig.sequence.waitElapsed();
        QCOMPARE(rig.sequence.step(), CalibrationSequence::Step::Low);
        rig.fill(CalibrationModel::ALow, al);
        rig.fill(CalibrationModel::BLow, bl);
        QCOMPARE(rig.finishLevel(), lowSeconds);
        QCOMPARE(rig.sequence.step(), CalibrationSequence::Step::High);
        rig.fill(CalibrationModel::AHigh, ah);
        rig.fill(CalibrationModel::BHigh, bh);
        QCOMPARE(rig.finishLevel(), highSeconds);

        QVERIFY(!rig.sequence.isRunning());
        QCOMPARE(rig.sent.size(), 4);
        QCOMPARE(rig.journal.mid(rig.journal.size() - 4),
                 (QStringList{"aside end Done.", "busy 0", "keepalive 1", "finished"}));
        QCOMPARE(rig.model.cell(CalibrationModel::ALow), al.isEmpty() ? Unknown : al);
        QCOMPARE(rig.model.cell(CalibrationModel::BHigh), bh.isEmpty() ? Unknown : bh);
        QVERIFY(!rig.model.runGate());
        QCOMPARE(gateSpy.last().at(0).toBool(), false);
    }

    // With the clock frozen only the cell signals can move the sequence on. The decoder fills
    // both cells of a level from inside one arrival; the next level must not be sent under its
    // feet, only once the event loop runs again.
    void repliesDriveTheEventLoopSequence()
    {
        Rig rig;
        QSignalSpy finished(&rig.sequence, &CalibrationSequence::finished);
        rig.sequence.start();
        rig.clock.elapse(0);
        QCOMPARE(rig.sequence.step(), CalibrationSequence::Step::Low);
        rig.model.setCell(CalibrationModel::BLow, QStringLiteral("510"));
        rig.model.setCell(CalibrationModel::ALow, QStringLiteral("500"));
        QCOMPARE(rig.model.phaseText(), QStringLiteral("1"));
        QCOMPARE(rig.sent.size(), 2);
        rig.clock.elapse(0);
        QCOMPARE(rig.sequence.step(), CalibrationSequence::Step::High);
        rig.model.setCell(CalibrationModel::BHigh, QStringLiteral("3590"));
        rig.model.setCell(CalibrationModel::AHigh, QStringLiteral("3600"));
        rig.clock.elapse(0);
        QCOMPARE(finished.size(), 1);
        QVERIFY(rig.model.runGate());
    }

    void secondPressWhileRunningIsIgnored()
    {
        Rig rig;
        rig.sequence.start();
        rig.sequence.waitElapsed();
        rig.model.setCell(CalibrationModel::ALow, QStringLiteral("500"));
        const QStringList before = rig.journal;

        QVERIFY(!rig.sequence.start());
        QCOMPARE(rig.journal, before);
        QCOMPARE(rig.model.cell(CalibrationModel::ALow), QStringLiteral("500"));
        QCOMPARE(rig.sequence.step(), CalibrationSequence::Step::Low);

        rig.finishLevel();
        rig.finishLevel();
        QCOMPARE(rig.journal.filter(QStringLiteral("finished")).size(), 1);
        QVERIFY(rig.sequence.start());
    }

    // Without a link every send fails: the steps still run, the visible outcome is that of a
    // silent instrument, and no level waits for an answer that cannot come.
    void withoutLinkRunsThroughWithoutWaiting()
    {
        Rig rig;
        rig.sendOk = false;
        QSignalSpy finished(&rig.sequence, &CalibrationSequence::finished);
        rig.sequence.start();
        rig.clock.elapse(0);
        QCOMPARE(finished.size(), 1);
        QCOMPARE(rig.clock.seconds, 100.0);
        QCOMPARE(rig.journal.filter(QStringLiteral("send ")),
                 (QStringList{"send 5200 phase 0", "send 43013334 phase 1", "send 43033334 phase 2",
                              "send 4300 phase 0"}));
        QCOMPARE(rig.journal.filter(QStringLiteral("aside end ")), QStringList{"aside end Done."});
        QCOMPARE(rig.journal.filter(QStringLiteral("keepalive")), (QStringList{"keepalive 0", "keepalive 1"}));
        QVERIFY(!rig.model.runGate());
    }

    void abortRestoresEverything_data()
    {
        QTest::addColumn<int>("timerSteps");
        QTest::newRow("while settling") << 0;
        QTest::newRow("during the low wait") << 1;
    }

    void abortRestoresEverything()
    {
        QFETCH(int, timerSteps);
        Rig rig;
        rig.sequence.start();
        for (int i = 0; i < timerSteps; ++i)
            rig.sequence.waitElapsed();
        rig.journal.clear();

        rig.sequence.abort();
        QCOMPARE(rig.journal,
                 (QStringList{"send 4300 phase 0", "aside end Done.", "busy 0", "keepalive 1", "aborted"}));
        QVERIFY(!rig.sequence.isRunning());
        QVERIFY(!rig.sequence.waitTimer().isActive());

        // A late timer or reply must not revive the aborted sequence.
        rig.journal.clear();
        rig.sequence.waitElapsed();
        rig.model.setCell(CalibrationModel::ALow, QStringLiteral("500"));
        rig.model.setCell(CalibrationModel::BLow, QStringLiteral("510"));
        rig.clock.elapse(0);
        QCOMPARE(rig.journal.filter(QStringLiteral("send ")), QStringList{});
        rig.sequence.abort();
        QCOMPARE(rig.journal.filter(QStringLiteral("aborted")), QStringList{});
    }
};

QTEST_GUILESS_MAIN(TestCalibrationSequence)
#include "tst_calibrationsequence.moc"
