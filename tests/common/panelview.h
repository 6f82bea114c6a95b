/// @brief The main window's controls, found by their names, for tests that act as the operator does.
#pragma once

#include "app/logview.h"
#include "app/vbcheckbox.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

struct PanelView {
    explicit PanelView(const QWidget& form) : window(form) {}

    template <class T = QWidget>
    T* find(const QString& name) const
    {
        T* w = window.findChild<T*>(name);
        if (!w) // asserts are off in these builds; a renamed control must still stop the test
            qFatal("PanelView: no control %s", qPrintable(name));
        return w;
    }

    const QWidget& window;
    VbCheckBox *chkRun = find<VbCheckBox>("chkRun"), *chkAuto = find<VbCheckBox>("chkAuto"),
               *chkDisplay = find<VbCheckBox>("chkDisplay"), *chkFile = find<VbCheckBox>("chkFile"),
               *chkVerbose = find<VbCheckBox>("chkVerbose"), *chkRaw = find<VbCheckBox>("chkRaw"),
               *chkOnTop = find<VbCheckBox>("chkOnTop");
    QLineEdit *txtIP = find<QLineEdit>("txtIP"), *txtPath = find<QLineEdit>("txtPath"), *txtDacA = find<QLineEdit>("txtDacA"),
              *txtVDacA = find<QLineEdit>("txtVDacA"), *txtDacB = find<QLineEdit>("txtDacB"), *txtVDacB = find<QLineEdit>("txtVDacB");
    QLabel *lblFpga = find<QLabel>("lblFpga"), *lblGui = find<QLabel>("lblGui"), *lblHB = find<QLabel>("lblHB"),
           *lblCalAl = find<QLabel>("lblCalAl"), *lblMin = find<QLabel>("lblMin"), *lblMax = find<QLabel>("lblMax"),
           *lblRange = find<QLabel>("lblRange"), *lblCount = find<QLabel>("lblCount");
    QPushButton *cmdCalibrate = find<QPushButton>("cmdCalibrate"), *cmdCopy = find<QPushButton>("cmdCopy"),
                *cmdDacA = find<QPushButton>("cmdDacA"), *cmdDacB = find<QPushButton>("cmdDacB");
    LogView* txtMsg = find<LogView>("txtMsg");
};
