/// @brief Run switch: commands, statistics clear, data file per run, the bad-folder message.
#include "measure/datafile.h"
#include "measure/runstatistics.h"
#include "measure/runswitch.h"
#include "platform/fakeclock.h"
#include "platform/messagebox.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

namespace {

class FakeBoxes final : public MessageBoxes {
public:
    struct Shown {
        QString text;
        QString title;
        Buttons buttons;
    };
    Answer show(const QString& text, const QString& title, Buttons buttons, Icon) override
    {
        shown.append({text, title, buttons});
        return Answer::Ok;
    }
    QList<Shown> shown;
};

const QByteArray RunOn("R\x01", 2);
const QByteArray RunOff("R\x00", 2);

} // namespace

class TestRunSwitch : public QObject {
    Q_OBJECT

private:
    struct Rig {
        FakeClock clock;
        FakeBoxes boxes;
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
        QCOMPARE(rig.sends, QList<QByteArray>{RunOn});
        QCOMPARE(rig.statistics.count(), std::optional<qint64>(0));
        QVERIFY(!rig.statistics.minimum());
        QVERIFY(rig.run.isRunning());
        QCOMPARE(rig.file.isOpen(), fileTicked);
        QCOMPARE(rig.files(), files);

        if (rig.file.isOpen())
            rig.file.write(QByteArray("R\x01\x02\x03\x04\x05\x06"));
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

    void fileTickedDuringRunOpensNothing()
    {
        Rig rig;
        rig.run.setFileTicked(false);
        rig.run.setRun(true);
        rig.run.setFileTicked(true);
        QVERIFY(!rig.file.isOpen());
        rig.run.setRun(false);
        QCOMPARE(rig.files(), QStringList{});
    }

    void badFolder_data()
    {
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("title");
        QTest::newRow("default caption") << QString() << "Tallyscope - Oops!";
        QTest::newRow("another caption") << "Bench 2" << "Bench 2 - Oops!";
    }

    void badFolder()
    {
        QFETCH(QString, caption);
        QFETCH(QString, title);
        Rig rig;
        if (!caption.isNull())
            rig.run.setWindowCaption(caption);
        rig.run.setDataFolder(rig.dir.filePath(QStringLiteral("no such folder")));
        rig.run.setFileTicked(true);
        rig.run.setRun(true);

        QCOMPARE(rig.boxes.shown.size(), 1);
        QCOMPARE(rig.boxes.shown[0].text, QStringLiteral("Oops! Bad path for saving the data files!"));
        QCOMPARE(rig.boxes.shown[0].title, title);
        QCOMPARE(rig.boxes.shown[0].buttons, MessageBoxes::Buttons::Ok);
        // The run goes on without a file: started at the instrument, figures cleared.
        QVERIFY(rig.run.isRunning());
        QCOMPARE(rig.sends, QList<QByteArray>{RunOn});
        QCOMPARE(rig.statistics.count(), std::optional<qint64>(0));
        QVERIFY(!rig.file.isOpen());
        QVERIFY(!rig.file.write(QByteArray("R\x01\x02\x03\x04\x05\x06")));

        rig.run.setRun(false);
        QCOMPARE(rig.sends, (QList<QByteArray>{RunOn, RunOff}));
        QCOMPARE(rig.boxes.shown.size(), 1);
        QCOMPARE(QDir(rig.dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{});
    }
};

QTEST_GUILESS_MAIN(TestRunSwitch)
#include "tst_runswitch.moc"
