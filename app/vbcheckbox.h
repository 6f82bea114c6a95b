/// @brief A check box with the three values 0, 1, 2 (grayed), whose handler runs on every change of value.
#pragma once

#include <QCheckBox>

class VbCheckBox : public QCheckBox {
    Q_OBJECT
public:
    using QCheckBox::QCheckBox;

    /// 0 unticked, 1 ticked, 2 grayed.
    int value() const;
    /// Changing the value from code runs the click handler (valueChanged) as a user click does.
    void setValue(int v);
    /// (value + 1) mod 2: a grayed box becomes ticked.
    void toggle() { setValue((value() + 1) % 2); }

signals:
    void valueChanged(int value);

protected:
    // A click never produces the grayed state; it only comes from a stored value.
    void nextCheckState() override;
};
