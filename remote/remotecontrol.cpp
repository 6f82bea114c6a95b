/// @brief The control port's engine: clients, their queues and turns, waits, answers and the lock.
#include "remote/remotecontrol.h"

#include "control/calibrationmodel.h"
#include "control/calibrationsequence.h"
#include "control/registermodel.h"
#include "measure/histogramfeed.h"
#include "platform/timer.h"
#include "remote/scpiformat.h"
#include "session/instrumentsession.h"

#include <QElapsedTimer>
#include <QtEndian>

using scpi::Error;

Error RemoteControl::storageError(FileFailure failure)
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

RemoteControl::RemoteControl(InstrumentSession& session, PanelOptions& options, HistogramFeed& histogram,
                             const Clock& clock, QString panelVersion, ClientTransport& transport, QObject* parent)
    : QObject(parent), m_session(session), m_options(options), m_histogram(histogram), m_clock(clock),
      m_panelVersion(std::move(panelVersion)), m_transport(transport)
{
    // Each turn from its own pass of the event loop.
    m_turnTimer.setSingleShot(true);
    m_turnTimer.setInterval(0);
    connect(&m_turnTimer, &QTimer::timeout, this, &RemoteControl::nextTurn);
    m_session.addRecordObserver(&m_ring);
    connect(&m_session, &InstrumentSession::calibrationEnded, this, &RemoteControl::calibrationEnded);
    connect(&m_session, &InstrumentSession::acquisitionEnded, this,
            [this](InstrumentSession::AcquisitionEnd end) { acquisitionEnded(int(end)); });
    // From the signals' own word: the sequence says it is idle just before it is.
    m_calibrating = m_session.isCalibrating();
    m_operationCondition = operationCondition();
    connect(&m_session, &InstrumentSession::busyChanged, this, [this](bool busy) {
        m_calibrating = busy;
        operationConditionChanged();
    });
    connect(&m_session, &InstrumentSession::runChanged, this, &RemoteControl::operationConditionChanged);
    connect(&m_session, &InstrumentSession::registerChanged, this, &RemoteControl::registerChanged);
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

bool RemoteControl::lockedOut(const Client& c, const scpi::Parsed& p) const
{
    return m_lockHolder != 0 && m_lockHolder != c.id && scpi::refusedUnderOthersLock(p.form().reach);
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
    // The answers include every record that has come, also those the link left waiting for the
    // next display frame.
    m_session.catchUp();
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
            else if (m_closing && scpi::refusedWhenClosing(item.parsed.form().reach))
                fail(c, Error::Execution);
            else if (lockedOut(c, item.parsed))
                c.status.push(Error::Execution, "locked by another client");
            else
                (this->*item.parsed.command->handler)(c, item.parsed);
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
            if (c.readAfter == Client::Reading::Differences)
                fetchDifferences(c, std::nullopt);
            else
                sendHistogram(c);
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

bool RemoteControl::startAcquisition(Client& c)
{
    if (m_session.isRunTicked()) {
        // A run is on, the operator's or a script's: it is not ours to end.
        fail(c, Error::InitIgnored);
        return false;
    }
    if (!m_session.calibrationShown().runGate) {
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
    const auto value = m_session.registerShown(index).value;
    for (quint64 id : waiting) {
        const auto it = m_clients.find(id);
        if (it == m_clients.end())
            continue;
        respond(*it->second, value ? scpi::number(qint64(*value)) : QByteArray(scpi::NotANumber));
        endWait(id, *it->second);
    }
}

void RemoteControl::fetchDifferences(Client& c, std::optional<quint64> most)
{
    quint64 count = m_ring.available(c.cursor);
    if (most)
        count = std::min<quint64>(count, *most);
    // The values are taken on a copy of the cursor, which moves on only once the answer has
    // been accepted: an answer refused as too much data leaves them for the next fetch.
    DifferenceRing::Cursor taken = c.cursor;
    const quint64 gap = m_ring.catchUp(taken);
    if (c.binary) {
        const qsizetype bytes = qsizetype(count) * qsizetype(sizeof(qint32));
        const QByteArray header = scpi::blockHeader(bytes);
        // Refused before a byte of it is taken.
        if (!fits(c, header.size() + bytes) || !respond(c, header))
            return;
        // The values go out in pieces through one buffer kept for it. A block of its own would be
        // fresh memory of up to 64 MiB on every fetch, paid for in page faults, and copied once
        // more by the socket: at the gigabit rate that held the event loop for most of a second.
        c.lineAnswerBytes += bytes;
        if (!c.answers.isEmpty())
            m_transport.send(c.id, std::exchange(c.answers, {}));
        if (!m_piece)
            m_piece = std::make_unique_for_overwrite<char[]>(size_t(AnswerChunkBytes));
        constexpr qsizetype PieceValues = AnswerChunkBytes / qsizetype(sizeof(qint32));
        for (quint64 left = count; left > 0;) {
            const qsizetype got = m_ring.fetchLittleEndian(taken, qsizetype(std::min<quint64>(left, PieceValues)),
                                                           m_piece.get());
            if (got <= 0)
                break;
            m_transport.sendMore(c.id, QByteArrayView(m_piece.get(), got * qsizetype(sizeof(qint32))));
            left -= quint64(got);
        }
        taken.lost = gap;
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
    taken.lost = gap;
    if (respond(c, list))
        c.cursor = taken;
}

void RemoteControl::sendHistogram(Client& c)
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
