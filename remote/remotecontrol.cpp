/// @brief The control port's commands carried out on the session, its models and the histogram.
#include "remote/remotecontrol.h"

#include "control/calibrationmodel.h"
#include "control/calibrationsequence.h"
#include "control/registermodel.h"
#include "link/connectionmanager.h"
#include "link/versionmodel.h"
#include "measure/datafile.h"
#include "measure/histogramfeed.h"
#include "measure/linkhealth.h"
#include "measure/runstatistics.h"
#include "platform/clock.h"
#include "platform/numbers.h"
#include "platform/timer.h"
#include "remote/scpiformat.h"
#include "session/datafilehealth.h"
#include "session/instrumentsession.h"
#include "session/paneloptions.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRegularExpression>
#include <QtEndian>

using scpi::Command;
using scpi::Error;

namespace {

/// SCPI's mass-storage error for a kind of file failure.
Error storageError(FileFailure failure)
{
    switch (failure) {
    case FileFailure::None:
        return Error::None;
    case FileFailure::MediaFull:
        return Error::MediaFull;
    case FileFailure::NotFound:
        return Error::FileNameNotFound;
    case FileFailure::BadName:
        return Error::FileNameError;
    case FileFailure::MassStorage:
        break;
    }
    return Error::MassStorage;
}

} // namespace

struct RemoteControl::Client {
    /// A parsed command, or the end of the line it came on (its answers go out then).
    struct Item {
        scpi::Parsed parsed;
        bool endOfLine = false;
    };

    quint64 id = 0;
    scpi::Parser parser;
    scpi::Status status;
    DifferenceRing::Cursor cursor;
    bool binary = false;
    std::deque<Item> queue;
    /// The line's answers not yet handed to the transport.
    QByteArray answers;
    bool answered = false;
    /// Everything the current line has answered so far, sent or not.
    qint64 lineAnswerBytes = 0;
    /// In the turn queue.
    bool due = false;
    /// Its input is held back until its queue has shrunk.
    bool readingPaused = false;
    /// Its commands wait until the network takes what it was sent.
    bool backlogged = false;
    Wait wait = Wait::None;
    bool answerWhenDone = false;
    int registerIndex = -1;
    std::unique_ptr<Timer> registerTimer;
    /// A calibration this client asked for has not ended yet (*OPC, *OPC?, *WAI wait for it).
    bool calibrationPending = false;
    /// *OPC was given while an operation was pending: the event bit is set when it ends.
    bool completionArmed = false;
    /// ACQuire:COUNt and ACQuire:TIME: this client's bounds for its INIT and READ?.
    quint64 acquireRecords = 0;
    qint64 acquireMilliseconds = 0;
    /// An acquisition this client started has not ended yet.
    bool acquisitionPending = false;
    /// What READ? answers once its acquisition has ended.
    Command readAfter = Command::ReadDt;
    bool processing = false;
    bool gone = false;
};

RemoteControl::RemoteControl(InstrumentSession& session, PanelOptions& options, HistogramFeed& histogram, const Clock& clock,
                             QString panelVersion, ClientTransport& transport, QObject* parent)
    : QObject(parent),
      m_session(session),
      m_options(options),
      m_histogram(histogram),
      m_clock(clock),
      m_panelVersion(std::move(panelVersion)),
      m_transport(transport)
{
    // Each turn from its own pass of the event loop.
    m_turnTimer.setSingleShot(true);
    m_turnTimer.setInterval(0);
    connect(&m_turnTimer, &QTimer::timeout, this, &RemoteControl::nextTurn);
    m_session.addRecordObserver(&m_ring);
    connect(&m_session.calibrationSequence(), &CalibrationSequence::finished, this, &RemoteControl::calibrationEnded);
    connect(&m_session.calibrationSequence(), &CalibrationSequence::aborted, this, &RemoteControl::calibrationEnded);
    connect(&m_session, &InstrumentSession::acquisitionEnded, this,
            [this](InstrumentSession::AcquisitionEnd end) { acquisitionEnded(int(end)); });
    // From the signals' own word: the sequence says it is idle just before it is.
    m_calibrating = m_session.calibrationSequence().isRunning();
    m_operationCondition = operationCondition();
    connect(&m_session, &InstrumentSession::busyChanged, this, [this](bool busy) {
        m_calibrating = busy;
        operationConditionChanged();
    });
    connect(&m_session, &InstrumentSession::runChanged, this, &RemoteControl::operationConditionChanged);
    connect(&m_session.registers(), &RegisterModel::valueChanged, this, &RemoteControl::registerChanged);
    // A file that fails is every script's business, not only the one that started the run.
    connect(&m_session, &InstrumentSession::fileFailure, this, [this](FileFailure failure) {
        for (auto& [id, c] : m_clients)
            c->status.push(storageError(failure));
    });
}

RemoteControl::~RemoteControl() { m_session.removeRecordObserver(&m_ring); }

void RemoteControl::clientConnected(quint64 id)
{
    auto c = std::make_unique<Client>();
    c->id = id;
    c->cursor = m_ring.cursorAtEnd();
    m_clients[id] = std::move(c);
}

void RemoteControl::clientDisconnected(quint64 id)
{
    const auto it = m_clients.find(id);
    if (it == m_clients.end())
        return;
    releaseLock(id);
    // Its acquisition runs to its end; nobody is left to hear of it.
    if (m_acquirer == id)
        m_acquirer = 0;
    // A client that goes while its own commands run is removed once they have unwound.
    if (it->second->processing)
        it->second->gone = true;
    else
        m_clients.erase(it);
}

void RemoteControl::lineReceived(quint64 id, QByteArrayView line)
{
    const auto it = m_clients.find(id);
    if (it == m_clients.end())
        return;
    Client& c = *it->second;
    for (scpi::Parsed& p : c.parser.parseLine(line))
        c.queue.push_back({std::move(p), false});
    c.queue.push_back({{}, true});
    if (c.wait != Wait::None && c.queue.size() > MaxWaitingCommands) {
        c.status.push(Error::QueryInterrupted);
        c.answerWhenDone = false;
        endWait(id, c);
        return;
    }
    if (c.queue.size() > MaxQueuedCommands && !c.readingPaused) {
        c.readingPaused = true;
        m_transport.setReading(id, false);
    }
    process(id);
}

void RemoteControl::lineOverrun(quint64 id)
{
    if (const auto it = m_clients.find(id); it != m_clients.end())
        it->second->status.push(Error::InputBufferOverrun);
}

void RemoteControl::lineTimedOut(quint64 id)
{
    if (const auto it = m_clients.find(id); it != m_clients.end())
        it->second->status.push(Error::TimeOut);
}

void RemoteControl::clientDrained(quint64 id)
{
    const auto it = m_clients.find(id);
    if (it == m_clients.end() || !it->second->backlogged || m_transport.unsentBytes(id) > PauseBacklogBytes)
        return;
    it->second->backlogged = false;
    process(id);
}

void RemoteControl::holdCommands() { m_held = true; }

void RemoteControl::releaseCommands()
{
    if (!std::exchange(m_held, false))
        return;
    for (const auto& [id, c] : m_clients)
        if (mayRun(*c))
            schedule(id);
}

void RemoteControl::beginClosing() { m_closing = true; }

bool RemoteControl::allFetched() const
{
    return std::all_of(m_clients.begin(), m_clients.end(), [this](const auto& entry) {
        return entry.second->gone || m_ring.available(entry.second->cursor) == 0;
    });
}

void RemoteControl::fail(Client& c, Error e) { c.status.push(e); }

bool RemoteControl::changesTheSession(const scpi::Parsed& p) const
{
    // REGister? asks the instrument; READ? starts a run.
    if (p.query)
        return p.id == Command::Register || p.id == Command::ReadDt || p.id == Command::ReadHistogram;
    switch (p.id) {
    case Command::Initiate:
    case Command::Rst:
    case Command::ConnectionAddress:
    case Command::Calibrate:
    case Command::CalibrationTauA:
    case Command::CalibrationTauB:
    case Command::Run:
    case Command::DacA:
    case Command::FileState:
    case Command::FilePath:
    case Command::FileVerbose:
    case Command::FileRaw:
    case Command::Display:
        return true;
    default:
        return false;
    }
}

bool RemoteControl::lockedOut(const Client& c, const scpi::Parsed& p) const
{
    if (m_lockHolder == 0 || m_lockHolder == c.id)
        return false;
    // A register read changes nothing anyone sees; the client's own format, status enables
    // and acquisition bounds are its own.
    if (p.query)
        return p.id == Command::ReadDt || p.id == Command::ReadHistogram;
    switch (p.id) {
    case Command::HistogramBinWidth:
    case Command::HistogramWindow:
    case Command::HistogramClear:
    case Command::HistogramRangeAll:
    case Command::Abort:
    case Command::LockRelease:
        return true;
    default:
        return changesTheSession(p);
    }
}

void RemoteControl::releaseLock(quint64 id)
{
    if (m_lockHolder != id || id == 0)
        return;
    m_lockHolder = 0;
    emit lockChanged(false);
}

bool RemoteControl::operationsPending(const Client& c) { return c.calibrationPending || c.acquisitionPending; }

quint16 RemoteControl::operationCondition() const
{
    quint16 condition = 0;
    if (m_calibrating)
        condition |= scpi::Status::Calibrating;
    if (m_session.isRunTicked())
        condition |= scpi::Status::Measuring;
    return condition;
}

void RemoteControl::operationConditionChanged()
{
    const quint16 now = operationCondition();
    for (auto& [id, c] : m_clients)
        c->status.operationChanged(m_operationCondition, now);
    m_operationCondition = now;
}

bool RemoteControl::fits(Client& c, qint64 answerBytes)
{
    if (c.lineAnswerBytes + answerBytes + (c.answered ? 1 : 0) <= MaxLineAnswerBytes)
        return true;
    c.status.push(Error::TooMuchData);
    // The rest of the line is not carried out; its end still closes what has been answered.
    while (!c.queue.empty() && !c.queue.front().endOfLine)
        c.queue.pop_front();
    return false;
}

bool RemoteControl::respond(Client& c, QByteArrayView answer)
{
    if (!fits(c, answer.size()))
        return false;
    c.lineAnswerBytes += answer.size() + (c.answered ? 1 : 0);
    if (c.answered)
        c.answers += ';';
    c.answered = true;
    if (answer.size() >= AnswerChunkBytes) {
        // A large answer goes out as it is, not copied once more behind the smaller ones.
        if (!c.answers.isEmpty())
            m_transport.send(c.id, std::exchange(c.answers, {}));
        m_transport.send(c.id, answer);
        return true;
    }
    c.answers += answer;
    if (c.answers.size() >= AnswerChunkBytes)
        m_transport.send(c.id, std::exchange(c.answers, {}));
    return true;
}

bool RemoteControl::mayRun(const Client& c) const
{
    return !m_held && !c.gone && c.wait == Wait::None && !c.backlogged && !c.queue.empty();
}

void RemoteControl::process(quint64 id)
{
    const auto it = m_clients.find(id);
    if (it == m_clients.end() || !mayRun(*it->second))
        return;
    // Inside another client's turn (a signal of the session while a command ran), or after a
    // pass of the event loop has had its share of turns already (twenty thousand lines that came
    // in one read): this client's turn comes later, from the event loop.
    if (!m_inTurn && !m_passSpent.isValid()) {
        // Measured from the first turn of this pass until the event loop is back.
        m_passSpent.start();
        m_passCommands = 0;
        QTimer::singleShot(0, this, [this] { m_passSpent.invalidate(); });
    }
    if (m_inTurn || m_passSpent.hasExpired(m_budget.milliseconds) || m_passCommands >= m_budget.commands) {
        schedule(id);
        return;
    }
    runTurn(id);
}

void RemoteControl::schedule(quint64 id)
{
    const auto it = m_clients.find(id);
    if (it == m_clients.end() || std::exchange(it->second->due, true))
        return;
    m_due.push_back(id);
    if (!m_turnTimer.isActive())
        m_turnTimer.start();
}

void RemoteControl::nextTurn()
{
    while (!m_due.empty()) {
        const quint64 id = m_due.front();
        m_due.pop_front();
        const auto it = m_clients.find(id);
        if (it == m_clients.end())
            continue;
        it->second->due = false;
        if (!mayRun(*it->second))
            continue;
        runTurn(id);
        break;
    }
    if (!m_due.empty() && !m_turnTimer.isActive())
        m_turnTimer.start();
}

void RemoteControl::runTurn(quint64 id)
{
    const auto it = m_clients.find(id);
    if (it == m_clients.end() || it->second->processing)
        return;
    Client& c = *it->second;
    c.processing = true;
    m_inTurn = true;
    QElapsedTimer spent;
    spent.start();
    int done = 0;
    while (mayRun(c)) {
        if (done > 0 && (done >= m_budget.commands || spent.hasExpired(m_budget.milliseconds)))
            break;
        // The line's end waits too: the answers must not run ahead of what the client reads.
        if (m_transport.unsentBytes(id) > PauseBacklogBytes) {
            c.backlogged = true;
            break;
        }
        ++done;
        ++m_passCommands;
        const Client::Item item = std::move(c.queue.front());
        c.queue.pop_front();
        if (!item.endOfLine) {
            if (item.parsed.error != Error::None)
                fail(c, item.parsed.error);
            else if (m_closing && changesTheSession(item.parsed))
                fail(c, Error::Execution);
            else if (lockedOut(c, item.parsed))
                c.status.push(Error::Execution, "locked by another client");
            else
                execute(c, item.parsed);
            continue;
        }
        if (c.answered) {
            c.answers += '\n';
            // A client that stopped reading is dropped by the transport; it then goes below.
            m_transport.send(id, c.answers);
        }
        c.answers.clear();
        c.answered = false;
        c.lineAnswerBytes = 0;
    }
    m_inTurn = false;
    c.processing = false;
    if (c.gone) {
        m_clients.erase(id);
        return;
    }
    if (c.readingPaused && c.queue.size() <= ResumeQueuedCommands) {
        c.readingPaused = false;
        m_transport.setReading(id, true);
    }
    // The backlog is picked up again by clientDrained; a wait by its own end.
    if (mayRun(c))
        schedule(id);
}

void RemoteControl::waitFor(Client& c, Wait wait, bool answerWhenDone)
{
    c.wait = wait;
    c.answerWhenDone = answerWhenDone;
}

void RemoteControl::endWait(quint64 id, Client& c)
{
    c.wait = Wait::None;
    c.registerIndex = -1;
    if (c.registerTimer)
        c.registerTimer->stop();
    process(id);
}

void RemoteControl::calibrationEnded()
{
    for (auto& [id, c] : m_clients)
        c->calibrationPending = false;
    operationsMayHaveEnded();
}

void RemoteControl::acquisitionEnded(int end)
{
    const quint64 id = std::exchange(m_acquirer, 0);
    const auto it = m_clients.find(id);
    if (it != m_clients.end()) {
        Client& c = *it->second;
        c.acquisitionPending = false;
        const bool reading = c.wait == Wait::Read;
        if (reading) {
            if (c.readAfter == Command::ReadDt)
                fetchDifferences(c, std::nullopt);
            else
                histogramData(c);
        }
        // What it has is answered and kept all the same, but it is not what its bounds asked
        // for: unless the client ended it itself, it must hear of that.
        if (InstrumentSession::AcquisitionEnd(end) != InstrumentSession::AcquisitionEnd::Complete && m_abortedBy != id)
            c.status.push(Error::DataQuestionable, "acquisition ended early");
        if (reading)
            endWait(id, c);
    }
    operationsMayHaveEnded();
}

void RemoteControl::operationsMayHaveEnded()
{
    std::vector<quint64> waiting;
    for (auto& [id, c] : m_clients) {
        if (operationsPending(*c))
            continue;
        if (std::exchange(c->completionArmed, false))
            c->status.setOperationComplete();
        if (c->wait == Wait::Operations)
            waiting.push_back(id);
    }
    for (quint64 id : waiting) {
        const auto it = m_clients.find(id);
        if (it == m_clients.end() || it->second->wait != Wait::Operations)
            continue;
        if (it->second->answerWhenDone)
            respond(*it->second, "1");
        endWait(id, *it->second);
    }
}

bool RemoteControl::initiate(Client& c)
{
    if (m_session.isRunTicked()) {
        // A run is on, the operator's or a script's: it is not ours to end.
        fail(c, Error::InitIgnored);
        return false;
    }
    if (!m_session.calibration().runGate()) {
        fail(c, Error::SettingsConflict);
        return false;
    }
    // FETCh:DT? after it answers this acquisition's differences, from its first.
    c.cursor = m_ring.cursorAtEnd();
    c.acquisitionPending = true;
    m_acquirer = c.id;
    m_session.startAcquisition({c.acquireRecords, c.acquireMilliseconds});
    return true;
}

void RemoteControl::registerChanged(int index)
{
    std::vector<quint64> waiting;
    for (auto& [id, c] : m_clients) {
        if (c->wait == Wait::Register && c->registerIndex == index)
            waiting.push_back(id);
    }
    const auto value = m_session.registers().value(index);
    for (quint64 id : waiting) {
        const auto it = m_clients.find(id);
        if (it == m_clients.end())
            continue;
        respond(*it->second, value ? scpi::number(qint64(*value)) : QByteArray(scpi::NotANumber));
        endWait(id, *it->second);
    }
}

QByteArray RemoteControl::identity() const
{
    // The FPGA caption reads "FPGA: 1.2.3" once the instrument has answered "V".
    static const QRegularExpression version(QStringLiteral("(\\d+\\.\\d+\\.\\d+)"));
    const auto match = version.match(m_session.versions().fpgaCaption());
    const QByteArray fpga = match.hasMatch() ? match.captured(1).toLatin1() : QByteArrayLiteral("0");
    return "Quorvel,Tallyscope," + fpga + ',' + m_panelVersion.toLatin1();
}

void RemoteControl::setSwitch(int which, bool on) { m_options.setValue(PanelOptions::Switch(which), on ? 1 : 0); }

void RemoteControl::fetchDifferences(Client& c, std::optional<quint64> most)
{
    quint64 count = m_ring.available(c.cursor);
    if (most)
        count = std::min<quint64>(count, *most);
    // The values are taken on a copy of the cursor, which moves on only once the answer has
    // been accepted: an answer refused as too much data leaves them for the next fetch.
    DifferenceRing::Cursor taken = c.cursor;
    if (c.binary) {
        const qsizetype bytes = qsizetype(count) * qsizetype(sizeof(qint32));
        QByteArray block = scpi::blockHeader(bytes);
        // Refused before a byte of it is built.
        if (!fits(c, block.size() + bytes))
            return;
        const qsizetype at = block.size();
        block.resize(at + bytes);
        m_ring.fetchLittleEndian(taken, qsizetype(count), block.data() + at);
        if (respond(c, block))
            c.cursor = taken;
        return;
    }
    // A list is built piece by piece and given up as soon as it outgrows the line's bound.
    constexpr qsizetype Piece = 1 << 16;
    m_scratch.resize(size_t(std::min<quint64>(count, Piece)));
    QByteArray list;
    for (quint64 left = count; left > 0;) {
        const qsizetype got = m_ring.fetch(taken, qsizetype(std::min<quint64>(left, Piece)), m_scratch.data());
        if (got <= 0)
            break;
        if (!list.isEmpty())
            list += ',';
        list += scpi::int32List(std::span<const qint32>(m_scratch.data(), size_t(got)));
        left -= quint64(got);
        if (!fits(c, list.size()))
            return;
    }
    if (respond(c, list))
        c.cursor = taken;
}

void RemoteControl::histogramData(Client& c)
{
    const auto& bins = m_histogram.histogram().bins();
    if (!c.binary) {
        QByteArray list;
        for (qsizetype i = 0; i < bins.size(); ++i) {
            if (i)
                list += ',';
            list += QByteArray::number(bins[i].count);
        }
        respond(c, list);
        return;
    }
    // 64-bit counts: a narrow peak passes 2^31 records in one bin within the hour.
    QByteArray block = scpi::blockHeader(bins.size() * qsizetype(sizeof(qint64)));
    for (const auto& bin : bins) {
        char le[sizeof(qint64)];
        qToLittleEndian<qint64>(qint64(bin.count), le);
        block.append(le, sizeof le);
    }
    respond(c, block);
}

void RemoteControl::execute(Client& c, const scpi::Parsed& p)
{
    const auto& v = p.values;
    const auto realText = [](double x) { return QString::fromLatin1(scpi::real(x)); };
    const auto textNumber = [](const QString& text) {
        const auto n = numbers::strictNumber(text);
        return n ? scpi::real(*n) : QByteArray(scpi::NotANumber);
    };
    switch (p.id) {
    case Command::Idn:
        respond(c, identity());
        return;
    case Command::Rst:
        if (m_session.isRunTicked()) {
            m_abortedBy = c.id;
            m_session.setRun(false);
            m_abortedBy = 0;
        }
        c.binary = false;
        c.acquireRecords = 0;
        c.acquireMilliseconds = 0;
        c.cursor = m_ring.cursorAtEnd();
        return;
    case Command::Cls:
        c.status.clear();
        return;
    case Command::Ese:
        if (p.query)
            respond(c, scpi::number(qint64(c.status.eventEnable())));
        else
            c.status.setEventEnable(quint8(v[0].number));
        return;
    case Command::Esr:
        respond(c, scpi::number(qint64(c.status.takeEventRegister())));
        return;
    case Command::Stb:
        respond(c, scpi::number(qint64(c.status.statusByte(c.answered))));
        return;
    case Command::Sre:
        if (p.query)
            respond(c, scpi::number(qint64(c.status.serviceRequestEnable())));
        else
            c.status.setServiceRequestEnable(quint8(v[0].number));
        return;
    case Command::Opc:
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
        return;
    case Command::Wai:
        if (operationsPending(c))
            waitFor(c, Wait::Operations, false);
        return;
    case Command::SystemError:
        respond(c, c.status.popAnswer());
        return;
    case Command::SystemErrorCount:
        respond(c, scpi::number(qint64(c.status.errorCount())));
        return;
    case Command::SystemVersion:
        respond(c, "1999.0");
        return;
    case Command::ConnectionState:
        respond(c, scpi::flag(m_session.link().isConnected()));
        return;
    case Command::ConnectionAddress: {
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
        return;
    }
    case Command::ConnectionPort:
        respond(c, scpi::number(qint64(m_session.link().port())));
        return;
    case Command::Calibrate:
        // A sequence already under way serves this request too, as for the panel's button.
        c.calibrationPending = true;
        m_session.calibrate();
        return;
    case Command::CalibrationData: {
        const CalibrationModel& cal = m_session.calibration();
        QByteArray answer;
        for (auto cell : {CalibrationModel::ALow, CalibrationModel::AHigh, CalibrationModel::BLow, CalibrationModel::BHigh}) {
            if (!answer.isEmpty())
                answer += ',';
            answer += textNumber(cal.cell(cell));
        }
        respond(c, answer);
        return;
    }
    case Command::CalibrationValid:
        respond(c, scpi::flag(m_session.calibration().runGate()));
        return;
    case Command::CalibrationTauA:
        if (p.query)
            respond(c, textNumber(m_session.calibration().tauA()));
        else
            m_session.calibration().setTauA(realText(v[0].number));
        return;
    case Command::CalibrationTauB:
        if (p.query)
            respond(c, textNumber(m_session.calibration().tauB()));
        else
            m_session.calibration().setTauB(realText(v[0].number));
        return;
    case Command::Run:
        if (p.query) {
            respond(c, scpi::flag(m_session.isRunTicked()));
        } else if (v[0].flag == m_session.isRunTicked()) {
            // Already so: a second RUN ON must not start a new file.
        } else if (v[0].flag && !m_session.calibration().runGate()) {
            // The Run box is disabled until a calibration lies inside its windows.
            fail(c, Error::SettingsConflict);
        } else {
            m_session.setRun(v[0].flag);
        }
        return;
    case Command::FetchCount:
        respond(c, scpi::number(qint64(m_session.statistics().count().value_or(0))));
        return;
    case Command::FetchStatistics: {
        const RunStatistics& s = m_session.statistics();
        const auto orNan = [](std::optional<qint64> x) { return x ? scpi::number(*x) : QByteArray(scpi::NotANumber); };
        const auto range = s.minimum() && s.maximum() ? std::optional<qint64>(*s.maximum() - *s.minimum()) : std::nullopt;
        respond(c, scpi::number(qint64(s.count().value_or(0))) + ',' + orNan(s.minimum()) + ',' + orNan(s.maximum()) + ','
                       + orNan(range));
        return;
    }
    case Command::FetchDt:
        fetchDifferences(c, p.valueCount ? std::optional<quint64>(quint64(p.values[0].number)) : std::nullopt);
        return;
    case Command::FetchDtLost:
        respond(c, scpi::number(quint64(m_ring.lost(c.cursor))));
        return;
    case Command::Format:
        if (p.query)
            respond(c, c.binary ? "INT" : "ASC");
        else
            c.binary = v[0].choice == 1;
        return;
    case Command::HistogramData:
        histogramData(c);
        return;
    case Command::HistogramAxis: {
        const Histogram::Summary s = m_histogram.histogram().summary();
        respond(c, scpi::real(s.rangeLow) + ',' + scpi::real(s.nominalBinWidth) + ',' + scpi::number(qint64(s.binCount)));
        return;
    }
    case Command::HistogramBinWidth:
        if (p.query)
            respond(c, scpi::real(m_histogram.histogram().binWidthPs()));
        else
            m_histogram.histogram().setBinWidthPs(v[0].number);
        return;
    case Command::HistogramWindow:
        if (p.query) {
            const Histogram::Summary s = m_histogram.histogram().summary();
            respond(c, scpi::real(s.windowLow) + ',' + scpi::real(s.windowHigh));
        } else if (v[0].number >= v[1].number) {
            fail(c, Error::IllegalParameterValue);
        } else {
            m_histogram.histogram().setWindow(v[0].number, v[1].number);
        }
        return;
    case Command::HistogramStatistics: {
        const Histogram::Summary s = m_histogram.histogram().summary();
        const bool any = s.count > 0;
        respond(c, scpi::number(quint64(s.count)) + ',' + (any ? scpi::real(s.mean) : QByteArray(scpi::NotANumber)) + ','
                       + (s.count > 1 ? scpi::real(s.stdDev) : QByteArray(scpi::NotANumber)) + ','
                       + (s.fwhm ? scpi::real(*s.fwhm) : QByteArray(scpi::NotANumber)) + ',' + scpi::number(quint64(s.inWindow)));
        return;
    }
    case Command::HistogramRangeAll:
        // The window's "Show all": the range spans every record instead of the peak's.
        if (p.query)
            respond(c, scpi::flag(m_histogram.histogram().showAll()));
        else
            m_histogram.histogram().setShowAll(v[0].flag);
        return;
    case Command::HistogramClear:
        m_histogram.clearForRunStart();
        return;
    case Command::DacA:
        if (p.query) {
            const auto code = m_session.dacACode();
            respond(c, code ? scpi::number(qint64(*code)) : QByteArray(scpi::NotANumber));
        } else if (!m_session.link().isConnected()) {
            fail(c, Error::Execution);
        } else {
            m_session.sendDacA(QString::number(qint64(v[0].number)));
        }
        return;
    case Command::Register: {
        const int index = int(v[0].number);
        // Without a link no answer can come; waiting the second out would only hold the client.
        if (!m_session.link().isConnected()) {
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
        return;
    }
    case Command::FileState:
        if (p.query)
            respond(c, scpi::flag(m_options.value(PanelOptions::File) != 0));
        else
            setSwitch(PanelOptions::File, v[0].flag);
        return;
    case Command::FilePath: {
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
        return;
    }
    case Command::FileVerbose:
        if (p.query)
            respond(c, scpi::flag(m_options.value(PanelOptions::Verbose) != 0));
        else
            setSwitch(PanelOptions::Verbose, v[0].flag);
        return;
    case Command::FileRaw:
        if (p.query)
            respond(c, scpi::flag(m_options.value(PanelOptions::Raw) != 0));
        else
            setSwitch(PanelOptions::Raw, v[0].flag);
        return;
    case Command::FileName:
        respond(c, scpi::quoted(m_session.dataFile().path()));
        return;
    case Command::FileError: {
        const DataFileHealth& health = m_session.dataFileHealth();
        respond(c, scpi::number(qint64(storageError(health.failure))) + ',' + scpi::quoted(health.reason));
        return;
    }
    case Command::Display:
        if (p.query)
            respond(c, scpi::flag(m_options.value(PanelOptions::Display) != 0));
        else
            setSwitch(PanelOptions::Display, v[0].flag);
        return;
    case Command::OperationCondition:
        respond(c, scpi::number(qint64(operationCondition())));
        return;
    case Command::OperationEvent:
        respond(c, scpi::number(qint64(c.status.takeOperationEvent())));
        return;
    case Command::OperationEnable:
        if (p.query)
            respond(c, scpi::number(qint64(c.status.operationEnable())));
        else
            c.status.setOperationEnable(quint16(v[0].number));
        return;
    case Command::LockRequest:
        if (m_lockHolder == 0) {
            m_lockHolder = c.id;
            emit lockChanged(true);
        }
        respond(c, scpi::flag(m_lockHolder == c.id));
        return;
    case Command::LockRelease:
        releaseLock(c.id);
        return;
    case Command::LockOwner:
        respond(c, scpi::quoted(m_lockHolder ? m_transport.peerName(m_lockHolder) : QString()));
        return;
    case Command::AcquireCount:
        if (p.query)
            respond(c, scpi::number(qint64(c.acquireRecords)));
        else
            c.acquireRecords = quint64(v[0].number);
        return;
    case Command::AcquireTime:
        if (p.query) {
            respond(c, scpi::real(double(c.acquireMilliseconds) / 1000.0));
        } else {
            // To the millisecond; a positive time never rounds down to "no bound".
            c.acquireMilliseconds = v[0].number > 0 ? std::max<qint64>(1, qRound64(v[0].number * 1000.0)) : 0;
        }
        return;
    case Command::Initiate:
        initiate(c);
        return;
    case Command::Abort:
        m_abortedBy = c.id;
        m_session.abortAcquisition();
        m_abortedBy = 0;
        return;
    case Command::ReadDt:
    case Command::ReadHistogram:
        if (initiate(c)) {
            c.readAfter = p.id;
            waitFor(c, Wait::Read, true);
        }
        return;
    case Command::LinkHealth: {
        const LinkHealthFigures f = m_session.linkHealth().figures();
        respond(c, scpi::real(f.recordsPerSecond) + ',' + scpi::real(f.bytesPerSecond) + ',' + scpi::number(f.rejectedByGate) + ','
                       + scpi::number(f.rejectedByPlausibility) + ',' + scpi::number(f.bytesDroppedByResync) + ','
                       + scpi::number(f.errors) + ',' + scpi::number(f.reconnects));
        return;
    }
    }
}
