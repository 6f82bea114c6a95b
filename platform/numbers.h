/// @brief The two ways the panel reads a number from a text: forgiving (leading number) and strict (whole text).
#pragma once

#include <QString>
#include <optional>

class QLocale;

namespace numbers {

/// Skips blanks, tabs and line feeds anywhere, then reads the longest leading number:
/// sign, digits with at most one '.', exponent by 'E' or 'D', or &H / &O radix forms.
/// A text without a leading number reads as 0 ("12ab" -> 12, "???" -> 0).
double leadingNumber(const QString& text);

/// The whole text (surrounding blanks allowed) as a number in the user's locale, falling
/// back to the C locale so that a stored "9.47" still reads as 9.47 under a decimal comma.
/// No value means a type mismatch: the caller treats it as an error.
std::optional<double> strictNumber(const QString& text);
/// The same in `locale` instead of the user's.
std::optional<double> strictNumber(const QString& text, const QLocale& locale);

/// Rounds to the nearest integer, halves to the even neighbour.
double roundHalfEven(double v);

/// Shortest decimal text of a single-precision value ("1905", "-75", "12.5").
QString shortestText(float v);

} // namespace numbers
