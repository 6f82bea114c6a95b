/// @brief Whose a program folder is: the package manager's /usr, Windows' Program Files, or the user's own.
#include "platform/installlocation.h"

#include <QTest>

using installlocation::Owner;

class TestInstallLocation : public QObject {
    Q_OBJECT
private slots:
    void owners_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<int>("owner");
#ifdef Q_OS_WIN
        const int all = int(Owner::AllUsers);
        QTest::newRow("Program Files itself") << "C:\\Program Files" << all;
        QTest::newRow("below it") << "C:\\Program Files\\Tallyscope" << all;
        QTest::newRow("forward slashes, other case") << "c:/PROGRAM FILES/Tallyscope/bin" << all;
        QTest::newRow("the 32-bit one") << "C:\\Program Files (x86)\\Tallyscope" << all;
        QTest::newRow("dots that climb out") << "C:\\Program Files\\..\\Users\\op\\Tallyscope" << int(Owner::User);
        QTest::newRow("a name that only begins alike") << "C:\\Program Files Old\\Tallyscope" << int(Owner::User);
        QTest::newRow("the user's programs")
            << "C:\\Users\\op\\AppData\\Local\\Programs\\Tallyscope" << int(Owner::User);
#else
        const int pm = int(Owner::PackageManager);
        QTest::newRow("/usr itself") << "/usr" << pm;
        QTest::newRow("/usr/bin") << "/usr/bin" << pm;
        QTest::newRow("a trailing slash") << "/usr/lib/tallyscope/" << pm;
        QTest::newRow("a name that only begins alike") << "/usrlocal/bin" << int(Owner::User);
        QTest::newRow("dots that climb out") << "/usr/../opt/tallyscope" << int(Owner::User);
        QTest::newRow("the user's own") << "/home/op/tallyscope" << int(Owner::User);
        QTest::newRow("/usr named again lower down") << "/opt/usr/bin" << int(Owner::User);
#endif
    }

    void owners()
    {
#ifdef Q_OS_WIN
        // As Windows sets them, one with the trailing separator some installers leave.
        qputenv("ProgramFiles", "C:\\Program Files");
        qputenv("ProgramFiles(x86)", "C:\\Program Files (x86)\\");
        qputenv("ProgramW6432", "C:\\Program Files");
#endif
        QFETCH(QString, folder);
        QFETCH(int, owner);
        QCOMPARE(int(installlocation::ownerOf(folder)), owner);
    }
};

QTEST_GUILESS_MAIN(TestInstallLocation)
#include "tst_installlocation.moc"
