/// @brief DAC set-point entry rules: range normalisation and the millivolt read-out.
#pragma once

#include <QString>
#include <optional>

namespace dac {

constexpr int MaxCode = 4095;

/// The replacement text for an out-of-range entry ("0" below, "4095" above), or nothing
/// when the entry stays as typed (non-numbers such as "abc" or "12ab" stay too).
std::optional<QString> normalised(const QString& entry);

/// The read-out for an entry: its code times 5000/4096, truncated to tenths of a millivolt,
/// shortest form with no leading zero ("183.1mV", ".9mV", "0mV").
QString millivoltText(const QString& entry);

} // namespace dac
