/// @brief Connections, command handling, the paced record stream and the fault switches of the simulator.
#include "sim/instrumentsimulator.h"

#include "link/protocol.h"
#include "platform/qttimer.h"
#include "platform/rawwriter.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <deque>
#include <string_view>

namespace {

constexpr int StreamTickMs = 2;
// A reader that falls behind loses records rather than receiving a burst later: the backlog that
// may still be made up is capped at this much of the rate.
constexpr double MaxBacklogSeconds = 0.05;
// Keeps one tick short enough for the event loop to stay responsive at any rate.
constexpr int MaxRecordsPerTick = 1 << 17;
constexpr int RelistenAttempts = 40;
constexpr int RelistenRetryMs = 50;
constexpr std::string_view ReplyStarts = "HPRV01234567";
// Replies wait behind at most one block; large enough that the syscalls cost nothing.
constexpr qsizetype BlastBlockRecords = 1 << 16;
// Longest the sender holds the event loop before commands get read again.
constexpr auto BlastSlice = std::chrono::milliseconds(4);

} // namespace

struct InstrumentSimulator::Piece {
    QByteArray bytes;
    int recordCount = 0; ///< records whose last byte is in this piece
    std::vector<GeneratedRecord> truth;
    bool separate = false; ///< a piece of a split write: flushed alone, followed by a gap
};

// A TCP client: the socket goes when the connection does.
class InstrumentSimulator::TcpPeer final : public Peer {
public:
    explicit TcpPeer(QTcpSocket* socket) : m_socket(socket) {}
    ~TcpPeer() override { m_socket->deleteLater(); }
    bool write(const QByteArray& bytes) override { return m_socket->write(bytes) == bytes.size(); }
    qint64 bytesToWrite() const override { return m_socket->bytesToWrite(); }
    void flush() override { m_socket->flush(); }
    void abort() override { m_socket->abort(); }
    QTcpSocket* socket() const { return m_socket; }

private:
    QTcpSocket* m_socket;
};

struct InstrumentSimulator::Ring {
    RecordGenerator::Calibration calibration;
    QByteArray bytes; ///< whole records
    qsizetype records = 0;
};

struct InstrumentSimulator::Blast {
    /// A reply, or a slice of a ring (whole records), and how much of it is on its way.
    struct Message {
        QByteArray bytes;
        std::shared_ptr<const Ring> ring;
        qsizetype begin = 0;
        qsizetype size = 0;
        qsizetype done = 0;
        const char* data() const { return ring ? ring->bytes.constData() + begin : bytes.constData(); }
    };
    RawWriter* writer = nullptr; ///< belongs to the socket
    std::deque<Message> queue;
    std::shared_ptr<const Ring> ring;
    qsizetype next = 0; ///< the ring record the next block starts with
    double paceStart = 0;
    double paceIssued = 0;
};

struct InstrumentSimulator::Session {
    Peer* peer = nullptr;
    std::unique_ptr<Peer> owned; ///< the TCP peer; an in-process peer belongs to its socket
    bool closed = false;
    CommandParser parser;
    bool streaming = false;
    double streamStart = 0;  ///< on the simulator's clock
    double streamIssued = 0; ///< records generated since streamStart
    std::deque<Piece> pending;
    qint64 pendingBytes = 0;
    std::unique_ptr<Blast> blast; ///< set for TCP clients in blast mode
};

InstrumentSimulator::InstrumentSimulator(SimulatorConfig cfg, QObject* parent)
    : InstrumentSimulator(std::move(cfg), std::make_unique<SystemClock>(), nullptr, parent)
{}

InstrumentSimulator::InstrumentSimulator(SimulatorConfig cfg, const Clock& clock, QObject* parent)
    : InstrumentSimulator(std::move(cfg), nullptr, &clock, parent)
{}

InstrumentSimulator::InstrumentSimulator(SimulatorConfig cfg, std::unique_ptr<Clock> ownClock, const Clock* clock,
                                         QObject* parent)
    : QObject(parent), m_ownClock(std::move(ownClock)), m_clock(m_ownClock ? *m_ownClock : *clock),
      m_config(std::move(cfg)),
      m_generator(m_config), m_reported{m_config.calLowA, m_config.calHighA, m_config.calLowB, m_config.calHighB},
      // A stream of its own, so that register reads do not change the records a seed produces.
      m_noiseRng(m_config.seed ^ 0x9E3779B97F4A7C15ull), m_faults(m_clock)
{
    m_startSeconds = m_clock.monotonicSeconds();
    m_streamTimer = m_clock.makeTimer(this);
    m_pumpTimer = m_clock.makeTimer(this);
    m_relistenTimer = m_clock.makeTimer(this);
    for (Timer* t : {m_streamTimer.get(), m_pumpTimer.get()})
        if (auto* qt = qobject_cast<QtTimer*>(t))
            qt->setPrecise(true);
    m_streamTimer->setInterval(StreamTickMs);
    m_pumpTimer->setInterval(std::max(0, m_config.splitGapMs));
    m_relistenTimer->setSingleShot(true);
    connect(m_streamTimer.get(), &Timer::timeout, this, &InstrumentSimulator::streamTick);
    connect(m_pumpTimer.get(), &Timer::timeout, this, &InstrumentSimulator::pumpTick);
    connect(m_relistenTimer.get(), &Timer::timeout, this, [this] { relisten(m_relistenAttempts); });
    connect(&m_server, &QTcpServer::newConnection, this, &InstrumentSimulator::onNewConnection);
}

InstrumentSimulator::~InstrumentSimulator() { stop(); }

bool InstrumentSimulator::start(quint16 port)
{
    if (m_running) {
        m_error = QStringLiteral("already running");
        return false;
    }
    if (const QString problem = m_config.validationError(); !problem.isEmpty()) {
        m_error = problem;
        return false;
    }
    if (!m_server.listen(QHostAddress::LocalHost, port)) {
        m_error = m_server.errorString();
        return false;
    }
    m_port = m_server.serverPort();
    if (!open()) {
        m_server.close();
        return false;
    }
    return true;
}

bool InstrumentSimulator::startInProcess()
{
    if (m_running) {
        m_error = QStringLiteral("already running");
        return false;
    }
    if (const QString problem = m_config.validationError(); !problem.isEmpty()) {
        m_error = problem;
        return false;
    }
    return open();
}

bool InstrumentSimulator::open()
{
    if (!m_config.groundTruthPath.isEmpty()) {
        QString problem;
        if (!m_truth.open(m_config.groundTruthPath, &problem)) {
            m_error = QStringLiteral("ground truth file: ") + problem;
            return false;
        }
        m_truthCalibration = {};
    }
    m_error.clear();
    m_running = true;
    return true;
}

void InstrumentSimulator::stop()
{
    m_running = false;
    m_server.close();
    m_streamTimer->stop();
    m_pumpTimer->stop();
    m_relistenTimer->stop();
    for (size_t i = 0; i < m_sessions.size(); ++i) {
        Session& session = *m_sessions[i];
        if (session.closed)
            continue;
        session.peer->abort();
        onDisconnected(session); // a socket that was not connected any more emits nothing
    }
    m_truth.close();
}

int InstrumentSimulator::connectionCount() const
{
    return int(std::count_if(m_sessions.begin(), m_sessions.end(), [](const auto& s) { return !s->closed; }));
}

void InstrumentSimulator::onNewConnection()
{
    while (QTcpSocket* socket = m_server.nextPendingConnection()) {
        if (m_faults.refusing() && m_faults.refuseMode() == RefuseMode::CloseAccepted) {
            ++m_refused;
            socket->abort();
            socket->deleteLater();
            continue;
        }
        // Replies are tiny and the panel waits for them: no coalescing delay.
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        auto peer = std::make_unique<TcpPeer>(socket);
        Peer* raw = peer.get();
        // Garbage waiting for a client must go through the blast queue like everything else.
        const int garbageCount = m_config.blast ? std::exchange(m_pendingGarbage, 0) : 0;
        Session* session = accept(raw, std::move(peer));
        if (m_config.blast && !session->closed) {
            session->blast = std::make_unique<Blast>();
            session->blast->writer = new RawWriter(socket);
            connect(session->blast->writer, &RawWriter::writable, this, [this, session] { blastPump(*session); });
            if (garbageCount > 0)
                deliver(*session, garbage(garbageCount));
        }
        connect(socket, &QTcpSocket::readyRead, this, [this, session, socket] {
            if (!session->closed)
                receive(*session, socket->readAll());
        });
        connect(socket, &QTcpSocket::disconnected, this, [this, session] { onDisconnected(*session); });
        if (!session->closed && socket->bytesAvailable() > 0)
            receive(*session, socket->readAll());
    }
}

InstrumentSimulator::Session* InstrumentSimulator::accept(Peer* peer, std::unique_ptr<Peer> owned)
{
    m_sessions.push_back(std::make_unique<Session>());
    Session* session = m_sessions.back().get();
    session->peer = peer;
    session->owned = std::move(owned);
    emit clientConnected();
    if (!session->closed && m_pendingGarbage > 0) {
        const int count = std::exchange(m_pendingGarbage, 0);
        deliver(*session, garbage(count));
    }
    return session;
}

InstrumentSimulator::Session* InstrumentSimulator::find(const Peer& peer) const
{
    for (const auto& s : m_sessions)
        if (!s->closed && s->peer == &peer)
            return s.get();
    return nullptr;
}

InstrumentSimulator::Attach InstrumentSimulator::attach(Peer& peer)
{
    if (!m_running || (m_faults.refusing() && m_faults.refuseMode() == RefuseMode::StopListening))
        return Attach::Refused;
    if (m_faults.refusing()) {
        ++m_refused;
        peer.abort();
        return Attach::ClosedAtOnce;
    }
    accept(&peer, nullptr);
    return Attach::Accepted;
}

void InstrumentSimulator::receive(Peer& peer, const QByteArray& bytes)
{
    if (Session* session = find(peer))
        receive(*session, bytes);
}

void InstrumentSimulator::detach(Peer& peer)
{
    if (Session* session = find(peer))
        onDisconnected(*session);
}

void InstrumentSimulator::receive(Session& session, const QByteArray& data)
{
    if (session.closed || data.isEmpty())
        return;
    m_bytesReceived += quint64(data.size());
    m_received.append(data);
    session.parser.feed(data);
    CommandParser::Command command;
    // A slot on commandReceived may drop the connection or stop us; the session outlives that
    // until the next prune, and the closed flag ends the loop.
    while (!session.closed && session.parser.next(command)) {
        emit commandReceived(command.bytes);
        if (!session.closed)
            handle(session, command);
    }
}

void InstrumentSimulator::onDisconnected(Session& session)
{
    if (session.closed)
        return;
    session.closed = true;
    session.streaming = false;
    session.pending.clear();
    session.pendingBytes = 0;
    if (auto* tcp = dynamic_cast<TcpPeer*>(session.owned.get()))
        tcp->socket()->disconnect(this);
    if (session.blast) {
        // The writer may be mid-signal: it is disarmed here and goes with its socket.
        if (session.blast->writer) {
            session.blast->writer->watch(false);
            session.blast->writer->disconnect(this);
            session.blast->writer = nullptr;
        }
        session.blast->queue.clear();
    }
    // An in-process peer may be gone before the prune.
    session.peer = nullptr;
    if (!m_prunePending) {
        m_prunePending = true;
        QMetaObject::invokeMethod(this, &InstrumentSimulator::pruneSessions, Qt::QueuedConnection);
    }
    emit clientDisconnected();
}

void InstrumentSimulator::pruneSessions()
{
    m_prunePending = false;
    std::erase_if(m_sessions, [](const auto& s) { return s->closed; });
}

void InstrumentSimulator::handle(Session& session, const CommandParser::Command& command)
{
    using Kind = CommandParser::Kind;
    switch (command.kind) {
    case Kind::Heartbeat:
        if (!m_faults.takeHeartbeatDrop())
            deliver(session, QByteArray("H"));
        break;
    case Kind::Version:
        deliver(session, versionReply());
        break;
    case Kind::Register:
        deliver(session, registerReply(command.registerIndex, session));
        break;
    case Kind::Calibration:
        // A blast ring holds one calibration's records; a new one is made at the next run.
        if (session.blast)
            session.streaming = false;
        m_level = command.argument == 0x01   ? CalibrationLevel::Low
                  : command.argument == 0x03 ? CalibrationLevel::High
                                             : CalibrationLevel::Normal;
        break;
    case Kind::Run:
        if (command.argument & 0x01)
            startStream(session);
        else
            session.streaming = false;
        break;
    case Kind::DacA:
        m_dacA = command.dacCode;
        break;
    case Kind::Unknown:
        // The instrument ignores what it does not understand, one byte at a time.
        break;
    }
}

QByteArray InstrumentSimulator::versionReply() const
{
    QByteArray reply;
    reply.append('V');
    reply.append(char(m_config.fpgaMajor));
    reply.append(char((m_config.fpgaMinor << 4) | (m_config.fpgaRevision & 0x0F)));
    reply.append(m_config.moduleVersion.leftJustified(SimulatorConfig::ModuleVersionLength, ' ', true));
    return reply;
}

int InstrumentSimulator::noisyReading(int level)
{
    const int span = 2 * m_config.calNoise + 1;
    const int noise = int(m_noiseRng() % quint64(span)) - m_config.calNoise;
    return std::clamp(level + noise, 0, 4095);
}

int InstrumentSimulator::registerValue(int index, const Session& session)
{
    switch (index) {
    case 0:
    case 1:
        // Every coincidence counts on both inputs; the counters wrap at 12 bits.
        return int(m_recordsSent & 0x0FFF);
    case 2:
        return m_haveRecord ? ((m_lastRecord[6] & 0x03) << 8) | m_lastRecord[5] : 0;
    case 3:
    case 4: {
        const bool channelA = index == 3;
        if (m_level == CalibrationLevel::Low) {
            const int value = noisyReading(channelA ? m_config.calLowA : m_config.calLowB);
            (channelA ? m_reported.lowA : m_reported.lowB) = value;
            return value;
        }
        if (m_level == CalibrationLevel::High) {
            const int value = noisyReading(channelA ? m_config.calHighA : m_config.calHighB);
            (channelA ? m_reported.highA : m_reported.highB) = value;
            return value;
        }
        if (m_haveRecord)
            return channelA ? (m_lastRecord[1] << 8) | m_lastRecord[2]
                            : ((m_lastRecord[3] & 0x0F) << 8) | m_lastRecord[4];
        // A ramp at rest sits at its low level.
        return noisyReading(channelA ? m_config.calLowA : m_config.calLowB);
    }
    case 5:
        return int(qint64((m_clock.monotonicSeconds() - m_startSeconds) * 1000) & 0x0FFF);
    case 6: {
        const int level = m_level == CalibrationLevel::Low ? 1 : m_level == CalibrationLevel::High ? 2 : 0;
        return level | (session.streaming ? 4 : 0);
    }
    case 7:
        return m_config.verilogVersion & 0x0FFF;
    default:
        return 0;
    }
}

QByteArray InstrumentSimulator::registerReply(int index, const Session& session)
{
    const int value = registerValue(index, session);
    quint8 high = quint8((value >> 8) & 0x0F);
    if (m_config.setUnusedBits)
        high |= quint8(m_noiseRng() & 0xF0);
    QByteArray reply(3, '\0');
    reply[0] = char('0' + index);
    reply[1] = char(high);
    reply[2] = char(value & 0xFF);
    return reply;
}

void InstrumentSimulator::startStream(Session& session)
{
    if (session.streaming)
        return;
    session.streaming = true;
    if (Blast* blast = session.blast.get()) {
        blast->paceStart = m_clock.monotonicSeconds();
        blast->paceIssued = 0;
        if (blast->writer)
            blast->writer->watch(true);
    }
    session.streamStart = m_clock.monotonicSeconds();
    session.streamIssued = 0;
    if (!m_streamTimer->isActive())
        m_streamTimer->start();
}

qint64 InstrumentSimulator::queuedBytes(const Session& session) const
{
    return session.peer->bytesToWrite() + session.pendingBytes;
}

void InstrumentSimulator::streamTick()
{
    bool anyStreaming = false;
    const bool blocked = m_faults.silent() || m_faults.stalled();
    m_generator.setCalibration(m_reported);
    const double now = m_clock.monotonicSeconds();
    const double rate = m_config.recordsPerSecond;
    const double backlogLimit = std::max(1.0, rate * MaxBacklogSeconds);
    // Sessions are only erased by the queued prune, so indices stay valid while we deliver.
    for (size_t i = 0; i < m_sessions.size(); ++i) {
        Session& session = *m_sessions[i];
        if (session.closed || !session.streaming)
            continue;
        anyStreaming = true;
        if (session.blast) {
            // The tick only wakes a paced or paused blast; the socket drives it otherwise.
            blastPump(session);
            continue;
        }
        if (blocked || !m_generator.canGenerate()) {
            // A paused stream resumes at its rate, without a burst for the pause.
            session.streamStart = now;
            session.streamIssued = 0;
            continue;
        }
        const double target = rate * (now - session.streamStart);
        if (target - session.streamIssued > backlogLimit)
            session.streamIssued = target - backlogLimit;
        // Pieces still waiting (a split write) hold the next batch back, so the queue never grows
        // beyond one batch; the backlog cap above sheds what the pauses cost.
        if (!session.pending.empty() || queuedBytes(session) > m_config.maxQueuedBytes)
            continue;
        const int count = int(std::min(std::floor(target - session.streamIssued), double(MaxRecordsPerTick)));
        if (count <= 0)
            continue;
        session.streamIssued += count;
        QByteArray batch;
        std::vector<GeneratedRecord> truth;
        m_generator.generate(count, batch, m_truth.isOpen() ? &truth : nullptr);
        std::copy_n(batch.constData() + batch.size() - protocol::RecordLength, protocol::RecordLength,
                    m_lastRecord.begin());
        m_haveRecord = true;
        deliver(session, std::move(batch), true, std::move(truth));
    }
    m_truth.flush();
    if (!anyStreaming)
        m_streamTimer->stop();
}

void InstrumentSimulator::deliver(Session& session, QByteArray bytes, bool isRecords,
                                  std::vector<GeneratedRecord> truth)
{
    if (session.closed || bytes.isEmpty() || m_faults.silent())
        return;
    if (session.blast) {
        // Whole messages in order behind the block being sent; split writes do not apply here.
        session.blast->queue.push_back({std::move(bytes), nullptr, 0, 0, 0});
        session.blast->queue.back().size = session.blast->queue.back().bytes.size();
        if (session.blast->writer)
            session.blast->writer->watch(true);
        return;
    }
    if (m_faults.splitting() && bytes.size() > 1) {
        const qsizetype size = bytes.size();
        const int cuts = 1 + int(m_noiseRng() % quint64(std::min<qsizetype>(3, size - 1)));
        std::vector<qsizetype> ends;
        while (int(ends.size()) < cuts) {
            const qsizetype at = 1 + qsizetype(m_noiseRng() % quint64(size - 1));
            if (std::find(ends.begin(), ends.end(), at) == ends.end())
                ends.push_back(at);
        }
        std::sort(ends.begin(), ends.end());
        ends.push_back(size);
        qsizetype begin = 0;
        for (const qsizetype end : ends) {
            Piece piece;
            piece.bytes = bytes.mid(begin, end - begin);
            piece.separate = true;
            if (isRecords) {
                // A record belongs to the piece that completes it.
                const qsizetype first = begin / protocol::RecordLength;
                const qsizetype last = end / protocol::RecordLength;
                piece.recordCount = int(last - first);
                if (!truth.empty())
                    piece.truth.assign(truth.begin() + first, truth.begin() + last);
            }
            session.pendingBytes += piece.bytes.size();
            session.pending.push_back(std::move(piece));
            begin = end;
        }
        ensurePump();
        return;
    }
    const int recordCount = isRecords ? int(bytes.size() / protocol::RecordLength) : 0;
    Piece piece{std::move(bytes), recordCount, std::move(truth), false};
    if (m_faults.stalled() || !session.pending.empty()) {
        session.pendingBytes += piece.bytes.size();
        session.pending.push_back(std::move(piece));
        ensurePump();
        return;
    }
    writeNow(session, piece, false);
}

void InstrumentSimulator::writeNow(Session& session, const Piece& piece, bool flush)
{
    if (session.closed || !session.peer->write(piece.bytes))
        return;
    m_bytesSent += quint64(piece.bytes.size());
    if (m_config.keepSentBytes)
        m_sent.append(piece.bytes);
    m_recordsSent += quint64(piece.recordCount);
    if (!piece.truth.empty() && m_truth.isOpen()) {
        // Records still queued from before a recalibration are logged after its line; the panel
        // drops records during a calibration anyway.
        if (m_truthCalibration != m_generator.calibration()) {
            m_truthCalibration = m_generator.calibration();
            m_truth.writeCalibration(m_truthCalibration, m_generator.tauANs(), m_generator.tauBNs());
        }
        for (const GeneratedRecord& record : piece.truth)
            m_truth.append(record);
    }
    // Last: a failed flush can close the session under us.
    if (flush)
        session.peer->flush();
}

void InstrumentSimulator::ensurePump()
{
    if (!m_pumpTimer->isActive())
        m_pumpTimer->start();
}

void InstrumentSimulator::pumpTick()
{
    bool anyPending = false;
    const bool blocked = m_faults.silent() || m_faults.stalled();
    for (size_t i = 0; i < m_sessions.size(); ++i) {
        Session& session = *m_sessions[i];
        if (session.blast) {
            if (!session.closed && !session.blast->queue.empty()) {
                blastPump(session);
                anyPending = anyPending || (!session.closed && !session.blast->queue.empty());
            }
            continue;
        }
        while (!blocked && !session.closed && !session.pending.empty()) {
            const Piece piece = std::move(session.pending.front());
            session.pending.pop_front();
            session.pendingBytes -= piece.bytes.size();
            writeNow(session, piece, piece.separate);
            if (piece.separate)
                break;
        }
        if (!session.closed && !session.pending.empty())
            anyPending = true;
    }
    m_truth.flush();
    if (!anyPending)
        m_pumpTimer->stop();
}

std::shared_ptr<const InstrumentSimulator::Ring> InstrumentSimulator::currentRing()
{
    if (m_ring && m_ring->calibration == m_reported)
        return m_ring;
    m_generator.setCalibration(m_reported);
    if (!m_generator.canGenerate())
        return nullptr;
    auto ring = std::make_shared<Ring>();
    ring->calibration = m_reported;
    ring->records = m_config.blastRingRecords;
    std::vector<GeneratedRecord> truth;
    ring->bytes.reserve(ring->records * protocol::RecordLength);
    m_generator.generate(int(ring->records), ring->bytes, m_truth.isOpen() ? &truth : nullptr);
    if (m_truth.isOpen()) {
        m_truthCalibration = ring->calibration;
        m_truth.writeCalibration(m_truthCalibration, m_generator.tauANs(), m_generator.tauBNs());
        m_truth.writeRingHeader(ring->records);
        for (const GeneratedRecord& record : truth)
            m_truth.append(record);
        m_truth.flush();
    }
    m_ring = std::move(ring);
    return m_ring;
}

bool InstrumentSimulator::queueRingBlock(Session& session)
{
    Blast& blast = *session.blast;
    if (!session.streaming)
        return false;
    if (!blast.ring || blast.ring->calibration != m_reported) {
        blast.ring = currentRing();
        blast.next = 0;
        if (!blast.ring)
            return false;
    }
    qsizetype count = std::min(BlastBlockRecords, blast.ring->records - blast.next);
    if (m_config.blastPaced) {
        const double now = m_clock.monotonicSeconds();
        const double rate = m_config.recordsPerSecond;
        const double target = rate * (now - blast.paceStart);
        const double backlogLimit = std::max(1.0, rate * MaxBacklogSeconds);
        if (target - blast.paceIssued > backlogLimit)
            blast.paceIssued = target - backlogLimit;
        count = std::min(count, qsizetype(std::floor(target - blast.paceIssued)));
        if (count <= 0)
            return false;
        blast.paceIssued += double(count);
    }
    blast.queue.push_back({{}, blast.ring, blast.next * protocol::RecordLength, count * protocol::RecordLength, 0});
    blast.next = (blast.next + count) % blast.ring->records;
    return true;
}

void InstrumentSimulator::blastPump(Session& session)
{
    if (session.closed || !session.blast || !session.blast->writer)
        return;
    Blast& blast = *session.blast;
    if (m_faults.silent() || m_faults.stalled()) {
        blast.writer->watch(false);
        // A paused stream resumes at its rate, without a burst for the pause.
        blast.paceStart = m_clock.monotonicSeconds();
        blast.paceIssued = 0;
        if (!blast.queue.empty())
            ensurePump();
        return;
    }
    const auto until = std::chrono::steady_clock::now() + BlastSlice;
    for (;;) {
        if (blast.queue.empty() && !queueRingBlock(session)) {
            blast.writer->watch(false);
            return;
        }
        Blast::Message& message = blast.queue.front();
        const qint64 sent = blast.writer->write(message.data() + message.done, message.size - message.done);
        if (sent < 0) {
            session.peer->abort();
            onDisconnected(session);
            return;
        }
        if (m_config.keepSentBytes)
            m_sent.append(message.data() + message.done, sent);
        m_bytesSent += quint64(sent);
        if (message.ring) {
            // Blocks start on a record boundary: a record counts once its last byte is taken.
            m_recordsSent += quint64((message.done + sent) / protocol::RecordLength
                                     - message.done / protocol::RecordLength);
        }
        message.done += sent;
        if (message.done < message.size) {
            blast.writer->watch(true);
            return;
        }
        if (message.ring) {
            const char* last = message.data() + message.size - protocol::RecordLength;
            std::copy_n(last, protocol::RecordLength, m_lastRecord.begin());
            m_haveRecord = true;
        }
        blast.queue.pop_front();
        if (std::chrono::steady_clock::now() >= until) {
            blast.writer->watch(true);
            return;
        }
    }
}

QByteArray InstrumentSimulator::garbage(int count)
{
    QByteArray bytes;
    bytes.reserve(count);
    while (bytes.size() < count) {
        const char c = char(m_noiseRng() & 0xFF);
        if (ReplyStarts.find(c) == std::string_view::npos)
            bytes.append(c);
    }
    return bytes;
}

void InstrumentSimulator::silence(int durationMs) { m_faults.silence(durationMs); }

void InstrumentSimulator::dropHeartbeats(int count) { m_faults.dropHeartbeats(count); }

void InstrumentSimulator::dropConnections()
{
    for (size_t i = 0; i < m_sessions.size(); ++i) {
        Session& session = *m_sessions[i];
        if (session.closed)
            continue;
        session.peer->abort();
        onDisconnected(session);
    }
}

void InstrumentSimulator::refuseConnections(int durationMs, RefuseMode mode)
{
    m_faults.refuse(durationMs, mode);
    if (mode == RefuseMode::StopListening && durationMs > 0 && m_server.isListening()) {
        m_server.close();
        m_relistenAttempts = RelistenAttempts;
        m_relistenTimer->start(durationMs);
    } else if (durationMs <= 0) {
        relisten(RelistenAttempts);
    }
}

void InstrumentSimulator::relisten(int attemptsLeft)
{
    if (!m_running || m_server.isListening())
        return;
    if (m_faults.refusing() && m_faults.refuseMode() == RefuseMode::StopListening) {
        // The refusal was extended meanwhile.
        m_relistenAttempts = attemptsLeft;
        m_relistenTimer->start(int(std::max<qint64>(1, m_faults.refuseRemainingMs())));
        return;
    }
    if (m_server.listen(QHostAddress::LocalHost, m_port))
        return;
    m_error = m_server.errorString();
    if (attemptsLeft > 0) {
        m_relistenAttempts = attemptsLeft - 1;
        m_relistenTimer->start(RelistenRetryMs);
    }
}

void InstrumentSimulator::sendGarbage(int count)
{
    if (count <= 0)
        return;
    bool delivered = false;
    for (size_t i = 0; i < m_sessions.size(); ++i) {
        Session& session = *m_sessions[i];
        if (session.closed)
            continue;
        deliver(session, garbage(count));
        delivered = true;
    }
    if (!delivered)
        m_pendingGarbage += count;
}

void InstrumentSimulator::splitReplies(int durationMs) { m_faults.split(durationMs); }

void InstrumentSimulator::stall(int durationMs) { m_faults.stall(durationMs); }

void InstrumentSimulator::clearFaults()
{
    m_faults.clear();
    m_pendingGarbage = 0;
    relisten(RelistenAttempts);
}
