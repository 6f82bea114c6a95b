/// @brief The executables as a script meets them: --help, --version and bad arguments on a terminal without a display;
/// the recorder's, the server's and the panel's ending on a signal.
#include "sim/instrumentsimulator.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSettings>
#include <QTcpSocket>
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
        const QString version = QStringLiteral("%1.%2.%3\n")
                                    .arg(TALLYSCOPE_VERSION_MAJOR)
                                    .arg(TALLYSCOPE_VERSION_MINOR)
                                    .arg(TALLYSCOPE_VERSION_PATCH);
        for (const QString& path :
             {panel, QStringLiteral(TALLYSCOPE_SIM_EXE), record, QStringLiteral(TALLYSCOPE_REPLAY_EXE),
              QStringLiteral(TALLYSCOPE_UPDATER_EXE), server}) {
            const QString n = QFileInfo(path).completeBaseName(); // without Windows' .exe
            QTest::addRow("%s --help", qPrintable(n))
                << path << words("--help") << 0 << QStringLiteral("Usage: %1 ").arg(n);
            QTest::addRow("%s --version", qPrintable(n)) << path << words("--version") << 0 << n + u' ' + version;
            QTest::addRow("%s unknown option", qPrintable(n))
                << path << words("--bogus") << 64 << n + QStringLiteral(": Unknown option 'bogus'");
        }
        QTest::newRow("tallyscope port 0") << panel << words("--port 0") << 64 << QStringLiteral("--port");
        QTest::newRow("tallyscope stray argument") << panel << words("extra") << 64 << QStringLiteral("\"extra\"");
        QTest::newRow("tallyscope control port past 65535")
            << panel << words("--control-port 65536") << 64 << QStringLiteral("--control-port");
        QTest::newRow("tallyscope control address alone")
            << panel << words("--control-address 127.0.0.2") << 64 << QStringLiteral("needs --control-port");
        QTest::newRow("server without a control port")
            << server << words("--address 127.0.0.1") << 64 << QStringLiteral("--control-port");
        QTest::newRow("server without an address")
            << server << words("--control-port 0") << 64 << QStringLiteral("--address");
        QTest::newRow("server control address not an address")
            << server << words("--address 127.0.0.1 --control-port 0 --control-address lab") << 64
            << QStringLiteral("--control-address");
        QTest::newRow("sim port past 65535")
            << QStringLiteral(TALLYSCOPE_SIM_EXE) << words("--port 65536") << 64 << QStringLiteral("--port");
        QTest::newRow("record without an address")
            << record << words("--records 5") << 64 << QStringLiteral("--address HOST");
        QTest::newRow("record port 0") << record << words("--address 127.0.0.1 --port 0") << 64
                                       << QStringLiteral("--port");
        QTest::newRow("record 0 records")
            << record << words("--address 127.0.0.1 --records 0") << 64 << QStringLiteral("--records");
        QTest::newRow("record negative duration")
            << record << words("--address 127.0.0.1 --duration -1") << 64 << QStringLiteral("--duration");
        QTest::newRow("record missing folder")
            << record << words("--address 127.0.0.1 --folder /no/such") << 64 << QStringLiteral("does not exist");
        QTest::newRow("replay bad readings")
            << QStringLiteral(TALLYSCOPE_REPLAY_EXE) << words("--cal-a 1 f") << 64 << QStringLiteral("--cal-a");
        QTest::newRow("updater without a name")
            << QStringLiteral(TALLYSCOPE_UPDATER_EXE) << QStringList{} << 64 << QStringLiteral("NAME");
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
        // Console text on Windows ends its lines in CR LF.
        const QString out =
            QString::fromLocal8Bit(p.readAllStandardOutput()).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        const QString err =
            QString::fromLocal8Bit(p.readAllStandardError()).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QVERIFY2(p.exitCode() == exitCode, qPrintable(err));
        if (exitCode == 0)
            QVERIFY2(out.startsWith(expected) && err.isEmpty(), qPrintable(out + err));
        else // one line, ending with the hint
            QVERIFY2(out.isEmpty() && err.count(u'\n') == 1 && err.contains(expected)
                         && err.endsWith(QStringLiteral("(--help lists the options)\n")),
                     qPrintable(err));
    }

    void recorderEndsCleanlyOnCtrlC()
    {
#ifdef Q_OS_WIN
        QSKIP("a console's Ctrl-C reaches only the processes of that console; tst_signalwatcher covers the handler");
#endif
        InstrumentSimulator sim(SimulatorConfig{});
        QVERIFY(sim.start(0));
        QTemporaryDir dir;
        QProcess p;
        p.start(QStringLiteral(TALLYSCOPE_RECORD_EXE), words("--address 127.0.0.1 --folder")
                                                           << dir.path() << QStringLiteral("--port")
                                                           << QString::number(sim.port()));
        QByteArray err;
        QVERIFY(QTest::qWaitFor([&] { return (err += p.readAllStandardError()).contains("recording to"); }, 20000));
#ifndef Q_OS_WIN
        ::kill(pid_t(p.processId()), SIGINT);
#endif
        QVERIFY(QTest::qWaitFor([&] { return p.state() == QProcess::NotRunning; }, 20000));
        QVERIFY2((err += p.readAllStandardError()).endsWith("tallyscope-record: SIGINT: run stopped\n"),
                 err.constData());
        QCOMPARE(p.exitCode(), 130);
        // Not a terminal: progress comes as whole lines, never a carriage return.
        const QByteArray out = p.readAllStandardOutput();
        QVERIFY2(out.contains(" records written to ") && !out.contains('\r'), out.constData());
    }

    // SIGTERM or Ctrl-C during a run: the panel closes as its window would (Run off, files
    // complete, geometry written), the server as it always has; both exit 0.
    void signalEndsARunCleanly_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("panel, SIGTERM") << QStringLiteral(TALLYSCOPE_EXE) << int(SIGTERM);
        QTest::newRow("panel, SIGINT") << QStringLiteral(TALLYSCOPE_EXE) << int(SIGINT);
        QTest::newRow("server, SIGTERM") << QStringLiteral(TALLYSCOPE_SERVER_EXE) << int(SIGTERM);
    }
    void signalEndsARunCleanly()
    {
#ifdef Q_OS_WIN
        QSKIP("Windows has no signals to send another process; tst_signalwatcher covers the console's handler");
#endif
        QFETCH(QString, program);
        QFETCH(int, signalNumber);
        InstrumentSimulator sim(SimulatorConfig{});
        QVERIFY(sim.start(0));
        QTemporaryDir home, data;
        QVERIFY(QDir(home.path()).mkpath(QStringLiteral("config"))
                && QDir(home.path()).mkpath(QStringLiteral("runtime")));
        QFile::setPermissions(home.filePath(QStringLiteral("runtime")),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home.filePath(QStringLiteral("runtime")));
        const bool panel = program.endsWith(QStringLiteral("tallyscope"));
        QStringList args = words("--address 127.0.0.1 --control-port 0 --port") << QString::number(sim.port());
        if (panel)
            args << words("-platform offscreen");
        else
            args << QStringLiteral("--data-folder") << data.path();
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(program, args);
        QByteArray err;
        quint16 port = 0;
        QVERIFY(QTest::qWaitFor(
            [&] {
            err += p.readAllStandardError();
            const qsizetype at = err.indexOf("listening on 127.0.0.1:");
            if (at >= 0 && err.indexOf('\n', at) > 0)
                port = quint16(err.mid(at + 23, err.indexOf('\n', at) - at - 23).toUInt());
            return port != 0;
            },
            20000));
        QTcpSocket script;
        script.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(script.waitForConnected(5000));
        const auto ask = [&script](const QByteArray& line) {
            script.write(line + '\n');
            return QTest::qWaitFor([&] { return script.canReadLine(); }, 10000) ? script.readLine().trimmed()
                                                                                : QByteArray("(none)");
        };
        QVERIFY(QTest::qWaitFor([&] { return ask("CAL:VAL?") == "1"; }, 20000));
        QCOMPARE(ask("FILE:PATH \"" + data.path().toUtf8() + "\";:FILE ON;:RUN ON;RUN?"), QByteArray("1"));
        QTest::qWait(500);
        const QByteArray name = ask("FILE:NAME?");
#ifdef Q_OS_WIN
        Q_UNUSED(signalNumber);
#else
        ::kill(pid_t(p.processId()), signalNumber);
#endif
        QVERIFY(QTest::qWaitFor([&] { return p.state() == QProcess::NotRunning; }, 20000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QVERIFY2(p.exitCode() == 0, (err + p.readAllStandardError()).constData());

        QFile lines(QString::fromUtf8(name.mid(1, name.size() - 2)));
        QVERIFY2(lines.open(QIODevice::ReadOnly), name.constData());
        const qint64 written = lines.readAll().count('\n');
        QVERIFY(written > 0);
        QFile sidecar(lines.fileName().chopped(4) + QStringLiteral(".json"));
        QVERIFY(sidecar.open(QIODevice::ReadOnly));
        const QJsonObject run = QJsonDocument::fromJson(sidecar.readAll()).object();
        QVERIFY(run.value(QStringLiteral("complete")).toBool());
        QCOMPARE(run.value(QStringLiteral("records")).toObject().value(QStringLiteral("written")).toInteger(), written);
        if (panel) {
            QSettings stored(home.filePath(QStringLiteral("config/Quorvel/Tallyscope.conf")), QSettings::IniFormat);
            QVERIFY2(stored.contains(QStringLiteral("Top")) && stored.contains(QStringLiteral("Left"))
                         && stored.contains(QStringLiteral("Height")),
                     qPrintable(stored.allKeys().join(u' ')));
        }
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
