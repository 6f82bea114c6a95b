/// @brief The program list of the version file, and the version block read from the file on disk.
#include "tests/update/updatefixtures.h"
#include "update/versionblock.h"
#include "update/versionfile.h"

#include <QCoreApplication>
#include <QtTest>

class TestVersionFile : public QObject {
    Q_OBJECT
private slots:
    void digests_data()
    {
        QTest::addColumn<QByteArray>("section");
        QTest::addColumn<QString>("name");
        QTest::addColumn<qint64>("size"); // 0: not listed

        const QByteArray hex(64, 'a');
        QTest::newRow("one blank") << "[sha256]\r\n" + hex + " 2000 tallyscope\r\n" << "tallyscope" << qint64(2000);
        QTest::newRow("tabs, binary-mode star") << "[sha256]\r\n" + hex + "\t123456789012345\t*tallyscope" << "tallyscope" << qint64(123456789012345);
        QTest::newRow("upper-case hex, second line")
            << "[sha256]\r\n" + QByteArray(64, 'b') + " 9 other\r\n" + hex.toUpper() + " 3000 tallyscope\r\n" << "tallyscope" << qint64(3000);
        QTest::newRow("other name only") << "[sha256]\r\n" + hex + " 2000 tallyscope-updater\r\n" << "tallyscope" << qint64(0);
        QTest::newRow("no size: the sha256sum form") << "[sha256]\r\n" + hex + "  tallyscope\r\n" << "tallyscope" << qint64(0);
        QTest::newRow("a line without size ends the list")
            << "[sha256]\r\n" + hex + " other\r\n" + hex + " 2000 tallyscope\r\n" << "tallyscope" << qint64(0);
        QTest::newRow("63 digits") << "[sha256]\r\n" + hex.left(63) + " 2000 tallyscope\r\n" << "tallyscope" << qint64(0);
        QTest::newRow("list ends at a blank line") << "[sha256]\r\n\r\n" + hex + " 2000 tallyscope\r\n" << "tallyscope" << qint64(0);
        QTest::newRow("LF-only lines") << "[sha256]\n" + hex + " 2000 tallyscope\n" << "tallyscope" << qint64(0);
    }

    void digests()
    {
        QFETCH(QByteArray, section);
        QFETCH(QString, name);
        QFETCH(qint64, size);

        const auto listed = VersionFile("[version]\r\n2\r\n" + section).listed(name);
        QCOMPARE(listed.has_value(), size > 0);
        if (listed) {
            QCOMPARE(listed->sha256, QByteArray(32, char(0xaa)));
            QCOMPARE(listed->size, size);
        }
    }

    void fileVersion_data()
    {
        QTest::addColumn<QByteArray>("block");
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("version");

        using updatefixtures::versionBlock;
        QTest::newRow("resource layout") << versionBlock(QStringLiteral("1.00.0008")) << 0 << "1.00.0008";
        QTest::newRow("49 characters") << versionBlock(QString(49, u'9')) << 0 << QString(49, u'9');
        QTest::newRow("50 characters: no NUL in reach") << versionBlock(QString(50, u'9')) << 5 << "";
        QTest::newRow("empty block") << QByteArray() << 5 << "";
        QTest::newRow("odd trailing byte ignored") << versionBlock(QStringLiteral("2.1")) + 'x' << 0 << "2.1";
    }

    void fileVersion()
    {
        QFETCH(QByteArray, block);
        QFETCH(int, error);
        QFETCH(QString, version);

        QString r;
        QCOMPARE(int(VersionBlock::fileVersion(block, r)), error);
        QCOMPARE(r, version);
    }

    void versionOfTheFileOnDisk()
    {
        // This test program links the update code, so the build put the version block into it.
        const QByteArray block = VersionBlock::readFromFile(QCoreApplication::applicationFilePath());
        QVERIFY(!block.isEmpty());
        QString version;
        QCOMPARE(VersionBlock::fileVersion(block, version), UpdateError::None);
        QCOMPARE(version, QStringLiteral("%1.%2.%3")
                              .arg(TALLYSCOPE_VERSION_MAJOR)
                              .arg(TALLYSCOPE_VERSION_MINOR, 2, 10, QChar(u'0'))
                              .arg(TALLYSCOPE_VERSION_PATCH, 4, 10, QChar(u'0')));
        QVERIFY(block.startsWith(VersionBlock::embedded().first(48)));

        // A file carrying no block, or none at all.
        QTemporaryFile other;
        QVERIFY(other.open());
        other.write(QByteArray(5000, 'x'));
        other.close();
        QVERIFY(VersionBlock::readFromFile(other.fileName()).isEmpty());
        QVERIFY(VersionBlock::readFromFile(other.fileName() + QStringLiteral(".missing")).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestVersionFile)
#include "tst_versionfile.moc"
