/// @brief VbCheckBox: numeric values and a change signal for code and clicks alike.
#include "app/vbcheckbox.h"

int VbCheckBox::value() const
{
    switch (checkState()) {
    case Qt::Checked:
        return 1;
    case Qt::PartiallyChecked:
        return 2;
    default:
        return 0;
    }
}

void VbCheckBox::setValue(int v)
{
    const int old = value();
    if (v == old)
        return;
    QSignalBlocker block(this);
    setCheckState(v == 2 ? Qt::PartiallyChecked : (v == 1 ? Qt::Checked : Qt::Unchecked));
    block.unblock();
    emit valueChanged(value());
}

void VbCheckBox::nextCheckState() { setValue(value() == 1 ? 0 : 1); }
