/// @brief Cutting the version file by its "Content-length", the digest list, and the version block read from the file on disk.
#include "tests/update/updatefixtures.h"
#include "update/versionblock.h"
#include "update/versionfile.h"

#include <QCoreApplication>
#include <QtTest>

class TestVersionFile : public QObject {
    Q_OBJECT
private slots:
    void advertisedVersion_data();
    void advertisedVersion();
    void comment_data();
    void comment();
    void digests_data();
    void digests();
    void fileVersion_data();
    void fileVersion();
    void versionOfTheFileOnDisk();
};

void TestVersionFile::advertisedVersion_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("contentLength"); // "=" stands for the body's own size
    QTest::addColumn<int>("marker");
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("version");

    QTest::newRow("plain") << QByteArray("[version]\r\n1.00.0009\r\n") << "=" << 1 << 0 << "1.00.0009";
    QTest::newRow("last line without CR LF") << QByteArray("x[version]\r\n1.00.0009 beta") << "=" << 2 << 0 << "1.00.0009 beta";
    QTest::newRow("LF only") << QByteArray("[version]\n1.00.0009\n") << "=" << 0 << 0 << "";
    QTest::newRow("marker not followed by CR LF") << QByteArray("[version] 1.0\r\n") << "=" << 0 << 0 << "";
    QTest::newRow("case matters") << QByteArray("[Version]\r\n1.0\r\n") << "=" << 0 << 0 << "";
    QTest::newRow("header with blanks") << QByteArray("[version]\r\n2.0\r\n") << " 16 " << 1 << 0 << "2.0";
    QTest::newRow("header larger than the body: all of it")
        << QByteArray("ab[version]\r\n2.0") << "400" << 3 << 0 << "ab[version]";
    QTest::newRow("header shorter: a later line") << QByteArray("[version]\r\n2.0\r\n3.1\r\n") << "16" << 1 << 0 << "3.1";
    QTest::newRow("negative count") << QByteArray("abcd[version]\r\n2.0") << "12" << 5 << 5 << "";
    QTest::newRow("header missing") << QByteArray("[version]\r\n2.0") << "" << 1 << 13 << "";
    QTest::newRow("header not a number") << QByteArray("[version]\r\n2.0") << "14k" << 1 << 13 << "";
    // A negative length, down to the smallest 64-bit number, is no length (and no overflow).
    QTest::newRow("negative header") << QByteArray("[version]\r\n1\r\n") << "-5" << 1 << 13 << "";
    QTest::newRow("smallest 64-bit header") << QByteArray("[version]\r\n1\r\n") << "-9223372036854775808" << 1 << 13 << "";
}

void TestVersionFile::advertisedVersion()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, contentLength);
    QFETCH(int, marker);
    QFETCH(int, error);
    QFETCH(QString, version);

    const VersionFile file(body);
    QCOMPARE(file.versionMarker(), marker);
    if (marker == 0)
        return;
    qint64 length = 0;
    int e = VersionFile::lengthValue(contentLength == u"=" ? QString::number(body.size()) : contentLength, length);
    QString v;
    if (e == 0)
        e = file.advertisedVersion(length, v);
    QCOMPARE(e, error);
    QCOMPARE(v, version);
}

void TestVersionFile::comment_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("comment");

    QTest::newRow("one line used") << QByteArray("[version]\r\n2\r\n[comments]\r\nFirst\r\nSecond\r\n") << 0 << "First";
    QTest::newRow("absent") << QByteArray("[version]\r\n2\r\n") << 0 << "";
    QTest::newRow("empty line") << QByteArray("[version]\r\n2\r\n[comments]\r\n\r\n") << 0 << "";
    QTest::newRow("only CR LF behind it") << QByteArray("[version]\r\n2\r\n[comments]\r\n") << 0 << "";
    QTest::newRow("last line without CR LF") << QByteArray("[comments]\r\nlast words") << 0 << "last words";
    QTest::newRow("ends right after the marker") << QByteArray("[version]\r\n2\r\n[comments]") << 5 << "";
}

void TestVersionFile::comment()
{
    QFETCH(QByteArray, body);
    QFETCH(int, error);
    QFETCH(QString, comment);

    QString k = QStringLiteral("stale");
    QCOMPARE(VersionFile(body).comment(body.size(), k), error);
    QCOMPARE(k, comment);
}

void TestVersionFile::digests_data()
{
    QTest::addColumn<QByteArray>("section");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("found");

    const QByteArray hex(64, 'a');
    QTest::newRow("one blank") << "[sha256]\r\n" + hex + " tallyscope\r\n" << "tallyscope" << true;
    QTest::newRow("sha256sum text mode") << "[sha256]\r\n" + hex + "  tallyscope\r\n" << "tallyscope" << true;
    QTest::newRow("sha256sum binary mode") << "[sha256]\r\n" + hex + " *tallyscope" << "tallyscope" << true;
    QTest::newRow("upper-case hex, second line")
        << "[sha256]\r\n" + QByteArray(64, 'b') + " other\r\n" + hex.toUpper() + " tallyscope\r\n" << "tallyscope" << true;
    QTest::newRow("other name only") << "[sha256]\r\n" + hex + " tallyscope-updater\r\n" << "tallyscope" << false;
    QTest::newRow("63 digits") << "[sha256]\r\n" + hex.left(63) + " tallyscope\r\n" << "tallyscope" << false;
    QTest::newRow("list ends at a blank line") << "[sha256]\r\n\r\n" + hex + " tallyscope\r\n" << "tallyscope" << false;
    QTest::newRow("LF-only lines") << "[sha256]\n" + hex + " tallyscope\n" << "tallyscope" << false;
    QTest::newRow("no marker") << hex + " tallyscope\r\n" << "tallyscope" << false;
}

void TestVersionFile::digests()
{
    QFETCH(QByteArray, section);
    QFETCH(QString, name);
    QFETCH(bool, found);

    const QByteArray digest = VersionFile("[version]\r\n2\r\n" + section).digestFor(name);
    QCOMPARE(digest.isEmpty(), !found);
    if (found)
        QCOMPARE(digest, QByteArray(32, char(0xaa)));
}

void TestVersionFile::fileVersion_data()
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

void TestVersionFile::fileVersion()
{
    QFETCH(QByteArray, block);
    QFETCH(int, error);
    QFETCH(QString, version);

    QString r;
    QCOMPARE(VersionBlock::fileVersion(block, r), error);
    QCOMPARE(r, version);
}

void TestVersionFile::versionOfTheFileOnDisk()
{
    // This test program links the update code, so the build put the version block into it.
    const QByteArray block = VersionBlock::readFromFile(QCoreApplication::applicationFilePath());
    QVERIFY(!block.isEmpty());
    QString version;
    QCOMPARE(VersionBlock::fileVersion(block, version), 0);
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

QTEST_GUILESS_MAIN(TestVersionFile)
#include "tst_versionfile.moc"
