/// @brief The executables as a script meets them: --help, --version and bad arguments on a terminal without a display; the recorder's ending on Ctrl-C.
#include "sim/instrumentsimulator.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

namespace {
QStringList words(const char* text) { return QString::fromLatin1(text).split(u' ', Qt::SkipEmptyParts); }
} // namespace

class TestCommandLine : public QObject {
    Q_OBJECT
private slots:
    void answersWithoutADisplay_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("expected"); // in stdout when it succeeds, in the stderr line otherwise

        const QString panel = QStringLiteral(TALLYSCOPE_EXE), record = QStringLiteral(TALLYSCOPE_RECORD_EXE),
                      server = QStringLiteral(TALLYSCOPE_SERVER_EXE);
        const QString version = QStringLiteral("%1.%2.%3\n").arg(TALLYSCOPE_VERSION_MAJOR).arg(TALLYSCOPE_VERSION_MINOR).arg(TALLYSCOPE_VERSION_PATCH);
        for (const QString& path : {panel, QStringLiteral(TALLYSCOPE_SIM_EXE), record, QStringLiteral(TALLYSCOPE_REPLAY_EXE),
                                    QStringLiteral(TALLYSCOPE_UPDATER_EXE), server}) {
            const QString n = QFileInfo(path).fileName();
            QTest::addRow("%s --help", qPrintable(n)) << path << words("--help") << 0 << QStringLiteral("Usage: %1 ").arg(n);
            QTest::addRow("%s --version", qPrintable(n)) << path << words("--version") << 0 << n + u' ' + version;
            QTest::addRow("%s unknown option", qPrintable(n)) << path << words("--bogus") << 64 << n + QStringLiteral(": Unknown option 'bogus'");
        }
        QTest::newRow("tallyscope port 0") << panel << words("--port 0") << 64 << QStringLiteral("--port");
        QTest::newRow("tallyscope stray argument") << panel << words("extra") << 64 << QStringLiteral("\"extra\"");
        QTest::newRow("tallyscope control port past 65535") << panel << words("--control-port 65536") << 64 << QStringLiteral("--control-port");
        QTest::newRow("tallyscope control address alone") << panel << words("--control-address 127.0.0.2") << 64 << QStringLiteral("needs --control-port");
        QTest::newRow("server without a control port") << server << words("--address 127.0.0.1") << 64 << QStringLiteral("--control-port");
        QTest::newRow("server without an address") << server << words("--control-port 0") << 64 << QStringLiteral("--address");
        QTest::newRow("server control address not an address") << server << words("--address 127.0.0.1 --control-port 0 --control-address lab") << 64 << QStringLiteral("--control-address");
        QTest::newRow("sim port past 65535") << QStringLiteral(TALLYSCOPE_SIM_EXE) << words("--port 65536") << 64 << QStringLiteral("--port");
        QTest::newRow("record without an address") << record << words("--records 5") << 64 << QStringLiteral("--address HOST");
        QTest::newRow("record port 0") << record << words("--address 127.0.0.1 --port 0") << 64 << QStringLiteral("--port");
        QTest::newRow("record 0 records") << record << words("--address 127.0.0.1 --records 0") << 64 << QStringLiteral("--records");
        QTest::newRow("record negative duration") << record << words("--address 127.0.0.1 --duration -1") << 64 << QStringLiteral("--duration");
        QTest::newRow("record missing folder") << record << words("--address 127.0.0.1 --folder /no/such") << 64 << QStringLiteral("does not exist");
        QTest::newRow("replay bad readings") << QStringLiteral(TALLYSCOPE_REPLAY_EXE) << words("--cal-a 1 f") << 64 << QStringLiteral("--cal-a");
        QTest::newRow("updater without a name") << QStringLiteral(TALLYSCOPE_UPDATER_EXE) << QStringList{} << 64 << QStringLiteral("NAME");
    }
    void answersWithoutADisplay()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, expected);

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QString::fromLatin1(name));
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(program, arguments);
        QVERIFY(p.waitForFinished(20000));
        const QString out = QString::fromLocal8Bit(p.readAllStandardOutput());
        const QString err = QString::fromLocal8Bit(p.readAllStandardError());
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QVERIFY2(p.exitCode() == exitCode, qPrintable(err));
        if (exitCode == 0)
            QVERIFY2(out.startsWith(expected) && err.isEmpty(), qPrintable(out + err));
        else // one line, ending with the hint
            QVERIFY2(out.isEmpty() && err.count(u'\n') == 1 && err.contains(expected) && err.endsWith(QStringLiteral("(--help lists the options)\n")),
                     qPrintable(err));
    }

    void recorderEndsCleanlyOnCtrlC()
    {
        InstrumentSimulator sim(SimulatorConfig{});
        QVERIFY(sim.start(0));
        QTemporaryDir dir;
        QProcess p;
        p.start(QStringLiteral(TALLYSCOPE_RECORD_EXE), words("--address 127.0.0.1 --folder") << dir.path() << QStringLiteral("--port")
                                                                                         << QString::number(sim.port()));
        QByteArray err;
        QVERIFY(QTest::qWaitFor([&] { return (err += p.readAllStandardError()).contains("recording to"); }, 20000));
        ::kill(pid_t(p.processId()), SIGINT);
        QVERIFY(QTest::qWaitFor([&] { return p.state() == QProcess::NotRunning; }, 20000));
        QVERIFY2((err += p.readAllStandardError()).endsWith("tallyscope-record: SIGINT: run stopped\n"), err.constData());
        QCOMPARE(p.exitCode(), 130);
        // Not a terminal: progress comes as whole lines, never a carriage return.
        const QByteArray out = p.readAllStandardOutput();
        QVERIFY2(out.contains(" records written to ") && !out.contains('\r'), out.constData());
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
