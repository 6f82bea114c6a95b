/// @brief Grouped whole numbers, shared by the record line and the count caption.
#include "link/numberformat.h"

#include <QVarLengthArray>

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

QString grouped(qint64 value, QStringView separator)
{
    QString out;
    appendGrouped(out, value, separator);
    return out;
}

} // namespace numberformat
