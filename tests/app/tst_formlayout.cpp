/// @brief The main window's layout as built: each control where the table puts it, inside its group, not on top of its neighbours; the tab order.
#include "app/formlayout.h"
#include "app/logview.h"
#include "app/vbcheckbox.h"
#include "common/panelfixture.h"

#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>

using PanelFixture::Panel;

class TestFormLayout : public QObject {
    Q_OBJECT
private slots:
    void controlsStandWhereTheTablePutsThem()
    {
        Panel p;
        const double dpi = p.form->screen()->logicalDotsPerInchY();
        int checked = 0;
        for (const formlayout::Place& place : formlayout::places()) {
            auto* w = p.form->findChild<QWidget*>(QString::fromLatin1(place.name));
            QVERIFY2(w, place.name);
            const QString parent = QString::fromLatin1(place.parent);
            QCOMPARE(w->parentWidget()->objectName(), parent.isEmpty() ? p.form->objectName() : parent);
            const QRect expected = formlayout::toPixels(place, dpi);
            QCOMPARE(w->pos(), expected.topLeft());
            // Labels that size themselves to their caption keep only their position.
            const bool autoSized = QByteArray(place.name) == "Label2" || QByteArray(place.name) == "Label3"
                || QByteArray(place.name) == "lblHB";
            if (!autoSized && QByteArray(place.name) != "txtMsg")
                QCOMPARE(w->size(), expected.size());
            ++checked;
        }
        QCOMPARE(checked, int(formlayout::places().size()));
    }

    void everyControlInsideItsGroupAndNoOverlaps()
    {
        Panel p;
        const double dpi = p.form->screen()->logicalDotsPerInchY();
        const QList<formlayout::Place>& all = formlayout::places();
        const QRect client(QPoint(0, 0), p.form->size());
        for (const formlayout::Place& a : all) {
            const QRect ra = formlayout::toPixels(a, dpi);
            const formlayout::Place* parent = *a.parent ? formlayout::find(QString::fromLatin1(a.parent)) : nullptr;
            const QRect bounds = parent ? QRect(QPoint(0, 0), formlayout::toPixels(*parent, dpi).size()) : client;
            // "On Top"'s box reaches 135 twips past the client area in the table; its caption does not.
            const QRect checked = qstrcmp(a.name, "chkOnTop") == 0 ? ra.adjusted(0, 0, -10, 0) : ra;
            QVERIFY2(bounds.contains(checked), a.name);
            for (const formlayout::Place& b : all) {
                if (&a >= &b || qstrcmp(a.parent, b.parent) != 0)
                    continue;
                // The table lets a few neighbours reach into each other by up to 55 twips (the DAC
                // read-outs under their "Update" button, the stacked check boxes' tall hit boxes);
                // anything more is a misplaced control.
                const QRect overlap = ra.intersected(formlayout::toPixels(b, dpi));
                QVERIFY2(overlap.isEmpty() || overlap.height() <= 4 || overlap.width() <= 4,
                         qPrintable(QStringLiteral("%1 overlaps %2").arg(QLatin1String(a.name), QLatin1String(b.name))));
            }
        }
    }

    void clientAreaAndWindowLook()
    {
        Panel p;
        QCOMPARE(p.form->size(), QSize(639, 384) * (p.form->screen()->logicalDotsPerInchY() / 96.0));
        QCOMPARE(p.form->windowTitle(), QStringLiteral("Tallyscope"));
        QCOMPARE(p.form->palette().color(QPalette::Window), QColor(0xC0, 0xC0, 0xC0));
        const QList<QSize> sizes = p.form->windowIcon().availableSizes();
        QVERIFY(sizes.contains(QSize(16, 16)) && sizes.contains(QSize(32, 32)));
        QVERIFY(QFontInfo(p.form->ui.txtMsg->font()).fixedPitch());
        QVERIFY(p.form->ui.cmdCopy->font().bold());
    }

    void tabOrder()
    {
        Panel p;
        const auto& ui = p.form->ui;
        const QList<QWidget*> expected = {ui.txtDacA,  ui.cmdDacA,    ui.cmdDacB,   ui.txtDacB,  ui.txtMsg,
                                          ui.txtIP,    ui.chkOnTop,   ui.cmdReg,    ui.chkAuto,  ui.cmdCalibrate,
                                          ui.cmdCopy,  ui.cmdClear,   ui.chkRun,    ui.chkDisplay, ui.chkFile,
                                          ui.chkVerbose, ui.chkRaw,   ui.txtPath,   ui.cmdPath};
        QList<QWidget*> chain;
        QWidget* w = ui.txtDacA;
        do {
            if (expected.contains(w) && !chain.contains(w))
                chain.append(w);
            w = w->nextInFocusChain();
        } while (w != ui.txtDacA);
        QCOMPARE(chain, expected);
        // Read-outs and the Tau fields are not tab stops.
        for (QWidget* r : {static_cast<QWidget*>(ui.txtVDacA), static_cast<QWidget*>(ui.txtVDacB),
                           static_cast<QWidget*>(ui.TauA), static_cast<QWidget*>(ui.TauB)})
            QVERIFY(!(r->focusPolicy() & Qt::TabFocus));
    }
};

QTEST_MAIN(TestFormLayout)
#include "tst_formlayout.moc"
