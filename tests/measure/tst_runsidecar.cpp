/// @brief RunSidecar: its name beside the data file, the JSON read back as written, saves that replace the file whole
/// or not at all (also on a full disk), and names held by a link, FIFO or folder left alone.
#include "measure/runsidecar.h"

#include "common/fulldisk.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QTemporaryDir>
#include <QTest>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace {

RunSidecar::Description sample()
{
    RunSidecar::Description d;
    d.programVersion = QStringLiteral("1.0.8");
    d.start = QDateTime(QDate(2026, 12, 6), QTime(15, 5, 9, 250), Qt::OffsetFromUTC, 3600);
    d.address = QStringLiteral("127.0.0.1");
    d.port = 40000;
    d.fpgaVersion = QStringLiteral("FPGA: 1.2.3");
    d.moduleVersion = QStringLiteral("Rabbit: RCM 4.2.1");
    d.locale = QStringLiteral("de_DE");
    d.options = {false, true, true, false};
    const QLocale german(d.locale);
    d.calibration = Calibration::fromTexts({QStringLiteral("498"), QStringLiteral("3601"), QStringLiteral("512"),
                                            QStringLiteral("3589")},
                                           QStringLiteral("9,47"), QStringLiteral("9.49"), german);
    RunSidecar::CalibrationChange change;
    change.time = d.start.addSecs(30);
    change.reason = QStringLiteral("tau");
    change.entriesBefore = 12345;
    change.calibration = d.calibration;
    change.calibration.setTau(Calibration::B, 9.6);
    d.calibrationChanges = {change};
    d.dacACode = 2000;
    d.dacAEntry = QStringLiteral("2000.4");
    d.registers = {{0, QStringLiteral("Coincidence A"), 17}, {1, QStringLiteral("Coincidence B"), std::nullopt}};
    d.recordsDecoded = 9'007'199'254'740'000ull;
    d.entriesWritten = 12346;
    d.linkHealth.recordsDecoded = 7;
    d.linkHealth.bytes = 8;
    d.linkHealth.rejectedByGate = 9;
    d.linkHealth.rejectedByPlausibility = 10;
    d.linkHealth.bytesDroppedByResync = 11;
    d.linkHealth.errors = 12;
    d.linkHealth.reconnects = 13;
    d.dataFileError = QStringLiteral("Write failed: No space left on device");
    return d;
}

} // namespace

class TestRunSidecar : public QObject {
    Q_OBJECT
private slots:
    void pathSitsBesideTheDataFile_data()
    {
        QTest::addColumn<QString>("dataFile");
        QTest::addColumn<QString>("sidecar");
        QTest::newRow("plain") << QStringLiteral("/d/Coincidences 12-6-2026 3;05;09 PM.txt")
                               << QStringLiteral("/d/Coincidences 12-6-2026 3;05;09 PM.json");
        QTest::newRow("no .txt") << QStringLiteral("/d/run.dat") << QStringLiteral("/d/run.dat.json");
        QTest::newRow(".txt inside") << QStringLiteral("/d.txt/a.txt.bak") << QStringLiteral("/d.txt/a.txt.bak.json");
    }
    void pathSitsBesideTheDataFile()
    {
        QFETCH(QString, dataFile);
        QFETCH(QString, sidecar);
        QCOMPARE(RunSidecar::pathFor(dataFile), sidecar);
    }

    void jsonReadsBackAsWritten()
    {
        RunSidecar::Description d = sample();
        d.stop = d.start.addSecs(61);
        d.complete = true;
        d.dataFileName = QStringLiteral("Coincidences x.txt");
        const QByteArray json = RunSidecar::toJson(d);

        // Times carry their offset, so the file says when the run was wherever it is read.
        const QJsonObject root = QJsonDocument::fromJson(json).object();
        QCOMPARE(root.value(QStringLiteral("start")).toString(), QStringLiteral("2026-12-06T15:05:09.250+01:00"));
        QCOMPARE(root.value(QStringLiteral("dac")).toObject().value(QStringLiteral("aCode")).toInt(), 2000);
        // The calibration as texts every reader knows: the cells as the panel shows them, never
        // grouped, and a Tau typed with the German comma in the spelling an untouched panel has.
        QStringList texts;
        const QJsonObject calibration = root.value(QStringLiteral("calibration")).toObject();
        for (const char* key : {"aLow", "aHigh", "bLow", "bHigh", "tauA", "tauB"})
            texts.append(calibration.value(QLatin1String(key)).toString());
        QCOMPARE(texts, (QStringList{"498", "3601", "512", "3589", "9.47", "9.49"}));

        // Read back and written again, every field must come out as it went in.
        QString why;
        const auto back = RunSidecar::fromJson(json, &why);
        QVERIFY2(back, qPrintable(why));
        QCOMPARE(RunSidecar::toJson(*back), json);
        QCOMPARE(back->start, d.start);
        QCOMPARE(back->recordsDecoded, d.recordsDecoded);
        // A plain run has no acquisition key at all; a bounded one keeps its bounds and its
        // count of records after the stop.
        QVERIFY(!root.contains(QStringLiteral("acquisition")));
        d.acquisition = RunSidecar::Acquisition{0, 10, 7};
        const auto bounded = RunSidecar::fromJson(RunSidecar::toJson(d));
        QVERIFY(bounded && bounded->acquisition);
        QCOMPARE(*bounded->acquisition, *d.acquisition);
        const QJsonObject acquisition =
            QJsonDocument::fromJson(RunSidecar::toJson(d)).object().value(QStringLiteral("acquisition")).toObject();
        QVERIFY(acquisition.value(QStringLiteral("records")).isNull());
        QCOMPARE(acquisition.value(QStringLiteral("seconds")).toDouble(), 0.01);
    }

    void foreignOrIncompleteJsonIsRefused_data()
    {
        QTest::addColumn<QByteArray>("json");
        QByteArray good = RunSidecar::toJson(sample());
        QTest::newRow("not JSON") << QByteArray("R\x05\xdc");
        QTest::newRow("another kind") << QByteArray(good).replace("Tallyscope run", "Something else");
        QTest::newRow("newer format") << QByteArray(good).replace("\"formatVersion\": 1", "\"formatVersion\": 2");
        QTest::newRow("cell missing") << QByteArray(good).replace("\"aHigh\"", "\"aHighX\"");
        QTest::newRow("tau a number") << QByteArray(good).replace("\"tauB\": \"9.49\"", "\"tauB\": 9.49");
    }
    void foreignOrIncompleteJsonIsRefused()
    {
        QFETCH(QByteArray, json);
        QString why;
        QVERIFY(!RunSidecar::fromJson(json, &why));
        QVERIFY(!why.isEmpty());
    }

    void savesReplaceTheFileWhole()
    {
        QTemporaryDir dir;
        const QString dataFile = dir.filePath(QStringLiteral("Coincidences a.txt"));
        RunSidecar sidecar;
        QVERIFY(!sidecar.save()); // nothing begun
        QVERIFY(sidecar.begin(dataFile, sample()));
        QVERIFY(sidecar.isActive());
        QCOMPARE(sidecar.path(), dir.filePath(QStringLiteral("Coincidences a.json")));

        const auto read = [&] {
            QFile f(sidecar.path());
            return f.open(QIODevice::ReadOnly) ? RunSidecar::fromJson(f.readAll()) : std::nullopt;
        };
        auto onDisk = read();
        QVERIFY(onDisk);
        QVERIFY(!onDisk->complete);
        QVERIFY(!onDisk->stop.isValid());
        QCOMPARE(onDisk->dataFileName, QStringLiteral("Coincidences a.txt"));

        sidecar.description().entriesWritten = 99;
        QVERIFY(sidecar.finish(sample().start.addSecs(5)));
        QVERIFY(!sidecar.isActive());
        onDisk = read();
        QVERIFY(onDisk);
        QVERIFY(onDisk->complete);
        QCOMPARE(onDisk->entriesWritten, 99ull);
        QCOMPARE(onDisk->stop, sample().start.addSecs(5));
        // Only the sidecar itself is left: no temporary file beside it.
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("Coincidences a.json")});

        // A sidecar that cannot be written says why.
        RunSidecar broken;
        QVERIFY(!broken.begin(dir.filePath(QStringLiteral("missing/b.txt")), sample()));
        QVERIFY(!broken.errorString().isEmpty());
    }

#ifdef Q_OS_UNIX
    // A script may name a folder others can write, such as /tmp, where a local user can plant
    // something at the next sidecar's name: it is refused, left as it stands, and reported.
    void whatStandsAtTheNameIsLeftAlone_data()
    {
        QTest::addColumn<QString>("atName");
        QTest::addColumn<bool>("betweenSaves"); // planted after a good save, rather than before the first
        QTest::newRow("link, planted before the run") << "link" << false;
        QTest::newRow("link, swapped in between two saves") << "link" << true;
        QTest::newRow("FIFO") << "fifo" << false;
        QTest::newRow("folder, swapped in between two saves") << "folder" << true;
    }
    void whatStandsAtTheNameIsLeftAlone()
    {
        QFETCH(QString, atName);
        QFETCH(bool, betweenSaves);
        QTemporaryDir dir;
        // Larger than a sidecar, so that a trim through the link would show.
        const QByteArray victimBytes = QByteArray("someone else's\n").repeated(4096);
        const QString victim = dir.filePath(QStringLiteral("victim"));
        {
            QFile f(victim);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(victimBytes);
        }
        const QString json = dir.filePath(QStringLiteral("run.json"));
        const auto plant = [&] {
            if (atName == QStringLiteral("link"))
                return QFile::link(victim, json);
            if (atName == QStringLiteral("fifo"))
                return ::mkfifo(QFile::encodeName(json).constData(), 0600) == 0;
            return QDir(dir.path()).mkdir(QStringLiteral("run.json"));
        };
        RunSidecar sidecar;
        if (betweenSaves) {
            QVERIFY(sidecar.begin(dir.filePath(QStringLiteral("run.txt")), sample()));
            QVERIFY(QFile::remove(json));
            QVERIFY(plant());
            QVERIFY(!sidecar.save());
        } else {
            QVERIFY(plant());
            QVERIFY(!sidecar.begin(dir.filePath(QStringLiteral("run.txt")), sample()));
        }
        QVERIFY2(sidecar.errorString().contains(QStringLiteral("is not a regular file; not replaced")),
                 qPrintable(sidecar.errorString()));
        QCOMPARE(sidecar.failure(), FileFailure::MassStorage);
        QVERIFY(!sidecar.finish(sample().start.addSecs(1)));

        QFile v(victim);
        QVERIFY(v.open(QIODevice::ReadOnly));
        QCOMPARE(v.readAll(), victimBytes);
        const QFileInfo at(json);
        if (atName == QStringLiteral("link"))
            QCOMPARE(at.symLinkTarget(), victim);
        else if (atName == QStringLiteral("folder"))
            QVERIFY(at.isDir() && QDir(json).isEmpty());
        else
            QVERIFY(!at.isFile() && !at.isDir() && at.exists());
        // No new copy left behind.
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot),
                 (QStringList{QStringLiteral("run.json"), QStringLiteral("victim")}));
    }
#endif

    void aFailedSaveKeepsTheLastGoodSidecar()
    {
#ifndef Q_OS_UNIX
        QSKIP("needs a per-process file size limit to make writes fail");
#else
        QTemporaryDir dir;
        RunSidecar sidecar;
        QVERIFY(sidecar.begin(dir.filePath(QStringLiteral("a.txt")), sample()));
        const auto onDisk = [&] {
            QFile f(sidecar.path());
            return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        };
        const QByteArray good = onDisk();
        sidecar.description().entriesWritten = 5;
        bool saved = true;
        {
            // Half the sidecar fits: the new one is torn where it was being written.
            const FileSizeLimit limit(rlim_t(good.size() / 2));
            QVERIFY(limit.active());
            saved = sidecar.save();
        }
        QVERIFY(!saved);
        QVERIFY(!sidecar.errorString().isEmpty());
        QCOMPARE(onDisk(), good);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("a.json")});
        // With room again the next save goes through.
        QVERIFY(sidecar.save());
        QCOMPARE(RunSidecar::fromJson(onDisk())->entriesWritten, 5ull);
#endif
    }
};

QTEST_APPLESS_MAIN(TestRunSidecar)
#include "tst_runsidecar.moc"
