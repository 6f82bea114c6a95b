/// @brief The window's keyboard: shortcuts whatever has the focus, Escape in the log, copy, the DAC entries and Enter.
#include "app/logview.h"
#include "app/vbcheckbox.h"
#include "common/panelfixture.h"

#include <QApplication>
#include <QClipboard>
#include <QGroupBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

using PanelFixture::Panel;

class TestFormKeyboard : public QObject {
    Q_OBJECT
private:
    static void showAndFocus(Panel& p, QWidget* w)
    {
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
        QTest::newRow("Ctrl+R") << int(Qt::Key_R) << int(Qt::ControlModifier);
        QTest::newRow("Alt+R") << int(Qt::Key_R) << int(Qt::AltModifier);
    }
    void runToggleIgnoresModifiersAndTheEnabledState()
    {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        Panel p;
        p.load();
        showAndFocus(p, p.form->ui.txtMsg);
        QVERIFY(!p.form->ui.chkRun->isEnabled());
        QSignalSpy run(p.form.get(), &FormMain::runSwitched);
        QTest::keyClick(p.form->ui.txtMsg, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        QCOMPARE(p.form->ui.chkRun->value(), 1);
        QTest::keyClick(p.form->ui.txtMsg, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        QCOMPARE(p.form->ui.chkRun->value(), 0);
        QCOMPARE(run.size(), 2); // each key toggles exactly once, even with Alt and a mnemonic
    }

    void grayedBoxesToggleToTicked()
    {
        Panel p;
        p.load();
        showAndFocus(p, p.form->ui.txtMsg);
        p.form->ui.chkAuto->setValue(2);
        QTest::keyClick(p.form->ui.txtMsg, Qt::Key_A);
        QCOMPARE(p.form->ui.chkAuto->value(), 1);
    }

    void keypadKeysMatchNothing()
    {
        Panel p;
        p.load();
        showAndFocus(p, p.form->ui.txtMsg);
        QSignalSpy cal(p.form.get(), &FormMain::calibrateRequested);
        QTest::keyClick(p.form->ui.txtMsg, Qt::Key_R, Qt::KeypadModifier);
        QTest::keyClick(p.form->ui.txtMsg, Qt::Key_C, Qt::KeypadModifier);
        QCOMPARE(p.form->ui.chkRun->value(), 0);
        QCOMPARE(cal.size(), 0);
    }

    void shortcutsActAndTheKeyStillReachesTheFocusedControl()
    {
        Panel p;
        p.load();
        showAndFocus(p, p.form->ui.txtIP);
        p.form->ui.txtIP->setText(QStringLiteral("127.0.0.1"));
        p.form->ui.txtIP->end(false);
        QSignalSpy cal(p.form.get(), &FormMain::calibrateRequested);
        QSignalSpy regs(p.form.get(), &FormMain::registersRequested);
        QSignalSpy autoBox(p.form.get(), &FormMain::autoSwitched);
        QTest::keyClicks(p.form->ui.txtIP, QStringLiteral("CU"));
        QCOMPARE(cal.size(), 1);
        QCOMPARE(regs.size(), 1);
        QCOMPARE(p.form->ui.txtIP->text(), QStringLiteral("127.0.0.1CU"));
        QTest::keyClick(p.form->ui.txtIP, Qt::Key_A, Qt::ShiftModifier);
        QCOMPARE(autoBox.size(), 1);
        QCOMPARE(p.form->ui.chkAuto->value(), 1);
    }

    void copyAndClear()
    {
        Panel p;
        p.load();
        showAndFocus(p, p.form->ui.txtMsg);
        QClipboard* cb = QApplication::clipboard();
        p.log.LogMessage(QStringLiteral("Connected."), true);
        QTest::keyClick(p.form->ui.txtMsg, Qt::Key_P);
        QCOMPARE(cb->text(), QStringLiteral("Connected.\r\nOpening connection.\r\n"));
        QTest::keyClick(p.form->ui.txtMsg, Qt::Key_L);
        QCOMPARE(p.log.text(), QString());
        // Copying an empty log leaves an empty clipboard, whatever it held.
        cb->setText(QStringLiteral("stale"));
        p.form->ui.cmdCopy->click();
        QCOMPARE(cb->text(), QString());
    }

    void escapeClearsOnlyInTheLog()
    {
        Panel p;
        p.load();
        showAndFocus(p, p.form->ui.txtIP);
        QTest::keyClick(p.form->ui.txtIP, Qt::Key_Escape);
        QCOMPARE(p.log.lineCount(), 1);
        p.form->ui.txtMsg->setFocus();
        QTest::keyClick(p.form->ui.txtMsg, Qt::Key_Escape);
        QCOMPARE(p.log.lineCount(), 0);
    }

    void dacEntriesNormaliseAndShowMillivolts_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QString>("readout");
        QTest::newRow("start value") << "1500" << "1500" << "183.1mV";
        QTest::newRow("full scale") << "4095" << "4095" << "499.8mV";
        QTest::newRow("zero") << "0" << "0" << "0mV";
        QTest::newRow("below one millivolt") << "8" << "8" << ".9mV";
        QTest::newRow("one millivolt") << "9" << "9" << "1mV";
        QTest::newRow("above range") << "5000" << "4095" << "499.8mV";
        QTest::newRow("negative") << "-5" << "0" << "0mV";
        QTest::newRow("lone minus") << "-" << "-" << "0mV";
        QTest::newRow("trailing letters") << "12ab" << "12ab" << "1.4mV";
        QTest::newRow("letters") << "abc" << "abc" << "0mV";
    }
    void dacEntriesNormaliseAndShowMillivolts()
    {
        QFETCH(QString, typed);
        QFETCH(QString, entry);
        QFETCH(QString, readout);
        Panel p;
        p.load();
        for (auto [edit, shown] : {std::pair{p.form->ui.txtDacA, p.form->ui.txtVDacA}, std::pair{p.form->ui.txtDacB, p.form->ui.txtVDacB}}) {
            edit->setText(typed);
            QCOMPARE(edit->text(), entry);
            QCOMPARE(shown->text(), readout);
        }
    }

    void enterPressesTheDacGroupsDefaultButton()
    {
        Panel p;
        p.load();
        auto& ui = p.form->ui;
        // The groups are created disabled; enable them to use them as an operator would.
        for (QWidget* w : {static_cast<QWidget*>(ui.Frame1), static_cast<QWidget*>(ui.Frame2),
                           static_cast<QWidget*>(ui.cmdDacA), static_cast<QWidget*>(ui.cmdDacB)})
            w->setEnabled(true);
        showAndFocus(p, ui.txtDacA);
        QCOMPARE(p.form->defaultButton(), ui.cmdDacA);
        QSignalSpy dac(p.form.get(), &FormMain::dacAUpdateRequested);
        ui.txtDacA->setText(QStringLiteral("255"));
        QTest::keyClick(ui.txtDacA, Qt::Key_Return);
        QCOMPARE(dac.size(), 1);
        QCOMPARE(dac.first().first().toString(), QStringLiteral("255"));

        ui.cmdDacA->setFocus();
        QTRY_VERIFY(ui.cmdDacA->hasFocus());
        ui.txtIP->setFocus();
        QTRY_VERIFY(ui.txtIP->hasFocus());
        QCOMPARE(p.form->defaultButton(), nullptr);
        QTest::keyClick(ui.txtIP, Qt::Key_Return);
        QCOMPARE(dac.size(), 1);

        ui.txtDacB->setFocus();
        QTRY_COMPARE(p.form->defaultButton(), ui.cmdDacB);
        ui.txtIP->setFocus();
        QTRY_VERIFY(ui.txtIP->hasFocus());
        QCOMPARE(p.form->defaultButton(), ui.cmdDacB);
        QTest::keyClick(ui.txtIP, Qt::Key_Return); // DAC B sends nothing
        QCOMPARE(dac.size(), 1);
    }
};

QTEST_MAIN(TestFormKeyboard)
#include "tst_formkeyboard.moc"
