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

namespace {

/// The value as read, or "<none>" when the store says there is none.
QString read(SettingsStore& store, const QString& group, const QString& key)
{
    QString text = QStringLiteral("stale");
    if (store.ReadRegValue(group, key, text))
        return text;
    return text.isEmpty() ? QStringLiteral("<none>") : QStringLiteral("<stale text kept>");
}

} // namespace

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
        QCOMPARE(read(store, settingskeys::Panel, settingskeys::FilePath), QStringLiteral("<none>"));
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
        const auto panel = [&again](const QString& key) { return read(again, settingskeys::Panel, key); };
        QCOMPARE(panel(settingskeys::Display), QStringLiteral("1"));
        QCOMPARE(panel(settingskeys::FilePath), QStringLiteral("/home/op/Data"));
        QCOMPARE(panel(settingskeys::RawData), QStringLiteral("0"));

        // The updater's values live apart from the panel's.
        QCOMPARE(read(again, settingskeys::Updater, settingskeys::Display), QStringLiteral("<none>"));
        QVERIFY(again.WriteRegValue(settingskeys::Updater, QStringLiteral("LastCheck"), QStringLiteral("2026-12-06")));
        QCOMPARE(read(again, settingskeys::Updater, QStringLiteral("LastCheck")), QStringLiteral("2026-12-06"));
        QCOMPARE(panel(QStringLiteral("LastCheck")), QStringLiteral("<none>"));

        QVERIFY(again.DeleteRegValue(settingskeys::Panel, settingskeys::Display));
        QCOMPARE(panel(settingskeys::Display), QStringLiteral("<none>"));
        QCOMPARE(panel(settingskeys::FilePath), QStringLiteral("/home/op/Data"));
    }

    void foreignValuesReadAsTheRegistryWould_data()
    {
        QTest::addColumn<QVariant>("raw");
        QTest::addColumn<QString>("text");
        QTest::newRow("number") << QVariant(256) << "256";
        QTest::newRow("all bits of a DWORD") << QVariant(0xFFFFFFFFu) << "-1";
        QTest::newRow("ends at a NUL") << QVariant(QStringLiteral("1") + QChar(0)) << "1";
        QTest::newRow("1024 characters") << QVariant(QString(1024, u'x')) << QString(1024, u'x');
        QTest::newRow("1025 characters: none") << QVariant(QString(1025, u'x')) << "<none>";
        QTest::newRow("empty: none") << QVariant(QString()) << "<none>";
    }
    void foreignValuesReadAsTheRegistryWould()
    {
        QFETCH(QVariant, raw);
        QFETCH(QString, text);
        MemorySettingsBackend backend;
        SettingsStore store(backend);
        backend.setRaw(settingskeys::Panel, QStringLiteral("Value"), raw);
        QCOMPARE(read(store, settingskeys::Panel, QStringLiteral("Value")), text);
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
