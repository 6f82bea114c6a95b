/// @brief The update check's error numbers; a failed check's status text shows the number plus 10.
#pragma once

/// The values are what the operator reads (less 10) in a status text: never renumber them.
enum class UpdateError : int {
    None = 0,
    /// A negative count in cutting a text (no NUL after "FileVersion", "[comments]" at the end).
    InvalidArgument = 5,
    /// A body beyond the transfer's size limit ("Overflow").
    TooLarge = 6,
    /// Not a number where one is needed; also a text-mode request of a binary body.
    TypeMismatch = 13,
    FileAccess = 75,
    TimedOut = 35761,
    /// Refused, reset, unknown host, TLS failure, a refused redirect: anything but a time-out that
    /// yields no response.
    TransferFailed = 35764,
};
