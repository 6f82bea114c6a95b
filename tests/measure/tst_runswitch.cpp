/// @brief Run switch: commands, statistics clear, data file per run, the bad-folder message while the link goes on.
#include "common/fakes.h"
#include "measure/datafile.h"
#include "measure/runstatistics.h"
#include "measure/runswitch.h"
#include "platform/fakeclock.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QByteArray Record("R\x01\x02\x03\x04\x05\x06", 7);

struct Rig {
    FakeClock clock;
    FakeMessageBoxes boxes;
    RunStatistics statistics;
    DataFile file{clock};
    QTemporaryDir dir;
    QStringList sends;
    bool sendOk = true;
    RunSwitch run{[this](const QByteArray& b) {
        sends << QString::fromLatin1(b.toHex());
        return sendOk;
                  },
                  statistics, file, boxes};
    Rig()
    {
        file.setLocale(QLocale(QLocale::English, QLocale::UnitedStates));
        run.setDataFolder(dir.path());
        // A previous run's figures, which a start must clear.
        statistics.clearForRunStart();
        statistics.recordUpdate(1234, true);
    }
    /// What the operator and the instrument see, in one line.
    QString state() const
    {
        return QStringLiteral("sent %1; running %2; open %3; count %4; min %5; boxes %6; files %7 (%8 bytes)")
            .arg(sends.join(u' '))
            .arg(run.isRunning())
            .arg(file.isOpen())
            .arg(statistics.count().value_or(-1))
            .arg(statistics.minimum().has_value())
            .arg(boxes.shown.size())
            .arg(QDir(dir.path()).entryList(QDir::Files).join(u'|'))
            .arg(file.path().isEmpty() ? -1 : QFileInfo(file.path()).size());
    }
};

} // namespace

class TestRunSwitch : public QObject {
    Q_OBJECT

private slots:
    void startAndStop_data()
    {
        QTest::addColumn<bool>("fileTicked");
        QTest::addColumn<bool>("sendOk");
        QTest::addColumn<QString>("files");

        const QString one = QStringLiteral("Coincidences 12-6-2026 3;05;09 PM.txt");
        QTest::newRow("with file") << true << true << one;
        QTest::newRow("without file") << false << true << QString();
        QTest::newRow("link down: the rest still happens") << true << false << one;
    }

    void startAndStop()
    {
        QFETCH(bool, fileTicked);
        QFETCH(bool, sendOk);
        QFETCH(QString, files);

        Rig rig;
        rig.sendOk = sendOk;
        rig.run.setFileTicked(fileTicked);
        rig.run.setRun(true);
        // Ticking File during a run opens nothing: it is read at run start only.
        rig.run.setFileTicked(!fileTicked);
        const QString size = fileTicked ? QStringLiteral("%1 bytes") : QStringLiteral("-1 bytes");
        QCOMPARE(rig.state(), QStringLiteral("sent 5201; running 1; open %1; count 0; min 0; boxes 0; files %2 (%3)")
                                  .arg(int(fileTicked))
                                  .arg(files, size.arg(0)));

        if (rig.file.isOpen())
            rig.file.write(Record);
        rig.run.setRun(false);
        // The stop leaves the figures on show.
        QCOMPARE(rig.state(),
                 QStringLiteral("sent 5201 5200; running 0; open 0; count 0; min 0; boxes 0; files %1 (%2)")
                     .arg(files, size.arg(7)));
    }

    // The run goes on without a file behind the box; a link lost behind it stops the run, and
    // the late answer changes nothing, not even a run started since.
    void badFolderBoxAnsweredLate_data()
    {
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("title");
        QTest::newRow("default caption") << QString() << "Tallyscope - Oops!";
        QTest::newRow("another caption") << "Bench 2"
                                         << "Bench 2 - Oops!";
    }

    void badFolderBoxAnsweredLate()
    {
        QFETCH(QString, caption);
        QFETCH(QString, title);
        Rig rig;
        rig.boxes.holdAnswers = true;
        if (!caption.isNull())
            rig.run.setWindowCaption(caption);
        rig.run.setDataFolder(rig.dir.filePath(QStringLiteral("no such folder")));
        rig.run.setFileTicked(true);
        rig.run.setRun(true);
        // No path either: the file that could not be made is named nowhere.
        QCOMPARE(rig.state(),
                 QStringLiteral("sent 5201; running 1; open 0; count 0; min 0; boxes 1; files  (-1 bytes)"));

        rig.run.setRun(false);
        rig.run.setDataFolder(rig.dir.path());
        rig.run.setRun(true);
        rig.boxes.answerNext(MessageBoxes::Answer::Ok);
        QVERIFY(rig.file.write(Record));
        rig.run.setRun(false);
        const FakeMessageBoxes::Shown& box = rig.boxes.shown.first();
        QCOMPARE(box.text + u'|' + box.title, "Oops! Bad path for saving the data files!|" + title);
        QCOMPARE(box.buttons, MessageBoxes::Buttons::Ok);
        QCOMPARE(rig.state(), QStringLiteral("sent 5201 5200 5201 5200; running 0; open 0; count 0; min 0; boxes 1; "
                                             "files Coincidences 12-6-2026 3;05;09 PM.txt (7 bytes)"));
    }
};

QTEST_GUILESS_MAIN(TestRunSwitch)
#include "tst_runswitch.moc"
