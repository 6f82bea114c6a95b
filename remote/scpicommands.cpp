/// @brief The control port's commands: the table that names them and, below it in the same groups, what each does.
///
/// The handlers are RemoteControl's (they answer through its client state and reach the session
/// as it does); the engine that parses, queues and runs them in turns is remotecontrol.cpp.
#include "remote/scpicommands.h"

#include "control/calibrationmodel.h"
#include "link/connectionmanager.h"
#include "measure/datafile.h"
#include "measure/histogramfeed.h"
#include "measure/linkhealth.h"
#include "measure/runstatistics.h"
#include "platform/clock.h"
#include "platform/numbers.h"
#include "platform/timer.h"
#include "remote/remoteclient.h"
#include "remote/remotecontrol.h"
#include "remote/scpiformat.h"
#include "session/datafilehealth.h"
#include "session/instrumentsession.h"
#include "session/paneloptions.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <limits>

namespace scpi {
namespace {

constexpr Parameter boolean() { return {Kind::Boolean}; }
constexpr Parameter integer(double low, double high, bool optional = false)
{
    return {Kind::Integer, low, high, nullptr, optional};
}
constexpr Parameter real(double low, double high) { return {Kind::Real, low, high}; }
constexpr Parameter string() { return {Kind::String}; }
constexpr Parameter choice(const char* words) { return {Kind::Choice, 0, 0, words}; }

constexpr Form none() { return {}; }
constexpr Form bare(Reach reach = Reach::Own) { return {true, {}, reach}; }
constexpr Form with(Parameter p, Reach reach = Reach::Own) { return {true, {p, {}}, reach}; }
constexpr Form with(Parameter p, Parameter q, Reach reach = Reach::Own) { return {true, {p, q}, reach}; }

// Tau enters a time conversion as a divisor; beyond these bounds it is a typing mistake.
constexpr double TauLowNs = 0.001;
constexpr double TauHighNs = 1e6;
// The bin width and window are in ps; the instrument's differences fit an int32.
constexpr double PsLimit = 2147483647.0;
constexpr double IntMax = std::numeric_limits<qint32>::max();
// Counts stay exact in the double a number is parsed into; times fit the timer's milliseconds.
constexpr double MaxAcquireCount = 1e15;
constexpr double MaxAcquireSeconds = 1e6;

} // namespace

std::span<const CommandEntry> commandTable()
{
    using enum Reach;
    using R = RemoteControl;
    // Header, command form, query form (each with its parameters and reach), handler, help line.
    // Constant: built by the compiler, no guard to pass on the way to a command.
    static constexpr CommandEntry table[] = {
        // IEEE 488.2 common commands
        {"*IDN", none(), bare(), &R::idn, "Names the maker, the model, the FPGA version and the panel version."},
        {"*RST", bare(Session), none(), &R::rst,
         "Ends the run and resets this client's format, acquisition bounds and difference cursor."},
        {"*CLS", bare(), none(), &R::cls, "Clears this client's error queue and event registers."},
        {"*ESE", with(integer(0, 255)), bare(), &R::ese,
         "Sets or reads which standard events sum into the status byte."},
        {"*ESR", none(), bare(), &R::esr, "Reads and clears the standard event register."},
        {"*STB", none(), bare(), &R::stb, "Reads the status byte."},
        {"*SRE", with(integer(0, 255)), bare(), &R::sre, "Sets or reads which status bits request service."},
        {"*OPC", bare(), bare(), &R::opc,
         "Marks (or, as a query, waits for) the end of this client's calibrations and acquisitions."},
        {"*WAI", bare(), none(), &R::wai,
         "Holds this client's next commands until its calibrations and acquisitions have ended."},
        // SYSTem
        {"SYSTem:ERRor[:NEXT]", none(), bare(), &R::systemError, "Takes the oldest error off this client's queue."},
        {"SYSTem:ERRor:COUNt", none(), bare(), &R::systemErrorCount, "Counts the errors on this client's queue."},
        {"SYSTem:VERSion", none(), bare(), &R::systemVersion, "Names the SCPI version the port speaks."},
        // CONNection: the instrument link
        {"CONNection:STATe", none(), bare(), &R::connectionState, "Tells whether the instrument is connected."},
        {"CONNection:ADDRess", with(string(), Session), bare(), &R::connectionAddress,
         "Sets the instrument's address and reconnects, or reads it."},
        {"CONNection:PORT", none(), bare(), &R::connectionPort, "Reads the instrument's port."},
        // CALibration
        {"CALibration[:IMMediate]", bare(Session), none(), &R::calibrate,
         "Starts a calibration, or joins the one under way."},
        {"CALibration:DATA", none(), bare(), &R::calibrationData, "Reads the four calibration cells."},
        {"CALibration:VALid", none(), bare(), &R::calibrationValid, "Tells whether the calibration lets a run start."},
        {"CALibration:TAU:A", with(real(TauLowNs, TauHighNs), Session), bare(), &R::calibrationTauA,
         "Sets or reads channel A's Tau in ns."},
        {"CALibration:TAU:B", with(real(TauLowNs, TauHighNs), Session), bare(), &R::calibrationTauB,
         "Sets or reads channel B's Tau in ns."},
        // RUN and FETCh: the run and what it has gathered
        {"RUN[:STATe]", with(boolean(), Session), bare(), &R::run,
         "Starts or stops a run, as the Run box does, or reads it."},
        {"FETCh:COUNt", none(), bare(), &R::fetchCount, "Reads the run's record count."},
        {"FETCh:STATistics", none(), bare(), &R::fetchStatistics, "Reads the run's count, minimum, maximum and range."},
        {"FETCh:DT", none(), with(integer(1, IntMax, true)), &R::fetchDt,
         "Fetches the time differences decoded since this client's last fetch."},
        {"FETCh:DT:LOST", none(), bare(), &R::fetchDtLost,
         "Counts the differences the ring overwrote before this client fetched them."},
        {"FORMat[:DATA]", with(choice("ASCii|INTeger")), bare(), &R::format,
         "Sets or reads whether this client's data come as text or as binary blocks."},
        // HISTogram
        {"HISTogram:DATA", none(), bare(), &R::histogramData, "Reads the histogram's bin counts."},
        {"HISTogram:AXIS", none(), bare(), &R::histogramAxis,
         "Reads the histogram's first edge, nominal bin width and bin count."},
        {"HISTogram:BWIDth", with(real(1, PsLimit), Shared), bare(), &R::histogramBinWidth,
         "Sets or reads the bin width in ps."},
        {"HISTogram:WINDow", with(real(-PsLimit, PsLimit), real(-PsLimit, PsLimit), Shared), bare(),
         &R::histogramWindow, "Sets or reads the coincidence window in ps."},
        {"HISTogram:STATistics", none(), bare(), &R::histogramStatistics,
         "Reads the histogram's count, mean, deviation, FWHM and count in the window."},
        {"HISTogram:CLEar", bare(Shared), none(), &R::histogramClear, "Forgets the histogram's records."},
        {"HISTogram:RANGe:ALL", with(boolean(), Shared), bare(), &R::histogramRangeAll,
         "Sets or reads whether the histogram spans every record."},
        // SOURce and REGister: the instrument's settings and registers
        {"SOURce:DAC:A", with(integer(0, 4095), Session), bare(), &R::dacA,
         "Sends DAC A, or reads the last code sent."},
        {"REGister", none(), with(integer(0, 7), Instrument), &R::registerValue, "Reads an instrument register."},
        // FILE and DISPlay: the switches
        {"FILE[:STATe]", with(boolean(), Session), bare(), &R::fileState, "Sets or reads the File box."},
        {"FILE:PATH", with(string(), Session), bare(), &R::filePath, "Sets or reads the data folder."},
        {"FILE:VERBose", with(boolean(), Session), bare(), &R::fileVerbose, "Sets or reads the Verbose box."},
        {"FILE:RAW", with(boolean(), Session), bare(), &R::fileRaw, "Sets or reads the Raw box."},
        {"FILE:NAME", none(), bare(), &R::fileName, "Reads the path of the current or last run's data file."},
        {"FILE:ERRor", none(), bare(), &R::fileError,
         "Tells whether the current or last run's data file is whole, and why not."},
        {"DISPlay[:STATe]", with(boolean(), Session), bare(), &R::display, "Sets or reads the Display box."},
        {"LINK:HEALth", none(), bare(), &R::linkHealth,
         "Reads the link's rates, rejections, resyncs, errors and reconnects."},
        // STATus:OPERation
        {"STATus:OPERation:CONDition", none(), bare(), &R::statusOperationCondition,
         "Reads whether a calibration or a run is under way."},
        {"STATus:OPERation[:EVENt]", none(), bare(), &R::statusOperationEvent,
         "Reads and clears the operation bits risen since the last read."},
        {"STATus:OPERation:ENABle", with(integer(0, 32767)), bare(), &R::statusOperationEnable,
         "Sets or reads which operation events sum into the status byte."},
        // SYSTem:LOCK
        {"SYSTem:LOCK:REQuest", none(), bare(), &R::lockRequest,
         "Takes the lock if nobody holds it, and tells whether this client holds it."},
        {"SYSTem:LOCK:RELease", bare(Shared), none(), &R::lockRelease, "Gives the lock up."},
        {"SYSTem:LOCK:OWNer", none(), bare(), &R::lockOwner, "Names the client holding the lock."},
        // ACQuire, INITiate, ABORt, READ: bounded acquisitions
        {"ACQuire:COUNt", with(integer(0, MaxAcquireCount)), bare(), &R::acquireCount,
         "Sets or reads this client's record bound for INIT and READ?."},
        {"ACQuire:TIME", with(real(0, MaxAcquireSeconds)), bare(), &R::acquireTime,
         "Sets or reads this client's time bound in seconds for INIT and READ?."},
        {"INITiate[:IMMediate]", bare(Session), none(), &R::initiate,
         "Starts a run within this client's acquisition bounds."},
        {"ABORt", bare(Shared), none(), &R::abort, "Ends the acquisition under way with what it has."},
        {"READ:DT", none(), bare(Session), &R::readDt,
         "Acquires, waits for the end, and answers that acquisition's differences."},
        {"READ:HISTogram", none(), bare(Session), &R::readHistogram,
         "Acquires, waits for the end, and answers the histogram's bin counts."},
    };
    return table;
}

} // namespace scpi

using scpi::Error;
using scpi::Parsed;

namespace {

QString realText(double x) { return QString::fromLatin1(scpi::real(x)); }

/// A number the window holds as text, answered as a number, or not-a-number.
QByteArray textNumber(const QString& text)
{
    const auto n = numbers::strictNumber(text);
    return n ? scpi::real(*n) : QByteArray(scpi::NotANumber);
}

} // namespace

// ---- IEEE 488.2 common commands ----

void RemoteControl::idn(Client& c, const Parsed&) { respond(c, identity()); }

QByteArray RemoteControl::identity() const
{
    // The FPGA caption reads "FPGA: 1.2.3" once the instrument has answered "V".
    static const QRegularExpression version(QStringLiteral("(\\d+\\.\\d+\\.\\d+)"));
    const auto match = version.match(m_session.versionCaptions().fpga);
    const QByteArray fpga = match.hasMatch() ? match.captured(1).toLatin1() : QByteArrayLiteral("0");
    return "Quorvel,Tallyscope," + fpga + ',' + m_panelVersion.toLatin1();
}

void RemoteControl::rst(Client& c, const Parsed&)
{
    if (m_session.isRunTicked()) {
        m_abortedBy = c.id;
        m_session.setRun(false);
        m_abortedBy = 0;
    }
    c.binary = false;
    c.acquireRecords = 0;
    c.acquireMilliseconds = 0;
    c.cursor = m_ring.cursorAtEnd();
}

void RemoteControl::cls(Client& c, const Parsed&) { c.status.clear(); }

void RemoteControl::ese(Client& c, const Parsed& p)
{
    const auto& v = p.values;
    if (p.query)
        respond(c, scpi::number(qint64(c.status.eventEnable())));
    else
        c.status.setEventEnable(quint8(v[0].number));
}

void RemoteControl::esr(Client& c, const Parsed&) { respond(c, scpi::number(qint64(c.status.takeEventRegister()))); }

void RemoteControl::stb(Client& c, const Parsed&) { respond(c, scpi::number(qint64(c.status.statusByte(c.answered)))); }

void RemoteControl::sre(Client& c, const Parsed& p)
{
    const auto& v = p.values;
    if (p.query)
        respond(c, scpi::number(qint64(c.status.serviceRequestEnable())));
    else
        c.status.setServiceRequestEnable(quint8(v[0].number));
}

void RemoteControl::opc(Client& c, const Parsed& p)
{
    if (p.query) {
        if (operationsPending(c))
            waitFor(c, Wait::Operations, true);
        else
            respond(c, "1");
    } else if (operationsPending(c)) {
        c.completionArmed = true;
    } else {
        c.status.setOperationComplete();
    }
}

void RemoteControl::wai(Client& c, const Parsed&)
{
    if (operationsPending(c))
        waitFor(c, Wait::Operations, false);
}

// ---- SYSTem ----

void RemoteControl::systemError(Client& c, const Parsed&) { respond(c, c.status.popAnswer()); }

void RemoteControl::systemErrorCount(Client& c, const Parsed&)
{
    respond(c, scpi::number(qint64(c.status.errorCount())));
}

void RemoteControl::systemVersion(Client& c, const Parsed&) { respond(c, "1999.0"); }

// ---- CONNection ----

void RemoteControl::connectionState(Client& c, const Parsed&)
{
    respond(c, scpi::flag(m_session.linkState().connected));
}

void RemoteControl::connectionAddress(Client& c, const Parsed& p)
{
    const auto& v = p.values;
    if (p.query) {
        respond(c, scpi::quoted(m_options.address()));
        return;
    }
    const QString host = QString::fromUtf8(v[0].text).trimmed();
    // A host name or a literal address; anything with blanks or controls is a mistake.
    static const QRegularExpression hostPattern(QStringLiteral("^[A-Za-z0-9._:%\\-\\[\\]]{1,253}$"));
    if (!hostPattern.match(host).hasMatch()) {
        fail(c, Error::IllegalParameterValue);
        return;
    }
    m_options.setAddress(host);
    m_session.reconnect();
}

void RemoteControl::connectionPort(Client& c, const Parsed&)
{
    respond(c, scpi::number(qint64(m_session.linkState().port)));
}

// ---- CALibration ----

void RemoteControl::calibrate(Client& c, const Parsed&)
{
    // A sequence already under way serves this request too, as for the panel's button.
    c.calibrationPending = true;
    m_session.calibrate();
}

void RemoteControl::calibrationData(Client& c, const Parsed&)
{
    const InstrumentSession::CalibrationShown cal = m_session.calibrationShown();
    QByteArray answer;
    for (const QString& cell : cal.cells) {
        if (!answer.isEmpty())
            answer += ',';
        answer += textNumber(cell);
    }
    respond(c, answer);
}

void RemoteControl::calibrationValid(Client& c, const Parsed&)
{
    respond(c, scpi::flag(m_session.calibrationShown().runGate));
}

void RemoteControl::calibrationTauA(Client& c, const Parsed& p)
{
    const auto& v = p.values;
    if (p.query)
        respond(c, textNumber(m_session.calibrationShown().tauA));
    else
        m_session.setTauA(realText(v[0].number));
}

void RemoteControl::calibrationTauB(Client& c, const Parsed& p)
{
    const auto& v = p.values;
    if (p.query)
        respond(c, textNumber(m_session.calibrationShown().tauB));
    else
        m_session.setTauB(realText(v[0].number));
}

// ---- RUN and FETCh ----

void RemoteControl::run(Client& c, const Parsed& p)
{
    const auto& v = p.values;
    if (p.query) {
        respond(c, scpi::flag(m_session.isRunTicked()));
    } else if (v[0].flag == m_session.isRunTicked()) {
        // Already so: a second RUN ON must not start a new file.
    } else if (v[0].flag && !m_session.calibrationShown().runGate) {
        // The Run box is disabled until a calibration lies inside its windows.
        fail(c, Error::SettingsConflict);
    } else {
        m_session.setRun(v[0].flag);
    }
}

void RemoteControl::fetchCount(Client& c, const Parsed&)
{
    respond(c, scpi::number(qint64(m_session.runFigures().count.value_or(0))));
}

void RemoteControl::fetchStatistics(Client& c, const Parsed&)
{
    const InstrumentSession::RunFigures s = m_session.runFigures();
    const auto orNan = [](std::optional<qint64> x) { return x ? scpi::number(*x) : QByteArray(scpi::NotANumber); };
    const auto range = s.minimum && s.maximum ? std::optional<qint64>(*s.maximum - *s.minimum) : std::nullopt;
    respond(c, scpi::number(qint64(s.count.value_or(0))) + ',' + orNan(s.minimum) + ',' + orNan(s.maximum) + ','
                   + orNan(range));
}

void RemoteControl::fetchDt(Client& c, const Parsed& p)
{
    fetchDifferences(c, p.valueCount ? std::optional<quint64>(quint64(p.values[0].number)) : std::nullopt);
}

void RemoteControl::fetchDtLost(Client& c, const Parsed&) { respond(c, scpi::number(quint64(m_ring.lost(c.cursor)))); }

void RemoteControl::format(Client& c, const Parsed& p)
{
    const auto& v = p.values;
    if (p.query)
        respond(c, c.binary ? "INT" : "ASC");
    else
        c.binary = v[0].choice == 1;
}

// ---- HISTogram ----

void RemoteControl::histogramData(Client& c, const Parsed&) { sendHistogram(c); }

void RemoteControl::histogramAxis(Client& c, const Parsed&)
{
    const Histogram::Summary s = m_histogram.histogram().summary();
    respond(c, scpi::real(s.rangeLow) + ',' + scpi::real(s.nominalBinWidth) + ',' + scpi::number(qint64(s.binCount)));
}

void RemoteControl::histogramBinWidth(Client& c, const Parsed& p)
{
    const auto& v = p.values;
    if (p.query)
        respond(c, scpi::real(m_histogram.histogram().binWidthPs()));
    else
        m_histogram.histogram().setBinWidthPs(v[0].number);
}

void RemoteControl::histogramWindow(Client& c, const Parsed& p)
{
    const auto& v = p.values;
    if (p.query) {
        const Histogram::Summary s = m_histogram.histogram().summary();
        respond(c, scpi::real(s.windowLow) + ',' + scpi::real(s.windowHigh));
    } else if (v[0].number >= v[1].number) {
        fail(c, Error::IllegalParameterValue);
    } else {
        m_histogram.histogram().setWindow(v[0].number, v[1].number);
    }
}

void RemoteControl::histogramStatistics(Client& c, const Parsed&)
{
    const Histogram::Summary s = m_histogram.histogram().summary();
    const bool any = s.count > 0;
    respond(c, scpi::number(quint64(s.count)) + ',' + (any ? scpi::real(s.mean) : QByteArray(scpi::NotANumber)) + ','
                   + (s.count > 1 ? scpi::real(s.stdDev) : QByteArray(scpi::NotANumber)) + ','
                   + (s.fwhm ? scpi::real(*s.fwhm) : QByteArray(scpi::NotANumber)) + ','
                   + scpi::number(quint64(s.inWindow)));
}

void RemoteControl::histogramClear(Client&, const Parsed&) { m_histogram.clearForRunStart(); }

void RemoteControl::histogramRangeAll(Client& c, const Parsed& p)
{
    const auto& v = p.values;
    // The window's "Show all": the range spans every record instead of the peak's.
    if (p.query)
        respond(c, scpi::flag(m_histogram.histogram().showAll()));
    else
        m_histogram.histogram().setShowAll(v[0].flag);
}

// ---- SOURce and REGister ----

void RemoteControl::dacA(Client& c, const Parsed& p)
{
    const auto& v = p.values;
    if (p.query) {
        const auto code = m_session.dacACode();
        respond(c, code ? scpi::number(qint64(*code)) : QByteArray(scpi::NotANumber));
    } else if (!m_session.linkState().connected) {
        fail(c, Error::Execution);
    } else {
        m_session.sendDacA(QString::number(qint64(v[0].number)));
    }
}

void RemoteControl::registerValue(Client& c, const Parsed& p)
{
    const auto& v = p.values;
    const int index = int(v[0].number);
    // Without a link no answer can come; waiting the second out would only hold the client.
    if (!m_session.linkState().connected) {
        fail(c, Error::Hardware);
        return;
    }
    c.registerIndex = index;
    waitFor(c, Wait::Register, true);
    if (!c.registerTimer) {
        c.registerTimer = m_clock.makeTimer();
        c.registerTimer->setSingleShot(true);
        connect(c.registerTimer.get(), &Timer::timeout, this, [this, id = c.id] {
            const auto it = m_clients.find(id);
            if (it == m_clients.end() || it->second->wait != Wait::Register)
                return;
            it->second->status.push(Error::Hardware);
            endWait(id, *it->second);
        });
    }
    c.registerTimer->start(RegisterTimeoutMs);
    m_session.requestRegister(index);
}

// ---- FILE, DISPlay and LINK ----

void RemoteControl::setSwitch(int which, bool on) { m_options.setValue(PanelOptions::Switch(which), on ? 1 : 0); }

void RemoteControl::fileState(Client& c, const Parsed& p)
{
    const auto& v = p.values;
    if (p.query)
        respond(c, scpi::flag(m_options.value(PanelOptions::File) != 0));
    else
        setSwitch(PanelOptions::File, v[0].flag);
}

void RemoteControl::filePath(Client& c, const Parsed& p)
{
    const auto& v = p.values;
    if (p.query) {
        respond(c, scpi::quoted(m_options.dataFolder()));
        return;
    }
    const QFileInfo folder(QString::fromUtf8(v[0].text));
    if (v[0].text.isEmpty() || !folder.isDir() || !folder.isWritable()) {
        fail(c, Error::IllegalParameterValue);
        return;
    }
    m_options.setDataFolder(QDir::toNativeSeparators(folder.absoluteFilePath()));
}

void RemoteControl::fileVerbose(Client& c, const Parsed& p)
{
    const auto& v = p.values;
    if (p.query)
        respond(c, scpi::flag(m_options.value(PanelOptions::Verbose) != 0));
    else
        setSwitch(PanelOptions::Verbose, v[0].flag);
}

void RemoteControl::fileRaw(Client& c, const Parsed& p)
{
    const auto& v = p.values;
    if (p.query)
        respond(c, scpi::flag(m_options.value(PanelOptions::Raw) != 0));
    else
        setSwitch(PanelOptions::Raw, v[0].flag);
}

void RemoteControl::fileName(Client& c, const Parsed&) { respond(c, scpi::quoted(m_session.dataFileState().path)); }

void RemoteControl::fileError(Client& c, const Parsed&)
{
    const DataFileHealth& health = m_session.dataFileHealth();
    respond(c, scpi::number(qint64(storageError(health.failure))) + ',' + scpi::quoted(health.reason));
}

void RemoteControl::display(Client& c, const Parsed& p)
{
    const auto& v = p.values;
    if (p.query)
        respond(c, scpi::flag(m_options.value(PanelOptions::Display) != 0));
    else
        setSwitch(PanelOptions::Display, v[0].flag);
}

void RemoteControl::linkHealth(Client& c, const Parsed&)
{
    const LinkHealthFigures f = m_session.linkHealthFigures();
    respond(c, scpi::real(f.recordsPerSecond) + ',' + scpi::real(f.bytesPerSecond) + ','
                   + scpi::number(f.rejectedByGate) + ',' + scpi::number(f.rejectedByPlausibility) + ','
                   + scpi::number(f.bytesDroppedByResync) + ',' + scpi::number(f.errors) + ','
                   + scpi::number(f.reconnects));
}

// ---- STATus:OPERation ----

void RemoteControl::statusOperationCondition(Client& c, const Parsed&)
{
    respond(c, scpi::number(qint64(operationCondition())));
}

void RemoteControl::statusOperationEvent(Client& c, const Parsed&)
{
    respond(c, scpi::number(qint64(c.status.takeOperationEvent())));
}

void RemoteControl::statusOperationEnable(Client& c, const Parsed& p)
{
    const auto& v = p.values;
    if (p.query)
        respond(c, scpi::number(qint64(c.status.operationEnable())));
    else
        c.status.setOperationEnable(quint16(v[0].number));
}

// ---- SYSTem:LOCK ----

void RemoteControl::lockRequest(Client& c, const Parsed&)
{
    if (m_lockHolder == 0) {
        m_lockHolder = c.id;
        emit lockChanged(true);
    }
    respond(c, scpi::flag(m_lockHolder == c.id));
}

void RemoteControl::lockRelease(Client& c, const Parsed&) { releaseLock(c.id); }

void RemoteControl::lockOwner(Client& c, const Parsed&)
{
    respond(c, scpi::quoted(m_lockHolder ? m_transport.peerName(m_lockHolder) : QString()));
}

// ---- ACQuire, INITiate, ABORt and READ ----

void RemoteControl::acquireCount(Client& c, const Parsed& p)
{
    const auto& v = p.values;
    if (p.query)
        respond(c, scpi::number(qint64(c.acquireRecords)));
    else
        c.acquireRecords = quint64(v[0].number);
}

void RemoteControl::acquireTime(Client& c, const Parsed& p)
{
    const auto& v = p.values;
    if (p.query) {
        respond(c, scpi::real(double(c.acquireMilliseconds) / 1000.0));
    } else {
        // To the millisecond; a positive time never rounds down to "no bound".
        c.acquireMilliseconds = v[0].number > 0 ? std::max<qint64>(1, qRound64(v[0].number * 1000.0)) : 0;
    }
}

void RemoteControl::initiate(Client& c, const Parsed&) { startAcquisition(c); }

void RemoteControl::abort(Client& c, const Parsed&)
{
    m_abortedBy = c.id;
    m_session.abortAcquisition();
    m_abortedBy = 0;
}

void RemoteControl::readDt(Client& c, const Parsed&) { read(c, Client::Reading::Differences); }

void RemoteControl::readHistogram(Client& c, const Parsed&) { read(c, Client::Reading::Histogram); }

void RemoteControl::read(Client& c, Client::Reading answer)
{
    if (startAcquisition(c)) {
        c.readAfter = answer;
        waitFor(c, Wait::Read, true);
    }
}
