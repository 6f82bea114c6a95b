/// @brief Whole numbers as the operator sees them: digits grouped by three with the locale's separator.
#pragma once

#include <QString>
#include <QStringView>

namespace numberformat {

/// The "###,##0" pattern: ASCII digits, grouped by three from the right whatever the locale's
/// own grouping rule, at least one digit, a leading '-' for negatives. The separator is the
/// locale's thousands separator, passed in so that hot paths look it up once. QLocale's own
/// toString is not used because it omits grouping for some locales (the C locale among them)
/// and groups differently for others, which the pattern never does.
void appendGrouped(QString& out, qint64 value, QStringView separator);
QString grouped(qint64 value, QStringView separator);

} // namespace numberformat
