/// @brief The instrument's side of the protocol, with switchable faults: on a loopback TCP port, or in process through
/// SimulatorSocket.
#pragma once

#include "platform/clock.h"
#include "sim/commandparser.h"
#include "sim/faultstate.h"
#include "sim/groundtruthlog.h"
#include "sim/recordgenerator.h"
#include "sim/simulatorconfig.h"

#include <QByteArray>
#include <QObject>
#include <QTcpServer>
#include <array>
#include <memory>
#include <random>
#include <vector>

class QTcpSocket;

/// Answers every connection as the instrument would: heartbeat, version, registers, calibration
/// levels, the DAC set-point and the coincidence stream. Connections come from the TCP port
/// (127.0.0.1 only) or in process (attach()); the protocol, the stream and the faults see only a
/// Peer and run on the injected clock's time and timers. All work happens on the thread that owns
/// the object; several clients may connect, each with its own command buffer and stream, sharing
/// one instrument state (calibration level, DAC, counters).
class InstrumentSimulator : public QObject {
    Q_OBJECT
public:
    enum class CalibrationLevel { Normal, Low, High };
    using RefuseMode = FaultState::RefuseMode;

    /// The client end of one connection, as the simulator writes to it.
    class Peer {
    public:
        virtual ~Peer() = default;
        /// False when the bytes could not be taken (the connection is going).
        virtual bool write(const QByteArray& bytes) = 0;
        /// Bytes taken but not yet on their way to the client.
        virtual qint64 bytesToWrite() const = 0;
        virtual void flush() = 0;
        /// The simulator drops the connection; the peer reports nothing back.
        virtual void abort() = 0;
    };
    enum class Attach { Accepted, ClosedAtOnce, Refused };

    /// On the machine's clock.
    explicit InstrumentSimulator(SimulatorConfig cfg = {}, QObject* parent = nullptr);
    /// On `clock`, which must outlive the simulator: with a fake clock, records, uptime and
    /// fault deadlines advance only as the test moves it.
    InstrumentSimulator(SimulatorConfig cfg, const Clock& clock, QObject* parent = nullptr);
    ~InstrumentSimulator() override;

    /// 127.0.0.1 only; 0 picks a free port. Also opens the ground-truth file when one is configured.
    bool start(quint16 port);
    /// Like start(), without a port: connections come only through attach().
    bool startInProcess();

    /// A client connecting in process. While connections are refused it is refused (a closed
    /// port) or accepted and dropped at once (peer.abort() is called before this returns).
    Attach attach(Peer& peer);
    /// Bytes from an attached peer, as they arrive.
    void receive(Peer& peer, const QByteArray& bytes);
    /// The peer closed its end.
    void detach(Peer& peer);
    quint16 port() const { return m_port; }
    bool isRunning() const { return m_running; }
    /// False while stopped, and while a refusal closes the port.
    bool isListening() const { return m_server.isListening(); }
    /// Closes every connection and the port; flushes the ground truth.
    void stop();
    QString errorString() const { return m_error; }
    const SimulatorConfig& config() const { return m_config; }
    const Clock& clock() const { return m_clock; }

    quint64 recordsSent() const { return m_recordsSent; }
    quint64 bytesReceived() const { return m_bytesReceived; }
    quint64 bytesSent() const { return m_bytesSent; }
    /// Every byte any client sent, in arrival order.
    QByteArray receivedBytes() const { return m_received; }
    /// Every byte handed to a socket, when the configuration keeps them; empty otherwise.
    QByteArray sentBytes() const { return m_sent; }
    int dacACode() const { return m_dacA; }
    CalibrationLevel calibrationLevel() const { return m_level; }
    /// The calibration readings last reported for registers 3 and 4 at each level: what a panel
    /// holds, and so what the records are built against.
    RecordGenerator::Calibration reportedCalibration() const { return m_reported; }
    int connectionCount() const;
    int refusedConnections() const { return m_refused; }

    // Faults. Durations in ms; a duration of 0 or less ends the fault at once.
    /// Nothing at all goes out: replies and records are dropped (commands still take effect).
    void silence(int durationMs);
    /// The next count heartbeats go unanswered; everything else is answered.
    void dropHeartbeats(int count);
    /// Resets every open connection now.
    void dropConnections();
    void refuseConnections(int durationMs, RefuseMode mode = RefuseMode::CloseAccepted);
    /// count bytes that begin no reply kind, to every client, or to the next one if none is connected.
    void sendGarbage(int count);
    /// Every write is cut at random byte boundaries into pieces sent apart, each flushed by itself.
    void splitReplies(int durationMs);
    /// Nothing goes out for the duration; replies wait and then go, the stream pauses and resumes.
    void stall(int durationMs);
    void clearFaults();
    const FaultState& faults() const { return m_faults; }

signals:
    void clientConnected();
    void clientDisconnected();
    /// Each command as received, before it takes effect; a byte no command begins with comes alone.
    void commandReceived(QByteArray command);

private:
    struct Session;
    struct Piece;
    struct Ring;
    struct Blast;

    class TcpPeer;

    InstrumentSimulator(SimulatorConfig cfg, std::unique_ptr<Clock> ownClock, const Clock* clock, QObject* parent);

    bool open();
    void onNewConnection();
    Session* accept(Peer* peer, std::unique_ptr<Peer> owned);
    Session* find(const Peer& peer) const;
    void receive(Session& session, const QByteArray& data);
    void onDisconnected(Session& session);
    void pruneSessions();
    void handle(Session& session, const CommandParser::Command& command);

    QByteArray versionReply() const;
    QByteArray registerReply(int index, const Session& session);
    int registerValue(int index, const Session& session);
    int noisyReading(int level);

    void streamTick();
    void startStream(Session& session);
    void pumpTick();
    /// Every byte for a client goes through here, so that faults and ordering apply to all of them.
    /// With isRecords the bytes are whole records, truth their ground truth (empty when not logged).
    void deliver(Session& session, QByteArray bytes, bool isRecords = false, std::vector<GeneratedRecord> truth = {});
    void writeNow(Session& session, const Piece& piece, bool flush);
    void ensurePump();
    /// Sends the session's queue (replies and ring blocks, whole and in order) for a few ms at
    /// most, then waits for the socket or the next tick.
    void blastPump(Session& session);
    /// Queues the next ring block when the stream is on and its pace allows; false when nothing was queued.
    bool queueRingBlock(Session& session);
    /// The ring for the calibration the panel holds, generated (and logged) when there is none yet.
    std::shared_ptr<const Ring> currentRing();
    qint64 queuedBytes(const Session& session) const;
    QByteArray garbage(int count);
    void relisten(int attemptsLeft);

    std::unique_ptr<Clock> m_ownClock;
    const Clock& m_clock;
    SimulatorConfig m_config;
    QTcpServer m_server;
    quint16 m_port = 0;
    bool m_running = false;
    QString m_error;
    std::vector<std::unique_ptr<Session>> m_sessions;
    bool m_prunePending = false;

    RecordGenerator m_generator;
    GroundTruthLog m_truth;
    std::shared_ptr<const Ring> m_ring;
    RecordGenerator::Calibration m_truthCalibration;
    RecordGenerator::Calibration m_reported;
    std::array<quint8, protocol::RecordLength> m_lastRecord{};
    bool m_haveRecord = false;
    CalibrationLevel m_level = CalibrationLevel::Normal;
    int m_dacA = 0;
    std::mt19937_64 m_noiseRng;
    double m_startSeconds = 0;

    FaultState m_faults;
    int m_pendingGarbage = 0;
    int m_refused = 0;

    std::unique_ptr<Timer> m_streamTimer;
    std::unique_ptr<Timer> m_pumpTimer;
    std::unique_ptr<Timer> m_relistenTimer;
    int m_relistenAttempts = 0;

    quint64 m_recordsSent = 0;
    quint64 m_bytesReceived = 0;
    quint64 m_bytesSent = 0;
    QByteArray m_received;
    QByteArray m_sent;
};
