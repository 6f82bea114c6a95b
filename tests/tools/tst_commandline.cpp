/// @brief Every executable answers --help and --version, and refuses a bad argument in one line, on a terminal without a display.
#include <QProcess>
#include <QTest>

class TestCommandLine : public QObject {
    Q_OBJECT
private slots:
    void answersWithoutADisplay_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("expected"); // in stdout when it succeeds, in the stderr line otherwise

        const QList<std::pair<const char*, QString>> programs = {
            {"tallyscope", QStringLiteral(TALLYSCOPE_EXE)},
            {"tallyscope-sim", QStringLiteral(TALLYSCOPE_SIM_EXE)},
            {"tallyscope-record", QStringLiteral(TALLYSCOPE_RECORD_EXE)},
            {"tallyscope-replay", QStringLiteral(TALLYSCOPE_REPLAY_EXE)},
            {"tallyscope-updater", QStringLiteral(TALLYSCOPE_UPDATER_EXE)}};
        for (const auto& [name, path] : programs) {
            const QString n = QString::fromLatin1(name);
            QTest::addRow("%s --help", name) << path << QStringList{QStringLiteral("--help")} << 0
                                             << QStringLiteral("Usage: %1 ").arg(n);
            QTest::addRow("%s --version", name) << path << QStringList{QStringLiteral("--version")} << 0
                                                << QStringLiteral("%1 %2.%3.%4\n").arg(n).arg(TALLYSCOPE_VERSION_MAJOR).arg(TALLYSCOPE_VERSION_MINOR).arg(TALLYSCOPE_VERSION_PATCH);
            QTest::addRow("%s unknown option", name) << path << QStringList{QStringLiteral("--bogus")} << 64
                                                     << QStringLiteral("%1: Unknown option 'bogus'").arg(n);
        }
        QTest::newRow("tallyscope port 0") << QStringLiteral(TALLYSCOPE_EXE) << QStringList{QStringLiteral("--port"), QStringLiteral("0")}
                                           << 64 << QStringLiteral("--port");
        QTest::newRow("tallyscope stray argument") << QStringLiteral(TALLYSCOPE_EXE) << QStringList{QStringLiteral("extra")}
                                                   << 64 << QStringLiteral("\"extra\"");
        QTest::newRow("tallyscope-sim bad port") << QStringLiteral(TALLYSCOPE_SIM_EXE)
                                                 << QStringList{QStringLiteral("--port"), QStringLiteral("65536")} << 64
                                                 << QStringLiteral("--port");
        QTest::newRow("tallyscope-updater without a name") << QStringLiteral(TALLYSCOPE_UPDATER_EXE) << QStringList{} << 64
                                                           << QStringLiteral("NAME");
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
        if (exitCode == 0) {
            QVERIFY2(out.startsWith(expected), qPrintable(out));
            QVERIFY2(err.isEmpty(), qPrintable(err));
        } else {
            QVERIFY(out.isEmpty());
            QCOMPARE(err.count(u'\n'), 1);
            QVERIFY2(err.endsWith(QStringLiteral("(--help lists the options)\n")), qPrintable(err));
            QVERIFY2(err.contains(expected), qPrintable(err));
        }
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
