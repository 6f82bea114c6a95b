/// @brief The main window's start-up restore rules, resize rule, shutdown, and the link's marks on the window.
#include "app/formmain.h"
#include "app/logview.h"
#include "session/messagelog.h"
#include "app/vbcheckbox.h"
#include "common/fakes.h"
#include "common/panelfixture.h"
#include "control/calibrationmodel.h"
#include "control/registermodel.h"
#include "link/connectionmanager.h"
#include "link/versionmodel.h"
#include "measure/runstatistics.h"
#include "platform/settingsbackend.h"
#include "platform/settingsstore.h"

#include <QApplication>
#include <QMenu>
#include <QPointer>
#include <QTimer>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <memory>

using PanelFixture::Panel;

namespace {
double twips(const Panel& p) { return p.form->twipsPerPixel(); }
} // namespace

class TestFormMain : public QObject {
    Q_OBJECT
private slots:
    void createdStateBeforeStartUp()
    {
        Panel p;
        const auto& ui = p.form->ui;
        QCOMPARE(ui.chkDisplay->value(), 1);
        for (VbCheckBox* b : {ui.chkRun, ui.chkAuto, ui.chkFile, ui.chkVerbose, ui.chkRaw, ui.chkOnTop})
            QCOMPARE(b->value(), 0);
        QVERIFY(!ui.chkRun->isEnabled());
        QVERIFY(!ui.Frame1->isEnabled() && !ui.Frame2->isEnabled());
        for (QLabel* l : {ui.lblCalAl, ui.lblCalAh, ui.lblCalBl, ui.lblCalBh})
            QCOMPARE(l->text(), QStringLiteral("???"));
        QCOMPARE(ui.lblGui->text(), QStringLiteral("GUI ???"));
        QCOMPARE(ui.txtVDacA->text(), QStringLiteral("?"));
    }

    void startUpOrderAndTexts()
    {
        Panel p;
        QString duringCheck;
        p.form->Form_Load([&](const std::function<void()>& done) {
            duringCheck = p.log.text();
            QVERIFY(p.socket.connects.isEmpty()); // the connection waits for the update check
            done();
        });
        QCOMPARE(duringCheck, QStringLiteral("Checking for updates"));
        QCOMPARE(p.log.text(), QStringLiteral("Opening connection.\r\n"));
        QCOMPARE(p.socket.connects, QStringList{QStringLiteral("127.0.0.1:37829")});
        QCOMPARE(p.form->ui.lblGui->text(), QStringLiteral("GUI: 1.0.8"));
        QCOMPARE(p.form->ui.txtVDacA->text(), QStringLiteral("183.1mV"));
        QCOMPARE(p.form->ui.txtVDacB->text(), QStringLiteral("183.1mV"));
        QCOMPARE(p.calibration.phaseText(), QStringLiteral("0"));
        // With nothing stored, nothing is written either.
        QCOMPARE(p.backend.writeCount(), 0);
    }

    void geometryRestore_data()
    {
        QTest::addColumn<QString>("top");
        QTest::addColumn<QString>("height");
        QTest::addColumn<bool>("topApplied");
        QTest::addColumn<bool>("heightApplied");
        QTest::newRow("both fit") << "1500" << "6900" << true << true;
        QTest::newRow("negative top (saved minimised)") << "-48000" << "6900" << false << true;
        QTest::newRow("top beyond the desktop") << "999999" << "" << false << false;
        QTest::newRow("height below the created height") << "" << "3000" << false << false;
        QTest::newRow("height taller than the screen below top") << "1500" << "99999" << true << false;
        QTest::newRow("number beyond float range") << "1e300" << "1e300" << false << false;
    }
    void geometryRestore()
    {
        QFETCH(QString, top);
        QFETCH(QString, height);
        QFETCH(bool, topApplied);
        QFETCH(bool, heightApplied);
        Panel p;
        const QRect created = p.form->outerGeometryTwips();
        if (!top.isEmpty())
            p.store_(settingskeys::Top, top);
        if (!height.isEmpty())
            p.store_(settingskeys::Height, height);
        p.load();
        const QRect g = p.form->outerGeometryTwips();
        const double tolerance = twips(p); // one pixel
        if (topApplied)
            QVERIFY(std::abs(g.top() - top.toDouble()) <= tolerance);
        else
            QCOMPARE(g.top(), created.top());
        if (heightApplied)
            QVERIFY(std::abs(g.height() - height.toDouble()) <= tolerance);
        else
            QCOMPARE(g.height(), created.height());
    }

    void topThatIsNotANumberReadsAsZero()
    {
        Panel p;
        p.form->move(50, 80);
        p.store_(settingskeys::Top, QStringLiteral("abc"));
        p.store_(settingskeys::Left, QStringLiteral(" 1 5 0"));
        p.load();
        QCOMPARE(p.form->outerGeometryTwips().top(), 0);
        QVERIFY(std::abs(p.form->outerGeometryTwips().left() - 150) <= twips(p));
    }

    void optionsRestoreThroughTheirHandlers()
    {
        Panel p;
        p.store_(settingskeys::OnTop, QStringLiteral("1"));
        p.store_(settingskeys::Display, QStringLiteral("0"));
        p.store_(settingskeys::Verbose, QStringLiteral("0"));   // equal to the created value
        p.store_(settingskeys::File, QStringLiteral("abc"));    // not a number
        p.store_(settingskeys::RawData, QStringLiteral("1.5")); // rounds half to even: grayed
        p.store_(settingskeys::FilePath, QStringLiteral("   /srv/data   "));
        p.load();
        const auto& ui = p.form->ui;
        QCOMPARE(ui.chkOnTop->value(), 1);
        QVERIFY(p.form->windowFlags() & Qt::WindowStaysOnTopHint);
        QCOMPARE(ui.chkDisplay->value(), 0);
        QCOMPARE(ui.chkVerbose->value(), 0);
        QCOMPARE(ui.chkFile->value(), 0);
        QCOMPARE(ui.chkRaw->value(), 2);
        QCOMPARE(ui.txtPath->text(), QStringLiteral("/srv/data"));
        // Exactly the boxes that changed wrote their value back.
        QCOMPARE(p.backend.writeCount(), 3);
        QCOMPARE(p.stored(settingskeys::OnTop), QStringLiteral("1"));
        QCOMPARE(p.stored(settingskeys::Display), QStringLiteral("0"));
        QCOMPARE(p.stored(settingskeys::RawData), QStringLiteral("2"));
        QCOMPARE(p.stored(settingskeys::File), QStringLiteral("abc"));
    }

    void outOfRangeOptionsLeaveTheBox()
    {
        Panel p;
        p.store_(settingskeys::Display, QStringLiteral("3"));
        p.store_(settingskeys::File, QStringLiteral("-1"));
        p.load();
        QCOMPARE(p.form->ui.chkDisplay->value(), 1);
        QCOMPARE(p.form->ui.chkFile->value(), 0);
        QCOMPARE(p.backend.writeCount(), 0);
    }

    void optionBoxesWriteTheMomentTheyChange()
    {
        Panel p;
        p.load();
        p.form->ui.chkVerbose->click();
        QCOMPARE(p.stored(settingskeys::Verbose), QStringLiteral("1"));
        p.form->ui.chkRaw->setValue(1);
        QCOMPARE(p.stored(settingskeys::RawData), QStringLiteral("1"));
        p.form->ui.chkOnTop->click();
        p.form->ui.chkOnTop->click();
        QCOMPARE(p.stored(settingskeys::OnTop), QStringLiteral("0"));
        QVERIFY(!(p.form->windowFlags() & Qt::WindowStaysOnTopHint));
    }

    void resizeRule()
    {
        Panel p;
        p.load();
        p.form->show();
        QVERIFY(QTest::qWaitForWindowExposed(p.form.get()));
        const QSize created = p.form->size();
        const int logHeight = p.form->ui.txtMsg->height();
        const int margin = qRound(100 / twips(p));
        QCOMPARE(p.form->ui.txtMsg->geometry().bottom() + 1, created.height() - margin);

        p.form->resize(created.width() + 60, created.height());
        QCOMPARE(p.form->width(), created.width());
        p.form->resize(created.width(), created.height() - 50);
        QCOMPARE(p.form->height(), created.height());
        p.form->resize(created.width(), created.height() + 70);
        QCOMPARE(p.form->height(), created.height() + 70);
        QCOMPARE(p.form->ui.txtMsg->height(), logHeight + 70);

        // Maximised, the rule rests and the log keeps its size.
        const int before = p.form->ui.txtMsg->height();
        p.form->setWindowState(Qt::WindowMaximized);
        QTest::qWait(50);
        QCOMPARE(p.form->ui.txtMsg->height(), before);
    }

    void shutdownStopsTheRunClosesTheLinkAndSavesGeometry()
    {
        Panel p;
        p.load();
        p.form->move(40, 30);
        p.form->ui.chkRun->setValue(1);
        QSignalSpy run(p.form.get(), &FormMain::runSwitched);
        QSignalSpy unloaded(p.form.get(), &FormMain::unloaded);
        const int closesBefore = p.socket.closes;
        p.form->close();
        QCOMPARE(run.size(), 1);
        QCOMPARE(run.first().first().toBool(), false);
        QCOMPARE(p.socket.closes, closesBefore + 1);
        QCOMPARE(unloaded.size(), 1);
        const QRect g = p.form->outerGeometryTwips();
        QCOMPARE(p.stored(settingskeys::Top), QString::number(g.top()));
        QCOMPARE(p.stored(settingskeys::Left), QString::number(g.left()));
        QCOMPARE(p.stored(settingskeys::Height), QString::number(g.height()));
        QVERIFY(!p.stored(settingskeys::Top).contains(u'.'));
    }

    void lostConnectionMarksTheWindow()
    {
        Panel p;
        p.load();
        p.socket.completeConnect();
        p.calibration.setCell(CalibrationModel::ALow, QStringLiteral("500"));
        p.calibration.setCell(CalibrationModel::AHigh, QStringLiteral("3600"));
        p.calibration.setCell(CalibrationModel::BLow, QStringLiteral("510"));
        p.calibration.setCell(CalibrationModel::BHigh, QStringLiteral("3590"));
        QVERIFY(p.form->ui.chkRun->isEnabled());
        p.form->ui.chkRun->setValue(1);
        p.form->ui.chkAuto->setValue(1);
        const QColor connectedColour = p.form->ui.txtIP->palette().color(QPalette::Base);

        p.clock.advance(9);
        p.link.tmrKeepAlive_Timer();
        const auto& ui = p.form->ui;
        QCOMPARE(p.log.text(), QStringLiteral(" Reopening...\r\n Lost connection, closed.  \r\nConnected.\r\nOpening connection.\r\n"));
        QCOMPARE(ui.txtIP->palette().color(QPalette::Base), QColor(0xFF, 0x80, 0x80));
        QVERIFY(connectedColour != QColor(0xFF, 0x80, 0x80));
        for (QLabel* l : {ui.lblCalAl, ui.lblCalAh, ui.lblCalBl, ui.lblCalBh})
            QCOMPARE(l->text(), QStringLiteral("???"));
        QCOMPARE(ui.chkRun->value(), 0);
        QCOMPARE(ui.chkAuto->value(), 0);
        QVERIFY(!ui.chkRun->isEnabled());
    }

    void clicksOnTheCoincidencesGroupRestartMinAndMax()
    {
        Panel p;
        p.load();
        p.form->show();
        const auto& ui = p.form->ui;
        p.statistics.clearForRunStart();
        for (qint32 dt : {100, -50, 300})
            p.statistics.recordUpdate(dt, false);
        QCOMPARE(ui.lblRange->text(), QStringLiteral("350"));
        // Unticked: a click changes nothing.
        QTest::mouseClick(ui.Label7, Qt::LeftButton);
        QCOMPARE(ui.lblMin->text(), QStringLiteral("-50"));
        p.form->ui.chkRun->setValue(1);
        for (QWidget* target : {static_cast<QWidget*>(ui.Label5), static_cast<QWidget*>(ui.Label7),
                                static_cast<QWidget*>(ui.lblMinName), static_cast<QWidget*>(ui.Frame6)}) {
            p.statistics.recordUpdate(-50, true);
            p.statistics.recordUpdate(300, true);
            QVERIFY(ui.lblMin->text() == QStringLiteral("-50"));
            QTest::mouseClick(target, Qt::LeftButton, {}, QPoint(2, 2));
            QCOMPARE(ui.lblMin->text(), QStringLiteral("300"));
            QCOMPARE(ui.lblMax->text(), QStringLiteral("300"));
            QCOMPARE(ui.lblRange->text(), QStringLiteral("0"));
        }
        QCOMPARE(ui.lblCount->text(), QStringLiteral("11"));
    }

    void histogramOpensFromTheGroupsContextMenuOnly()
    {
        Panel p;
        p.load();
        p.form->show();
        QSignalSpy histogram(p.form.get(), &FormMain::histogramRequested);
        p.statistics.clearForRunStart();
        p.statistics.recordUpdate(100, true);
        p.statistics.recordUpdate(300, true);
        p.form->ui.chkRun->setValue(1);
        // A right click is not a click: min and max stay.
        QTest::mouseClick(p.form->ui.Frame6, Qt::RightButton, {}, QPoint(2, 2));
        QCOMPARE(p.form->ui.lblMin->text(), QStringLiteral("100"));
        // The menu that the right click opens offers the histogram; it pops up and returns at once.
        emit p.form->ui.Frame6->customContextMenuRequested(QPoint(5, 5));
        QPointer<QMenu> menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        QVERIFY(menu);
        QCOMPARE(histogram.size(), 0);
        menu->actions().value(0)->trigger();
        menu->close();
        QCOMPARE(histogram.size(), 1);
        QTRY_VERIFY(menu.isNull());
    }

    void heartbeatLabelFlashes()
    {
        Panel p;
        p.load();
        p.link.heartbeatReceived();
        QCOMPARE(p.form->ui.lblHB->palette().color(QPalette::WindowText), QColor(Qt::black));
        p.link.tmrHb_Timer();
        QCOMPARE(p.form->ui.lblHB->palette().color(QPalette::WindowText), QColor(0xA0, 0xA0, 0xA0));
    }
};

QTEST_MAIN(TestFormMain)
#include "tst_formmain.moc"
