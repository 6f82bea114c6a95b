/// @brief Cutting the version file, the program list, and the version block read from the file on disk.
#include "tests/update/updatefixtures.h"
#include "update/versionblock.h"
#include "update/versionfile.h"

#include <QCoreApplication>
#include <QtTest>

class TestVersionFile : public QObject {
    Q_OBJECT
private slots:
    // The version line and the comment line, each cut at its first CR LF.
    void versionAndComment_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("marker");
        QTest::addColumn<QString>("version");
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("comment");

        QTest::newRow("plain") << QByteArray("[version]\r\n1.00.0009\r\n") << 1 << "1.00.0009" << 0 << "";
        QTest::newRow("last lines without CR LF") << QByteArray("x[version]\r\n1.00.0009 beta") << 2 << "1.00.0009 beta" << 0 << "";
        QTest::newRow("LF only") << QByteArray("[version]\n1.00.0009\n") << 0 << "" << 0 << "";
        QTest::newRow("marker not followed by CR LF") << QByteArray("[version] 1.0\r\n") << 0 << "" << 0 << "";
        QTest::newRow("case matters") << QByteArray("[Version]\r\n1.0\r\n") << 0 << "" << 0 << "";
        QTest::newRow("first markers count") << QByteArray("[version]\r\n2.0\r\n[comments]\r\nFirst\r\n[version]\r\n3.1\r\n[comments]\r\nSecond\r\n")
                                             << 1 << "2.0" << 0 << "First";
        QTest::newRow("empty comment line") << QByteArray("[version]\r\n2\r\n[comments]\r\n\r\n") << 1 << "2" << 0 << "";
        QTest::newRow("only CR LF behind the comment marker") << QByteArray("[version]\r\n2\r\n[comments]\r\n") << 1 << "2" << 0 << "";
        QTest::newRow("comment without CR LF") << QByteArray("[comments]\r\nlast words") << 0 << "" << 0 << "last words";
        QTest::newRow("ends right after the comment marker") << QByteArray("[version]\r\n2\r\n[comments]") << 1 << "2" << 5 << "";
    }

    void versionAndComment()
    {
        QFETCH(QByteArray, body);
        QFETCH(int, marker);
        QFETCH(QString, version);
        QFETCH(int, error);
        QFETCH(QString, comment);

        const VersionFile file(body);
        QCOMPARE(file.versionMarker(), marker);
        QCOMPARE(file.advertisedVersion(), version);
        QString k = QStringLiteral("stale");
        QCOMPARE(int(file.comment(k)), error);
        QCOMPARE(k, comment);
    }

    void lengthValue_data()
    {
        QTest::addColumn<QString>("header");
        QTest::addColumn<int>("error");
        QTest::addColumn<qint64>("value");

        QTest::newRow("blanks around") << " 16 " << 0 << qint64(16);
        QTest::newRow("missing") << "" << 13 << qint64(0);
        QTest::newRow("not a number") << "14k" << 13 << qint64(0);
        // A negative length, down to the smallest 64-bit number, is no length (and no overflow).
        QTest::newRow("negative") << "-5" << 13 << qint64(0);
        QTest::newRow("smallest 64-bit") << "-9223372036854775808" << 13 << qint64(0);
    }

    void lengthValue()
    {
        QFETCH(QString, header);
        QFETCH(int, error);
        QFETCH(qint64, value);

        qint64 length = -1;
        QCOMPARE(int(VersionFile::lengthValue(header, length)), error);
        if (error == 0)
            QCOMPARE(length, value);
    }

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
