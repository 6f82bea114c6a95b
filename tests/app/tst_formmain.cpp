/// @brief The main window over its session: start-up, the restore rules, the resize rule, shutdown, what it shows of
/// the link, its layout.
#include "app/formlayout.h"
#include "common/panelfixture.h"
#include "control/versionmodel.h"
#include "link/commands.h"
#include "platform/numbers.h"

#include <QApplication>
#include <QMenu>
#include <QPointer>
#include <QSignalSpy>
#include <QTest>

using PanelFixture::Panel;

class TestFormMain : public QObject {
    Q_OBJECT
private slots:
    void startUpOrderAndTexts()
    {
        Panel p;
        QCOMPARE(p.ui->chkDisplay->value(), 1);
        QVERIFY(!p.ui->chkRun->isEnabled() && !p.ui->Frame1->isEnabled());
        QString duringCheck;
        p.form->Form_Load([&](const std::function<void()>& done) {
            duringCheck = p.log.text();
            QVERIFY(p.socket.connects.isEmpty()); // the connection waits for the update check
            done();
        });
        QCOMPARE(duringCheck, QStringLiteral("Checking for updates"));
        QCOMPARE(p.log.text() + p.socket.connects.join(u' '), QStringLiteral("Opening connection.\r\n127.0.0.1:37829"));
        QCOMPARE(p.ui->lblGui->text() + u' ' + p.ui->txtVDacB->text(), QStringLiteral("GUI: %1.%2.%3 183.1mV")
                                                                           .arg(TALLYSCOPE_VERSION_MAJOR)
                                                                           .arg(TALLYSCOPE_VERSION_MINOR)
                                                                           .arg(TALLYSCOPE_VERSION_PATCH));
        QCOMPARE(p.backend.writeCount(), 0); // nothing stored, nothing written

        // The clipped version captions show in full as tooltips.
        p.parts.versions().versionReplied(QStringLiteral("FPGA 2026-12-07 build 4711"),
                                          QStringLiteral("Rabbit 10.72 rev B"));
        QCOMPARE(QStringList({p.ui->lblFpga->toolTip(), p.ui->lblRabbit->toolTip(), p.ui->lblGui->toolTip()}),
                 QStringList({p.ui->lblFpga->text(), p.ui->lblRabbit->text(), p.ui->lblGui->text()}));
        QVERIFY(p.ui->lblFpga->toolTip().endsWith(QStringLiteral("4711")));
        // The disabled DAC group stays legible: title on the window grey, read-out on its own ground.
        const auto luminance = [](const QColor& c) {
            const auto lin = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
            return 0.2126 * lin(c.redF()) + 0.7152 * lin(c.greenF()) + 0.0722 * lin(c.blueF());
        };
        const auto contrast = [&](const QWidget* w, QPalette::ColorRole fg, QPalette::ColorRole bg) {
            const double a = luminance(w->palette().color(QPalette::Disabled, fg));
            const double b = luminance(w->palette().color(QPalette::Disabled, bg));
            return (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05);
        };
        const QWidget* frame = p.ui->Frame1;
        QVERIFY(!frame->isEnabled());
        QVERIFY2(contrast(frame, QPalette::WindowText, QPalette::Window) >= 4.5,
                 qPrintable(QString::number(contrast(frame, QPalette::WindowText, QPalette::Window))));
        QVERIFY2(contrast(p.ui->txtVDacA, QPalette::Text, QPalette::Base) >= 4.5,
                 qPrintable(QString::number(contrast(p.ui->txtVDacA, QPalette::Text, QPalette::Base))));
    }

    void geometryRestore_data()
    {
        QTest::addColumn<QString>("top");
        QTest::addColumn<QString>("height");
        QTest::addColumn<QString>("applied");
        QTest::newRow("both fit") << "1500"
                                  << "6900"
                                  << "top height";
        QTest::newRow("negative top (saved minimised)") << "-48000"
                                                        << "6900"
                                                        << "height";
        QTest::newRow("top beyond the desktop") << "999999"
                                                << ""
                                                << "";
        QTest::newRow("top not a number reads as 0") << "abc"
                                                     << ""
                                                     << "top";
        QTest::newRow("height below the created height") << ""
                                                         << "3000"
                                                         << "";
        QTest::newRow("height taller than the screen below top") << "1500"
                                                                 << "99999"
                                                                 << "top";
        QTest::newRow("number beyond float range") << "1e300"
                                                   << "1e300"
                                                   << "";
    }
    void geometryRestore()
    {
        QFETCH(QString, top);
        QFETCH(QString, height);
        QFETCH(QString, applied);
        Panel p;
        p.form->move(50, 80);
        const QRect created = p.form->outerGeometryTwips();
        if (!top.isEmpty())
            p.store_(settingskeys::Top, top);
        if (!height.isEmpty())
            p.store_(settingskeys::Height, height);
        p.load();
        const QRect g = p.form->outerGeometryTwips();
        const double onePixel = p.form->twipsPerPixel();
        QVERIFY(std::abs(g.top() - (applied.contains("top") ? numbers::leadingNumber(top) : created.top()))
                <= onePixel);
        QVERIFY(std::abs(g.height() - (applied.contains("height") ? height.toDouble() : created.height())) <= onePixel);
    }

    // One coordinate restored, the other stays where the system places the window (not at 0).
    void oneCoordinateKeepsTheSystemsPlacement_data()
    {
        QTest::addColumn<QString>("top");
        QTest::addColumn<QString>("left");
        QTest::newRow("top alone") << "1500"
                                   << "";
        QTest::newRow("left alone") << ""
                                    << "1500";
        QTest::newRow("left, top negative") << "-48000"
                                            << "1500";
        QTest::newRow("top, left beyond the desktop") << "1500"
                                                      << "9999999";
    }
    void oneCoordinateKeepsTheSystemsPlacement()
    {
        QFETCH(QString, top);
        QFETCH(QString, left);
        Panel reference;
        reference.load();
        reference.form->show();
        QVERIFY(QTest::qWaitForWindowExposed(reference.form.get()));
        const QRect system = reference.form->frameGeometry();
        Panel p;
        p.store_(settingskeys::Top, top);
        p.store_(settingskeys::Left, left);
        p.load();
        QVERIFY(!p.form->testAttribute(Qt::WA_Moved)); // not pinned before the system placed it
        p.form->show();
        const bool restoresTop = top == QStringLiteral("1500");
        const double tpp = p.form->twipsPerPixel();
        QTRY_VERIFY(std::abs(p.form->outerGeometryTwips().top() - (restoresTop ? 1500 : system.top() * tpp)) <= tpp);
        QTRY_VERIFY(std::abs(p.form->outerGeometryTwips().left() - (restoresTop ? system.left() * tpp : 1500)) <= tpp);
    }

    void boxesShowTheOptionsBothWays()
    {
        Panel p;
        p.store_(settingskeys::OnTop, QStringLiteral("1"));
        p.store_(settingskeys::RawData, QStringLiteral("2"));
        p.store_(settingskeys::FilePath, QStringLiteral("/srv/data"));
        const auto shown = [&p] {
            return QStringLiteral("on top %1 %2, raw %3, verbose %4 %5 %6, %7")
                .arg(p.ui->chkOnTop->value())
                .arg(bool(p.form->windowFlags() & Qt::WindowStaysOnTopHint))
                .arg(p.ui->chkRaw->value())
                .arg(p.ui->chkVerbose->value())
                .arg(p.stored(settingskeys::Verbose), QString::number(p.session.options().verbose),
                     p.ui->txtPath->text());
        };
        p.load();
        QCOMPARE(shown(), QStringLiteral("on top 1 1, raw 2, verbose 0  0, /srv/data"));
        p.ui->chkVerbose->click();
        p.ui->chkOnTop->click();
        QCOMPARE(shown(), QStringLiteral("on top 0 0, raw 2, verbose 1 1 1, /srv/data"));
        QCOMPARE(p.stored(settingskeys::OnTop), QStringLiteral("0"));
        p.ui->TauB->setText(QStringLiteral("9.6"));
        QCOMPARE(p.calibration.tauB(), QStringLiteral("9.6"));
        p.options.setAddress(QStringLiteral("127.0.0.3"));
        QCOMPARE(p.ui->txtIP->text() + u' ' + p.session.linkState().host, QStringLiteral("127.0.0.3 127.0.0.3"));
    }

    void resizeRule()
    {
        Panel p;
        p.load();
        p.form->show();
        QVERIFY(QTest::qWaitForWindowExposed(p.form.get()));
        const QSize created = p.form->size();
        const int logHeight = p.ui->txtMsg->height();
        QCOMPARE(p.ui->txtMsg->geometry().bottom() + 1, created.height() - qRound(100 / p.form->twipsPerPixel()));
        p.form->resize(created.width() + 60, created.height() - 50);
        QCOMPARE(p.form->size(), created);
        p.form->resize(created.width(), created.height() + 70);
        QCOMPARE(p.ui->txtMsg->height(), logHeight + 70);
        // Maximised, the rule rests, the window may fill the screen and the log keeps its size.
        p.form->setWindowState(Qt::WindowMaximized);
#ifdef Q_OS_WIN
        // Wine leaves maximising to the X window manager; a bare virtual display has none.
        if (!QTest::qWaitFor([&] { return p.form->width() > created.width(); }, 3000))
            QSKIP("nothing on this display maximises a window");
#endif
        QTRY_VERIFY(p.form->width() > created.width());
        // A window manager caps a maximized window at the size hints: the width has none.
        QCOMPARE(p.form->maximumWidth(), QWIDGETSIZE_MAX);
        QCOMPARE(p.ui->txtMsg->height(), logHeight + 70);
    }

    // A line from the link brings the end of the log into view (its oldest lines); lines
    // without that wish, such as records, leave the view at the newest.
    void linkLinesMoveTheLogToItsEnd()
    {
        Panel p;
        p.load();
        for (int i = 0; i < 200; ++i)
            p.log.LogMessage(QStringLiteral("line %1").arg(i), false);
        p.ui->txtMsg->flush();
        QCOMPARE(p.ui->txtMsg->topRow(), 0);
        p.socket.fail(QStringLiteral("Connection refused"));
        QVERIFY(p.ui->txtMsg->topRow() > 0);
    }

    // A heartbeat turns "HB" black for a second; another within that second starts it again.
    void heartbeatFlashesTheLabelForOneSecond()
    {
        Panel p;
        p.load();
        const auto hb = [&p] { return p.ui->lblHB->palette().color(QPalette::WindowText); };
        p.parts.decoder().feed(QByteArrayLiteral("H"));
        QCOMPARE(hb(), QColor(Qt::black));
        p.clock.elapse(0.5);
        p.parts.decoder().feed(QByteArrayLiteral("H"));
        p.clock.elapse(0.99);
        QCOMPARE(hb(), QColor(Qt::black));
        p.clock.elapse(0.01);
        QCOMPARE(hb(), QColor(0xA0, 0xA0, 0xA0));
    }

    void lostConnectionMarksTheWindowAndCloseStopsTheRun()
    {
        Panel p;
        p.load();
        p.socket.completeConnect();
        QCOMPARE(p.ui->txtIP->palette().color(QPalette::Base), QApplication::palette().color(QPalette::Base));
        for (int i = 0; i < 4; ++i)
            p.calibration.setCell(CalibrationModel::Cell(i), QStringLiteral("2000"));
        p.ui->chkRun->setValue(1);
        p.ui->chkAuto->setValue(1);
        p.socket.sent.clear();
        p.clock.advance(9);
        p.link.keepAliveTick();
        QCOMPARE(p.socket.sent.count(commands::runOff()), 1); // the boxes follow without a second stop
        QCOMPARE(p.ui->txtIP->palette().color(QPalette::Base), QColor(0xFF, 0x80, 0x80));
        QVERIFY(p.ui->chkAuto->value() == 0 && !p.ui->chkRun->isEnabled());

        p.form->move(40, 30);
        p.ui->chkRun->setValue(1);
        QSignalSpy unloaded(p.form.get(), &FormMain::unloaded);
        p.form->close();
        QVERIFY(!p.session.isRunTicked() && unloaded.size() == 1);
        const QRect g = p.form->outerGeometryTwips();
        QCOMPARE(p.stored(settingskeys::Top) + u' ' + p.stored(settingskeys::Left) + u' '
                     + p.stored(settingskeys::Height),
                 QStringLiteral("%1 %2 %3").arg(g.top()).arg(g.left()).arg(g.height()));
    }

    void clicksOnTheCoincidencesGroupRestartMinAndMax()
    {
        Panel p;
        p.load();
        p.form->show();
        p.statistics.clearForRunStart();
        const auto frame = [&p] { p.clock.elapse(FormMain::FiguresFrameMs / 1000.0); };
        for (qint32 dt : {100, -50, 300})
            p.statistics.recordUpdate(dt, false);
        QTest::mouseClick(p.ui->Label7, Qt::LeftButton); // unticked: changes nothing
        frame();
        QCOMPARE(p.ui->lblMin->text(), QStringLiteral("-50"));
        p.ui->chkRun->setValue(1);
        for (QWidget* target : std::initializer_list<QWidget*>{p.ui->Label5, p.ui->lblMinName, p.ui->Frame6}) {
            p.statistics.recordUpdate(-50, true);
            p.statistics.recordUpdate(300, true);
            QTest::mouseClick(target, Qt::LeftButton, {}, QPoint(2, 2));
            frame();
            QCOMPARE(p.ui->lblMin->text() + u' ' + p.ui->lblRange->text(), QStringLiteral("300 0"));
        }
        // A right click is no click: it is the group's context menu.
        p.statistics.recordUpdate(-50, true);
        QTest::mouseClick(p.ui->Frame6, Qt::RightButton, {}, QPoint(2, 2));
        frame();
        QCOMPARE(p.ui->lblMin->text(), QStringLiteral("-50"));
    }

    void runFiguresShowAtOnceThenAtMostOncePerFrame()
    {
        Panel p;
        p.load();
        p.statistics.clearForRunStart();
        const auto shown = [&p] { return p.ui->lblCount->text() + u' ' + p.ui->lblMax->text(); };
        p.clock.elapse(1);
        p.statistics.recordUpdate(7, false);
        QCOMPARE(shown(), QStringLiteral("1 7")); // after a quiet spell: at once
        p.statistics.recordUpdate(9, false);
        p.statistics.recordUpdate(11, false);
        QCOMPARE(shown(), QStringLiteral("1 7")); // inside the frame: held
        p.clock.elapse((FormMain::FiguresFrameMs - 1) / 1000.0);
        QCOMPARE(shown(), QStringLiteral("1 7"));
        p.clock.elapse(0.001);
        QCOMPARE(shown(), QStringLiteral("3 11")); // the frame's end shows the latest, nothing skipped
        // Changes that keep coming, one a millisecond: shown at most once a frame, never a frame old.
        int showings = 0;
        QString last = p.ui->lblCount->text();
        for (int ms = 0; ms < 100; ++ms) {
            p.statistics.recordUpdate(20, false);
            p.clock.elapse(0.001);
            const int held = 4 + ms;
            QVERIFY2(held - p.ui->lblCount->text().toInt() <= FormMain::FiguresFrameMs, qPrintable(last));
            if (p.ui->lblCount->text() != last) {
                ++showings;
                last = p.ui->lblCount->text();
            }
        }
        QVERIFY(showings >= 100 / FormMain::FiguresFrameMs && showings <= 100 / FormMain::FiguresFrameMs + 1);
        // Quiet again: the next change is at once, and a run start empties the captions at once too.
        p.clock.elapse(1);
        p.statistics.recordUpdate(50, false);
        QCOMPARE(shown(), QStringLiteral("104 50"));
        p.clock.elapse(1);
        p.statistics.clearForRunStart();
        QCOMPARE(p.ui->lblCount->text(), QStringLiteral("0"));
        // What the link left waiting for a frame is read at the frame's end and shown in it, all
        // of it: not the first of it then and the rest a frame later.
        p.clock.elapse(1);
        p.statistics.recordUpdate(1, false);
        p.socket.onCatchUp = [&p] {
            p.statistics.recordUpdate(-5, false);
            p.statistics.recordUpdate(60, false);
            p.socket.onCatchUp = {};
        };
        QCOMPARE(shown(), QStringLiteral("1 1"));
        p.clock.elapse(FormMain::FiguresFrameMs / 1000.0);
        QCOMPARE(shown(), QStringLiteral("3 60"));
    }

    // The run figures keep a picture of the group behind them instead of having it repainted:
    // on screen they must look exactly as see-through labels would, and follow a new style.
    void runFiguresLookLikePlainLabels()
    {
        Panel p;
        p.load();
        p.form->show();
        p.statistics.clearForRunStart();
        p.clock.elapse(1);
        p.statistics.recordUpdate(-12345, false);
        QLabel* figure = p.ui->lblCount;
        const auto sameAsPlain = [&] {
            const QImage shown = p.ui->Frame6->grab().toImage();
            QLabel plain(figure->text(), p.ui->Frame6);
            plain.setGeometry(figure->geometry());
            plain.setAlignment(figure->alignment());
            plain.setFont(figure->font());
            figure->hide();
            plain.show();
            const QImage expected = p.ui->Frame6->grab().toImage();
            figure->show();
            return shown == expected;
        };
        QVERIFY(sameAsPlain());
        QPalette dark = p.ui->Frame6->palette();
        dark.setColor(QPalette::Window, QColor(40, 40, 60));
        p.ui->Frame6->setPalette(dark);
        QVERIFY(sameAsPlain());
    }

    void everyControlInsideItsGroupAndNoOverlaps()
    {
        Panel p;
        QList<QWidget*> controls;
        for (const formlayout::Place& place : formlayout::places()) {
            QWidget* control = p.form->control(place.control);
            // Accessibility tools and the screenshot script know the controls by these names.
            QCOMPARE(control->objectName(), QString::fromLatin1(place.name));
            // The table's coordinates are relative to the group it names.
            QCOMPARE(control->parentWidget(), place.parent ? p.form->control(*place.parent) : p.form.get());
            controls << control;
        }
        for (QWidget* a : controls) {
            const QString name = a->objectName();
            // "On Top"'s box reaches 135 twips past the client area.
            const QRect checked = a == p.ui->chkOnTop ? a->geometry().adjusted(0, 0, -10, 0) : a->geometry();
            QVERIFY2(a->parentWidget()->rect().contains(checked), qPrintable(name));
            for (QWidget* b : controls) {
                if (a >= b || a->parentWidget() != b->parentWidget())
                    continue;
                // Some neighbours overlap by up to 55 twips (DAC read-outs, stacked check boxes); more is misplaced.
                const QRect overlap = a->geometry().intersected(b->geometry());
                QVERIFY2(overlap.isEmpty() || overlap.height() <= 4 || overlap.width() <= 4,
                         qPrintable(name + QStringLiteral(" overlaps ") + b->objectName()));
            }
        }
        for (const QLineEdit* readout : {p.ui->txtVDacA, p.ui->txtVDacB, p.ui->TauA, p.ui->TauB})
            QVERIFY2(!(readout->focusPolicy() & Qt::TabFocus), qPrintable(readout->objectName()));
        QVERIFY(QFontInfo(p.ui->txtMsg->font()).fixedPitch());
    }

    void histogramOpensFromTheGroupsContextMenuWithoutANestedLoop()
    {
        Panel p;
        p.load();
        p.form->show();
        QSignalSpy histogram(p.form.get(), &FormMain::histogramRequested);
        QWidget* group = p.ui->Frame6;
        emit group->customContextMenuRequested(QPoint(5, 5));
        // popup() returns at once: the menu is open when the emit comes back.
        QPointer<QMenu> menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        QVERIFY(menu && histogram.isEmpty());
        menu->actions().value(0)->trigger();
        menu->close();
        QCOMPARE(histogram.size(), 1);
        QTRY_VERIFY(menu.isNull());
    }
};

QTEST_MAIN(TestFormMain)
#include "tst_formmain.moc"
