/// @brief Application-modal QMessageBox with the buttons and icons the panel uses, opened without a nested event loop.
#include "platform/gui/widgetmessageboxes.h"

#include <QMessageBox>

void WidgetMessageBoxes::show(const QString& text, const QString& title, Buttons buttons, Icon icon,
                              AnswerHandler answered)
{
    auto* box = new QMessageBox(m_parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    // A box answered before the main window shows (the start-up update prompt) is no reason to quit.
    box->setAttribute(Qt::WA_QuitOnClose, false);
    // open() would make it window-modal, which a box without a parent is to nothing at all.
    box->setWindowModality(Qt::ApplicationModal);
    box->setText(text);
    box->setWindowTitle(title);
    switch (icon) {
    case Icon::Critical:
        box->setIcon(QMessageBox::Critical);
        break;
    case Icon::Question:
        box->setIcon(QMessageBox::Question);
        break;
    case Icon::Exclamation:
        box->setIcon(QMessageBox::Warning);
        break;
    case Icon::Information:
        box->setIcon(QMessageBox::Information);
        break;
    case Icon::None:
        break;
    }
    switch (buttons) {
    case Buttons::Ok:
        box->setStandardButtons(QMessageBox::Ok);
        break;
    case Buttons::OkCancel:
        box->setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        break;
    case Buttons::YesNoCancel:
        box->setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
        break;
    }
    QObject::connect(box, &QMessageBox::finished, box, [buttons, answered = std::move(answered)](int result) {
        if (!answered)
            return;
        switch (result) {
        case QMessageBox::Ok:
            answered(Answer::Ok);
            break;
        case QMessageBox::Yes:
            answered(Answer::Yes);
            break;
        case QMessageBox::No:
            answered(Answer::No);
            break;
        default:
            answered(buttons == Buttons::Ok ? Answer::Ok : Answer::Cancel);
            break;
        }
    });
    box->show();
}
