/// @brief DAC entry normalisation and millivolt read-out.
#include "control/dacsetpoint.h"

#include "platform/numbers.h"

#include <QLocale>
#include <cmath>

namespace dac {

std::optional<QString> normalised(const QString& entry)
{
    const double v = numbers::leadingNumber(entry);
    if (v < 0)
        return QStringLiteral("0");
    if (v > MaxCode)
        return QString::number(MaxCode);
    return std::nullopt;
}

QString millivoltText(const QString& entry)
{
    const double v = numbers::leadingNumber(entry);
    // Full scale is 0.5 V over 4096 codes; in tenths of a millivolt that is v * 5000 / 4096.
    const double tenths = std::floor(v * 5000.0 / 4096.0);
    const double mv = tenths / 10.0;
    QString text = QLocale::c().toString(mv, 'g', QLocale::FloatingPointShortest);
    if (text.startsWith(QLatin1String("0.")))
        text.remove(0, 1);
    else if (text.startsWith(QLatin1String("-0.")))
        text.remove(1, 1);
    return text + QStringLiteral("mV");
}

} // namespace dac
