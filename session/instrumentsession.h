/// @brief Everything between the socket and a front end: link, models, decoder, calibration, runs with their data file
/// and sidecar, register polling, link health.
#pragma once

#include "link/calibration.h"
#include "link/dataoptions.h"
#include "link/decoderoutput.h"
#include "link/logkind.h"
#include "link/replydecoder.h"
#include "measure/linkhealth.h"
#include "platform/fileerror.h"
#include "session/datafilehealth.h"

#include <QObject>
#include <QString>
#include <array>
#include <functional>
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
///
/// The session speaks in commands (the operator's and a script's actions), signals (what
/// changed) and snapshots (small values a front end reads when a signal tells it to). It hands
/// out none of its parts: what a test needs beyond this goes through SessionTestAccess.
class InstrumentSession : public QObject, private DecoderOutput {
    Q_OBJECT
    friend class SessionTestAccess;

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

    // Snapshots: what a front end shows or answers, as values taken now.

    /// The link: up or not, and where the next connect goes.
    struct LinkState {
        bool connected = false;
        QString host;
        quint16 port = 0;
    };
    /// The calibration as the window shows it: the cells in the order A low, A high, B low,
    /// B high ("???" when void), the Tau texts, and whether a run may start.
    struct CalibrationShown {
        std::array<QString, 4> cells;
        QString tauA;
        QString tauB;
        bool runGate = false;
    };
    /// The run statistics as figures and as the window's captions.
    struct RunFigures {
        std::optional<qint64> count;
        std::optional<qint64> minimum;
        std::optional<qint64> maximum;
        QString countCaption;
        QString minCaption;
        QString maxCaption;
        QString rangeCaption;
    };
    static constexpr int RegisterCount = 8;
    /// One register as last read (empty before its first reply).
    struct RegisterShown {
        std::optional<int> value;
        QString decimalCaption;
        QString hexCaption;
    };
    /// The FPGA and network-module captions ("FPGA ???" until the version reply).
    struct VersionCaptions {
        QString fpga;
        QString module;
    };
    /// The current (or last) run's data file.
    struct DataFileState {
        bool open = false;
        QString path;
    };
    /// The description beside the current (or last) run's data file.
    struct SidecarState {
        bool active = false;
        QString path;
        /// Why its last save failed; empty when it did not.
        QString errorString;
    };

    InstrumentSession(Socket& socket, const Clock& clock, MessageBoxes& boxes, MessageLog& log,
                      QObject* parent = nullptr);
    ~InstrumentSession() override;

    LinkState linkState() const;
    CalibrationShown calibrationShown() const;
    /// The calibration as numbers, as the decoder, the histogram and the sidecar take it.
    Calibration calibration() const;
    bool isCalibrating() const;
    RunFigures runFigures() const;
    RegisterShown registerShown(int index) const;
    VersionCaptions versionCaptions() const;
    DataFileState dataFileState() const;
    SidecarState sidecarState() const;
    LinkHealthFigures linkHealthFigures() const;
    /// What the decoder has counted since the session began.
    ReplyDecoder::Counters decoderCounters() const;
    /// The data options the decoder works with: the bound PanelOptions' snapshot.
    const DataOptions& options() const;

    /// Told of every decoded record after the run statistics, in the order added; each must
    /// stay until removed or until the session is gone. The one way records leave the
    /// session: a call per record, no signal.
    void addRecordObserver(RecordObserver* observer);
    void removeRecordObserver(RecordObserver* observer);
    /// A new address: the link in place is closed as if lost (the run ends, the calibration
    /// is void) and a connection to the address in force is opened.
    void reconnect();
    /// The address the next connect goes to; the link in place stays as it is.
    void setAddress(const QString& host);
    void setPort(quint16 port);
    /// The last code DAC A was sent this session, if any.
    std::optional<int> dacACode() const { return m_dacACode; }

    /// From now on the data options, data folder and address are those of `options`, their one
    /// owner; the decoder gets a new snapshot of the switches on every change.
    void bindOptions(PanelOptions& options);
    /// Start-up's connection to the address in force; the log starts afresh with its line.
    /// A link that is up or being made is left as it is.
    void openConnection();
    /// Closing: Run unticked (ending a run and its file), calibration and polling ended, link closed.
    void shutdown();

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
    /// A display frame is due: records of a stream that the link left waiting are decoded now,
    /// so that the frame shows them.
    void catchUp();
    bool isAcquiring() const { return m_acquisition.has_value(); }
    /// Register polling (the Auto box).
    void setAuto(bool ticked);
    bool isAutoTicked() const { return m_autoTicked; }
    void calibrate();
    void requestRegisters();
    void requestRegister(int index);
    /// A click on the Coincidences group: the minimum and maximum start again.
    void resetMinMax(bool runTicked);
    /// Whole entries of this run in its data file: what a reader of the file finds.
    quint64 entriesWritten() const;
    /// The current or the last run's data file: None while whole (and before any run).
    DataFileHealth dataFileHealth() const { return m_dataFileHealth; }
    /// The Tau fields: what the time conversion uses from now on.
    void setTauA(const QString& text);
    void setTauB(const QString& text);
    /// The caption the bad-folder message box is titled after.
    void setWindowCaption(const QString& caption);
    /// DAC A's "Update": the entry's code to the instrument.
    void sendDacA(const QString& entry);
    /// Ends a calibration under way and the register polling (before the link is closed).
    void stopActivities();

signals:
    // The link's events.
    /// A connection is up and "Connected." is logged; its calibration has begun.
    void linkUp();
    /// A line from the link is in the log (after it was put there).
    void linkLogLine(LogKind kind, const QString& text);
    /// The instrument answered a heartbeat.
    void heartbeatSeen();
    /// An arrival has been decoded, its records counted, shown and handed to the data file.
    void arrivalHandled();

    // What changed; the snapshots above say what it is now.
    /// A calibration cell or Tau changed.
    void calibrationChanged();
    /// The calibration was judged anew: a run may start (the Run box enabled) or not.
    void runGateChanged(bool open);
    /// A calibration sequence ended, completed or aborted.
    void calibrationEnded(bool aborted);
    void statisticsChanged();
    void registerChanged(int index);
    void versionsChanged();

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
    /// The run's data file stopped taking entries (its closing sync aside); after dataFileFailed.
    void dataFileWriteFailed(const QString& reason);
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
    bool send(const QByteArray& bytes);
    void heartbeat() override;
    void displayLine(const QString& line) override;
    void displayAscii(QByteArrayView line) override;
    void errorLine(const QString& line) override;
    bool fileIsOpen() const override;
    bool writeFile(QByteArrayView bytes, QString& errorText) override;
    bool takesLineBatches() const override { return true; }
    qsizetype fileRoom() const override;
    bool writeFileLines(QByteArrayView bytes, qsizetype lines, QString& errorText) override;
    bool writeFileRecords(QByteArrayView bytes, int recordSize, QString& errorText) override;
    /// A block of whole entries through `write`, counted as one by one would count them.
    bool writeFileEntries(qsizetype entries, QString& errorText, const std::function<bool()>& write);
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
    void onDataFileWriteFailed(const QString& description);
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
