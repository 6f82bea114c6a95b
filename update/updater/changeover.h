/// @brief The changeover: wait for the panel to end, put the checked download in its place, start it, and keep the old
/// program until the new one reports a healthy start.
#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QTimer>
#include <functional>

/// Works only inside its own folder: the program name may not carry a path separator, and neither
/// the downloaded file nor the program it replaces may be a symbolic link. The old program stays
/// as N.old until the new panel removes that file once its window is shown; a new panel that ends
/// first, or stays silent for healthyStartMs, is stopped and the old program comes back. Every step
/// that fails leaves the old program in place and one line saying why in the log file beside it.
class Changeover {
public:
    struct Settings {
        QString folder;
        QString programName;
        QString executableSuffix;
        /// SHA-256 (64 hex digits) the download must have; empty: not checked (as panels that pass
        /// only the program name expect).
        QString sha256Hex;
        /// The panel's process; 0 when unknown (no wait).
        qint64 panelPid = 0;
        int waitMs = 30000;
        int healthyStartMs = 120000;
    };

    static constexpr const char* LogFileName = "tallyscope-updater.log";
    static constexpr const char* DownloadedFileName = "Downloaded Update";
    /// Appended to the program's file name for the copy kept until the new panel is healthy.
    static constexpr const char* BackupSuffix = ".old";

    Changeover(Settings settings, std::function<void(int exitCode)> done);

    void start();

private:
    static bool processRunning(qint64 pid);
    QString target() const;
    QString backup() const;
    void poll();
    void replace();
    void watchNewPanel();
    void restore(const QString& why);
    void fail(const QString& message);
    void log(const QString& line) const;

    Settings m_settings;
    std::function<void(int)> m_done;
    QTimer m_poll;
    QElapsedTimer m_waited;
    qint64 m_newPid = 0;
};
