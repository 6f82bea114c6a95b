/// @brief Register values and their captions.
#include "control/registermodel.h"

QString RegisterModel::name(int index)
{
    static const char* const names[Count] = {"Coincidence A", "Coincidence B", "Offset, OR", "ADC A",
                                             "ADC B",         "Cycle Timer",   "State",      "Verilog version"};
    return index >= 0 && index < Count ? QString::fromLatin1(names[index]) : QString();
}

void RegisterModel::setShownValue(int index, int value)
{
    m_values.at(index) = value;
    emit valueChanged(index);
}

QString RegisterModel::decimalCaption(int index) const
{
    const auto& v = m_values.at(index);
    return v ? QString::number(*v) : QStringLiteral("???");
}

QString RegisterModel::hexCaption(int index) const
{
    const auto& v = m_values.at(index);
    return v ? QStringLiteral("0x") + QString::number(*v, 16).toUpper() : QStringLiteral("???");
}
