/// @brief The operator's options: the start-up restore rules, the write-back of the switches and the decoder's snapshot
/// of them.
#include "platform/settingsbackend.h"
#include "platform/settingsstore.h"
#include "session/paneloptions.h"

#include <QTest>

class TestPanelOptions : public QObject {
    Q_OBJECT
private slots:
    void restore_data()
    {
        QTest::addColumn<int>("which");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<int>("value");
        QTest::addColumn<bool>("writtenBack");
        QTest::newRow("On Top ticked") << int(PanelOptions::OnTop) << "1" << 1 << true;
        QTest::newRow("Display unticked") << int(PanelOptions::Display) << "0" << 0 << true;
        QTest::newRow("equal to the created value") << int(PanelOptions::Verbose) << "0" << 0 << false;
        QTest::newRow("not a number") << int(PanelOptions::File) << "abc" << 0 << false;
        QTest::newRow("half rounds to even: grayed") << int(PanelOptions::Raw) << "1.5" << 2 << true;
        QTest::newRow("above 2") << int(PanelOptions::Display) << "3" << 1 << false;
        QTest::newRow("negative") << int(PanelOptions::File) << "-1" << 0 << false;
    }
    void restore()
    {
        QFETCH(int, which);
        QFETCH(QString, stored);
        QFETCH(int, value);
        QFETCH(bool, writtenBack);
        MemorySettingsBackend backend;
        SettingsStore store(backend);
        const QString name = PanelOptions::storedName(PanelOptions::Switch(which));
        backend.setRaw(settingskeys::Panel, name, stored);
        PanelOptions o(store);
        o.restore();
        QCOMPARE(o.value(PanelOptions::Switch(which)), value);
        QString text;
        store.ReadRegValue(settingskeys::Panel, name, text);
        QCOMPARE(text, writtenBack ? QString::number(value) : stored);
        QCOMPARE(backend.writeCount(), writtenBack ? 1 : 0);
    }

    void restoreOrderFolderAndAnnounceBeforeWrite()
    {
        MemorySettingsBackend backend;
        SettingsStore store(backend);
        for (const char* name : {"Raw data", "File", "Display", "Verbose", "On Top"})
            backend.setRaw(settingskeys::Panel, QString::fromLatin1(name), QStringLiteral("2"));
        backend.setRaw(settingskeys::Panel, settingskeys::FilePath, QStringLiteral("   /srv/data   "));
        PanelOptions o(store);
        QList<int> order;
        connect(&o, &PanelOptions::valueChanged, this, [&](PanelOptions::Switch s, int) {
            order << s;
            // The window takes its new order before the value is saved.
            QCOMPARE(backend.writeCount(), order.size() - 1);
        });
        o.restore();
        QCOMPARE(order, (QList<int>{PanelOptions::OnTop, PanelOptions::Verbose, PanelOptions::Display,
                                    PanelOptions::File, PanelOptions::Raw}));
        QCOMPARE(o.dataFolder(), QStringLiteral("/srv/data"));
        QCOMPARE(backend.writeCount(), 5); // the folder is its picker's to save
    }

    // What the decoder works with: any value but 0 is on (a grayed box too), each switch its
    // own field, and On Top is none of them.
    void decoderSnapshotFollowsTheSwitches()
    {
        MemorySettingsBackend backend;
        SettingsStore store(backend);
        PanelOptions o(store);
        QList<DataOptions> told;
        connect(&o, &PanelOptions::dataOptionsChanged, this, [&told](const DataOptions& d) { told.append(d); });
        o.setValue(PanelOptions::OnTop, 1);
        o.setValue(PanelOptions::Verbose, 2);
        o.setValue(PanelOptions::Display, 0);
        o.setValue(PanelOptions::File, 1);
        o.setValue(PanelOptions::Raw, 1);
        const auto text = [](const DataOptions& d) {
            return QStringLiteral("display %1 verbose %2 file %3 raw %4")
                .arg(d.display)
                .arg(d.verbose)
                .arg(d.file)
                .arg(d.raw);
        };
        QCOMPARE(told.size(), 4);
        QCOMPARE(text(told.first()), QStringLiteral("display 1 verbose 1 file 0 raw 0"));
        QCOMPARE(text(told.last()), QStringLiteral("display 0 verbose 1 file 1 raw 1"));
        QCOMPARE(text(o.dataOptions()), text(told.last()));
    }
};

QTEST_APPLESS_MAIN(TestPanelOptions)
#include "tst_paneloptions.moc"
