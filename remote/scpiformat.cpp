/// @brief Number and block formatting for the control port's answers.
#include "remote/scpiformat.h"

#include <QtEndian>
#include <charconv>
#include <cmath>
#include <cstring>

namespace scpi {

QByteArray number(qint64 v) { return QByteArray::number(v); }
QByteArray number(quint64 v) { return QByteArray::number(v); }

QByteArray real(double v)
{
    if (!std::isfinite(v))
        return NotANumber;
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, v);
    return QByteArray(buffer, result.ptr - buffer);
}

QByteArray flag(bool on) { return on ? QByteArrayLiteral("1") : QByteArrayLiteral("0"); }

QByteArray quoted(const QString& text)
{
    QByteArray s = text.toUtf8();
    s.replace('"', "\"\"");
    return '"' + s + '"';
}

QByteArray blockHeader(qsizetype bytes)
{
    const QByteArray length = QByteArray::number(bytes);
    return '#' + QByteArray::number(length.size()) + length;
}

QByteArray int32Block(std::span<const qint32> values)
{
    const qsizetype bytes = qsizetype(values.size() * sizeof(qint32));
    QByteArray block = blockHeader(bytes);
    const qsizetype at = block.size();
    block.resize(at + bytes);
    if constexpr (QSysInfo::ByteOrder == QSysInfo::LittleEndian) {
        if (bytes)
            std::memcpy(block.data() + at, values.data(), size_t(bytes));
    } else {
        qToLittleEndian<qint32>(values.data(), values.size(), block.data() + at);
    }
    return block;
}

QByteArray int32List(std::span<const qint32> values)
{
    QByteArray out;
    out.reserve(qsizetype(values.size()) * 8);
    char buffer[16];
    for (size_t i = 0; i < values.size(); ++i) {
        if (i)
            out += ',';
        const auto r = std::to_chars(buffer, buffer + sizeof buffer, values[i]);
        out.append(buffer, r.ptr - buffer);
    }
    return out;
}

} // namespace scpi
