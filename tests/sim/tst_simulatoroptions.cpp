/// @brief The simulator executable's command line and planned faults: good values land in the configuration, bad ones
/// are refused.
#include "platform/fakeclock.h"
#include "sim/instrumentsimulator.h"
#include "sim/simulatoroptions.h"

#include <QCommandLineParser>
#include <QtTest>

namespace {

/// One command line, parsed and read as the executable does.
struct CommandLine {
    explicit CommandLine(const QString& arguments)
    {
        ok = parser.parse(QStringList{QStringLiteral("tallyscope-sim")} + arguments.split(u' '));
        error = parser.errorText();
        ok = ok && options.read(parser, &error);
    }
    QCommandLineParser parser;
    SimulatorOptions options{parser};
    bool ok = false;
    QString error;
};

} // namespace

class TstSimulatorOptions : public QObject {
    Q_OBJECT
private slots:
    void goodValuesReachTheConfiguration()
    {
        const CommandLine line(QStringLiteral("--port 0 --rate 2e6 --seed 42 --noise 0 --peak -30000 --width 120 "
                                              "--background 0.1 --cal-low 480,520 --cal-high 3610,3580 --tau 9.5,9.4 "
                                              "--fpga-version 2.1.15 --module-version X --fault silence@1.5:6000 "
                                              "--fault drop@3 --duration 10 --blast --blast-ring 5"));
        QVERIFY2(line.ok, qPrintable(line.error));
        const SimulatorOptions& o = line.options;
        const SimulatorConfig& c = o.config();
        QCOMPARE((QList<double>{double(o.port()), c.recordsPerSecond, double(c.seed), double(c.calNoise), c.peakPs,
                                c.peakWidthPs, c.backgroundFraction, double(c.calLowA), double(c.calLowB),
                                double(c.calHighA), double(c.calHighB), c.tauANs, c.tauBNs, double(c.fpgaMajor),
                                double(c.fpgaMinor), double(c.fpgaRevision), o.durationSeconds()}),
                 (QList<double>{0, 2e6, 42, 0, -30000, 120, 0.1, 480, 520, 3610, 3580, 9.5, 9.4, 2, 1, 15, 10}));
        QCOMPARE(c.moduleVersion, QByteArray("X"));
        const QList<FaultSchedule::Entry> expected{{FaultSchedule::Kind::Silence, 1500, 6000},
                                                   {FaultSchedule::Kind::Drop, 3000, 0}};
        QCOMPARE(o.faults().entries(), expected);
        QVERIFY(c.blast && c.blastPaced);
        QCOMPARE(c.blastRingRecords, 5);
        // Without --rate the blast is not paced by the default rate.
        const CommandLine unpaced(QStringLiteral("--blast"));
        QVERIFY(unpaced.ok && unpaced.options.config().blast && !unpaced.options.config().blastPaced);
    }

    void badValuesAreRefused_data()
    {
        QTest::addColumn<QString>("arguments");
        QTest::newRow("port too large") << "--port 70000";
        QTest::newRow("port with letters") << "--port 12ab";
        QTest::newRow("port in octal looks") << "--port 0x10";
        QTest::newRow("rate zero") << "--rate 0";
        QTest::newRow("rate text") << "--rate fast";
        QTest::newRow("fraction above one") << "--background 1.5";
        QTest::newRow("one calibration reading") << "--cal-low 500";
        QTest::newRow("high level inside the plausible band") << "--cal-high 2300,3590";
        QTest::newRow("noise too large") << "--noise 101";
        QTest::newRow("minor version beyond 4 bits") << "--fpga-version 1.16.0";
        QTest::newRow("module text too long") << "--module-version ABCDEFGHIJKLMN";
        QTest::newRow("fault without its duration") << "--fault silence@1";
        QTest::newRow("fault with a stray argument") << "--fault drop@1:5";
        QTest::newRow("fault of unknown kind") << "--fault flood@1:5";
        QTest::newRow("fault in the past") << "--fault stall@-1:5";
        QTest::newRow("fault count zero") << "--fault garbage@1:0";
        QTest::newRow("duration zero") << "--duration 0";
        QTest::newRow("empty blast ring") << "--blast-ring 0";
        QTest::newRow("blast ring too large") << "--blast-ring 16777217";
    }

    void badValuesAreRefused()
    {
        QFETCH(QString, arguments);
        const CommandLine line(arguments);
        QVERIFY(!line.ok && !line.error.isEmpty());
    }

    void plannedFaultsReachTheSimulator()
    {
        FaultSchedule schedule;
        QVERIFY(schedule.add(QStringLiteral("heartbeats@0.02:2")));
        QVERIFY(schedule.add(QStringLiteral("stall@0.02:5000")));
        QVERIFY(schedule.add(QStringLiteral("refuse@0.05:5000")));
        FakeClock clock;
        InstrumentSimulator sim({}, clock);
        schedule.arm(sim);
        clock.elapse(0.019);
        QVERIFY(!sim.faults().stalled() && sim.faults().heartbeatsToDrop() == 0);
        clock.elapse(0.001);
        QCOMPARE(sim.faults().heartbeatsToDrop(), 2);
        QVERIFY(sim.faults().stalled());
        QVERIFY(!sim.faults().refusing());
        clock.elapse(0.03);
        QVERIFY(sim.faults().refusing());
        QVERIFY(!sim.faults().silent() && !sim.faults().splitting());
        clock.elapse(5);
        QVERIFY(!sim.faults().stalled() && !sim.faults().refusing());
    }
};

QTEST_GUILESS_MAIN(TstSimulatorOptions)
#include "tst_simulatoroptions.moc"
