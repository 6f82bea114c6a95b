/// @brief The composition root: builds the models, the seams and the window, wires them, shuts them down in order.
#pragma once

#include "remote/controlport.h"

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

class InstrumentSession;
class QtUpdatePlatform;
class UpdatePlatform;
class UpdateProgressDialog;
class UpdateRoutine;
class FormMain;
class HistogramFeed;
class HistogramWindow;
class InstrumentSimulator;
class MessageBoxes;
class MessageLog;
class PanelOptions;
class QLockFile;
class SettingsBackend;
class SettingsStore;
class Clock;
class Socket;
class SystemClock;

class Application : public QObject {
    Q_OBJECT
public:
    struct Options {
        std::optional<QString> address;
        std::optional<quint16> port;
        bool simulate = false;
        QString updateUrl;
        std::optional<ControlPortSettings> control;
    };

    /// Parses the command line into `options`, before any display is opened. When the program
    /// ends here (--help, --version, a bad argument) returns its exit code, the text printed.
    static std::optional<int> parseArguments(const QStringList& arguments, Options& options);

    /// True when this is the only running panel of this user; otherwise shows the refusal and
    /// returns false at once, and `refusalAnswered` runs when the operator has answered it.
    /// A lock that cannot be made at all is no refusal: true, with `warning` saying so.
    /// The lock stays held as long as `lock` lives.
    static bool acquireSingleInstance(QLockFile& lock, MessageBoxes& boxes, QString& warning,
                                      std::function<void()> refusalAnswered = {});
    /// Empty when the user has no private runtime folder.
    static QString lockFilePath();

    /// Seams that a test puts in place of the machine's (an in-process simulator, a fake clock);
    /// each left null is the machine's own. Both must outlive the application.
    struct Seams {
        Socket* socket = nullptr;
        const Clock* clock = nullptr;
        /// The update check's web, files and processes, with the key its version files are
        /// signed with (the build's own when empty).
        UpdatePlatform* update = nullptr;
        QString updatePublicKey;
    };

    Application(const Options& options, SettingsBackend& settings, MessageBoxes& boxes, QObject* parent = nullptr);
    Application(const Options& options, SettingsBackend& settings, MessageBoxes& boxes, Seams seams,
                QObject* parent = nullptr);
    ~Application() override;

    /// Opens the control port the options ask for (if any), printing where it listens on
    /// stderr; false with the reason when the port cannot be had.
    bool openControlPort(QString* error);
    ControlPort* controlPort() { return m_controlPort.get(); }

    /// Runs start-up; the window shows when it has completed.
    void start();
    /// Ends the panel as closing its window does; during start-up, when nothing has been
    /// restored or opened yet, without writing anything.
    void stop();
    /// A line for the message log; during start-up it waits until the log has its first text.
    void logNote(const QString& line);
    FormMain& window() { return *m_window; }
    InstrumentSession& session() { return *m_session; }
    MessageLog& log() { return *m_log; }
    PanelOptions& panelOptions() { return *m_panelOptions; }
    InstrumentSimulator* simulator() { return m_simulator.get(); }
    UpdateRoutine& updateRoutine() { return *m_update; }
    HistogramFeed& histogramFeed() { return *m_histogramFeed; }
    /// The histogram window, created when first asked for (null until then).
    HistogramWindow* histogramWindow() { return m_histogramWindow.get(); }

signals:
    /// The window has been closed and everything is shut down.
    void finished();

private:
    void wire();

    Options m_options;
    MessageBoxes& m_boxes;
    std::unique_ptr<SettingsStore> m_settings;
    std::unique_ptr<PanelOptions> m_panelOptions;
    std::unique_ptr<SystemClock> m_clock;
    const Clock* m_seamClock = nullptr;
    std::unique_ptr<Socket> m_socket;
    std::unique_ptr<InstrumentSimulator> m_simulator;
    std::unique_ptr<MessageLog> m_log;
    // Declared before the session, so that it outlives the decoder that feeds it.
    std::unique_ptr<HistogramFeed> m_histogramFeed;
    std::unique_ptr<InstrumentSession> m_session;
    std::unique_ptr<FormMain> m_window;
    std::unique_ptr<ControlPort> m_controlPort;
    std::unique_ptr<QtUpdatePlatform> m_updatePlatform;
    std::unique_ptr<UpdateRoutine> m_update;
    std::unique_ptr<UpdateProgressDialog> m_updateProgress;
    std::unique_ptr<HistogramWindow> m_histogramWindow;
    QString m_updateUrl;
    bool m_loaded = false;
    QStringList m_pendingNotes;
};
