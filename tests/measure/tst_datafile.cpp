/// @brief Data file: names per locale, unique names within one second, bad folders, byte-exact writing, hand-over,
/// sync, and write failures that end on a whole entry.
#include "measure/datafile.h"
#include "platform/fakeclock.h"

#include <QDir>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <atomic>
#include <cerrno>

#include "common/fulldisk.h"

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

const QString UsName = QStringLiteral("Coincidences 12-6-2026 3;05;09 PM.txt");

QByteArray contents(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

} // namespace

class TestDataFile : public QObject {
    Q_OBJECT

private:
    struct Rig {
        FakeClock clock;
        DataFile file{clock};
        QTemporaryDir dir;
        Rig() { file.setLocale(QLocale(QLocale::English, QLocale::UnitedStates)); }
    };

private slots:
    void fileName_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QDateTime>("when");
        QTest::addColumn<QString>("name");

        const QDateTime afternoon(QDate(2026, 12, 6), QTime(15, 5, 9));
        QTest::newRow("en_US afternoon") << "en_US" << afternoon << UsName;
        QTest::newRow("en_US morning, short month and day")
            << "en_US" << QDateTime(QDate(2026, 1, 2), QTime(9, 0, 7)) << "Coincidences 1-2-2026 9;00;07 AM.txt";
        QTest::newRow("en_US midnight") << "en_US" << QDateTime(QDate(2027, 3, 14), QTime(0, 0, 0))
                                        << "Coincidences 3-14-2027 12;00;00 AM.txt";
        QTest::newRow("en_US, a UTC time shows no zone")
            << "en_US" << QDateTime(QDate(2026, 12, 6), QTime(15, 5, 9), Qt::UTC) << UsName;
        QTest::newRow("en_GB") << "en_GB" << afternoon << "Coincidences 06-12-2026 15;05;09.txt";
        QTest::newRow("de_DE, two-digit year widened")
            << "de_DE" << afternoon << "Coincidences 06.12.2026 15;05;09.txt";
        QTest::newRow("C locale, month name made a number")
            << "C" << afternoon << "Coincidences 6 12 2026 15;05;09.txt";
        QTest::newRow("zh_CN, zone in front dropped") << "zh_CN" << afternoon << "Coincidences 2026-12-6 15;05;09.txt";
    }

    void fileName()
    {
        QFETCH(QString, locale);
        QFETCH(QDateTime, when);
        QFETCH(QString, name);
        QCOMPARE(DataFile::fileName(when, QLocale(locale)), name);
    }

    void joinFolder_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("path");
#ifdef Q_OS_WIN
        // The picker writes native separators; one the operator typed the other way is kept.
        QTest::newRow("drive root") << "C:\\"
                                    << "C:\\x.txt";
        QTest::newRow("drive folder") << "C:\\Data"
                                      << "C:\\Data\\x.txt";
        QTest::newRow("trailing separator kept single") << "C:\\Data\\"
                                                        << "C:\\Data\\x.txt";
        QTest::newRow("forward slash kept") << "C:/Data/"
                                            << "C:/Data/x.txt";
#else
        QTest::newRow("plain folder") << "/data/runs"
                                      << "/data/runs/x.txt";
        QTest::newRow("trailing separator kept single") << "/data/runs/"
                                                        << "/data/runs/x.txt";
        QTest::newRow("root") << "/"
                              << "/x.txt";
#endif
    }

    void joinFolder()
    {
        QFETCH(QString, folder);
        QFETCH(QString, path);
        QCOMPARE(DataFile::joinFolder(folder, QStringLiteral("x.txt")), path);
    }

    void runsInTheSameSecondKeepEveryFile()
    {
        Rig rig;
        QVERIFY(rig.file.open(rig.dir.path()));
        const QString first = rig.file.path();
        QCOMPARE(first, DataFile::joinFolder(rig.dir.path(), UsName));
        QCOMPARE(QFileInfo(first).size(), 0);
        rig.file.write(QByteArray("first\r\n"));
        QVERIFY(rig.file.close());

        QVERIFY(rig.file.open(rig.dir.path()));
        const QString second = rig.file.path();
        rig.file.write(QByteArray("second\r\n"));
        // Opening again while a file is open closes that one first, complete.
        QVERIFY(rig.file.open(rig.dir.path()));
        const QString third = rig.file.path();
        QVERIFY(rig.file.close());

        QCOMPARE(QFileInfo(second).fileName(), QStringLiteral("Coincidences 12-6-2026 3;05;09 PM (2).txt"));
        QCOMPARE(QFileInfo(third).fileName(), QStringLiteral("Coincidences 12-6-2026 3;05;09 PM (3).txt"));
        QCOMPARE(contents(first), QByteArray("first\r\n"));
        QCOMPARE(contents(second), QByteArray("second\r\n"));
        QCOMPARE(QDir(rig.dir.path()).entryList(QDir::Files).size(), 3);
    }

    // The kind is what a script acts on: a full disk is not the folder's fault, a missing
    // folder or a bad name is.
    void badFolder_data()
    {
        QTest::addColumn<QString>("folder"); // relative to the temporary directory; "" = empty text
        QTest::addColumn<FileFailure>("failure");
        QTest::newRow("missing folder") << "missing/deeper" << FileFailure::NotFound;
        QTest::newRow("folder text names a file") << "plain.txt" << FileFailure::NotFound;
        QTest::newRow("empty folder text") << "" << FileFailure::BadName;
#ifdef Q_OS_WIN
        // A component past the system's limit: Windows says the path cannot be walked.
        QTest::newRow("a name too long") << QString(300, u'n') << FileFailure::NotFound;
#else
        QTest::newRow("a name too long") << QString(300, u'n') << FileFailure::BadName;
        // Windows makes links only with privileges (QFile::link makes a shortcut there), and
        // Wine keeps no permissions that could make a folder read-only.
        QTest::newRow("folder is a link to itself") << "loop" << FileFailure::MassStorage;
        QTest::newRow("read-only folder") << "read-only" << FileFailure::MassStorage;
#endif
    }

    void badFolder()
    {
        QFETCH(QString, folder);
        QFETCH(FileFailure, failure);
        Rig rig;
        QFile plain(rig.dir.filePath(QStringLiteral("plain.txt")));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();
#ifndef Q_OS_WIN
        QVERIFY(QFile::link(rig.dir.filePath(QStringLiteral("loop")), rig.dir.filePath(QStringLiteral("loop"))));
#endif
        if (folder == QStringLiteral("read-only")) {
#ifdef Q_OS_UNIX
            if (::geteuid() == 0)
                QSKIP("root writes into a read-only folder");
#endif
            QVERIFY(QDir(rig.dir.path()).mkdir(folder));
            QVERIFY(QFile::setPermissions(rig.dir.filePath(folder), QFile::ReadOwner | QFile::ExeOwner));
        }
        // A good open first: a failed one must not leave its name behind.
        QVERIFY(rig.file.open(rig.dir.path()));
        QVERIFY(rig.file.close());
        QVERIFY(QFile::remove(rig.file.path()));

        const QString text = folder.isEmpty() ? QString() : rig.dir.filePath(folder);
        QVERIFY(!rig.file.open(text));
        QVERIFY(!rig.file.isOpen());
        QVERIFY(!rig.file.errorString().isEmpty());
        QCOMPARE(rig.file.failure(), failure);
        QCOMPARE(rig.file.path(), QString());
        QVERIFY(!rig.file.write(QByteArray("x")));
        QVERIFY(!rig.file.flushToOs());
#ifdef Q_OS_WIN
        QStringList expected{QStringLiteral("plain.txt")};
#else
        QStringList expected{QStringLiteral("loop"), QStringLiteral("plain.txt")};
#endif
        if (folder == QStringLiteral("read-only")) {
            QVERIFY(QDir(rig.dir.filePath(folder)).isEmpty());
            expected.append(folder);
        }
        QCOMPARE(QDir(rig.dir.path()).entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot),
                 expected);
    }

    // In a folder others can write, a link named after the next file must not receive the run.
    void aLinkAtTheNameIsPassedOver()
    {
#ifdef Q_OS_WIN
        QSKIP("a symbolic link needs privileges on Windows; QFile::link makes a shortcut instead");
#endif
        Rig rig;
        const QString victim = rig.dir.filePath(QStringLiteral("victim"));
        QFile v(victim);
        QVERIFY(v.open(QIODevice::WriteOnly));
        v.write("precious");
        v.close();
        const QString planted = rig.dir.filePath(UsName);
        QVERIFY(QFile::link(victim, planted));
        // A dangling one must not be brought to life by creating what it points to.
        const QString nowhere = rig.dir.filePath(QStringLiteral("nowhere"));
        const QString dangling = rig.dir.filePath(QStringLiteral("Coincidences 12-6-2026 3;05;09 PM (2).txt"));
        QVERIFY(QFile::link(nowhere, dangling));

        QVERIFY(rig.file.open(rig.dir.path()));
        QCOMPARE(QFileInfo(rig.file.path()).fileName(), QStringLiteral("Coincidences 12-6-2026 3;05;09 PM (3).txt"));
        QVERIFY(rig.file.write(QByteArray("run\r\n")));
        QVERIFY(rig.file.close());
        QCOMPARE(contents(rig.file.path()), QByteArray("run\r\n"));
        QCOMPARE(contents(victim), QByteArray("precious"));
        QVERIFY(!QFileInfo::exists(nowhere));
        QCOMPARE(QFileInfo(planted).symLinkTarget(), victim);
        QCOMPARE(QFileInfo(dangling).symLinkTarget(), nowhere);
    }

    void bytesAreWrittenExactly()
    {
        Rig rig;
        QByteArray all;
        for (int i = 0; i < 256; ++i)
            all.append(char(i));
        QVERIFY(rig.file.open(rig.dir.path()));
        const QByteArray record("R\x05\xDC\x00\x0D\x0A\x1A", 7);
        QVERIFY(rig.file.write(record.constData(), record.size()));
        // What has been decoded is in the OS's hands after flushToOs(): another reader sees it
        // while the file is still open, so a crash of the program cannot lose it.
        QVERIFY(rig.file.flushToOs());
        QCOMPARE(contents(rig.file.path()), record);
        QVERIFY(rig.file.write(all));
        QVERIFY(rig.file.writeLine(QStringLiteral("     1234")));
        QVERIFY(rig.file.writeLine(QStringLiteral("      -56")));
        // More than the memory buffer holds in one go.
        const QByteArray big(DataFile::MaxBuffered * 2 + 3, 'z');
        QVERIFY(rig.file.write(big));
        const QString path = rig.file.path();
        QVERIFY(rig.file.close());
        QCOMPARE(contents(path), record + all + "     1234\r\n      -56\r\n" + big);
    }

    void syncAtMostFiveSecondsAfterHandOver()
    {
        Rig rig;
        QVERIFY(rig.file.open(rig.dir.path()));
        QVERIFY(!rig.file.syncPending());
        const auto handOver = [&rig](double after, const char* bytes) {
            rig.clock.seconds += after;
            rig.file.write(QByteArray(bytes));
            rig.file.flushToOs();
            return rig.file.syncPending();
        };
        QVERIFY(handOver(1, "a"));
        QVERIFY(rig.file.syncTimer().isActive());
        QVERIFY(rig.file.syncTimer().interval() <= 4000);
        QVERIFY(handOver(3.5, "b"));
        // Five seconds after the last sync (the open), the next hand-over syncs, beside the
        // event loop, which hears when it is done.
        QVERIFY(!handOver(0.5, "c"));
        QVERIFY(!rig.file.syncTimer().isActive());
        QVERIFY(rig.file.syncRunning());
        QTRY_VERIFY(!rig.file.syncRunning());

        // When arrivals stop, the timer syncs what was handed over last.
        QVERIFY(handOver(1, "d"));
        rig.clock.seconds += 2;
        rig.file.syncTick();
        QVERIFY(rig.file.syncPending());
        rig.clock.seconds += 2;
        rig.file.syncTick();
        QVERIFY(!rig.file.syncPending());
        QCOMPARE(contents(rig.file.path()), QByteArray("abcd"));
    }

    // A run stop must not wait for the disk: close() hands everything over and returns, and
    // the sync follows beside the event loop.
    void theClosingSyncRunsBesideTheEventLoop()
    {
        Rig rig;
        QSemaphore gate;
        std::atomic<bool> synced{false};
        rig.file.setSyncFunction([&gate, &synced](NoFollowFile& f) {
            // Bounded: a close() that waited for this fails the test instead of hanging it.
            const bool released = gate.tryAcquire(1, 5000);
            const bool ok = f.sync();
            synced = true;
            return released && ok ? 0 : EIO;
        });
        QVERIFY(rig.file.open(rig.dir.path()));
        QVERIFY(rig.file.write(QByteArray("last entry\r\n")));
        QVERIFY(rig.file.close());
        QVERIFY(!synced);
        QCOMPARE(contents(rig.file.path()), QByteArray("last entry\r\n"));
        gate.release();
        QVERIFY(DataFile::waitForPendingSyncs(10000).isEmpty());
        QVERIFY(synced);
    }

    // Told with the closed file's name and kind, while the next file, already open, stays whole.
    void aFailedClosingSyncIsToldForItsFile()
    {
        Rig rig;
        QSignalSpy late(&rig.file, &DataFile::closedFileSyncFailed);
        QSignalSpy failed(&rig.file, &DataFile::writeFailed);
        rig.file.setSyncFunction([](NoFollowFile&) { return ENOSPC; });
        QVERIFY(rig.file.open(rig.dir.path()));
        const QString first = rig.file.path();
        QVERIFY(rig.file.write(QByteArray("a\r\n")));
        QVERIFY(rig.file.open(rig.dir.path()));
        rig.file.setSyncFunction({});
        QVERIFY(rig.file.write(QByteArray("b\r\n")));
        QVERIFY(rig.file.flushToOs());

        QTRY_COMPARE(late.size(), 1);
        QCOMPARE(late.at(0).at(0).toString(), first);
        QCOMPARE(late.at(0).at(1).toString(), QStringLiteral("Write failed: ") + NoFollowFile::errorText(ENOSPC));
        QCOMPARE(late.at(0).at(2).value<FileFailure>(), FileFailure::MediaFull);
        QCOMPARE(failed.size(), 0);
        QVERIFY(rig.file.isOpen());
        QCOMPARE(rig.file.failure(), FileFailure::None);
        QVERIFY(rig.file.close());
        QVERIFY(DataFile::waitForPendingSyncs(10000).isEmpty());
        QCOMPARE(late.size(), 1);
    }

    // A file whose owner is gone before its sync fails: the mains hear of it, once.
    void aFailureNobodyHeardIsLeftForTheMains()
    {
        QTemporaryDir dir;
        FakeClock clock;
        QString path;
        {
            DataFile file(clock);
            file.setSyncFunction([](NoFollowFile&) {
                QThread::msleep(300);
                return EIO;
            });
            QVERIFY(file.open(dir.path()));
            QVERIFY(file.write(QByteArray("x\r\n")));
            path = file.path();
        }
        const QList<DataFile::SyncFailure> failures = DataFile::waitForPendingSyncs(10000);
        QCOMPARE(failures.size(), 1);
        QCOMPARE(failures.at(0).path, path);
        QCOMPARE(failures.at(0).description, QStringLiteral("Write failed: ") + NoFollowFile::errorText(EIO));
        QCOMPARE(failures.at(0).failure, FileFailure::MassStorage);
        QVERIFY(DataFile::waitForPendingSyncs(0).isEmpty());
    }

    // A full disk takes what fits, often part of an entry: the file must end on the last whole
    // entry and the count must say how many there are, whatever the entries look like.
    void aFailedWriteLeavesWholeEntries_data()
    {
        QTest::addColumn<QByteArrayList>("entries");
        QTest::addColumn<int>("perHandOver"); // entries per flushToOs(); 0: only the full buffer hands over
        QTest::addColumn<int>("perBlock");    // lines per writeLines(); below 0, records per writeRecords(); 0: write()
        QByteArrayList verbose, raw;
        for (int i = 0; i < 400; ++i)
            verbose.append(QByteArray::number(i * 37) + " A=1500 B=1600 Offset=" + QByteArray::number(i % 256)
                           + " OR/A=0\r\n");
        for (int i = 0; i < 10000; ++i)
            raw.append(QByteArray("R\x05\xdc\x06\x40", 5) + char(i) + '\0');
        QByteArrayList plain;
        for (int i = 0; i < 20000; ++i)
            plain.append(QByteArray::number(i * 7919 - 70000).rightJustified(9, ' ') + "\r\n");
        QTest::newRow("verbose lines, after an arrival") << verbose << 7 << 0;
        QTest::newRow("raw records, on a full memory buffer") << raw << 0 << 0;
        QTest::newRow("verbose lines in blocks, after an arrival") << verbose << 21 << 3;
        QTest::newRow("plain lines in blocks, on a full memory buffer") << plain << 0 << 1000;
        // Raw bytes hold line feeds of their own: a torn block is cut by record size, not at an LF.
        QTest::newRow("raw records in blocks, on a full memory buffer") << raw << 0 << -500;
        QTest::newRow("raw records in blocks, after an arrival") << raw << 300 << -100;
        // Blocks larger than the memory buffer go to the file from where they are.
        QTest::newRow("plain lines in blocks past the buffer") << plain << 0 << 7000;
        QTest::newRow("raw records in one block past the buffer") << raw << 0 << -10000;
    }

    void aFailedWriteLeavesWholeEntries()
    {
#ifndef Q_OS_UNIX
        QSKIP("needs a per-process file size limit to make writes fail");
#else
        QFETCH(QByteArrayList, entries);
        QFETCH(int, perHandOver);
        QFETCH(int, perBlock);
        Rig rig;
        QSignalSpy failed(&rig.file, &DataFile::writeFailed);
        QVERIFY(rig.file.open(rig.dir.path()));
        qsizetype accepted = 0;
        qsizetype offered = 0; // the accepted ones and the block that failed
        {
            // 1000 bytes: no entry size here divides it, so the failing write tears an entry.
            const FileSizeLimit limit(1000);
            QVERIFY(limit.active());
            const qsizetype step = std::max(std::abs(perBlock), 1);
            for (qsizetype i = 0; i + step <= entries.size(); i += step) {
                const QByteArray block = entries.mid(i, step).join();
                offered = i + step;
                const bool written = perBlock > 0   ? rig.file.writeLines(block.constData(), block.size(), step)
                                     : perBlock < 0 ? rig.file.writeRecords(block.constData(), block.size(), 7)
                                                    : rig.file.write(block);
                if (!written)
                    break;
                accepted += step;
                if (perHandOver > 0 && accepted % perHandOver == 0 && !rig.file.flushToOs())
                    break;
            }
            QVERIFY(!rig.file.write(QByteArray("y")));
            QVERIFY(!rig.file.flushToOs());
            rig.file.close();
        }
        QCOMPARE(failed.size(), 1);
        QCOMPARE(rig.file.failure(), FileFailure::MediaFull);
        const QString description = failed.at(0).at(0).toString();
        QVERIFY2(description.startsWith(QStringLiteral("Write failed: ")) && description.size() > 14,
                 qPrintable(description));
        QVERIFY(!rig.file.isOpen());

        const auto inFile = qsizetype(rig.file.entriesInFile());
        QVERIFY(inFile > 0 && inFile < offered);
        QByteArray whole;
        for (qsizetype i = 0; i < inFile; ++i)
            whole += entries.at(i);
        QCOMPARE(contents(rig.file.path()), whole);
#endif
    }

    void defaultFolderIsDocumentsOrHome()
    {
        QTemporaryDir home;
        const QByteArray savedHome = qgetenv("HOME");
        const QByteArray savedConfig = qgetenv("XDG_CONFIG_HOME");
        qputenv("HOME", QFile::encodeName(home.path()));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath(QStringLiteral("config"))));

        const QString withoutDocuments = DataFile::defaultFolder();
        QVERIFY(QDir(home.path()).mkdir(QStringLiteral("Documents")));
        const QString withDocuments = DataFile::defaultFolder();

        qputenv("HOME", savedHome);
        qputenv("XDG_CONFIG_HOME", savedConfig);
#ifdef Q_OS_LINUX
        QCOMPARE(withoutDocuments, QDir(home.path()).absolutePath());
        QCOMPARE(withDocuments, home.filePath(QStringLiteral("Documents")));
#else
        QVERIFY(!withDocuments.contains(u'\\'));
#endif
    }
};

QTEST_GUILESS_MAIN(TestDataFile)
#include "tst_datafile.moc"
