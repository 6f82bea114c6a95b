/// @brief InstrumentSession: the wiring of link, decoder, calibration, runs (with their sidecar), registers and link
/// health.
#include "session/instrumentsession.h"
#include "platform/versioninfo.h"

#include "control/calibrationcapture.h"
#include "control/calibrationmodel.h"
#include "control/calibrationsequence.h"
#include "control/registermodel.h"
#include "control/registerpanel.h"
#include "control/versionmodel.h"
#include "link/commands.h"
#include "link/connectionmanager.h"
#include "link/replydecoder.h"
#include "measure/datafile.h"
#include "measure/linkhealth.h"
#include "measure/runsidecar.h"
#include "measure/runstatistics.h"
#include "measure/runswitch.h"
#include "platform/clock.h"
#include "platform/numbers.h"
#include "platform/timer.h"
#include "session/messagelog.h"
#include "session/paneloptions.h"

#include <QFileInfo>
#include <QLocale>
#include <limits>

InstrumentSession::InstrumentSession(Socket& socket, const Clock& clock, MessageBoxes& boxes, MessageLog& log,
                                     QObject* parent)
    : QObject(parent), m_log(log), m_clock(clock)
{
    m_calibration = std::make_unique<CalibrationModel>();
    m_statistics = std::make_unique<RunStatistics>();
    m_registers = std::make_unique<RegisterModel>();
    m_versions = std::make_unique<VersionModel>();
    m_link = std::make_unique<ConnectionManager>(socket, clock);
    const auto sendFn = [this](const QByteArray& b) { return send(b); };
    m_dataFile = std::make_unique<DataFile>(clock);
    m_runSwitch = std::make_unique<RunSwitch>(sendFn, *m_statistics, *m_dataFile, boxes);
    m_calibrationSequence = std::make_unique<CalibrationSequence>(*m_calibration, clock, sendFn,
                                                                  [this](bool on) { m_link->setKeepAliveEnabled(on); });
    m_registerPanel = std::make_unique<RegisterPanel>(sendFn, clock);
    m_statistics->setRunTickedSource([this] { return m_runTicked; });
    m_capture = std::make_unique<CalibrationCapture>(*m_registers, *m_calibration);
    m_decoder = std::make_unique<ReplyDecoder>(
        ReplyDecoder::Context{*m_capture, *m_versions, *m_statistics, *this, nullptr, &clock});
    m_calibration->bindDecoder(*m_decoder);
    m_linkHealth = std::make_unique<LinkHealth>(*m_decoder, clock);
    m_sidecar = std::make_unique<RunSidecar>();
    m_acquisitionTimer = clock.makeTimer();
    m_acquisitionTimer->setSingleShot(true);
    connect(m_acquisitionTimer.get(), &Timer::timeout, this, [this] {
        if (m_acquisition)
            endAcquisition(AcquisitionEnd::Complete);
    });

    // Every connection is calibrated, then asked for its version.
    connect(m_link.get(), &ConnectionManager::connectionEstablished, this, [this] {
        m_linkHealth->noteConnectionEstablished();
        m_decoder->reset();
        m_versionAfterCalibration = true;
        m_calibrationSequence->start();
        emit linkUp();
    });
    connect(m_calibrationSequence.get(), &CalibrationSequence::finished, this, [this] {
        if (std::exchange(m_versionAfterCalibration, false))
            send(commands::versionRequest());
    });
    connect(m_link.get(), &ConnectionManager::dataArrived, this, [this](const QByteArray& bytes) {
        const double now = m_clock.monotonicSeconds();
        acquisitionBeforeArrival(now);
        const quint64 decodedBefore = m_decoder->counters().recordsDecoded;
        m_decoder->feed(bytes);
        m_linkHealth->noteArrival(bytes.size());
        acquisitionAfterArrival(now, decodedBefore);
        // What has been decoded goes to the operating system at once: a crash of the panel
        // then loses nothing that was shown.
        if (m_dataFile->isOpen())
            m_dataFile->flushToOs();
        emit arrivalHandled();
    });
    connect(m_link.get(), &ConnectionManager::logLine, this, [this](LogKind kind, const QString& text) {
        m_log.LogMessage(text, false);
        emit linkLogLine(kind, text);
    });
    // A lost link: the calibration is void (which shuts the Run gate), then Run and Auto are
    // unticked, in that order, before the socket closes.
    connect(m_link.get(), &ConnectionManager::connectionLost, this, [this] {
        m_calibration->voidCells();
        untickRun();
        if (m_autoTicked)
            setAuto(false);
        emit linkLost();
    });
    connect(m_link.get(), &ConnectionManager::runStopRequested, this, &InstrumentSession::untickRun);
    connect(m_calibrationSequence.get(), &CalibrationSequence::logAsideBegin, &m_log, &MessageLog::beginAside);
    connect(m_calibrationSequence.get(), &CalibrationSequence::logAsideEnd, &m_log, &MessageLog::endAside);
    connect(m_calibrationSequence.get(), &CalibrationSequence::busyChanged, this, &InstrumentSession::busyChanged);
    // Whatever changes the conversion while a run is described goes into its sidecar, with
    // the number of entries written before it, so that a replay can switch at the same record.
    connect(m_calibrationSequence.get(), &CalibrationSequence::finished, this,
            [this] { noteCalibrationChange(QStringLiteral("calibration")); });
    connect(m_calibrationSequence.get(), &CalibrationSequence::aborted, this,
            [this] { noteCalibrationChange(QStringLiteral("calibration aborted")); });
    connect(m_calibration.get(), &CalibrationModel::tauChanged, this, [this] {
        if (!m_calibrationSequence->isRunning())
            noteCalibrationChange(QStringLiteral("tau"));
    });
    connect(m_dataFile.get(), &DataFile::writeFailed, this, &InstrumentSession::onDataFileWriteFailed);
    connect(m_dataFile.get(), &DataFile::closedFileSyncFailed, this, &InstrumentSession::closedFileSyncFailed);
    // The window's box reports a folder that cannot take the file; the others hear it here.
    connect(m_runSwitch.get(), &RunSwitch::dataFileOpenFailed, this,
            [this](FileFailure failure, const QString& reason) {
        m_dataFileHealth = {failure, reason};
        emit fileFailure(failure, reason);
    });

    // Told after the session's own handling above, so that a front end sees its outcome.
    connect(m_calibration.get(), &CalibrationModel::cellChanged, this, &InstrumentSession::calibrationChanged);
    connect(m_calibration.get(), &CalibrationModel::tauChanged, this, &InstrumentSession::calibrationChanged);
    // The same texts may read differently once the locale changes: the value is new, the texts are not.
    connect(m_calibration.get(), &CalibrationModel::calibrationChanged, this, &InstrumentSession::calibrationChanged);
    connect(m_calibration.get(), &CalibrationModel::runGateEvaluated, this, &InstrumentSession::runGateChanged);
    connect(m_calibrationSequence.get(), &CalibrationSequence::finished, this,
            [this] { emit calibrationEnded(false); });
    connect(m_calibrationSequence.get(), &CalibrationSequence::aborted, this, [this] { emit calibrationEnded(true); });
    connect(m_statistics.get(), &RunStatistics::changed, this, &InstrumentSession::statisticsChanged);
    connect(m_registers.get(), &RegisterModel::valueChanged, this, &InstrumentSession::registerChanged);
    connect(m_versions.get(), &VersionModel::changed, this, &InstrumentSession::versionsChanged);
}

void InstrumentSession::onDataFileWriteFailed(const QString& description)
{
    // A failure inside a record's write is reported by the decoder's error path itself.
    if (!m_decoderWriting)
        m_log.LogMessage(QStringLiteral("Doh! (data) ") + description, false);
    emit dataFileFailed(description, m_decoderWriting);
    noteRunFileFailure(m_dataFile->path(), m_dataFile->failure(), description);
    if (m_sidecar->isActive()) {
        refreshSidecarFigures();
        m_sidecar->description().dataFileError = description;
        reportSidecarSave(m_sidecar->save());
    }
    emit dataFileWriteFailed(description);
}

void InstrumentSession::closedFileSyncFailed(const QString& path, const QString& description, FileFailure failure)
{
    // It may come while a later run writes its own file, so the line says which file it was.
    const QString text = QStringLiteral("%1 after closing %2").arg(description, QFileInfo(path).fileName());
    m_log.LogMessage(QStringLiteral("Doh! (data) ") + text, false);
    emit dataFileFailed(text, false);
    noteRunFileFailure(path, failure, text);
    // The run's sidecar was completed before its file reached the disk; it learns of it now,
    // unless a later run's sidecar has taken its place.
    if (!m_sidecar->isActive() && m_sidecar->path() == RunSidecar::pathFor(path)) {
        m_sidecar->description().dataFileError = text;
        reportSidecarSave(m_sidecar->saveFinished());
    }
}

void InstrumentSession::noteRunFileFailure(const QString& path, FileFailure failure, const QString& reason)
{
    if (!m_runDataFile.isEmpty() && path == m_runDataFile)
        m_dataFileHealth = {failure, reason};
    emit fileFailure(failure, reason);
}

InstrumentSession::~InstrumentSession() = default;

bool InstrumentSession::send(const QByteArray& bytes) { return m_link->send(bytes); }

const DataOptions& InstrumentSession::options() const { return m_decoder->options(); }

void InstrumentSession::bindOptions(PanelOptions& options)
{
    applyDataOptions(options.dataOptions());
    connect(&options, &PanelOptions::dataOptionsChanged, this, &InstrumentSession::applyDataOptions);
    setDataFolder(options.dataFolder());
    connect(&options, &PanelOptions::dataFolderChanged, this, &InstrumentSession::setDataFolder);
    m_link->setHostText(options.address());
    connect(&options, &PanelOptions::addressChanged, m_link.get(), &ConnectionManager::setHostText);
}

void InstrumentSession::applyDataOptions(const DataOptions& options)
{
    // Records that came before the change are decoded the way they would have been then.
    m_link->catchUp();
    m_decoder->setOptions(options);
    m_runSwitch->setFileTicked(options.file);
}

void InstrumentSession::openConnection()
{
    // A link already up or on its way keeps its log and the calibration it may be running.
    if (m_link->isOpenOrOpening())
        return;
    m_link->open();
    m_log.setText(QStringLiteral("Opening connection.\r\n"));
    m_calibration->setPhaseText(QStringLiteral("0"));
}

void InstrumentSession::shutdown()
{
    untickRun();
    stopActivities();
    m_link->shutdown();
}

void InstrumentSession::untickRun()
{
    if (m_runTicked)
        setRun(false);
}

void InstrumentSession::setAuto(bool ticked)
{
    m_autoTicked = ticked;
    m_registerPanel->setAutoPoll(ticked);
    emit autoChanged(ticked);
}

void InstrumentSession::calibrate() { m_calibrationSequence->start(); }

void InstrumentSession::requestRegisters() { m_registerPanel->requestAll(); }

void InstrumentSession::requestRegister(int index) { m_registerPanel->request(index); }

void InstrumentSession::resetMinMax(bool runTicked)
{
    m_link->catchUp();
    m_statistics->minMaxReset(runTicked);
}

void InstrumentSession::startAcquisition(const AcquisitionBounds& bounds)
{
    m_startingBounds = bounds;
    setRun(true);
    m_startingBounds.reset();
    m_acquisition = Acquisition{bounds, std::nullopt, AcquisitionEnd::Interrupted};
    // A run timed to the millisecond ends by each arrival's own time, which bytes left waiting
    // for a display frame would no longer have.
    if (bounds.milliseconds > 0)
        m_link->setHoldAllowed(false);
    if (bounds.records > 0)
        m_decoder->setRecordBound(bounds.records);
}

void InstrumentSession::catchUp() { m_link->catchUp(); }

void InstrumentSession::abortAcquisition()
{
    if (m_acquisition)
        endAcquisition(AcquisitionEnd::Aborted);
}

void InstrumentSession::endAcquisition(AcquisitionEnd end)
{
    m_acquisition->end = end;
    setRun(false);
}

void InstrumentSession::acquisitionBeforeArrival(double now)
{
    if (m_acquisition && m_acquisition->deadline && now >= *m_acquisition->deadline)
        endAcquisition(AcquisitionEnd::Complete);
}

void InstrumentSession::acquisitionAfterArrival(double now, quint64 decodedBefore)
{
    if (!m_acquisition)
        return;
    Acquisition& a = *m_acquisition;
    if (!a.deadline && a.bounds.milliseconds > 0 && m_decoder->counters().recordsDecoded > decodedBefore) {
        a.deadline = now + double(a.bounds.milliseconds) / 1000.0;
        m_acquisitionTimer->start(int(std::min<qint64>(a.bounds.milliseconds, std::numeric_limits<int>::max())));
    }
    if (m_decoder->recordsLeft() == quint64(0))
        endAcquisition(AcquisitionEnd::Complete);
}

void InstrumentSession::setRun(bool ticked)
{
    // Records the link left waiting for a display frame came before this start or stop: they
    // belong to the run (or the quiet) that was on when they came, its file and its figures.
    m_link->catchUp();
    m_runTicked = ticked;
    // Whatever ends or starts a run ends the acquisition it was: what came after its end stays
    // out of its count, its file and every view, until the next start lets records in again.
    std::optional<AcquisitionEnd> acquisitionEnd;
    if (m_acquisition) {
        acquisitionEnd = m_acquisition->end;
        m_acquisition.reset();
        m_acquisitionTimer->stop();
        m_link->setHoldAllowed(true);
        m_decoder->setRecordBound(0);
    }
    if (ticked) {
        m_decoder->setRecordBound(std::nullopt);
        // A start while a run is described ends that run's description first: its file is
        // about to be closed by the new start.
        finishSidecar();
        m_decoder->reset();
        m_linkHealth->resetForRun();
        m_entriesWritten = 0;
        m_decodedAtRunStart = m_decoder->counters().recordsDecoded;
        m_refusedAtRunStart = m_decoder->counters().refusedByBound;
        m_dataFileHealth = {};
        m_runDataFile.clear();
        m_runSwitch->setRun(true);
        m_runHasFile = m_dataFile->isOpen();
        if (m_runHasFile) {
            m_runDataFile = m_dataFile->path();
            beginSidecar();
        }
        emit runChanged(true);
        if (acquisitionEnd)
            emit acquisitionEnded(*acquisitionEnd);
        return;
    }
    m_runSwitch->setRun(false);
    // After the close: the sidecar says complete only once the data file is.
    finishSidecar();
    emit runChanged(false);
    if (acquisitionEnd)
        emit acquisitionEnded(*acquisitionEnd);
}

quint64 InstrumentSession::entriesWritten() const { return m_runHasFile ? m_dataFile->entriesInFile() : 0; }

void InstrumentSession::setDataFolder(const QString& folder) { m_runSwitch->setDataFolder(folder); }

void InstrumentSession::setWindowCaption(const QString& caption) { m_runSwitch->setWindowCaption(caption); }

void InstrumentSession::sendDacA(const QString& entry)
{
    const QByteArray command = commands::dacA(numbers::leadingNumber(entry));
    m_dacAEntry = entry;
    if (send(command) && command.size() == 3)
        m_dacACode = 256 * quint8(command.at(1)) + quint8(command.at(2));
    emit dacASent(entry);
}

void InstrumentSession::addRecordObserver(RecordObserver* observer)
{
    m_observers.add(observer);
    // One observer is called directly: the decoder's hot path pays for the fan-out only
    // when there is something to fan out to.
    m_decoder->setObserver(m_observers.observers().size() == 1 ? observer : &m_observers);
}

void InstrumentSession::removeRecordObserver(RecordObserver* observer)
{
    m_observers.remove(observer);
    const auto& all = m_observers.observers();
    m_decoder->setObserver(all.empty() ? nullptr : all.size() == 1 ? all.front() : &m_observers);
}

void InstrumentSession::reconnect() { m_link->reopen(); }

void InstrumentSession::setAddress(const QString& host) { m_link->setHostText(host); }

void InstrumentSession::setPort(quint16 port) { m_link->setPort(port); }

InstrumentSession::LinkState InstrumentSession::linkState() const
{
    return {m_link->isConnected(), m_link->hostText(), m_link->port()};
}

Calibration InstrumentSession::calibration() const { return m_calibration->calibration(); }

void InstrumentSession::setTauA(const QString& text)
{
    m_link->catchUp();
    m_calibration->setTauA(text);
}

void InstrumentSession::setTauB(const QString& text)
{
    m_link->catchUp();
    m_calibration->setTauB(text);
}

InstrumentSession::CalibrationShown InstrumentSession::calibrationShown() const
{
    CalibrationShown c;
    for (int i = 0; i < 4; ++i)
        c.cells[size_t(i)] = m_calibration->cell(CalibrationModel::Cell(i));
    c.tauA = m_calibration->tauA();
    c.tauB = m_calibration->tauB();
    c.runGate = m_calibration->runGate();
    return c;
}

bool InstrumentSession::isCalibrating() const { return m_calibrationSequence->isRunning(); }

InstrumentSession::RunFigures InstrumentSession::runFigures() const
{
    const RunStatistics& s = *m_statistics;
    return {s.count(), s.minimum(), s.maximum(), s.countCaption(), s.minCaption(), s.maxCaption(), s.rangeCaption()};
}

InstrumentSession::RegisterShown InstrumentSession::registerShown(int index) const
{
    static_assert(RegisterCount == RegisterModel::Count);
    return {m_registers->value(index), m_registers->decimalCaption(index), m_registers->hexCaption(index)};
}

InstrumentSession::VersionCaptions InstrumentSession::versionCaptions() const
{
    return {m_versions->fpgaCaption(), m_versions->rabbitCaption()};
}

InstrumentSession::DataFileState InstrumentSession::dataFileState() const
{
    return {m_dataFile->isOpen(), m_dataFile->path()};
}

InstrumentSession::SidecarState InstrumentSession::sidecarState() const
{
    return {m_sidecar->isActive(), m_sidecar->path(), m_sidecar->errorString()};
}

LinkHealthFigures InstrumentSession::linkHealthFigures() const { return m_linkHealth->figures(); }

ReplyDecoder::Counters InstrumentSession::decoderCounters() const { return m_decoder->counters(); }

void InstrumentSession::stopActivities()
{
    m_calibrationSequence->abort();
    m_registerPanel->setAutoPoll(false);
}

void InstrumentSession::heartbeat() { emit heartbeatSeen(); }

void InstrumentSession::displayLine(const QString& line) { m_log.LogMessage(line, false); }

void InstrumentSession::displayAscii(QByteArrayView line) { m_log.appendAsciiLine(line); }

void InstrumentSession::errorLine(const QString& line)
{
    m_log.LogMessage(line, false);
    emit decoderError(line);
}

bool InstrumentSession::fileIsOpen() const { return m_dataFile->isOpen(); }

bool InstrumentSession::writeFile(QByteArrayView bytes, QString& errorText)
{
    m_decoderWriting = true;
    const bool ok = m_dataFile->write(bytes.data(), bytes.size());
    m_decoderWriting = false;
    if (!ok)
        errorText = m_dataFile->errorString();
    else
        ++m_entriesWritten;
    return ok;
}

qsizetype InstrumentSession::fileRoom() const { return m_dataFile->roomBeforeHandOver(); }

bool InstrumentSession::writeFileEntries(qsizetype entries, QString& errorText, const std::function<bool()>& write)
{
    m_decoderWriting = true;
    const bool ok = write();
    m_decoderWriting = false;
    // As one by one: the entries before the last were written when the last one failed.
    m_entriesWritten += quint64(ok ? entries : entries - 1);
    if (!ok)
        errorText = m_dataFile->errorString();
    return ok;
}

bool InstrumentSession::writeFileLines(QByteArrayView bytes, qsizetype lines, QString& errorText)
{
    return writeFileEntries(lines, errorText,
                            [&] { return m_dataFile->writeLines(bytes.data(), bytes.size(), lines); });
}

bool InstrumentSession::writeFileRecords(QByteArrayView bytes, int recordSize, QString& errorText)
{
    return writeFileEntries(bytes.size() / recordSize, errorText,
                            [&] { return m_dataFile->writeRecords(bytes.data(), bytes.size(), recordSize); });
}

void InstrumentSession::displayAsciiLines(QByteArrayView bytes, qsizetype lines)
{
    m_log.appendAsciiLines(bytes, lines);
}

void InstrumentSession::beginSidecar()
{
    RunSidecar::Description d;
    d.programVersion = versioninfo::versionNumber();
    d.start = m_clock.localNow();
    d.address = m_link->hostText();
    d.port = m_link->port();
    d.locale = QLocale().name();
    d.options = m_decoder->options();
    d.calibration = m_calibration->calibration();
    d.dacACode = m_dacACode;
    d.dacAEntry = m_dacAEntry;
    if (m_startingBounds)
        d.acquisition = RunSidecar::Acquisition{m_startingBounds->records, m_startingBounds->milliseconds, 0};
    m_sidecarFailureReported = false;
    m_sidecar->begin(m_dataFile->path(), d);
    refreshSidecarFigures();
    reportSidecarSave(m_sidecar->save());
}

void InstrumentSession::reportSidecarSave(bool saved)
{
    // Once per run: on a full disk every later save fails the same way.
    if (!saved && !std::exchange(m_sidecarFailureReported, true)) {
        const QString reason = QStringLiteral("Sidecar write failed: ") + m_sidecar->errorString();
        m_log.LogMessage(QStringLiteral("Doh! (data) ") + reason, false);
        emit sidecarFailed(m_sidecar->errorString());
        // The data file itself is whole: its health stays as it is.
        emit fileFailure(m_sidecar->failure(), reason);
    }
}

void InstrumentSession::refreshSidecarFigures()
{
    RunSidecar::Description& d = m_sidecar->description();
    d.fpgaVersion = m_versions->fpgaCaption();
    d.moduleVersion = m_versions->rabbitCaption();
    d.registers.clear();
    for (int i = 0; i < RegisterModel::Count; ++i)
        d.registers.append({i, RegisterModel::name(i), m_registers->value(i)});
    d.dacACode = m_dacACode;
    d.dacAEntry = m_dacAEntry;
    d.recordsDecoded = m_decoder->counters().recordsDecoded - m_decodedAtRunStart;
    d.entriesWritten = m_dataFile->entriesInFile();
    if (d.acquisition)
        d.acquisition->recordsAfterStop = m_decoder->counters().refusedByBound - m_refusedAtRunStart;
    d.linkHealth = m_linkHealth->figures();
}

void InstrumentSession::finishSidecar()
{
    if (!m_sidecar->isActive())
        return;
    refreshSidecarFigures();
    reportSidecarSave(m_sidecar->finish(m_clock.localNow()));
}

void InstrumentSession::noteCalibrationChange(const QString& reason)
{
    if (!m_sidecar->isActive())
        return;
    RunSidecar::Description& d = m_sidecar->description();
    const Calibration now = m_calibration->calibration();
    const Calibration& before = d.calibrationChanges.isEmpty() ? d.calibration
                                                               : d.calibrationChanges.last().calibration;
    if (now == before && reason != QStringLiteral("calibration"))
        return;
    // With no entry written in between, only the latest values can matter to a reader: a Tau
    // typed in digit by digit leaves one change, not one per key.
    if (!d.calibrationChanges.isEmpty() && d.calibrationChanges.last().entriesBefore == m_entriesWritten
        && d.calibrationChanges.last().reason == reason)
        d.calibrationChanges.removeLast();
    d.calibrationChanges.append({m_clock.localNow(), reason, m_entriesWritten, now});
    refreshSidecarFigures();
    reportSidecarSave(m_sidecar->save());
}
