/// @brief ExactSum: the sum of value × count over a histogram, exact in the worst case.
#pragma once

#include <QtGlobal>

/// Σ value·count for 32-bit values and 64-bit counts, held in two's complement over two 64-bit
/// words. Each term is below 2^95 in magnitude and so is the whole sum, since the counts add up
/// to at most 2^64: the words, taken modulo 2^128, never wrap and hold the sum exactly.
class ExactSum {
public:
    void add(qint32 value, quint64 count);
    /// The sum, rounded once to the nearest long double.
    long double value() const;

private:
    quint64 m_low = 0;
    quint64 m_high = 0;
};
