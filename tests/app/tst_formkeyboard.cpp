/// @brief The window's keyboard: shortcuts whatever has the focus, Escape in the log, copy, the DAC entries and Enter.
#include "common/panelfixture.h"
#include "control/calibrationsequence.h"
#include "link/commands.h"

#include <QApplication>
#include <QClipboard>
#include <QTest>

using PanelFixture::Panel;

class TestFormKeyboard : public QObject {
    Q_OBJECT
private:
    /// Loaded, shown, connected with nothing sent yet, and `w` focused.
    static void ready(Panel& p, QWidget* w)
    {
        p.load();
        p.socket.completeConnect();
        p.parts.calibrationSequence().abort();
        p.socket.sent.clear();
        p.form->show();
        QVERIFY(QTest::qWaitForWindowActive(p.form.get()));
        w->setFocus();
        QTRY_VERIFY(w->hasFocus());
    }

private slots:
    void runToggleIgnoresModifiersAndTheEnabledState_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::newRow("F5") << int(Qt::Key_F5) << int(Qt::NoModifier);
        QTest::newRow("R") << int(Qt::Key_R) << int(Qt::NoModifier);
        QTest::newRow("Shift+R") << int(Qt::Key_R) << int(Qt::ShiftModifier);
        QTest::newRow("Alt+R") << int(Qt::Key_R) << int(Qt::AltModifier);
    }
    void runToggleIgnoresModifiersAndTheEnabledState()
    {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        Panel p;
        ready(p, p.ui->txtMsg);
        QVERIFY(!p.ui->chkRun->isEnabled());
        // Each key toggles exactly once, even with Alt and a mnemonic; keypad keys match nothing.
        for (int mods : {modifiers, modifiers, int(Qt::KeypadModifier)})
            QTest::keyClick(p.ui->txtMsg, Qt::Key(key), Qt::KeyboardModifiers(mods));
        QTest::keyClick(p.ui->txtMsg, Qt::Key_C, Qt::KeypadModifier);
        QCOMPARE(p.socket.sent, (QList<QByteArray>{commands::runOn(), commands::runOff()}));
    }

    void shortcutsActAndTheKeyStillReachesTheFocusedControl()
    {
        Panel p;
        ready(p, p.ui->txtIP);
        p.ui->txtIP->end(false);
        p.ui->chkAuto->setValue(2);
        QTest::keyClicks(p.ui->txtIP, QStringLiteral("U"));
        QCOMPARE(p.socket.sent.size(), 7); // the registers but the version register
        QCOMPARE(p.socket.sent.first(), commands::registerRead(0));
        QTest::keyClick(p.ui->txtIP, Qt::Key_A, Qt::ShiftModifier);
        QTest::keyClicks(p.ui->txtIP, QStringLiteral("C"));
        // Grayed Auto toggles to ticked.
        QVERIFY(p.ui->chkAuto->value() == 1 && p.session.isAutoTicked() && p.session.isCalibrating());
        QCOMPARE(p.ui->txtIP->text(), QStringLiteral("127.0.0.1UaC"));

        const QString before = p.log.text();
        QTest::keyClick(p.ui->txtIP, Qt::Key_Escape); // only the log's own Escape clears
        QTest::keyClick(p.ui->txtIP, Qt::Key_P);
        QCOMPARE(QApplication::clipboard()->text(), before);
        QTest::keyClick(p.ui->txtIP, Qt::Key_L);
        QCOMPARE(p.log.text(), QString());
        // Copying an empty log leaves an empty clipboard, whatever it held.
        QApplication::clipboard()->setText(QStringLiteral("stale"));
        p.ui->cmdCopy->click();
        QCOMPARE(QApplication::clipboard()->text(), QString());
        p.log.LogMessage(QStringLiteral("a"), false);
        p.ui->txtMsg->setFocus();
        QTest::keyClick(p.ui->txtMsg, Qt::Key_Escape);
        QCOMPARE(p.log.lineCount(), 0);
    }

    void ctrlCInTheLogCalibratesAndCopiesNothing()
    {
        Panel p;
        ready(p, p.ui->txtMsg);
        QApplication::clipboard()->setText(QStringLiteral("kept"));
        QVERIFY(!p.session.isCalibrating());
        QTest::keyClick(p.ui->txtMsg, Qt::Key_C, Qt::ControlModifier);
        QVERIFY(p.session.isCalibrating());
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("kept"));
    }

    void enterPressesTheDacGroupsDefaultButton()
    {
        Panel p;
        // The groups are created disabled; enable them to use them as an operator would.
        for (QWidget* w : std::initializer_list<QWidget*>{p.ui->Frame1, p.ui->Frame2, p.ui->cmdDacA, p.ui->cmdDacB})
            w->setEnabled(true);
        ready(p, p.ui->txtDacA);
        QCOMPARE(p.form->defaultButton(), p.ui->cmdDacA);
        // Entries are held inside the code range and show their millivolts.
        p.ui->txtDacB->setText(QStringLiteral("5000"));
        QCOMPARE(p.ui->txtDacB->text() + u' ' + p.ui->txtVDacB->text(), QStringLiteral("4095 499.8mV"));
        p.ui->txtDacA->setText(QStringLiteral("255"));
        QCOMPARE(p.ui->txtVDacA->text(), QStringLiteral("31.1mV"));
        QTest::keyClick(p.ui->txtDacA, Qt::Key_Return);
        QCOMPARE(p.socket.sent, QList<QByteArray>{commands::dacA(255)});

        const auto focus = [](QWidget* w) { return w->setFocus(), QTest::qWaitFor([w] { return w->hasFocus(); }); };
        QVERIFY(focus(p.ui->cmdDacA) && focus(p.ui->txtIP));
        QCOMPARE(p.form->defaultButton(), nullptr);
        QTest::keyClick(p.ui->txtIP, Qt::Key_Return);

        QVERIFY(focus(p.ui->txtDacB));
        QCOMPARE(p.form->defaultButton(), p.ui->cmdDacB);
        QVERIFY(focus(p.ui->txtIP));
        QCOMPARE(p.form->defaultButton(), p.ui->cmdDacB);
        QTest::keyClick(p.ui->txtIP, Qt::Key_Return); // DAC B sends nothing
        QCOMPARE(p.socket.sent.size(), 1);
    }
};

QTEST_MAIN(TestFormKeyboard)
#include "tst_formkeyboard.moc"
