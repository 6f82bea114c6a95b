/// @brief HeadlessServer: the session without a window, driven through the control port until SIGINT or SIGTERM.
#pragma once

#include "remote/controlport.h"

#include <QObject>
#include <QString>
#include <functional>
#include <memory>

class Clock;
class ControlPort;
class HistogramFeed;
class InstrumentSession;
class MemorySettingsBackend;
class MessageBoxes;
class MessageLog;
class PanelOptions;
class SettingsStore;
class Socket;
class Timer;

class HeadlessServer : public QObject {
    Q_OBJECT
public:
    struct Settings {
        QString address;
        quint16 port = 0;
        /// Where a run's data file goes until a script says otherwise.
        QString folder;
        ControlPortSettings control;
    };
    /// One stderr line, without the program's name or line end.
    using Output = std::function<void(const QString&)>;

    /// `socket` is the one the session talks through; both it and `clock` must outlive this.
    HeadlessServer(Socket& socket, const Clock& clock, MessageBoxes& boxes, const Settings& settings, Output complain,
                   QObject* parent = nullptr);
    ~HeadlessServer() override;

    /// Listens on the control port and connects to the instrument; false with the reason when
    /// the port cannot be had.
    bool start(QString* error);
    /// Clients get this long after a signal to fetch what is left, at most.
    static constexpr double ClosingGraceSeconds = 2.0;
    static constexpr int ClosingCheckMs = 20;

    /// SIGINT or SIGTERM: a run under way ends with complete files and the link closes; no new
    /// client is taken, and those connected may fetch what is left until each has fetched all
    /// or gone, for ClosingGraceSeconds at most; then finished(0).
    void interrupt(int signalNumber);

    InstrumentSession& session() { return *m_session; }
    ControlPort& controlPort() { return *m_controlPort; }
    PanelOptions& options() { return *m_options; }

signals:
    void finished(int exitCode);

private:
    const Output m_complain;
    const ControlPortSettings m_controlSettings;
    // The switches live in memory: a server must not change what the panel restores.
    std::unique_ptr<MemorySettingsBackend> m_backend;
    std::unique_ptr<SettingsStore> m_store;
    std::unique_ptr<PanelOptions> m_options;
    std::unique_ptr<MessageLog> m_log;
    // Before the session, which feeds it until its end.
    std::unique_ptr<HistogramFeed> m_histogram;
    std::unique_ptr<InstrumentSession> m_session;
    std::unique_ptr<ControlPort> m_controlPort;
    const Clock& m_clock;
    std::unique_ptr<Timer> m_closingCheck;
    double m_closeBy = 0;
    bool m_stopping = false;

    void closeWhenFetched();
};
