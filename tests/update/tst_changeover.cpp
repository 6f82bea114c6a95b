/// @brief The changeover program's own decisions: what it refuses, the digest it checks, and when the old program comes back.
#include "tests/update/updatefixtures.h"
#include "update/updater/changeover.h"

#include <QtTest>
#include <optional>

using namespace updatefixtures;

class TestChangeover : public QObject {
    Q_OBJECT
private slots:
    void changeover_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QByteArray>("logged");
        QTest::addColumn<bool>("replaced");
        QTest::addColumn<bool>("restarted");

        QTest::newRow("name with a path separator") << "../tallyscope" << QByteArray("Refused the program name") << false << false;
        QTest::newRow("digest that is no digest") << "bad digest" << QByteArray("Refused the digest") << false << false;
        QTest::newRow("download is a symbolic link out of the folder") << "link" << QByteArray("symbolic link") << false << false;
        QTest::newRow("nothing downloaded") << "none" << QByteArray("is missing") << false << false;
        QTest::newRow("download changed since the panel checked it") << "changed" << QByteArray("does not match") << false << false;
        QTest::newRow("new program does not start") << "broken" << QByteArray("could not be started") << false << true;
        QTest::newRow("new panel ends without a window") << "ends" << QByteArray("ended before its window") << false << true;
        QTest::newRow("new panel shows no window in time") << "hangs" << QByteArray("showed no window") << false << true;
        QTest::newRow("healthy start") << "healthy" << QByteArray("started healthily") << true << false;
        QTest::newRow("healthy start, called without a digest") << "no digest" << QByteArray("started healthily") << true << false;
    }

    void changeover()
    {
        QFETCH(QString, setup);
        QFETCH(QByteArray, logged);
        QFETCH(bool, replaced);
        QFETCH(bool, restarted);

        ProgramFolder folder;
        QVERIFY(folder.ok);
        const QByteArray oldPanel = readAll(folder.panel());
        // Nothing outside the program folder may change.
        QTemporaryDir outside;
        const QString outsideFile = outside.filePath(QStringLiteral("precious"));
        QVERIFY(writeAll(outsideFile, "outside"));

        const QString downloaded = folder.path(QStringLiteral("Downloaded Update"));
        QByteArray fresh = newPanelScript(setup != u"ends" && setup != u"hangs", setup == u"hangs" ? "exec sleep 20" : "exit 0");
        if (setup == u"broken")
            fresh = QByteArray(3000, '\x7f');
        if (setup == u"link")
            QVERIFY(QFile::link(outsideFile, downloaded));
        else if (setup != u"none")
            QVERIFY(writeAll(downloaded, fresh));

        Changeover::Settings settings;
        settings.folder = folder.dir.path();
        settings.programName = setup == u"../tallyscope" ? setup : QStringLiteral("tallyscope");
        settings.sha256Hex = QString::fromLatin1(QCryptographicHash::hash(fresh, QCryptographicHash::Sha256).toHex());
        if (setup == u"bad digest")
            settings.sha256Hex = QStringLiteral("../../etc");
        else if (setup == u"no digest")
            settings.sha256Hex.clear();
        else if (setup == u"changed")
            QVERIFY(writeAll(downloaded, fresh + "more"));
        settings.healthyStartMs = 1500;

        std::optional<int> exitCode;
        Changeover changeover(settings, [&exitCode](int code) { exitCode = code; });
        changeover.start();
        QTRY_VERIFY_WITH_TIMEOUT(exitCode.has_value(), 10000);

        QCOMPARE(*exitCode, replaced ? 0 : 1);
        const QByteArray log = readAll(folder.path(QStringLiteral("tallyscope-updater.log")));
        QVERIFY2(log.contains(logged), log.constData());
        QCOMPARE(readAll(folder.panel()), replaced ? fresh : oldPanel);
        QVERIFY(!QFile::exists(folder.panel() + QStringLiteral(".old")));
        QCOMPARE(readAll(outsideFile), QByteArray("outside"));
        QTRY_COMPARE_WITH_TIMEOUT(QFile::exists(folder.path(QStringLiteral("restarted"))), restarted, 10000);
    }
};

QTEST_GUILESS_MAIN(TestChangeover)
#include "tst_changeover.moc"
