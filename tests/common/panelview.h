/// @brief The main window's controls, for tests that act as the operator does.
#pragma once

#include "app/formmain.h"
#include "app/logview.h"
#include "app/vbcheckbox.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

/// The window's own control pointers, copied once: they never change after the window is built,
/// and tests read `ui.chkRun` as the window's code does.
struct PanelView : FormMain::Controls {
    explicit PanelView(const FormMain& form) : FormMain::Controls(form.controls()) {}
};
