/// @brief MessageBoxes on QMessageBox.
#pragma once

#include "platform/messagebox.h"

#include <QPointer>
#include <QWidget>

/// Application-modal, like the boxes the operator knows: nothing behind the box takes input
/// until it is answered, while the program's own work goes on.
class WidgetMessageBoxes final : public MessageBoxes {
public:
    explicit WidgetMessageBoxes(QWidget* parent = nullptr) : m_parent(parent) {}
    void setParent(QWidget* parent) { m_parent = parent; }
    void show(const QString& text, const QString& title, Buttons buttons, Icon icon,
              AnswerHandler answered = {}) override;

private:
    QPointer<QWidget> m_parent;
};
