/// @brief The machine operations the update check needs, as a seam: HTTP, program identity, files, processes.
#pragma once

#include "update/updateerror.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>

/// Settings, message boxes and the date come through their own seams (SettingsStore,
/// MessageBoxes, Clock); the busy pointer, the download progress and the end of the program are
/// signals of UpdateRoutine.
class UpdatePlatform {
public:
    enum class HttpMode { Text, Binary };

    struct HttpReply {
        /// None, or TypeMismatch for a text-mode request of a binary body, TooLarge, TimedOut,
        /// TransferFailed. An HTTP error status is no error: its page is the body.
        UpdateError error = UpdateError::None;
        /// Text mode: one character per byte (Latin-1). Empty when `error` is set.
        QByteArray body;
        /// The response's "Content-length" header as sent, empty when absent.
        QString contentLength;
    };
    /// What a peer may make one transfer cost. Exceeding a limit aborts the transfer with
    /// TooLarge (size) or TimedOut (time).
    struct Limits {
        /// The largest body accepted, announced or received.
        qint64 maxBytes = 0;
        /// The whole transfer ends within this; 0: no overall deadline.
        int deadlineMs = 0;
        /// At least minBytesPerWindow body bytes arrive in every progressWindowMs; 0: no check.
        int progressWindowMs = 0;
        qint64 minBytesPerWindow = 0;
    };
    using ReplyHandler = std::function<void(const HttpReply&)>;
    using ProgressHandler = std::function<void(qint64 received, qint64 total)>;

    virtual ~UpdatePlatform() = default;

    /// GET `url`. `done` runs exactly once, always later from the event loop, never inside this call.
    virtual void request(const QString& url, HttpMode mode, const Limits& limits, ReplyHandler done,
                         ProgressHandler progress) = 0;

    /// Absolute path of the running executable (its folder is the program folder).
    virtual QString executablePath() const = 0;
    /// ".exe" where the platform marks executables by a suffix, "" elsewhere.
    virtual QString executableSuffix() const = 0;
    /// The raw version-information block of the executable file at `path`, empty when it has none.
    virtual QByteArray versionBlock(const QString& path) const = 0;

    /// Whether files can be created, replaced and renamed in `folder` by this process.
    virtual bool isWritableFolder(const QString& folder) const = 0;
    /// Deletes a file; failures are ignored by design.
    virtual void deleteFile(const QString& path) = 0;
    /// Creates or replaces `path` with exactly `bytes`.
    virtual UpdateError writeFile(const QString& path, const QByteArray& bytes, bool executable) = 0;
    /// Starts a detached process; returns its task identifier (> 0) or 0. `error` is set only
    /// when the start failed with an error rather than just produced no task.
    virtual qint64 startProcess(const QString& program, const QStringList& arguments, UpdateError& error) = 0;
};
