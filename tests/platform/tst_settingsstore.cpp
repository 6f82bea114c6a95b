/// @brief The per-user store: round trips, what reads as not found, that reading creates nothing, and that a store that
/// cannot be written is reported once.
#include "platform/settingsbackend.h"
#include "platform/settingsstore.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QScopeGuard>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <vector>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

/// The value as read, or "<none>" when the store says there is none.
QString read(SettingsStore& store, const QString& group, const QString& key)
{
    QString text = QStringLiteral("stale");
    if (store.ReadRegValue(group, key, text))
        return text;
    return text.isEmpty() ? QStringLiteral("<none>") : QStringLiteral("<stale text kept>");
}

#ifdef Q_OS_WIN
std::wstring wide(const QString& s) { return s.toStdWString(); }

/// What the registry API itself says of a value under HKEY_CURRENT_USER: its type and its text.
struct RegistryValue {
    LONG status = ERROR_FILE_NOT_FOUND;
    DWORD type = REG_NONE;
    QString text;
};

RegistryValue registryValue(const QString& keyPath, const QString& name)
{
    RegistryValue v;
    wchar_t buffer[2048] = {};
    DWORD bytes = sizeof(buffer);
    v.status = RegGetValueW(HKEY_CURRENT_USER, wide(keyPath).c_str(), wide(name).c_str(), RRF_RT_ANY | RRF_NOEXPAND,
                            &v.type, buffer, &bytes);
    if (v.status == ERROR_SUCCESS && (v.type == REG_SZ || v.type == REG_EXPAND_SZ))
        v.text = QString::fromWCharArray(buffer);
    return v;
}

bool registryKeyExists(const QString& keyPath)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, wide(keyPath).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

/// The values of a key, kept while the tests run and put back after: the tests use the panel's
/// own keys, which on a real machine hold the operator's settings.
class RegistrySnapshot {
public:
    explicit RegistrySnapshot(const QString& keyPath) : m_path(keyPath), m_existed(registryKeyExists(keyPath))
    {
        QSettings s(QStringLiteral("HKEY_CURRENT_USER\\") + keyPath, QSettings::NativeFormat);
        for (const QString& k : s.childKeys())
            m_values.insert(k, s.value(k));
    }
    void restore() const
    {
        RegDeleteTreeW(HKEY_CURRENT_USER, wide(m_path).c_str());
        RegDeleteKeyW(HKEY_CURRENT_USER, wide(m_path).c_str());
        if (!m_existed)
            return;
        QSettings s(QStringLiteral("HKEY_CURRENT_USER\\") + m_path, QSettings::NativeFormat);
        for (auto it = m_values.cbegin(); it != m_values.cend(); ++it)
            s.setValue(it.key(), it.value());
    }

private:
    QString m_path;
    bool m_existed;
    QHash<QString, QVariant> m_values;
};
#endif

} // namespace

class TestSettingsStore : public QObject {
    Q_OBJECT
private:
#ifdef Q_OS_WIN
    std::vector<RegistrySnapshot> m_saved;

    static bool panelStoreExists() { return registryKeyExists(settingskeys::Panel); }
#else
    static QString panelFile()
    {
        return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
               + QStringLiteral("/Quorvel/Tallyscope.conf");
    }
    static bool panelStoreExists() { return QFile::exists(panelFile()); }
#endif

private slots:
#ifdef Q_OS_WIN
    void initTestCase()
    {
        m_saved.emplace_back(settingskeys::Panel);
        m_saved.emplace_back(settingskeys::Updater);
    }
    void cleanupTestCase()
    {
        for (const RegistrySnapshot& s : m_saved)
            s.restore();
    }
#endif

    void init()
    {
#ifdef Q_OS_WIN
        for (const QString& key : {settingskeys::Panel, settingskeys::Updater}) {
            RegDeleteTreeW(HKEY_CURRENT_USER, wide(key).c_str());
            RegDeleteKeyW(HKEY_CURRENT_USER, wide(key).c_str());
        }
#else
        // Each test process has its own XDG_CONFIG_HOME; start from an empty store.
        QFile::remove(panelFile());
        QFile::remove(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
                      + QStringLiteral("/Quorvel/Version Updater.conf"));
#endif
    }

    void readingAMissingValueCreatesNothing()
    {
        QSettingsBackend backend;
        SettingsStore store(backend);
        QCOMPARE(read(store, settingskeys::Panel, settingskeys::FilePath), QStringLiteral("<none>"));
        QVERIFY(!panelStoreExists());
        QVERIFY(!store.DeleteRegValue(settingskeys::Panel, settingskeys::FilePath));
        QVERIFY(!panelStoreExists());
    }

    void valuesRoundTripAsText()
    {
        QSettingsBackend backend;
        SettingsStore store(backend);
        QVERIFY(store.WriteRegValue(settingskeys::Panel, settingskeys::Display, QStringLiteral("1")));
        QVERIFY(store.WriteRegValue(settingskeys::Panel, settingskeys::FilePath, QStringLiteral("/home/op/Data")));
        QVERIFY(store.WriteRegValue(settingskeys::Panel, settingskeys::RawData, QStringLiteral("0")));
        QVERIFY(panelStoreExists());

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

#ifdef Q_OS_WIN
    void theRegistryHoldsTextUnderTheKnownKeys()
    {
        // Read back through the registry API, not through the store that wrote them.
        QSettingsBackend backend;
        SettingsStore store(backend);
        QVERIFY(store.WriteRegValue(settingskeys::Panel, settingskeys::FilePath, QStringLiteral("C:\\Data\\")));
        QVERIFY(store.WriteRegValue(settingskeys::Panel, settingskeys::Top, QStringLiteral("1440")));
        QVERIFY(store.WriteRegValue(settingskeys::Updater, QStringLiteral("LastCheck"), QStringLiteral("2026-12-07")));
        const RegistryValue path = registryValue(QStringLiteral("SOFTWARE\\Quorvel\\Tallyscope"),
                                                 QStringLiteral("File path"));
        QCOMPARE(path.status, LONG(ERROR_SUCCESS));
        QCOMPARE(path.type, DWORD(REG_SZ));
        QCOMPARE(path.text, QStringLiteral("C:\\Data\\"));
        const RegistryValue top = registryValue(QStringLiteral("SOFTWARE\\Quorvel\\Tallyscope"), QStringLiteral("Top"));
        QVERIFY(top.type == REG_SZ && top.text == QStringLiteral("1440"));
        const RegistryValue check = registryValue(QStringLiteral("SOFTWARE\\Quorvel\\Version Updater"),
                                                  QStringLiteral("LastCheck"));
        QVERIFY(check.type == REG_SZ && check.text == QStringLiteral("2026-12-07"));

        // Deleted means gone from the registry; the key and its other values stay.
        QVERIFY(store.DeleteRegValue(settingskeys::Panel, settingskeys::Top));
        QCOMPARE(registryValue(settingskeys::Panel, QStringLiteral("Top")).status, LONG(ERROR_FILE_NOT_FOUND));
        QCOMPARE(registryValue(settingskeys::Panel, QStringLiteral("File path")).text, QStringLiteral("C:\\Data\\"));

        // A number another tool left as a DWORD reads as its text, as the panel always read it.
        HKEY key = nullptr;
        QCOMPARE(RegOpenKeyExW(HKEY_CURRENT_USER, wide(settingskeys::Panel).c_str(), 0, KEY_SET_VALUE, &key),
                 LONG(ERROR_SUCCESS));
        const DWORD left = 256;
        RegSetValueExW(key, L"Left", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&left), sizeof(left));
        RegCloseKey(key);
        QCOMPARE(read(store, settingskeys::Panel, settingskeys::Left), QStringLiteral("256"));
    }
#endif

    void anUnwritableStoreIsReportedOnce()
    {
#ifdef Q_OS_WIN
        QSKIP("the registry has no folder that could be made unwritable");
#endif
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
