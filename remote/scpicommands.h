/// @brief The control port's command table: every header it knows, with its forms and parameters.
#pragma once

#include <QtGlobal>
#include <array>
#include <span>

namespace scpi {

/// What the dispatcher switches on; one per table entry.
enum class Command : quint8 {
    Idn, Rst, Cls, Ese, Esr, Stb, Sre, Opc, Wai,
    SystemError, SystemErrorCount, SystemVersion,
    ConnectionState, ConnectionAddress, ConnectionPort,
    Calibrate, CalibrationData, CalibrationValid, CalibrationTauA, CalibrationTauB,
    Run, FetchCount, FetchStatistics, FetchDt, FetchDtLost, Format,
    HistogramData, HistogramAxis, HistogramBinWidth, HistogramWindow, HistogramStatistics, HistogramClear,
    HistogramRangeAll,
    DacA, Register,
    FileState, FilePath, FileVerbose, FileRaw, FileName, FileError,
    Display, LinkHealth,
    OperationCondition, OperationEvent, OperationEnable,
    LockRequest, LockRelease, LockOwner,
    AcquireCount, AcquireTime, Initiate, Abort, ReadDt, ReadHistogram,
};

enum class Kind : quint8 { None, Boolean, Integer, Real, String, Choice };

struct Parameter {
    Kind kind = Kind::None;
    double low = 0;
    double high = 0;
    /// For Choice: the accepted words in SCPI case ("ASCii|INTeger"), answered by index.
    const char* choices = nullptr;
    bool optional = false;
};

/// One way of using a header: as a command (no "?") or as a query.
struct Form {
    bool allowed = false;
    std::array<Parameter, 2> parameters{};
};

struct CommandEntry {
    /// Uppercase letters are the short form; "[:NODE]" may be left out.
    const char* header;
    Command id;
    Form command;
    Form query;
};

/// The whole table, in the order the README lists it.
std::span<const CommandEntry> commandTable();

} // namespace scpi
