/// @brief NoFollowFile's reopen: a link, a FIFO, a folder or a second hard link at the name is refused, and what stands
/// there stays as it was.
#include "platform/nofollowfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray VictimBytes = QByteArray("someone else's file\n").repeated(500);

QByteArray contents(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QCOMPARE(f.write(bytes), bytes.size());
}

} // namespace
#endif

class TestNoFollowFile : public QObject {
    Q_OBJECT
private slots:
#ifdef Q_OS_UNIX
    // The reopen is how the sidecar's held room is given back: anything it opened through would
    // be cut to the sidecar's size.
    void reopenTakesOnlyAPlainFileOfItsOwn_data()
    {
        QTest::addColumn<QString>("atName");
        QTest::newRow("link to a file") << "link";
        QTest::newRow("dangling link") << "dangling";
        QTest::newRow("FIFO") << "fifo";
        QTest::newRow("folder") << "folder";
        QTest::newRow("second hard link to a file") << "hardlink";
    }
    void reopenTakesOnlyAPlainFileOfItsOwn()
    {
        QFETCH(QString, atName);
        QTemporaryDir dir;
        const QString victim = dir.filePath(QStringLiteral("victim"));
        const QString name = dir.filePath(QStringLiteral("name.json"));
        writeFile(victim, VictimBytes);
        const QByteArray nameBytes = QFile::encodeName(name);
        if (atName == QStringLiteral("link"))
            QVERIFY(QFile::link(victim, name));
        else if (atName == QStringLiteral("dangling"))
            QVERIFY(QFile::link(dir.filePath(QStringLiteral("not yet")), name));
        else if (atName == QStringLiteral("fifo"))
            QCOMPARE(::mkfifo(nameBytes.constData(), 0600), 0);
        else if (atName == QStringLiteral("folder"))
            QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("name.json")));
        else
            QCOMPARE(::link(QFile::encodeName(victim).constData(), nameBytes.constData()), 0);

        NoFollowFile file;
        QVERIFY(!file.openExisting(name));
        QVERIFY(!file.isOpen());
        QCOMPARE(file.failure(), FileFailure::MassStorage);
        QVERIFY(!file.errorString().isEmpty());
        QVERIFY(!file.resize(0));
        QCOMPARE(contents(victim), VictimBytes);
        QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("not yet"))));

        // The same calls on a plain file of its own do what they say.
        const QString plain = dir.filePath(QStringLiteral("plain"));
        writeFile(plain, VictimBytes);
        QVERIFY2(file.openExisting(plain), qPrintable(file.errorString()));
        QVERIFY(file.resize(7));
        QVERIFY(file.close());
        QCOMPARE(contents(plain), VictimBytes.left(7));
    }
#endif
};

QTEST_APPLESS_MAIN(TestNoFollowFile)
#include "tst_nofollowfile.moc"
