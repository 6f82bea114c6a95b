/// @brief Everything between the socket and a front end: link, models, decoder, calibration, runs with their data file and sidecar, register polling, link health.
#pragma once

#include "link/decoderoutput.h"
#include "link/dataoptions.h"
#include "platform/fileerror.h"
#include "session/datafilehealth.h"

#include <QObject>
#include <QString>
#include <memory>
#include <optional>

class CalibrationCapture;
class CalibrationModel;
class CalibrationSequence;
class Clock;
class ConnectionManager;
class DataFile;
class LinkHealth;
class MessageBoxes;
class MessageLog;
class PanelOptions;
class RegisterModel;
class RegisterPanel;
class ReplyDecoder;
class RunSidecar;
class RunStatistics;
class RunSwitch;
class Socket;
class Timer;
class VersionModel;

/// The panel's working core without a window, shared by the panel and the headless recorder:
/// every connection is calibrated and then asked for its version, every arrival is decoded and
/// what was decoded is handed to the operating system at once, and a lost link voids the
/// calibration and ends the run and the polling. Front ends call the operator's actions below
/// and follow the signals; none of them decides what happens.
class InstrumentSession : public QObject, private DecoderOutput {
    Q_OBJECT
public:
    /// What ends an acquisition by itself; 0 is no bound. The time runs from the arrival of
    /// the acquisition's first record.
    struct AcquisitionBounds {
        quint64 records = 0;
        qint64 milliseconds = 0;
    };
    enum class AcquisitionEnd {
        /// A bound was reached: the run holds exactly what the bounds let in.
        Complete,
        Aborted,
        /// Run unticked otherwise (the operator, a lost link, shutdown).
        Interrupted,
    };

    InstrumentSession(Socket& socket, const Clock& clock, MessageBoxes& boxes, MessageLog& log, QObject* parent = nullptr);
    ~InstrumentSession() override;

    ConnectionManager& link() { return *m_link; }
    CalibrationModel& calibration() { return *m_calibration; }
    RunStatistics& statistics() { return *m_statistics; }
    RegisterModel& registers() { return *m_registers; }
    VersionModel& versions() { return *m_versions; }
    ReplyDecoder& decoder() { return *m_decoder; }
    DataFile& dataFile() { return *m_dataFile; }
    RunSwitch& runSwitch() { return *m_runSwitch; }
    CalibrationSequence& calibrationSequence() { return *m_calibrationSequence; }
    RegisterPanel& registerPanel() { return *m_registerPanel; }
    LinkHealth& linkHealth() { return *m_linkHealth; }
    /// The description beside the current (or last) run's data file.
    const RunSidecar& runSidecar() const { return *m_sidecar; }
    MessageLog& log() { return m_log; }
    /// The data options the decoder works with: the bound PanelOptions' snapshot.
    const DataOptions& options() const;

    /// Told of every decoded record after the run statistics, in the order added; each must
    /// stay until removed or until the session is gone.
    void addRecordObserver(RecordObserver* observer);
    void removeRecordObserver(RecordObserver* observer);
    /// A new address: the link in place is closed as if lost (the run ends, the calibration
    /// is void) and a connection to the address in force is opened.
    void reconnect();
    /// The last code DAC A was sent this session, if any.
    std::optional<int> dacACode() const { return m_dacACode; }

    /// From now on the data options, data folder and address are those of `options`, their one
    /// owner; the decoder gets a new snapshot of the switches on every change.
    void bindOptions(PanelOptions& options);
    /// Start-up's connection to the address in force; the log starts afresh with its line.
    void openConnection();
    /// Closing: Run unticked (ending a run and its file), calibration and polling ended, link closed.
    void shutdown();

    bool send(const QByteArray& bytes);
    /// The run box changed: start or stop a run (with its data file when File is ticked). A
    /// start while ticked starts anew, as a click on a grayed box always has.
    void setRun(bool ticked);
    bool isRunTicked() const { return m_runTicked; }
    /// A run as setRun(true) starts it, ended by the session as soon as a bound is reached: the
    /// records after the bound, in the same arrival or later, are neither counted, shown nor
    /// written, until the next run start.
    void startAcquisition(const AcquisitionBounds& bounds);
    /// Ends the acquisition under way as its bound would, with what it has so far.
    void abortAcquisition();
    bool isAcquiring() const { return m_acquisition.has_value(); }
    /// Register polling (the Auto box).
    void setAuto(bool ticked);
    bool isAutoTicked() const { return m_autoTicked; }
    void calibrate();
    void requestRegisters();
    void requestRegister(int index);
    /// Whole entries of this run in its data file: what a reader of the file finds.
    quint64 entriesWritten() const;
    /// The current or the last run's data file: None while whole (and before any run).
    const DataFileHealth& dataFileHealth() const { return m_dataFileHealth; }
    /// The caption the bad-folder message box is titled after.
    void setWindowCaption(const QString& caption);
    /// DAC A's "Update": the entry's code to the instrument.
    void sendDacA(const QString& entry);
    /// Ends a calibration under way and the register polling (before the link is closed).
    void stopActivities();

signals:
    /// A calibration is under way (busy pointer).
    void busyChanged(bool busy);
    /// After every change of the Run state, the session's own (link loss, shutdown) included.
    void runChanged(bool ticked);
    void autoChanged(bool ticked);

    // Failures as they happen, for front ends without a log view; each also puts its
    // "Doh!" line into the log.
    /// The decoder took its error path; `line` is the log's error line.
    void decoderError(const QString& line);
    /// The data file failed and is closed; `reason` is DataFile's "Write failed: ..." text.
    /// `inRecordWrite`: it failed inside a record's write, and the decoder's error line follows.
    void dataFileFailed(const QString& reason, bool inRecordWrite);
    /// The run's sidecar could not be saved (once per run).
    void sidecarFailed(const QString& reason);
    /// Once per failure of a file of the run: the data file could not be created at run start (File
    /// ticked), a write failed, the closing sync failed, or the sidecar could not be saved (the sidecar
    /// failure once per run, as its log line). `reason` is the text the log shows after "Doh! (data) ".
    void fileFailure(FileFailure failure, const QString& reason);
    /// The connection was lost.
    void linkLost();
    /// DAC A was sent `entry` (from whichever front end), so that every view shows it.
    void dacASent(const QString& entry);
    /// After the acquisition's run has stopped, its data file and sidecar complete.
    void acquisitionEnded(InstrumentSession::AcquisitionEnd end);

private:
    void heartbeat() override;
    void displayLine(const QString& line) override;
    void displayAscii(QByteArrayView line) override;
    void errorLine(const QString& line) override;
    bool fileIsOpen() const override;
    bool writeFile(QByteArrayView bytes, QString& errorText) override;
    bool takesLineBatches() const override { return true; }
    qsizetype fileRoom() const override;
    bool writeFileLines(QByteArrayView bytes, qsizetype lines, QString& errorText) override;
    void displayAsciiLines(QByteArrayView bytes, qsizetype lines) override;

    void applyDataOptions(const DataOptions& options);
    void setDataFolder(const QString& folder);
    void untickRun();
    void endAcquisition(AcquisitionEnd end);
    /// Around each arrival: a time bound that has passed ends the acquisition before the
    /// arrival is decoded; the first record starts the time; a used-up count ends it after.
    void acquisitionBeforeArrival(double now);
    void acquisitionAfterArrival(double now, quint64 decodedBefore);
    void beginSidecar();
    void finishSidecar();
    void noteCalibrationChange(const QString& reason);
    void refreshSidecarFigures();
    void reportSidecarSave(bool saved);
    void dataFileWriteFailed(const QString& description);
    void closedFileSyncFailed(const QString& path, const QString& description, FileFailure failure);
    /// Only the file of the current (or last) run makes it unhealthy; an earlier run's file that
    /// fails late is reported, but says nothing about this one.
    void noteRunFileFailure(const QString& path, FileFailure failure, const QString& reason);

    MessageLog& m_log;
    std::unique_ptr<CalibrationModel> m_calibration;
    std::unique_ptr<RunStatistics> m_statistics;
    std::unique_ptr<RegisterModel> m_registers;
    std::unique_ptr<VersionModel> m_versions;
    std::unique_ptr<ConnectionManager> m_link;
    std::unique_ptr<DataFile> m_dataFile;
    std::unique_ptr<RunSwitch> m_runSwitch;
    std::unique_ptr<CalibrationSequence> m_calibrationSequence;
    std::unique_ptr<RegisterPanel> m_registerPanel;
    std::unique_ptr<CalibrationCapture> m_capture;
    std::unique_ptr<ReplyDecoder> m_decoder;
    std::unique_ptr<LinkHealth> m_linkHealth;
    std::unique_ptr<RunSidecar> m_sidecar;
    RecordFanout m_observers;
    const Clock& m_clock;
    bool m_runTicked = false;
    bool m_autoTicked = false;
    bool m_versionAfterCalibration = false;
    bool m_decoderWriting = false;
    /// Entries handed to the data file, failed ones aside: the index a calibration change
    /// applies from.
    quint64 m_entriesWritten = 0;
    bool m_runHasFile = false;
    /// The data file of the current or last run; empty when it had none.
    QString m_runDataFile;
    DataFileHealth m_dataFileHealth;
    bool m_sidecarFailureReported = false;
    quint64 m_decodedAtRunStart = 0;
    struct Acquisition {
        AcquisitionBounds bounds;
        /// Monotonic seconds at which the time bound ends it, once its first record came.
        std::optional<double> deadline;
        AcquisitionEnd end = AcquisitionEnd::Interrupted;
    };
    std::optional<Acquisition> m_acquisition;
    /// The bounds of the run being started, for its sidecar.
    std::optional<AcquisitionBounds> m_startingBounds;
    std::unique_ptr<Timer> m_acquisitionTimer;
    quint64 m_refusedAtRunStart = 0;
    std::optional<int> m_dacACode;
    std::optional<QString> m_dacAEntry;
};
