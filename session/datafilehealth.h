/// @brief The state of the current or last run's data file, as the control port reports it.
#pragma once

#include "platform/fileerror.h"

#include <QString>

/// Whole (None) until the run's file could not be created, a write to it failed or its closing
/// sync did; `reason` is then the text the log shows after "Doh! (data) ", or the bad-folder
/// reason for a file that could not be created (which the log does not show).
struct DataFileHealth {
    FileFailure failure = FileFailure::None;
    QString reason;
};
