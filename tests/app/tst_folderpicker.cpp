/// @brief The data folder picker and the "..." choice: what is stored, what the field shows, what never changes on cancel.
#include "common/fakes.h"
#include "measure/gui/datafolderchooser.h"
#include "measure/gui/frmbrowsefolders.h"
#include "platform/settingsbackend.h"
#include "platform/settingsstore.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

QListWidget* folderList(frmBrowseFolders& picker)
{
    return picker.findChild<QListWidget*>(QStringLiteral("lstFolders"));
}

/// The row the operator sees under `name`, or -1.
int rowOf(frmBrowseFolders& picker, const QString& name)
{
    QListWidget* list = folderList(picker);
    for (int row = 0; row < list->count(); ++row) {
        if (list->item(row)->text().trimmed() == name)
            return row;
    }
    return -1;
}

void doubleClickEntry(frmBrowseFolders& picker, const QString& name)
{
    QListWidget* list = folderList(picker);
    const int row = rowOf(picker, name);
    if (row < 0)
        return;
    const QPoint at = list->visualItemRect(list->item(row)).center();
    // The widget flavour of mouseDClick sends the second press alone; the view wants the first.
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
}

/// Highlights an entry with the arrow keys, as the operator would, without opening it.
void highlightEntry(frmBrowseFolders& picker, const QString& name)
{
    QListWidget* list = folderList(picker);
    const int row = rowOf(picker, name);
    list->setFocus();
    while (row >= 0 && list->currentRow() < row)
        QTest::keyClick(list, Qt::Key_Down);
}

void click(frmBrowseFolders& picker, const char* button)
{
    QTest::mouseClick(picker.findChild<QPushButton*>(QString::fromLatin1(button)), Qt::LeftButton);
}

std::function<void()> answerModalPicker(const char* button)
{
    return [button] {
        if (auto* picker = qobject_cast<frmBrowseFolders*>(QApplication::activeModalWidget()))
            click(*picker, button);
    };
}

} // namespace

class TestFolderPicker : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_tree;
    QString m_data;
    MemorySettingsBackend m_backend;
    SettingsStore m_store{m_backend};
    FakeMessageBoxes m_boxes;
    QWidget m_mainWindow;

    QString stored() const { return m_backend.read(settingskeys::Panel, settingskeys::FilePath).toString(); }

    /// One "..." press; `script` plays the operator's part on the shown picker.
    std::optional<QString> choose(const QString& fieldText, const std::function<void(frmBrowseFolders&)>& script)
    {
        DataFolderChooser chooser(m_store, &m_boxes, [&script](frmBrowseFolders& picker) {
            picker.show();
            script(picker);
            return picker.result();
        });
        return chooser.cmdPath_Click(fieldText, &m_mainWindow);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_tree.isValid());
        m_data = QDir::cleanPath(m_tree.path() + QStringLiteral("/Data"));
        QVERIFY(QDir().mkpath(m_data + QStringLiteral("/Inner")));
        m_mainWindow.setGeometry(100, 100, 600, 500);
    }

    void init()
    {
        m_backend.setRaw(settingskeys::Panel, settingskeys::FilePath, QStringLiteral("/previous"));
        m_boxes.shown.clear();
    }

    void acceptedFolderIsStoredBareAndShownWithSeparator()
    {
        const int writesBefore = m_backend.writeCount();
        auto field = choose(m_tree.path() + u'/', [](frmBrowseFolders& picker) {
            doubleClickEntry(picker, QStringLiteral("Data"));
            click(picker, "cmdOkay");
        });
        QCOMPARE(field, std::optional<QString>(m_data + u'/'));
        QCOMPARE(stored(), m_data);
        QCOMPARE(m_backend.writeCount(), writesBefore + 1);

        // The root already ends in its separator: stored and shown alike, never doubled.
        field = choose(m_data, [](frmBrowseFolders& picker) {
            doubleClickEntry(picker, QStringLiteral("/"));
            click(picker, "cmdOkay");
        });
        QCOMPARE(field, std::optional<QString>(QStringLiteral("/")));
        QCOMPARE(stored(), QStringLiteral("/"));
    }

    void cancelledChoiceChangesNothing_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("Cancel") << "cancel";
        QTest::newRow("Escape") << "escape";
        QTest::newRow("close button") << "close";
    }

    void cancelledChoiceChangesNothing()
    {
        QFETCH(QString, how);
        const int writesBefore = m_backend.writeCount();
        bool stillShownAfterwards = true;
        const auto field = choose(m_tree.path(), [&](frmBrowseFolders& picker) {
            // Opened a folder first, so a cancel that slipped through as an accept would store it.
            doubleClickEntry(picker, QStringLiteral("Data"));
            if (how == QLatin1String("cancel"))
                click(picker, "cmdCancel");
            else if (how == QLatin1String("escape"))
                QTest::keyClick(folderList(picker), Qt::Key_Escape);
            else
                picker.close();
            stillShownAfterwards = picker.isVisible();
        });
        QVERIFY(!stillShownAfterwards);
        QCOMPARE(field, std::nullopt);
        QCOMPARE(stored(), QStringLiteral("/previous"));
        QCOMPARE(m_backend.writeCount(), writesBefore);
    }

    void onlyAnOpenedEntryBecomesTheAnswer()
    {
        // Highlighted but not opened: Okay answers with the folder that was open.
        auto field = choose(m_tree.path(), [](frmBrowseFolders& picker) {
            highlightEntry(picker, QStringLiteral("Data"));
            click(picker, "cmdOkay");
        });
        QCOMPARE(field, std::optional<QString>(QDir::cleanPath(m_tree.path()) + u'/'));

        // Enter opens the highlighted entry like a double click, and does not accept.
        QString openedByEnter;
        bool shownAfterEnter = false;
        int innerRow = -1;
        field = choose(m_tree.path(), [&](frmBrowseFolders& picker) {
            highlightEntry(picker, QStringLiteral("Data"));
            QTest::keyClick(folderList(picker), Qt::Key_Return);
            openedByEnter = picker.currentFolder();
            shownAfterEnter = picker.isVisible();
            innerRow = rowOf(picker, QStringLiteral("Inner"));
            click(picker, "cmdOkay");
        });
        QCOMPARE(openedByEnter, m_data);
        QVERIFY(shownAfterEnter);
        QVERIFY(innerRow >= 0);
        QCOMPARE(field, std::optional<QString>(m_data + u'/'));
    }

    void unusableStartingFolderIsIgnored_data()
    {
        QTest::addColumn<QString>("fieldText");
        QTest::newRow("deleted folder") << m_tree.path() + QStringLiteral("/gone/");
        QTest::newRow("relative text") << QStringLiteral("C:\\");
        QTest::newRow("empty") << QString();
    }

    void unusableStartingFolderIsIgnored()
    {
        QFETCH(QString, fieldText);
        frmBrowseFolders picker(&m_mainWindow, &m_boxes);
        QVERIFY(picker.setCurrentFolder(m_data));
        QVERIFY(!picker.setCurrentFolder(fieldText));
        QCOMPARE(picker.currentFolder(), m_data);

        const auto field = choose(fieldText, [](frmBrowseFolders& p) { click(p, "cmdOkay"); });
        QCOMPARE(field, std::optional<QString>(QDir::cleanPath(QDir::homePath()) + u'/'));
        QVERIFY(m_boxes.shown.isEmpty());
    }

    void focusMovesListOkayCancelPlaces()
    {
        frmBrowseFolders picker(&m_mainWindow, &m_boxes);
        picker.show();
        QVERIFY(QTest::qWaitForWindowActive(&picker));
        QStringList order{QApplication::focusWidget()->objectName()};
        for (int i = 0; i < 4; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            order.append(QApplication::focusWidget()->objectName());
        }
        QCOMPARE(order, QStringList({"lstFolders", "cmdOkay", "cmdCancel", "lstDrives", "lstFolders"}));
    }

    void choosingAPlaceMovesTheFolderList()
    {
        QTemporaryDir vanishing;
        const QString gone = vanishing.path();
        QVERIFY(vanishing.remove());

        frmBrowseFolders picker(&m_mainWindow, &m_boxes);
        picker.setPlaces({QDir::rootPath(), m_data, gone});
        QVERIFY(picker.setCurrentFolder(m_tree.path()));
        picker.show();
        auto* places = picker.findChild<QComboBox*>(QStringLiteral("lstDrives"));
        places->setCurrentIndex(0);
        places->setFocus();

        QTest::keyClick(places, Qt::Key_Down);
        QCOMPARE(picker.currentFolder(), m_data);
        QVERIFY(rowOf(picker, QStringLiteral("Inner")) > 0);
        QVERIFY(m_boxes.shown.isEmpty());

        // A place that cannot be listed: the operator is told, the folder list stays put.
        QTest::keyClick(places, Qt::Key_Down);
        QCOMPARE(picker.currentFolder(), m_data);
        QCOMPARE(places->currentIndex(), 2);
        QCOMPARE(m_boxes.shown.size(), 1);
        QVERIFY(m_boxes.shown[0].text.startsWith(QStringLiteral("OOPS! ")));
        QVERIFY(m_boxes.shown[0].text.size() > 6);
        QCOMPARE(m_boxes.shown[0].buttons, MessageBoxes::Buttons::Ok);
    }

    void mountsOfferedAsPlaces_data()
    {
        QTest::addColumn<QString>("root");
        QTest::addColumn<QByteArray>("type");
        QTest::addColumn<bool>("offered");
        QTest::newRow("system disk") << "/" << QByteArray("ext4") << true;
        QTest::newRow("USB stick") << "/media/op/STICK" << QByteArray("vfat") << true;
        QTest::newRow("runtime tmpfs") << "/run/user/1000" << QByteArray("tmpfs") << false;
        QTest::newRow("bind into /sys") << "/sys/fs/bpf" << QByteArray("ext4") << false;
    }

    void mountsOfferedAsPlaces()
    {
        QFETCH(QString, root);
        QFETCH(QByteArray, type);
        QFETCH(bool, offered);
        QCOMPARE(frmBrowseFolders::isStoragePlace(root, type), offered);
    }

    void standardPlacesStartWithRootAndHome()
    {
        const QStringList places = frmBrowseFolders::standardPlaces();
        QCOMPARE(places.value(0), QDir::rootPath());
        QVERIFY(places.contains(QDir::cleanPath(QDir::homePath())));
        QVERIFY(!places.contains(QStringLiteral("/proc")));
        QCOMPARE(QSet<QString>(places.begin(), places.end()).size(), places.size());
    }

    void centresOverTheMainWindowButStaysOnScreen()
    {
        QWidget owner;
        const QRect avail = owner.screen()->availableGeometry();
        owner.setGeometry(avail.center().x() - 200, avail.center().y() - 150, 400, 300);
        owner.show();
        {
            frmBrowseFolders picker(&owner, &m_boxes);
            picker.show();
            const QRect outer = owner.frameGeometry();
            const QRect own = picker.frameGeometry();
            QCOMPARE(own.left(), outer.left() + outer.width() / 2 - own.width() / 2);
            QCOMPARE(own.top(), outer.top() + outer.height() / 2 - own.height() / 2);
        }
        // Over a window at the top left corner, centring alone would put the picker's top
        // edge above the screen.
        owner.move(avail.topLeft());
        frmBrowseFolders picker(&owner, &m_boxes);
        picker.show();
        QCOMPARE(picker.frameGeometry().top(), avail.top());
        QVERIFY(picker.frameGeometry().left() >= avail.left());
    }

    void modalWaitEndsOnTheOperatorsAnswer()
    {
        // The default modal wait: the operator answers from inside the running dialog.
        DataFolderChooser chooser(m_store, &m_boxes);
        QTimer::singleShot(0, this, answerModalPicker("cmdCancel"));
        QCOMPARE(chooser.cmdPath_Click(m_data, &m_mainWindow), std::nullopt);

        QTimer::singleShot(0, this, answerModalPicker("cmdOkay"));
        QCOMPARE(chooser.cmdPath_Click(m_data, &m_mainWindow), std::optional<QString>(m_data + u'/'));
        QCOMPARE(stored(), m_data);
    }
};

QTEST_MAIN(TestFolderPicker)
#include "tst_folderpicker.moc"
