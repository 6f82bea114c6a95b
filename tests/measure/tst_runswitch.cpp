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

const QByteArray RunOn("R\x01", 2);
const QByteArray RunOff("R\x00", 2);
const QByteArray Record("R\x01\x02\x03\x04\x05\x06", 7);

} // namespace

class TestRunSwitch : public QObject {
    Q_OBJECT

private:
    struct Rig {
        FakeClock clock;
        FakeMessageBoxes boxes;
        RunStatistics statistics;
        DataFile file{clock};
        QTemporaryDir dir;
        QList<QByteArray> sends;
        bool sendOk = true;
        RunSwitch run{[this](const QByteArray& b) { sends << b; return sendOk; }, statistics, file, boxes};
        Rig()
        {
            file.setLocale(QLocale(QLocale::English, QLocale::UnitedStates));
            run.setDataFolder(dir.path());
            // A previous run's figures, which a start must clear.
            statistics.clearForRunStart();
            statistics.recordUpdate(1234, true);
        }
        QStringList files() const { return QDir(dir.path()).entryList(QDir::Files); }
    };

private slots:
    void startAndStop_data()
    {
        QTest::addColumn<bool>("fileTicked");
        QTest::addColumn<bool>("sendOk");
        QTest::addColumn<QStringList>("files");

        const QStringList one{QStringLiteral("Coincidences 12-6-2026 3;05;09 PM.txt")};
        QTest::newRow("with file") << true << true << one;
        QTest::newRow("without file") << false << true << QStringList{};
        QTest::newRow("link down: the rest still happens") << true << false << one;
    }

    void startAndStop()
    {
        QFETCH(bool, fileTicked);
        QFETCH(bool, sendOk);
        QFETCH(QStringList, files);

        Rig rig;
        rig.sendOk = sendOk;
        rig.run.setFileTicked(fileTicked);
        rig.run.setRun(true);
        // Ticking File during a run opens nothing: it is read at run start only.
        rig.run.setFileTicked(!fileTicked);
        QCOMPARE(rig.sends, QList<QByteArray>{RunOn});
        QCOMPARE(rig.statistics.count(), std::optional<qint64>(0));
        QVERIFY(!rig.statistics.minimum());
        QVERIFY(rig.run.isRunning());
        QCOMPARE(rig.file.isOpen(), fileTicked);
        QCOMPARE(rig.files(), files);

        if (rig.file.isOpen())
            rig.file.write(Record);
        rig.run.setRun(false);
        QCOMPARE(rig.sends, (QList<QByteArray>{RunOn, RunOff}));
        QVERIFY(!rig.run.isRunning());
        QVERIFY(!rig.file.isOpen());
        // The stop leaves the figures on show.
        QCOMPARE(rig.statistics.count(), std::optional<qint64>(0));
        if (fileTicked)
            QCOMPARE(QFileInfo(rig.file.path()).size(), 7);
        QVERIFY(rig.boxes.shown.isEmpty());
    }

    // The box is up while the link lives on: the run goes on without a file, a lost link stops
    // it behind the box, and a later answer changes nothing, not even a run started since.
    void badFolderBoxAnsweredAfterLinkLoss_data()
    {
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("title");
        QTest::newRow("default caption") << QString() << "Tallyscope - Oops!";
        QTest::newRow("another caption") << "Bench 2" << "Bench 2 - Oops!";
    }

    void badFolderBoxAnsweredAfterLinkLoss()
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

        QCOMPARE(rig.boxes.openCount(), 1);
        QCOMPARE(rig.boxes.shown[0].text, QStringLiteral("Oops! Bad path for saving the data files!"));
        QCOMPARE(rig.boxes.shown[0].title, title);
        QCOMPARE(rig.boxes.shown[0].buttons, MessageBoxes::Buttons::Ok);
        QVERIFY(rig.run.isRunning());
        QCOMPARE(rig.sends, QList<QByteArray>{RunOn});
        QCOMPARE(rig.statistics.count(), std::optional<qint64>(0));
        QVERIFY(!rig.file.isOpen());
        QVERIFY(!rig.file.write(Record));

        // The link is lost behind the box: the session unticks the run.
        rig.run.setRun(false);
        QCOMPARE(rig.sends, (QList<QByteArray>{RunOn, RunOff}));
        // Reconnected and started again, with a folder that works, still behind the first box.
        rig.run.setDataFolder(rig.dir.path());
        rig.run.setRun(true);
        QVERIFY(rig.file.isOpen());

        rig.boxes.answerNext(MessageBoxes::Answer::Ok);
        QCOMPARE(rig.sends, (QList<QByteArray>{RunOn, RunOff, RunOn}));
        QCOMPARE(rig.boxes.shown.size(), 1);
        QVERIFY(rig.run.isRunning());
        QVERIFY(rig.file.isOpen());
        QVERIFY(rig.file.write(Record));
        rig.run.setRun(false);
        QCOMPARE(rig.files().size(), 1);
        QCOMPARE(QFileInfo(rig.file.path()).size(), 7);
    }
};

QTEST_GUILESS_MAIN(TestRunSwitch)
#include "tst_runswitch.moc"
