/// @brief The command table's entries.
#include "remote/scpicommands.h"

#include <limits>

namespace scpi {
namespace {

constexpr Parameter boolean() { return {Kind::Boolean}; }
constexpr Parameter integer(double low, double high, bool optional = false) { return {Kind::Integer, low, high, nullptr, optional}; }
constexpr Parameter real(double low, double high) { return {Kind::Real, low, high}; }
constexpr Parameter string() { return {Kind::String}; }
constexpr Parameter choice(const char* words) { return {Kind::Choice, 0, 0, words}; }

constexpr Form none() { return {}; }
constexpr Form bare() { return {true, {}}; }
constexpr Form with(Parameter p) { return {true, {p, {}}}; }
constexpr Form with(Parameter p, Parameter q) { return {true, {p, q}}; }

// Tau enters a time conversion as a divisor; beyond these bounds it is a typing mistake.
constexpr double TauLowNs = 0.001;
constexpr double TauHighNs = 1e6;
// The bin width and window are in ps; the instrument's differences fit an int32.
constexpr double PsLimit = 2147483647.0;
constexpr double IntMax = std::numeric_limits<qint32>::max();
// Counts stay exact in the double a number is parsed into; times fit the timer's milliseconds.
constexpr double MaxAcquireCount = 1e15;
constexpr double MaxAcquireSeconds = 1e6;

const CommandEntry table[] = {
    {"*IDN", Command::Idn, none(), bare()},
    {"*RST", Command::Rst, bare(), none()},
    {"*CLS", Command::Cls, bare(), none()},
    {"*ESE", Command::Ese, with(integer(0, 255)), bare()},
    {"*ESR", Command::Esr, none(), bare()},
    {"*STB", Command::Stb, none(), bare()},
    {"*SRE", Command::Sre, with(integer(0, 255)), bare()},
    {"*OPC", Command::Opc, bare(), bare()},
    {"*WAI", Command::Wai, bare(), none()},
    {"SYSTem:ERRor[:NEXT]", Command::SystemError, none(), bare()},
    {"SYSTem:ERRor:COUNt", Command::SystemErrorCount, none(), bare()},
    {"SYSTem:VERSion", Command::SystemVersion, none(), bare()},
    {"CONNection:STATe", Command::ConnectionState, none(), bare()},
    {"CONNection:ADDRess", Command::ConnectionAddress, with(string()), bare()},
    {"CONNection:PORT", Command::ConnectionPort, none(), bare()},
    {"CALibration[:IMMediate]", Command::Calibrate, bare(), none()},
    {"CALibration:DATA", Command::CalibrationData, none(), bare()},
    {"CALibration:VALid", Command::CalibrationValid, none(), bare()},
    {"CALibration:TAU:A", Command::CalibrationTauA, with(real(TauLowNs, TauHighNs)), bare()},
    {"CALibration:TAU:B", Command::CalibrationTauB, with(real(TauLowNs, TauHighNs)), bare()},
    {"RUN[:STATe]", Command::Run, with(boolean()), bare()},
    {"FETCh:COUNt", Command::FetchCount, none(), bare()},
    {"FETCh:STATistics", Command::FetchStatistics, none(), bare()},
    {"FETCh:DT", Command::FetchDt, none(), with(integer(1, IntMax, true))},
    {"FETCh:DT:LOST", Command::FetchDtLost, none(), bare()},
    {"FORMat[:DATA]", Command::Format, with(choice("ASCii|INTeger")), bare()},
    {"HISTogram:DATA", Command::HistogramData, none(), bare()},
    {"HISTogram:AXIS", Command::HistogramAxis, none(), bare()},
    {"HISTogram:BWIDth", Command::HistogramBinWidth, with(real(1, PsLimit)), bare()},
    {"HISTogram:WINDow", Command::HistogramWindow, with(real(-PsLimit, PsLimit), real(-PsLimit, PsLimit)), bare()},
    {"HISTogram:STATistics", Command::HistogramStatistics, none(), bare()},
    {"HISTogram:CLEar", Command::HistogramClear, bare(), none()},
    {"HISTogram:RANGe:ALL", Command::HistogramRangeAll, with(boolean()), bare()},
    {"SOURce:DAC:A", Command::DacA, with(integer(0, 4095)), bare()},
    {"REGister", Command::Register, none(), with(integer(0, 7))},
    {"FILE[:STATe]", Command::FileState, with(boolean()), bare()},
    {"FILE:PATH", Command::FilePath, with(string()), bare()},
    {"FILE:VERBose", Command::FileVerbose, with(boolean()), bare()},
    {"FILE:RAW", Command::FileRaw, with(boolean()), bare()},
    {"FILE:NAME", Command::FileName, none(), bare()},
    {"FILE:ERRor", Command::FileError, none(), bare()},
    {"DISPlay[:STATe]", Command::Display, with(boolean()), bare()},
    {"LINK:HEALth", Command::LinkHealth, none(), bare()},
    {"STATus:OPERation:CONDition", Command::OperationCondition, none(), bare()},
    {"STATus:OPERation[:EVENt]", Command::OperationEvent, none(), bare()},
    {"STATus:OPERation:ENABle", Command::OperationEnable, with(integer(0, 32767)), bare()},
    {"SYSTem:LOCK:REQuest", Command::LockRequest, none(), bare()},
    {"SYSTem:LOCK:RELease", Command::LockRelease, bare(), none()},
    {"SYSTem:LOCK:OWNer", Command::LockOwner, none(), bare()},
    {"ACQuire:COUNt", Command::AcquireCount, with(integer(0, MaxAcquireCount)), bare()},
    {"ACQuire:TIME", Command::AcquireTime, with(real(0, MaxAcquireSeconds)), bare()},
    {"INITiate[:IMMediate]", Command::Initiate, bare(), none()},
    {"ABORt", Command::Abort, bare(), none()},
    {"READ:DT", Command::ReadDt, none(), bare()},
    {"READ:HISTogram", Command::ReadHistogram, none(), bare()},
};

} // namespace

std::span<const CommandEntry> commandTable() { return table; }

} // namespace scpi
