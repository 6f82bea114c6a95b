/// @brief Modal QMessageBox with the buttons and icons the panel uses.
#include "platform/gui/widgetmessageboxes.h"

#include <QMessageBox>

MessageBoxes::Answer WidgetMessageBoxes::show(const QString& text, const QString& title, Buttons buttons, Icon icon)
{
    QMessageBox box(m_parent);
    box.setText(text);
    box.setWindowTitle(title);
    switch (icon) {
    case Icon::Critical: box.setIcon(QMessageBox::Critical); break;
    case Icon::Question: box.setIcon(QMessageBox::Question); break;
    case Icon::Exclamation: box.setIcon(QMessageBox::Warning); break;
    case Icon::Information: box.setIcon(QMessageBox::Information); break;
    case Icon::None: break;
    }
    switch (buttons) {
    case Buttons::Ok: box.setStandardButtons(QMessageBox::Ok); break;
    case Buttons::OkCancel: box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel); break;
    case Buttons::YesNoCancel:
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
        break;
    }
    switch (box.exec()) {
    case QMessageBox::Ok: return Answer::Ok;
    case QMessageBox::Yes: return Answer::Yes;
    case QMessageBox::No: return Answer::No;
    default: return buttons == Buttons::Ok ? Answer::Ok : Answer::Cancel;
    }
}
