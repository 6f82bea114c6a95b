/// @brief The per-user store: round trips, what reads as not found, that reading creates nothing, and that a store that cannot be written is reported once.
#include "platform/settingsbackend.h"
#include "platform/settingsstore.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

class TestSettingsStore : public QObject {
    Q_OBJECT
private:
    QString panelFile() const
    {
        return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/Quorvel/Tallyscope.conf");
    }

private slots:
    void init()
    {
        // Each test process has its own XDG_CONFIG_HOME; start from an empty store.
        QFile::remove(panelFile());
        QFile::remove(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
                      + QStringLiteral("/Quorvel/Version Updater.conf"));
    }

    void readingAMissingValueCreatesNothing()
    {
        QSettingsBackend backend;
        SettingsStore store(backend);
        QString text = QStringLiteral("left over");
        QVERIFY(!store.ReadRegValue(settingskeys::Panel, settingskeys::FilePath, text));
        QCOMPARE(text, QString());
        QVERIFY(!QFile::exists(panelFile()));
        QVERIFY(!store.DeleteRegValue(settingskeys::Panel, settingskeys::FilePath));
        QVERIFY(!QFile::exists(panelFile()));
    }

    void valuesRoundTripAsText()
    {
        QSettingsBackend backend;
        SettingsStore store(backend);
        QVERIFY(store.WriteRegValue(settingskeys::Panel, settingskeys::Display, QStringLiteral("1")));
        QVERIFY(store.WriteRegValue(settingskeys::Panel, settingskeys::FilePath, QStringLiteral("/home/op/Data")));
        QVERIFY(store.WriteRegValue(settingskeys::Panel, settingskeys::RawData, QStringLiteral("0")));
        QVERIFY(QFile::exists(panelFile()));

        // A fresh store object reads what the other one wrote: nothing is cached in between.
        QSettingsBackend other;
        SettingsStore again(other);
        QString text;
        QVERIFY(again.ReadRegValue(settingskeys::Panel, settingskeys::Display, text));
        QCOMPARE(text, QStringLiteral("1"));
        QVERIFY(again.ReadRegValue(settingskeys::Panel, settingskeys::FilePath, text));
        QCOMPARE(text, QStringLiteral("/home/op/Data"));
        QVERIFY(again.ReadRegValue(settingskeys::Panel, settingskeys::RawData, text));
        QCOMPARE(text, QStringLiteral("0"));

        // The updater's values live apart from the panel's.
        QVERIFY(!again.ReadRegValue(settingskeys::Updater, settingskeys::Display, text));
        QVERIFY(again.WriteRegValue(settingskeys::Updater, QStringLiteral("LastCheck"), QStringLiteral("2026-12-06")));
        QVERIFY(again.ReadRegValue(settingskeys::Updater, QStringLiteral("LastCheck"), text));
        QVERIFY(!again.ReadRegValue(settingskeys::Panel, QStringLiteral("LastCheck"), text));

        QVERIFY(again.DeleteRegValue(settingskeys::Panel, settingskeys::Display));
        QVERIFY(!again.ReadRegValue(settingskeys::Panel, settingskeys::Display, text));
        QVERIFY(again.ReadRegValue(settingskeys::Panel, settingskeys::FilePath, text));
    }

    void foreignValuesReadAsTheRegistryWould()
    {
        MemorySettingsBackend backend;
        SettingsStore store(backend);
        QString text;
        backend.setRaw(settingskeys::Panel, QStringLiteral("Num"), 256);
        QVERIFY(store.ReadRegValue(settingskeys::Panel, QStringLiteral("Num"), text));
        QCOMPARE(text, QStringLiteral("256"));
        backend.setRaw(settingskeys::Panel, QStringLiteral("AllBits"), 0xFFFFFFFFu);
        QVERIFY(store.ReadRegValue(settingskeys::Panel, QStringLiteral("AllBits"), text));
        QCOMPARE(text, QStringLiteral("-1"));
        backend.setRaw(settingskeys::Panel, QStringLiteral("Nul"), QStringLiteral("1") + QChar(0));
        QVERIFY(store.ReadRegValue(settingskeys::Panel, QStringLiteral("Nul"), text));
        QCOMPARE(text, QStringLiteral("1"));

        backend.setRaw(settingskeys::Panel, QStringLiteral("Edge"), QString(1024, u'x'));
        QVERIFY(store.ReadRegValue(settingskeys::Panel, QStringLiteral("Edge"), text));
        backend.setRaw(settingskeys::Panel, QStringLiteral("Long"), QString(1025, u'x'));
        text = QStringLiteral("stale");
        QVERIFY(!store.ReadRegValue(settingskeys::Panel, QStringLiteral("Long"), text));
        QCOMPARE(text, QString());
        backend.setRaw(settingskeys::Panel, QStringLiteral("Empty"), QString());
        QVERIFY(!store.ReadRegValue(settingskeys::Panel, QStringLiteral("Empty"), text));
    }

    void anUnwritableStoreIsReportedOnce()
    {
        // A configuration folder below a regular file cannot be made, not even by root.
        QTemporaryDir dir;
        QFile file(dir.filePath(QStringLiteral("file")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.filePath(QStringLiteral("file/config")));
        const auto restorePath = qScopeGuard([] {
            QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                               QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation));
        });
        QSettingsBackend backend;
        SettingsStore store(backend);
        QStringList reports;
        store.setFailureReport([&reports](const QString& line) { reports.append(line); });

        // Said before any value is lost, then never again.
        store.checkWritable(settingskeys::Panel);
        QCOMPARE(reports, QStringList{QStringLiteral("Doh! (settings) cannot be saved in ")
                                      + dir.filePath(QStringLiteral("file/config/Quorvel/Tallyscope.conf"))});
        QVERIFY(!store.WriteRegValue(settingskeys::Panel, settingskeys::Top, QStringLiteral("10")));
        QVERIFY(!store.WriteRegValue(settingskeys::Updater, QStringLiteral("LastCheck"), QStringLiteral("2026-12-06")));
        QCOMPARE(reports.size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestSettingsStore)
#include "tst_settingsstore.moc"
