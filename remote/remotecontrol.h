/// @brief RemoteControl: SCPI commands of the control port's clients carried out on the session, one connection's order
/// kept.
#pragma once

#include "platform/fileerror.h"
#include "remote/clienttransport.h"
#include "remote/differencering.h"
#include "remote/remoteclient.h"
#include "remote/scpicommands.h"
#include "remote/scpiparser.h"
#include "remote/scpistatus.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

class Clock;
class HistogramFeed;
class InstrumentSession;
class PanelOptions;
class Timer;

/// Every client has its own parser place, error queue, status registers, data format and
/// place in the time-difference ring. Its commands run strictly in order: a query that waits
/// for the instrument (REGister?) or for its overlapped operations (*OPC?, *WAI) holds back
/// the commands after it, while other clients and the panel go on. The answers of one line go
/// out together, separated by ";", ended by "\n".
///
/// No client can hold the others or the session up: commands run in turns of a few
/// milliseconds, one client's turn after another's, each turn from its own pass of the event
/// loop, so that the link, the decoder and the heartbeat run in between. One line's answers are
/// bounded as they are built (MaxLineAnswerBytes), go out as they grow, and wait while the client
/// has not taken what it was sent (PauseBacklogBytes); a client that queues too much is no longer
/// read until its queue has shrunk.
///
/// What each command does sits beside its entry in the command table (scpicommands.cpp); this
/// class runs them. The transport is not its business: lines come in through the functions
/// below and answers go out through a ClientTransport, so that tests drive it without a socket
/// (ControlPort joins it to the ControlServer).
class RemoteControl : public QObject {
    Q_OBJECT
public:
    /// A register that has not answered by then gives "Hardware error".
    static constexpr int RegisterTimeoutMs = 1000;
    /// Commands a client may send while one of its queries waits; past that the waiting query
    /// is given up ("Query INTERRUPTED") so that the backlog cannot grow.
    static constexpr size_t MaxWaitingCommands = 1024;
    /// Commands queued beyond this stop the client's input until the queue is down to
    /// ResumeQueuedCommands.
    static constexpr size_t MaxQueuedCommands = 4096;
    static constexpr size_t ResumeQueuedCommands = 1024;
    /// Most bytes the answers of one line may come to: a whole ring of differences as one
    /// block, with room for its header and the line's other answers. Past it the rest of the
    /// line is not carried out ("Too much data").
    static constexpr qint64 MaxLineAnswerBytes = qint64(DifferenceRing::DefaultCapacity) * 4 + 64 * 1024;
    /// A line's answers go out in pieces of about this size as they are built.
    static constexpr qsizetype AnswerChunkBytes = 1024 * 1024;
    /// A client with more than this unsent has its commands wait until the network takes it.
    static constexpr qint64 PauseBacklogBytes = 4 * 1024 * 1024;

    /// How long a turn may run: at least one command, then until either bound is reached. The
    /// turns a pass of the event loop runs at once (a line that has just come) share one such
    /// budget; the others wait for their turn from the event loop.
    struct TurnBudget {
        int milliseconds = 3;
        int commands = 1 << 30;
    };

    /// `histogram`, `session` and `transport` must outlive this object; the ring is attached to
    /// the session's records for as long as it lives.
    RemoteControl(InstrumentSession& session, PanelOptions& options, HistogramFeed& histogram, const Clock& clock,
                  QString panelVersion, ClientTransport& transport, QObject* parent = nullptr);
    ~RemoteControl() override;

    void clientConnected(quint64 client);
    void clientDisconnected(quint64 client);
    void lineReceived(quint64 client, QByteArrayView line);
    /// The client's current line outgrew the input buffer; its rest is being discarded.
    void lineOverrun(quint64 client);
    /// The client's current line stayed unfinished too long; its rest is being discarded.
    void lineTimedOut(quint64 client);
    /// The network took some of what the client was sent.
    void clientDrained(quint64 client);

    /// Lines are taken and queued, but nothing is carried out until releaseCommands(): while
    /// the front end starts, nothing a script sends may reach the session.
    void holdCommands();
    void releaseCommands();
    /// Stopping: from now on commands that would change the session or reach the instrument
    /// fail with "Execution error"; queries, fetches among them, still answer.
    void beginClosing();
    /// Every client has fetched every difference the ring holds for it.
    bool allFetched() const;

    /// The client holding SYSTem:LOCK, 0 when none does.
    quint64 lockHolder() const { return m_lockHolder; }

    void setTurnBudget(const TurnBudget& budget) { m_budget = budget; }
    int clientCount() const { return int(m_clients.size()); }
    DifferenceRing& ring() { return m_ring; }

signals:
    /// A client took SYSTem:LOCK (true) or it was released, by the client or its disconnect.
    void lockChanged(bool held);

private:
    // The command table takes the addresses of the handlers below.
    friend std::span<const scpi::CommandEntry> scpi::commandTable();
    using Client = RemoteClient;
    using Wait = RemoteClient::Wait;

    /// Runs a turn of the client now, or, inside another turn, as soon as that has ended.
    void process(quint64 id);
    void runTurn(quint64 id);
    void schedule(quint64 id);
    void nextTurn();
    bool mayRun(const Client& c) const;
    /// False, and "Too much data" with the rest of the line dropped, when the answer would take
    /// the line past MaxLineAnswerBytes.
    bool respond(Client& c, QByteArrayView answer);
    /// Whether an answer of this size still fits the line; if not, as respond() refusing it.
    bool fits(Client& c, qint64 answerBytes);
    void fail(Client& c, scpi::Error e);
    /// Refused while another client holds the lock: whatever changes what others see.
    bool lockedOut(const Client& c, const scpi::Parsed& p) const;
    void releaseLock(quint64 id);
    /// The client's calibration or acquisition has not ended yet.
    static bool operationsPending(const Client& c);
    /// INIT and READ?: false (with the error queued) when no acquisition could start.
    bool startAcquisition(Client& c);
    void acquisitionEnded(int end);
    /// The waits of *OPC, *OPC? and *WAI end once the client has nothing pending any more.
    void operationsMayHaveEnded();
    quint16 operationCondition() const;
    void operationConditionChanged();
    void waitFor(Client& c, Wait wait, bool answerWhenDone);
    void endWait(quint64 id, Client& c);
    void calibrationEnded();
    void registerChanged(int index);

    void fetchDifferences(Client& c, std::optional<quint64> most);
    void sendHistogram(Client& c);
    /// READ?: an acquisition, then the answer once it has ended.
    void read(Client& c, Client::Reading answer);
    QByteArray identity() const;
    void setSwitch(int which, bool on);
    /// SCPI's mass-storage error for a kind of file failure.
    static scpi::Error storageError(FileFailure failure);

    // The commands, one handler per entry of the command table and in its order; each is
    // defined beside the table in scpicommands.cpp.
    void idn(Client& c, const scpi::Parsed& p);
    void rst(Client& c, const scpi::Parsed& p);
    void cls(Client& c, const scpi::Parsed& p);
    void ese(Client& c, const scpi::Parsed& p);
    void esr(Client& c, const scpi::Parsed& p);
    void stb(Client& c, const scpi::Parsed& p);
    void sre(Client& c, const scpi::Parsed& p);
    void opc(Client& c, const scpi::Parsed& p);
    void wai(Client& c, const scpi::Parsed& p);
    void systemError(Client& c, const scpi::Parsed& p);
    void systemErrorCount(Client& c, const scpi::Parsed& p);
    void systemVersion(Client& c, const scpi::Parsed& p);
    void connectionState(Client& c, const scpi::Parsed& p);
    void connectionAddress(Client& c, const scpi::Parsed& p);
    void connectionPort(Client& c, const scpi::Parsed& p);
    void calibrate(Client& c, const scpi::Parsed& p);
    void calibrationData(Client& c, const scpi::Parsed& p);
    void calibrationValid(Client& c, const scpi::Parsed& p);
    void calibrationTauA(Client& c, const scpi::Parsed& p);
    void calibrationTauB(Client& c, const scpi::Parsed& p);
    void run(Client& c, const scpi::Parsed& p);
    void fetchCount(Client& c, const scpi::Parsed& p);
    void fetchStatistics(Client& c, const scpi::Parsed& p);
    void fetchDt(Client& c, const scpi::Parsed& p);
    void fetchDtLost(Client& c, const scpi::Parsed& p);
    void format(Client& c, const scpi::Parsed& p);
    void histogramData(Client& c, const scpi::Parsed& p);
    void histogramAxis(Client& c, const scpi::Parsed& p);
    void histogramBinWidth(Client& c, const scpi::Parsed& p);
    void histogramWindow(Client& c, const scpi::Parsed& p);
    void histogramStatistics(Client& c, const scpi::Parsed& p);
    void histogramClear(Client& c, const scpi::Parsed& p);
    void histogramRangeAll(Client& c, const scpi::Parsed& p);
    void dacA(Client& c, const scpi::Parsed& p);
    void registerValue(Client& c, const scpi::Parsed& p);
    void fileState(Client& c, const scpi::Parsed& p);
    void filePath(Client& c, const scpi::Parsed& p);
    void fileVerbose(Client& c, const scpi::Parsed& p);
    void fileRaw(Client& c, const scpi::Parsed& p);
    void fileName(Client& c, const scpi::Parsed& p);
    void fileError(Client& c, const scpi::Parsed& p);
    void display(Client& c, const scpi::Parsed& p);
    void linkHealth(Client& c, const scpi::Parsed& p);
    void statusOperationCondition(Client& c, const scpi::Parsed& p);
    void statusOperationEvent(Client& c, const scpi::Parsed& p);
    void statusOperationEnable(Client& c, const scpi::Parsed& p);
    void lockRequest(Client& c, const scpi::Parsed& p);
    void lockRelease(Client& c, const scpi::Parsed& p);
    void lockOwner(Client& c, const scpi::Parsed& p);
    void acquireCount(Client& c, const scpi::Parsed& p);
    void acquireTime(Client& c, const scpi::Parsed& p);
    void initiate(Client& c, const scpi::Parsed& p);
    void abort(Client& c, const scpi::Parsed& p);
    void readDt(Client& c, const scpi::Parsed& p);
    void readHistogram(Client& c, const scpi::Parsed& p);

    InstrumentSession& m_session;
    PanelOptions& m_options;
    HistogramFeed& m_histogram;
    const Clock& m_clock;
    const QString m_panelVersion;
    ClientTransport& m_transport;
    DifferenceRing m_ring;
    std::map<quint64, std::unique_ptr<Client>> m_clients;
    std::vector<qint32> m_scratch;
    std::unique_ptr<char[]> m_piece; ///< one piece of a binary block on its way out
    /// Clients whose turn is due, in the order they get it.
    std::deque<quint64> m_due;
    /// Not on the session's clock: a turn waits for the event loop, not for time.
    QTimer m_turnTimer;
    /// Running from the first turn a pass of the event loop started outside the turn timer.
    QElapsedTimer m_passSpent;
    int m_passCommands = 0;
    TurnBudget m_budget;
    quint64 m_lockHolder = 0;
    /// The client whose INIT or READ? started the acquisition under way; 0 when none.
    quint64 m_acquirer = 0;
    /// The client whose ABORt is ending the acquisition, while it does.
    quint64 m_abortedBy = 0;
    quint16 m_operationCondition = 0;
    bool m_calibrating = false;
    bool m_inTurn = false;
    bool m_held = false;
    bool m_closing = false;
};
