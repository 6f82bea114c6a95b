/// @brief MessageBoxes on QMessageBox.
#pragma once

#include "platform/messagebox.h"

class QWidget;

class WidgetMessageBoxes final : public MessageBoxes {
public:
    explicit WidgetMessageBoxes(QWidget* parent = nullptr) : m_parent(parent) {}
    void setParent(QWidget* parent) { m_parent = parent; }
    Answer show(const QString& text, const QString& title, Buttons buttons, Icon icon) override;

private:
    QWidget* m_parent;
};
