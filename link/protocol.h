/// @brief The instrument protocol's numbers, in one place for the decoder, the simulator, the tools and the models.
#pragma once

#include <QtGlobal>

namespace protocol {

/// Reply lengths, by their first byte: "H" heartbeat, "P" prefix, "R" coincidence record,
/// "V" version, "0".."7" register reply.
inline constexpr int HeartbeatLength = 1;
inline constexpr int PrefixLength = 2;
inline constexpr int RecordLength = 7;
inline constexpr int VersionLength = 16;
inline constexpr int RegisterLength = 3;
inline constexpr int MaxReplyLength = VersionLength;
/// Registers "0".."7".
inline constexpr int RegisterCount = 8;

/// A reading is on the usable part of the ramp only strictly inside this interval.
inline constexpr int PlausibleLow = 650;
inline constexpr int PlausibleHigh = 2350;

/// A calibration cell is good strictly inside its window: the ADC reading at the low and at
/// the high calibration level.
inline constexpr double CalibrationLowFloor = 450;
inline constexpr double CalibrationLowCeiling = 550;
inline constexpr double CalibrationHighFloor = 3550;
inline constexpr double CalibrationHighCeiling = 3650;

/// Tau of channels A and B in ns, as the entries show them before the operator changes them.
inline constexpr const char* TauADefaultText = "9.47";
inline constexpr const char* TauBDefaultText = "9.49";
inline constexpr double TauADefault = 9.47;
inline constexpr double TauBDefault = 9.49;

/// The instrument's TCP port.
inline constexpr quint16 DefaultPort = 37829;
/// A keep-alive "H" goes out this often while connected.
inline constexpr int KeepAliveMs = 4500;
/// A link silent for longer than this is lost; an unfinished reply older than this is dropped.
inline constexpr double SilenceLimitSeconds = 5.0;

/// The largest DAC code; the set-point is 12 bits.
inline constexpr int DacMaximum = 4095;

} // namespace protocol
