/// @brief Command encoders. Byte values 0x80-0xFF stay single bytes: QByteArray carries them as they are.
#include "link/commands.h"

#include "platform/numbers.h"

#include <cmath>

namespace commands {

QByteArray heartbeat() { return QByteArrayLiteral("H"); }

QByteArray versionRequest() { return QByteArrayLiteral("V"); }

QByteArray runOn() { return QByteArrayLiteral("R\x01"); }

QByteArray runOff() { return QByteArray("R\0", 2); }

QByteArray calibrationLow()
{
    return QByteArrayLiteral("C\x01"
                             "34");
}

QByteArray calibrationHigh()
{
    return QByteArrayLiteral("C\x03"
                             "34");
}

QByteArray calibrationOff() { return QByteArray("C\0", 2); }

QByteArray dacA(double value)
{
    // NaN compares false everywhere, so it falls through to code 0 with the negative values.
    const double rounded = numbers::roundHalfEven(value);
    int code = 0;
    if (rounded >= DacMaximum)
        code = DacMaximum;
    else if (rounded > 0)
        code = int(rounded);
    QByteArray bytes(3, Qt::Uninitialized);
    bytes[0] = 'A';
    bytes[1] = char(code / 256);
    bytes[2] = char(code % 256);
    return bytes;
}

QByteArray registerRead(int index)
{
    if (index < 0 || index > 7)
        return {};
    return QByteArray(1, char('0' + index));
}

} // namespace commands
