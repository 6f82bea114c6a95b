/// @brief The SCPI error numbers and texts the control port reports (SYSTem:ERRor?).
#pragma once

#include <QByteArray>

namespace scpi {

enum class Error {
    None = 0,
    Syntax = -102,
    ParameterNotAllowed = -108,
    MissingParameter = -109,
    UndefinedHeader = -113,
    Execution = -200,
    InitIgnored = -213,
    SettingsConflict = -221,
    DataOutOfRange = -222,
    TooMuchData = -223,
    IllegalParameterValue = -224,
    DataQuestionable = -231,
    Hardware = -240,
    MassStorage = -250,
    MediaFull = -254,
    FileNameNotFound = -256,
    FileNameError = -257,
    QueueOverflow = -350,
    InputBufferOverrun = -363,
    TimeOut = -365,
    QueryInterrupted = -410,
};

/// The standard text, without quotes: "No error", "Syntax error", ...
inline const char* errorText(Error e)
{
    switch (e) {
    case Error::None:
        return "No error";
    case Error::Syntax:
        return "Syntax error";
    case Error::ParameterNotAllowed:
        return "Parameter not allowed";
    case Error::MissingParameter:
        return "Missing parameter";
    case Error::UndefinedHeader:
        return "Undefined header";
    case Error::Execution:
        return "Execution error";
    case Error::InitIgnored:
        return "Init ignored";
    case Error::SettingsConflict:
        return "Settings conflict";
    case Error::DataOutOfRange:
        return "Data out of range";
    case Error::TooMuchData:
        return "Too much data";
    case Error::IllegalParameterValue:
        return "Illegal parameter value";
    case Error::DataQuestionable:
        return "Data questionable";
    case Error::Hardware:
        return "Hardware error";
    case Error::MassStorage:
        return "Mass storage error";
    case Error::MediaFull:
        return "Media full";
    case Error::FileNameNotFound:
        return "File name not found";
    case Error::FileNameError:
        return "File name error";
    case Error::QueueOverflow:
        return "Queue overflow";
    case Error::InputBufferOverrun:
        return "Input buffer overrun";
    case Error::TimeOut:
        return "Time out error";
    case Error::QueryInterrupted:
        return "Query INTERRUPTED";
    }
    return "Execution error";
}

/// The answer of SYSTem:ERRor?: `-113,"Undefined header"`, or with the device's own detail
/// after a semicolon, as SCPI allows: `-200,"Execution error;locked by another client"`.
inline QByteArray errorAnswer(Error e, const char* detail = nullptr)
{
    QByteArray text = errorText(e);
    if (detail)
        text += QByteArray(";") + detail;
    return QByteArray::number(int(e)) + ",\"" + text + '"';
}

} // namespace scpi
