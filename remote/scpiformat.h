/// @brief How the control port writes numbers, flags, strings, lists and binary blocks.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <span>

namespace scpi {

/// What SCPI answers for a value that is not known (no run, no calibration).
inline constexpr const char* NotANumber = "9.91E37";

QByteArray number(qint64 v);
QByteArray number(quint64 v);
/// Shortest text that reads back to the same double; NaN and infinities as NotANumber.
QByteArray real(double v);
QByteArray flag(bool on);
/// In double quotes, an inner double quote doubled.
QByteArray quoted(const QString& text);
/// The IEEE 488.2 definite-length block header for `bytes` bytes: "#<digits><length>".
QByteArray blockHeader(qsizetype bytes);
/// Values as a block of little-endian int32.
QByteArray int32Block(std::span<const qint32> values);
/// Values as "v1,v2,...".
QByteArray int32List(std::span<const qint32> values);

} // namespace scpi
