/// @brief Calibration: the panel's reading rules applied once, and the spelling a file keeps.
#include "link/calibration.h"

#include "link/protocol.h"
#include "platform/numbers.h"

#include <bit>
#include <cstdint>

namespace {

bool insideWindow(Calibration::Cell cell, double value)
{
    using namespace protocol;
    const bool low = cell == Calibration::ALow || cell == Calibration::BLow;
    return low ? value > CalibrationLowFloor && value < CalibrationLowCeiling
               : value > CalibrationHighFloor && value < CalibrationHighCeiling;
}

bool sameNumber(const std::optional<double>& a, const std::optional<double>& b)
{
    if (!a || !b)
        return !a && !b;
    return std::bit_cast<std::uint64_t>(*a) == std::bit_cast<std::uint64_t>(*b);
}

} // namespace

Calibration Calibration::fromTexts(const std::array<QString, 4>& cells, const QString& tauA, const QString& tauB,
                                   const QLocale& locale)
{
    Calibration c;
    for (const Cell cell : {ALow, AHigh, BLow, BHigh}) {
        const QString& text = cells[cell];
        c.m_readings[cell] = numbers::strictNumber(text, locale);
        c.m_inWindow[cell] = insideWindow(cell, numbers::leadingNumber(text));
    }
    c.m_taus[A] = numbers::strictNumber(tauA, locale);
    c.m_taus[B] = numbers::strictNumber(tauB, locale);
    return c;
}

void Calibration::setReading(Cell cell, double value)
{
    m_readings[cell] = value;
    m_inWindow[cell] = insideWindow(cell, value);
}

void Calibration::setTau(Channel channel, std::optional<double> value) { m_taus[channel] = value; }

bool Calibration::operator==(const Calibration& other) const
{
    for (int i = 0; i < 4; ++i)
        if (!sameNumber(m_readings[size_t(i)], other.m_readings[size_t(i)]))
            return false;
    return sameNumber(m_taus[A], other.m_taus[A]) && sameNumber(m_taus[B], other.m_taus[B])
           && m_inWindow == other.m_inWindow;
}

QString Calibration::spelled(std::optional<double> value, const QLocale& locale)
{
    if (!value)
        return QStringLiteral("???");
    // The C spelling first: it is what the panel shows for a reading and what the Tau fields
    // start with, so a file from an untouched panel keeps the texts it always had. A locale that
    // groups with the C decimal point ("1.234" is 1234 in German) gets its own spelling instead.
    const QString c = QString::number(*value, 'g', QLocale::FloatingPointShortest);
    if (sameNumber(numbers::strictNumber(c, locale), value))
        return c;
    QLocale ungrouped = locale;
    ungrouped.setNumberOptions(locale.numberOptions() | QLocale::OmitGroupSeparator);
    const QString own = ungrouped.toString(*value, 'g', QLocale::FloatingPointShortest);
    return sameNumber(numbers::strictNumber(own, locale), value) ? own : c;
}
