/// @brief The exact bytes of every command the panel sends to the instrument, one send each.
#pragma once

#include "link/protocol.h"

#include <QByteArray>

namespace commands {

/// "H": keep-alive; the instrument answers with a one-byte heartbeat reply.
QByteArray heartbeat();
/// "V": asks for the 16-byte version reply.
QByteArray versionRequest();
/// "R" 0x01: start streaming coincidence records.
QByteArray runOn();
/// "R" 0x00: stop streaming; also the first step of a calibration.
QByteArray runOff();
/// "C" 0x01 followed by the register reads "3" and "4"; the four bytes must go out in one send
/// so that the two ADC replies belong to this level.
QByteArray calibrationLow();
/// "C" 0x03 followed by "3" and "4", one send.
QByteArray calibrationHigh();
/// "C" 0x00: ends the calibration.
QByteArray calibrationOff();

inline constexpr int DacMaximum = protocol::DacMaximum;

/// "A" hh ll for the DAC A set-point value v (the numeric value of the entry text).
/// The value is rounded half to even first and held to 0..4095, then split big-endian, so a
/// fractional entry always encodes one whole code. Splitting the unrounded value (high byte
/// from v / 256, low byte from the rounded v) would send 255.5 as high 0 / low 0, i.e. code 0.
/// A value that is not a number encodes code 0.
QByteArray dacA(double value);

/// One ASCII digit "0" to "7"; an index outside 0..7 gives no bytes (nothing to send).
QByteArray registerRead(int index);

} // namespace commands
