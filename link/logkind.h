/// @brief What a log line from the link reports, so that a front end can weigh it without reading its text.
#pragma once

enum class LogKind {
    /// The link's progress: connected, reopening.
    Info,
    /// Something went wrong: a socket error, a lost connection.
    Error,
};
