/// @brief Whole numbers as the operator sees them: digits grouped by three with the locale's separator.
#pragma once

#include <QString>
#include <QStringView>
#include <string_view>

namespace numberformat {

/// The "###,##0" pattern: ASCII digits, grouped by three from the right whatever the locale's
/// own grouping rule, at least one digit, a leading '-' for negatives. The separator is the
/// locale's thousands separator, passed in so that hot paths look it up once. QLocale's own
/// toString is not used because it omits grouping for some locales (the C locale among them)
/// and groups differently for others, which the pattern never does.
void appendGrouped(QString& out, qint64 value, QStringView separator);
QString grouped(qint64 value, QStringView separator);

/// Longest separator putGrouped takes, in bytes.
constexpr int MaxSeparatorBytes = 4;
/// Room putGrouped may need: a sign, 19 digits and six separators.
constexpr int MaxGroupedBytes = 1 + 19 + 6 * MaxSeparatorBytes;

/// The same pattern written as bytes at out, for lines that go to a file as bytes; returns the
/// end. The separator is bytes too (at most MaxSeparatorBytes), so the caller decides how a
/// locale's separator is encoded; out needs MaxGroupedBytes of room.
char* putGrouped(char* out, qint64 value, std::string_view separator);

/// value (0..9999, a reading, a byte or a nibble) in decimal at out; returns the end.
inline char* putSmall(char* out, int value)
{
    if (value >= 1000)
        *out++ = char('0' + value / 1000);
    if (value >= 100)
        *out++ = char('0' + value / 100 % 10);
    if (value >= 10)
        *out++ = char('0' + value / 10 % 10);
    *out++ = char('0' + value % 10);
    return out;
}

/// The plain record field: the value in decimal after a blank (or its minus sign), right-aligned
/// in PlainWidth characters, of which a longer number keeps only its last PlainWidth. Writes
/// exactly PlainWidth bytes at out and returns the end.
constexpr int PlainWidth = 9;
char* putPlainField(char* out, qint32 value);

} // namespace numberformat
