/// @brief Grouped whole numbers, shared by the record line and the count caption.
#include "link/numberformat.h"

#include <QVarLengthArray>
#include <cstring>

namespace numberformat {

void appendGrouped(QString& out, qint64 value, QStringView separator)
{
    // Magnitude as unsigned so that the most negative value has one too.
    quint64 magnitude = value < 0 ? quint64(0) - quint64(value) : quint64(value);
    char digits[20];
    int n = 0;
    do {
        digits[n++] = char('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);

    // Assembled first and appended once: appending character by character dominates the
    // cost of a verbose record line.
    QVarLengthArray<QChar, 64> text;
    if (value < 0)
        text.append(u'-');
    for (int i = n - 1; i >= 0; --i) {
        text.append(QLatin1Char(digits[i]));
        if (i > 0 && i % 3 == 0)
            text.append(separator.data(), separator.size());
    }
    out.append(text.constData(), text.size());
}

namespace {

/// "00", "01", ... "99": two digits per division halves the dependent divisions of a number.
constexpr char DigitPairs[] = "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
                              "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
                              "8081828384858687888990919293949596979899";

} // namespace

char* putGrouped(char* out, qint64 value, std::string_view separator)
{
    Q_ASSERT(separator.size() <= size_t(MaxSeparatorBytes));
    quint64 magnitude = value < 0 ? quint64(0) - quint64(value) : quint64(value);
    // Written backwards from the end of a scratch buffer, then moved to out in one copy.
    char scratch[MaxGroupedBytes];
    char* const end = scratch + sizeof scratch;
    char* p = end;
    int digits = 0;
    do {
        if (digits > 0 && digits % 3 == 0) {
            p -= separator.size();
            std::memcpy(p, separator.data(), separator.size());
        }
        *--p = char('0' + magnitude % 10);
        magnitude /= 10;
        ++digits;
    } while (magnitude != 0);
    if (value < 0)
        *--p = '-';
    const size_t length = size_t(end - p);
    std::memcpy(out, p, length);
    return out + length;
}

char* putPlainField(char* out, qint32 value)
{
    std::memset(out, ' ', PlainWidth);
    char* const end = out + PlainWidth;
    quint32 magnitude = value < 0 ? quint32(0) - quint32(value) : quint32(value);
    char* p = end;
    while (magnitude >= 100 && p - out >= 2) {
        p -= 2;
        std::memcpy(p, DigitPairs + 2 * (magnitude % 100), 2);
        magnitude /= 100;
    }
    // At most two digits left, or the field is full but for one character.
    do {
        if (p == out)
            return end;
        *--p = char('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    // The blank for a non-negative value is already there.
    if (value < 0 && p > out)
        *--p = '-';
    return end;
}

QString grouped(qint64 value, QStringView separator)
{
    QString out;
    appendGrouped(out, value, separator);
    return out;
}

} // namespace numberformat
