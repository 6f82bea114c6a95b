/// @brief Who asked for an update check, which decides its gates and its notices.
#pragma once

enum class UpdateCheckMode {
    /// At start-up: the once-a-day and the do-not-check gates apply, and nothing is said
    /// when no update can be offered.
    Automatic = 0,
    /// Asked for by the operator: no gates, and a time-out is reported in a box.
    Asked = 1,
    /// Asked for, without the time-out box.
    AskedQuietly = 2,
};
