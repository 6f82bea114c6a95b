/// @brief ExactSum: 96-bit products added in two 64-bit words with carries.
#include "measure/exactsum.h"

namespace {

void negate(quint64& low, quint64& high)
{
    low = ~low + 1;
    high = ~high + (low == 0 ? 1 : 0);
}

} // namespace

void ExactSum::add(qint32 value, quint64 count)
{
    // |value| * count from two products below 2^63 each: |value| <= 2^31, each half of count < 2^32.
    const quint64 magnitude = value < 0 ? quint64(-qint64(value)) : quint64(value);
    const quint64 lowPart = magnitude * (count & 0xffffffffu);
    const quint64 highPart = magnitude * (count >> 32);
    quint64 low = lowPart + (highPart << 32);
    quint64 high = (highPart >> 32) + (low < lowPart ? 1 : 0);
    if (value < 0)
        negate(low, high);
    m_low += low;
    m_high += high + (m_low < low ? 1 : 0);
}

long double ExactSum::value() const
{
    quint64 low = m_low;
    quint64 high = m_high;
    const bool negative = (high >> 63) != 0;
    if (negative)
        negate(low, high);
    // high stays below 2^32, so high * 2^64 is exact and the one addition is the one rounding.
    const long double magnitude = static_cast<long double>(high) * 18446744073709551616.0L
                                  + static_cast<long double>(low);
    return negative ? -magnitude : magnitude;
}
