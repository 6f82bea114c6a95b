/// @brief HeadlessRecorder: one run without a window, through InstrumentSession: connect, calibrate, read the
/// registers, record with File ticked, stop cleanly.
#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

class Clock;
class InstrumentSession;
class MemorySettingsBackend;
class PanelOptions;
class SettingsStore;
class Socket;
class Timer;

class HeadlessRecorder : public QObject {
    Q_OBJECT
public:
    // Documented in the manual page, beside the shared ones; an interrupt ends with 128 + n,
    // the shell's signal convention.
    static constexpr int ExitNoConnection = 2;
    static constexpr int ExitCalibration = 3;
    static constexpr int ExitConnectionLost = 4;

    struct Settings {
        QString address;
        quint16 port = 0;
        QString folder;
        std::optional<double> duration;
        std::optional<quint64> recordLimit;
        bool verbose = false;
        bool raw = false;
        double connectTimeout = 10;
        /// Progress redrawn in place on one line rather than a line every few seconds.
        bool terminal = false;
    };
    /// Text as it is to appear: `print` for stdout (line ends included), `complain` for one
    /// stderr line without the program's name or line end.
    using Output = std::function<void(const QString&)>;

    /// `socket` is the one `session` talks through: a refused connect is closed and retried.
    /// `clock` is the session's too, so that the recorder's waits and the run's time agree with it.
    HeadlessRecorder(InstrumentSession& session, Socket& socket, const Clock& clock, const Settings& settings,
                     Output print, Output complain, QObject* parent = nullptr);
    ~HeadlessRecorder() override;

    /// Connects; finished() follows once, with the exit code.
    void start();
    /// SIGINT or SIGTERM: the run (if any) stops with complete files.
    void interrupt(int signalNumber);

signals:
    void finished(int exitCode);

private:
    enum class Phase { Connecting, Calibrating, Registers, Running, Done };

    void onCalibrationFinished();
    void startRun();
    void finish(int code, const QString& message);
    void showProgress();
    QString progressLine() const;

    InstrumentSession& m_session;
    // The recorder's switches, folder and address live in memory: a recording must not change
    // what the panel restores.
    std::unique_ptr<MemorySettingsBackend> m_backend;
    std::unique_ptr<SettingsStore> m_store;
    std::unique_ptr<PanelOptions> m_options;
    Socket& m_socket;
    const Clock& m_clock;
    const Settings m_settings;
    const Output m_print;
    const Output m_complain;
    Phase m_phase = Phase::Connecting;
    double m_runStart = 0; ///< on the clock's monotonic seconds
    std::unique_ptr<Timer> m_progressTimer;
    std::unique_ptr<Timer> m_durationTimer;
    std::unique_ptr<Timer> m_registerWait;
    std::unique_ptr<Timer> m_connectRetry;
    std::unique_ptr<Timer> m_connectTimeout;
    QString m_lastConnectMessage;
    bool m_dataFileFailed = false;
};
