/// @brief The changeover: wait for the panel to end, put the downloaded update in its place, start it, or put the old one back.
#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QTimer>
#include <functional>

/// Works only inside its own folder: the program name may not carry a path separator, and neither
/// the downloaded file nor the program it replaces may be a symbolic link. Every step that fails
/// leaves the old program in place (restored from its backup if it had already been replaced) and
/// one line saying why in the log file beside it.
class Changeover {
public:
    struct Settings {
        QString folder;
        QString programName;
        QString executableSuffix;
        /// The panel's process; 0 when unknown (no wait).
        qint64 panelPid = 0;
        int waitMs = 30000;
    };

    static constexpr const char* LogFileName = "tallyscope-updater.log";
    static constexpr const char* DownloadedFileName = "Downloaded Update";

    Changeover(Settings settings, std::function<void(int exitCode)> done);

    void start();

private:
    bool panelRunning() const;
    void poll();
    void replace();
    void fail(const QString& message);
    void log(const QString& line) const;

    Settings m_settings;
    std::function<void(int)> m_done;
    QTimer m_poll;
    QElapsedTimer m_waited;
};
